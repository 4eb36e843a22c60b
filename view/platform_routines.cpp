#include "view/platform_routines.hpp"

#include <string>
#include <utility>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/event.hpp"
#include "datatypes/float.hpp"
#include "datatypes/function.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/object.hpp"
#include "datatypes/ownership.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/library_routines.hpp"
#include "eval/natives.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "view/dispatch.hpp"
#include "view/face.hpp"
#include "view/messages.hpp"
#include "view/system_view.hpp"
#include "view/test_hooks.hpp"
#include "view/module.hpp"
#include "platform/image_state.hpp"

namespace qel::view::routines {

namespace {

using backend::Slot;

const char* const kWords[backend::SLOT_COUNT + 1] = {
    "",
#define QEL_X(n, c, w) w,
    QEL_VIEW_PLATFORM_WORDS(QEL_X)
#undef QEL_X
};

bool is_word(Type t) { return t == TYPE_WORD || t == TYPE_LIT_WORD; }

// The body of the routine in `slot`, or view-unavailable naming it.
void run_body(u32 slot) {
  const backend::Entries& m = module::require(kWords[slot]);
  if (!m.routines[slot]) module::unavailable(kWords[slot], "not implemented yet");
  m.routines[slot]();
}

template <u32 S>
void body() {
  run_body(S);
}

// ---- checks the core makes before a body ------------------------------------------

void make_null_handle() { handle::make_at(api::result(), nullptr, 0); }

// size-text: the text is `value` when a string!, the face's `text` when
// `value` is none; a text that is no string answers none.
void size_text() {
  Cell* value = api::arg(1);
  if (type_of(value) != TYPE_STRING && type_of(value) != TYPE_NONE)
    float_::raise_with_type(Err::script_invalid_type, type_of(value));
  const Cell* text = type_of(value) == TYPE_STRING ? value : face::facet(api::arg(0), face::TEXT);
  if (!text || type_of(text) != TYPE_STRING) {
    api::answer_none();
    return;
  }
  run_body(backend::SLOT_SIZE_TEXT);
}

void detach_image() {
  ownership::unbind(api::arg(0));
  api::answer_none();
}

// update-view: a block must hold only objects (checked before any face is
// touched); a screen face needs nothing.
void update_view() {
  Cell* v = api::arg(0);
  if (type_of(v) == TYPE_BLOCK) {
    u32 node = series_node(v);
    u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
    for (u32 i = u32(series_index(v) < 0 ? 0 : series_index(v)); i < n; ++i) {
      Type t = type_of(mem::buffer_of(node)->cells() + i);
      if (t != TYPE_OBJECT) float_::raise_with_type(Err::script_invalid_type, t);
    }
  } else if (type_of(v) == TYPE_OBJECT) {
    if (face::is_type(v, "screen")) {
      api::answer_none();
      return;
    }
  } else {
    float_::raise_with_type(Err::script_invalid_type, type_of(v));
  }
  run_body(backend::SLOT_UPDATE_VIEW);
}

// redraw and draw-face: nothing for a face without a window.
template <u32 S>
void with_window() {
  if (!face::handle_of(api::arg(0))) {
    api::answer_none();
    return;
  }
  run_body(S);
}

// text-box-metrics: a rich-text face only; a text that is no string
// answers none.
void text_box_metrics() {
  Cell* box = api::arg(0);
  if (!face::is_type(box, "rich-text")) {
    const Cell* t = face::facet(box, face::TYPE);
    Cell type = t ? *t : Cell{TYPE_NONE, 0, 0, 0};
    fire(Err::script_face_type, &type);
  }
  const Cell* text = face::facet(box, face::TEXT);
  if (!text || type_of(text) != TYPE_STRING) {
    api::answer_none();
    return;
  }
  run_body(backend::SLOT_TEXT_BOX_METRICS);
}

struct RoutineDef {
  u32 slot;
  const char* spec;
  ::qel::routines::Entry fn;
};

// The 28 routines, their specs and their entries.
const RoutineDef kRoutines[] = {
    {backend::SLOT_MAKE_NULL_HANDLE, "[return: [handle!]]", make_null_handle},
    {backend::SLOT_FETCH_ALL_SCREENS, "[return: [block!]]", body<backend::SLOT_FETCH_ALL_SCREENS>},
    {backend::SLOT_GET_CURRENT_SCREEN, "[return: [handle!]]", body<backend::SLOT_GET_CURRENT_SCREEN>},
    {backend::SLOT_GET_SCREEN_SIZE, "[id [integer!] return: [pair!]]", body<backend::SLOT_GET_SCREEN_SIZE>},
    {backend::SLOT_SIZE_TEXT, "[face [object!] value [any-type!] return: [point2D! none!]]", size_text},
    {backend::SLOT_ON_CHANGE_FACET,
     "[owner [object!] word [any-word!] value [any-type!] action [word!] new [any-type!] "
     "index [integer!] part [integer!]]",
     body<backend::SLOT_ON_CHANGE_FACET>},
    {backend::SLOT_UPDATE_TEXT, "[face [object!]]", body<backend::SLOT_UPDATE_TEXT>},
    {backend::SLOT_UPDATE_FONT, "[font [object!] flags [integer!]]", body<backend::SLOT_UPDATE_FONT>},
    {backend::SLOT_UPDATE_PARA, "[face [object!] flags [integer!]]", body<backend::SLOT_UPDATE_PARA>},
    {backend::SLOT_DESTROY_VIEW, "[face [object!] empty? [logic!]]", body<backend::SLOT_DESTROY_VIEW>},
    {backend::SLOT_DETACH_IMAGE, "[img [image!]]", detach_image},
    {backend::SLOT_UPDATE_VIEW, "[face [any-type!]]", update_view},
    {backend::SLOT_REFRESH_WINDOW, "[h [handle!]]", body<backend::SLOT_REFRESH_WINDOW>},
    {backend::SLOT_REDRAW, "[face [object!]]", with_window<backend::SLOT_REDRAW>},
    {backend::SLOT_SHOW_WINDOW, "[id [handle!]]", body<backend::SLOT_SHOW_WINDOW>},
    {backend::SLOT_MAKE_VIEW, "[face [object!] parent [handle!] return: [handle!]]", body<backend::SLOT_MAKE_VIEW>},
    {backend::SLOT_DRAW_IMAGE, "[image [image!] cmds [block!]]", body<backend::SLOT_DRAW_IMAGE>},
    {backend::SLOT_DRAW_FACE, "[face [object!] cmds [block!]]", with_window<backend::SLOT_DRAW_FACE>},
    {backend::SLOT_DO_EVENT_LOOP, "[no-wait? [logic!] return: [logic!]]", body<backend::SLOT_DO_EVENT_LOOP>},
    {backend::SLOT_EXIT_EVENT_LOOP, "[]", body<backend::SLOT_EXIT_EVENT_LOOP>},
    {backend::SLOT_REQUEST_FONT, "[font [object!] selected [any-type!] mono? [logic!]]",
     body<backend::SLOT_REQUEST_FONT>},
    {backend::SLOT_REQUEST_FILE,
     "[title [any-type!] name [any-type!] filter [any-type!] save? [logic!] multi? [logic!]]",
     body<backend::SLOT_REQUEST_FILE>},
    {backend::SLOT_REQUEST_DIR,
     "[title [any-type!] dir [any-type!] filter [any-type!] keep? [logic!] multi? [logic!]]",
     body<backend::SLOT_REQUEST_DIR>},
    {backend::SLOT_TEXT_BOX_METRICS, "[box [object!] arg0 [any-type!] type [integer!]]", text_box_metrics},
    {backend::SLOT_UPDATE_SCROLLER, "[scroller [object!] flags [integer!]]", body<backend::SLOT_UPDATE_SCROLLER>},
    {backend::SLOT_SET_DARK_MODE, "[face [object!] dark? [logic!]]", body<backend::SLOT_SET_DARK_MODE>},
    {backend::SLOT_SUPPORT_DARK_MODE_Q, "[return: [logic!]]", body<backend::SLOT_SUPPORT_DARK_MODE_Q>},
    {backend::SLOT_TOGGLE_GPU, "[]", body<backend::SLOT_TOGGLE_GPU>},
};
static_assert(std::size(kRoutines) == 28);

// ---- the event routines -------------------------------------------------------------

void event_q() { api::answer_logic(type_of(api::arg(0)) == TYPE_EVENT); }

// OS-send-event: the backend turns the event into the message it stands
// for; without the backend no face has a window, so nothing can be sent.
void send_event_os() {
  const backend::Entries* m = module::load();
  bool sent = m && m->send_event && m->send_event(api::arg(0), logic_of(api::arg(1)));
  api::answer_logic(sent);
}


void find_flag_q() { api::answer_logic(find_flag(api::arg(0), api::arg(1))); }

}  // namespace

void pump_gui(bool) {
  if (const backend::Entries* m = module::load(); m && m->pump) m->pump();
}

namespace {

// The backend's start-up, called by the platform object's `init`.
void gui_os_init() {
  const backend::Entries& m = module::require("init");
  if (m.gui_init) m.gui_init();
  natives::gui_do_events = pump_gui;
  api::answer_none();
}

// The values the backend's start-up gives without a display, filled without
// loading the backend (init/values at start-up).
void gui_os_defaults() {
  system_view::fill_defaults();
  api::answer_none();
}

// The value of field `name` of the object, or nullptr.
Cell* field(const Cell* obj, const char* name) {
  if (type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

bool g_filled = false;
bool g_event_routines = false;  // defined
QEL_IMAGE_KEEP(g_filled);
QEL_IMAGE_KEEP(g_event_routines);

}  // namespace

bool find_flag(const Cell* facet, const Cell* flag) {
  u32 want = symbol::resolve(word::symbol_of(flag));
  if (type_of(facet) == TYPE_WORD) return symbol::resolve(word::symbol_of(facet)) == want;
  if (type_of(facet) != TYPE_BLOCK) return false;
  u32 node = series_node(facet);
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 i = u32(series_index(facet) < 0 ? 0 : series_index(facet)); i < n; ++i) {
    const Cell* c = mem::buffer_of(node)->cells() + i;
    if (is_word(type_of(c)) && symbol::resolve(word::symbol_of(c)) == want) return true;
  }
  return false;
}

void define_event_routines() {
  if (g_event_routines) return;
  g_event_routines = true;
  event::init();
  messages::install_event_reader();
  library::define_global_routine("event?", "[\"Returns true if the value is this type\" value [any-type!] return: [logic!]]",
                                 event_q);
  library::define_global_routine("send-event-os", "[event [event!] queued? [logic!] return: [logic!]]", send_event_os);
  test_hooks::define();
  library::define_global_routine(
      "find-flag?", "[\"Checks a flag in a face object\" facet [any-type!] flag [word!] return: [logic!]]",
      find_flag_q);
}

bool fill_platform() {
  dispatch::wire();
  if (g_filled) return true;
  Cell* sys = word::get_value_cell(intern_word("system"));
  Cell* view = field(sys, "view");
  if (!view) return false;
  Cell* platform = field(view, "platform");
  if (!platform || type_of(platform) != TYPE_OBJECT) return false;
  roots::LocalCell obj, r;
  copy_cell(platform, obj.get());
  for (const RoutineDef& d : kRoutines) {
    library::make_routine(kWords[d.slot], d.spec, d.fn, r.get());
    if (Cell* slot = field(obj.get(), kWords[d.slot])) copy_cell(r.get(), slot);
  }
  library::wire("system view platform init", "_gui-os-init", "[]", gui_os_init);
  library::wire("system view platform init", "_gui-os-defaults", "[]", gui_os_defaults);
  g_filled = true;
  return true;
}

}  // namespace qel::view::routines
