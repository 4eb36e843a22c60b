#include "view/test_hooks.hpp"

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/library_routines.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/module.hpp"

namespace qel::view::test_hooks {

namespace {

bool g_faking = false;
std::vector<FakeMonitor> g_monitors;
u32 g_answers = 0;  // block of kind word / value pairs

void mark_answers() {
  if (g_answers) gc::mark_series(g_answers);
}

bool is(const Cell* w, const char* name) {
  return symbol::resolve(word::symbol_of(w)) == symbol::resolve(symbol::make(name));
}

}  // namespace

// [corner size scale ...]: pairs, pairs and numbers.
void set_monitors(const Cell* spec) {
  if (is_none(spec)) {
    g_faking = false;
    g_monitors.clear();
    return;
  }
  if (type_of(spec) != TYPE_BLOCK) fire(Err::script_invalid_arg, spec);
  std::vector<FakeMonitor> list;
  u32 node = series_node(spec);
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  u32 from = u32(series_index(spec) < 0 ? 0 : series_index(spec));
  if ((n - from) % 3) fire(Err::script_invalid_arg, spec);
  for (u32 i = from; i < n; i += 3) {
    const Cell* c = mem::buffer_of(node)->cells() + i;
    Type scale = type_of(c + 2);
    if (type_of(c) != TYPE_PAIR || type_of(c + 1) != TYPE_PAIR ||
        (scale != TYPE_FLOAT && scale != TYPE_INTEGER))
      fire(Err::script_invalid_arg, spec);
    double s = scale == TYPE_FLOAT ? float_of(c + 2) : int_of(c + 2);
    if (!(s > 0) || pair::x(c + 1) <= 0 || pair::y(c + 1) <= 0) fire(Err::script_invalid_arg, spec);
    list.push_back({pair::x(c), pair::y(c), pair::x(c + 1), pair::y(c + 1), s});
  }
  g_monitors = std::move(list);
  g_faking = true;
}

// [kind value ...]: appended to what waits; none forgets every answer.
void add_answers(const Cell* spec) {
  if (!g_answers) {
    g_answers = mem::alloc_cells(4);
    gc::add_mark_callback(mark_answers);
  }
  Cell b;
  make_series(&b, TYPE_BLOCK, g_answers);
  if (is_none(spec)) {
    block::clear_at(&b, 0);
    return;
  }
  if (type_of(spec) != TYPE_BLOCK || block::length_from_index(spec) % 2) fire(Err::script_invalid_arg, spec);
  u32 node = series_node(spec);
  u32 from = u32(series_index(spec) < 0 ? 0 : series_index(spec));
  for (u32 i = from; i < mem::buffer_of(node)->used() / sizeof(Cell); i += 2) {
    Cell kind = mem::buffer_of(node)->cells()[i];
    Cell value = mem::buffer_of(node)->cells()[i + 1];
    if (type_of(&kind) != TYPE_WORD ||
        !(is(&kind, "font") || is(&kind, "file") || is(&kind, "dir") || is(&kind, "box")))
      fire(Err::script_invalid_arg, &kind);
    api::Values v(1);
    copy_cell(&value, v[0]);
    block::append_copy(&b, &kind);
    block::append_copy(&b, v[0]);
  }
}

namespace {

void gui_test() {
  Cell* command = api::arg(0);
  Cell* value = api::arg(1);
  if (is(command, "monitors")) {
    set_monitors(value);
  } else if (is(command, "answer")) {
    add_answers(value);
  } else {
    const backend::Entries& m = module::require("_gui-test");
    if (!m.test_hook) module::unavailable("_gui-test", "not implemented yet");
    m.test_hook();
    return;
  }
  api::answer_none();
}

}  // namespace

const std::vector<FakeMonitor>* fake_monitors() { return g_faking ? &g_monitors : nullptr; }

bool take_answer(const char* kind, Cell* out) {
  if (!g_answers) return false;
  u32 sym = symbol::resolve(symbol::make(kind));
  u32 n = mem::buffer_of(g_answers)->used() / sizeof(Cell);
  for (u32 i = 0; i + 1 < n; i += 2) {
    const Cell* k = mem::buffer_of(g_answers)->cells() + i;
    if (symbol::resolve(word::symbol_of(k)) != sym) continue;
    copy_cell(k + 1, out);
    Cell* cells = mem::buffer_of(g_answers)->cells();
    for (u32 j = i; j + 2 < n; ++j) cells[j] = cells[j + 2];
    Cell b;
    make_series(&b, TYPE_BLOCK, g_answers);
    block::clear_at(&b, n - 2);
    return true;
  }
  return false;
}

void define() {
  library::define_global_routine("_gui-test", "[\"Test hooks of the GUI backend\" command [word!] value [any-type!]]",
                                 gui_test);
}

}  // namespace qel::view::test_hooks
