#include "view/clipboard.hpp"

#include <algorithm>

#include "datatypes/image.hpp"
#include "datatypes/string.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "eval/natives.hpp"
#include "view/module.hpp"
#include "view/platform_routines.hpp"

namespace qel::view::clipboard {

// The clipboard's GTK code lives in the GUI backend module; without the
// module the clipboard behaves as without a display.
Cell* read() {
  const view::backend::Entries* m = view::module::load();
  return m ? m->clipboard_read() : make_none(stack::push());
}

bool write(const Cell* value) {
  switch (type_of(value)) {
    case TYPE_NONE: case TYPE_IMAGE:
      break;
    case TYPE_STRING: {
      // Clipboard text is UTF-8 ended by a NUL: a NUL would cut it short and
      // a lone surrogate has no UTF-8 form, so either is refused rather than
      // written changed.
      u32 n = string::length_from_head(value);
      for (u32 i = u32(std::max(series_index(value), 0)); i < n; ++i) {
        u32 cp = string::char_at(value, i);
        if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) fire(Err::script_invalid_chars);
      }
      break;
    }
    case TYPE_BLOCK: {
      u32 node = series_node(value);
      u32 from = u32(series_index(value) < 0 ? 0 : series_index(value));
      for (u32 i = from; i < mem::buffer_of(node)->used() / sizeof(Cell); ++i) {
        Cell v = mem::buffer_of(node)->cells()[i];
        if (type_of(&v) != TYPE_FILE && type_of(&v) != TYPE_STRING) fire(Err::script_invalid_arg, &v);
      }
      break;
    }
    default:
      fire(Err::script_invalid_arg, value);
  }
  const view::backend::Entries* m = view::module::load();
  if (!m || !m->clipboard_write(value)) return false;
  // This process owns the clipboard now and answers other programs' requests
  // for it from its event loop: `wait` runs it too, with or without a window.
  natives::gui_do_events = routines::pump_gui;
  return true;
}

}  // namespace qel::view::clipboard
