#include "console/print_hooks.hpp"

#include <cstring>

#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel::console {

namespace {

// gui-console-buffer: a cell of the root block (so the collector keeps its
// string), unset until the first byte text; its string is reused after that.
Cell* g_buffer = nullptr;

// Room the printing needs: the call of vprint and what it calls.
constexpr std::ptrdiff_t MIN_FREE_CELLS = 75;
constexpr std::ptrdiff_t MIN_FREE_FRAMES = 64;

// The field of the object, or null.
Cell* field(Cell* obj, const char* name) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

// gui-console-ctx/terminal/vprint, or null while there is none.
Cell* vprint() {
  Cell* f = field(field(word::get_value_cell(intern_word("gui-console-ctx")), "terminal"), "vprint");
  return f && (type_of(f) == TYPE_FUNCTION || type_of(f) == TYPE_ROUTINE) ? f : nullptr;
}

// Prints running (the terminal's vprint is mid-way while they run).
int g_printing = 0;
// Runs once the outermost print has ended, when set.
void (*g_after_print)() = nullptr;
struct Printing {
  Printing() { ++g_printing; }
  ~Printing() { --g_printing; }
};

// Puts the trace flag back however the call ends.
struct Untraced {
  bool saved = interp::trace;
  Untraced() { interp::trace = false; }
  ~Untraced() { interp::trace = saved; }
};

}  // namespace

void qel_print_gui(const Cell* text, int line_end) {
  if (stack::end - stack::top < MIN_FREE_CELLS || stack::cend - stack::ctop < MIN_FREE_FRAMES)
    fire(Err::internal_stack_overflow);
  Untraced untraced;
  Cell* fn = vprint();
  if (!fn) return;
  api::Values v(3);  // the function, its two arguments
  copy_cell(fn, v[0]);
  copy_cell(text, v[1]);
  make_logic(v[2], line_end != 0);
  api::CallOptions o;
  Cell name = *intern_word("vprint");
  o.name = &name;
  Cell ignored;
  {
    Printing printing;
    api::check(api::invoke(v[0], v[1], 2, &ignored, o));
  }
  if (g_printing == 0 && g_after_print) g_after_print();
}

void rs_print_gui(const char* bytes, std::size_t length, int line_end) {
  if (static_cast<std::ptrdiff_t>(length) < 0) length = std::strlen(bytes);
  if (!g_buffer) return;
  if (type_of(g_buffer) == TYPE_STRING) string::reset_buffer(g_buffer);
  else string::make_at(g_buffer, u32(length) + 1, 1);
  string::append_utf8(g_buffer, reinterpret_cast<const u8*>(bytes),
                      reinterpret_cast<const u8*>(bytes) + length);
  qel_print_gui(g_buffer, line_end);
}

bool printing() { return g_printing > 0; }

void set_after_print(void (*fn)()) { g_after_print = fn; }

void add_gui_print() {
  if (!g_buffer) g_buffer = runtime::root_append();
  hooks::add(qel_print_gui, rs_print_gui);
}

}  // namespace qel::console
