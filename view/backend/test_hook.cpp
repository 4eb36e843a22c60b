// The module's commands of `_gui-test` (view/test_hooks.hpp): a window for
// a face, a window's pixels, a message injected into the road, the dark
// theme setting.
#include <gtk/gtk.h>

#include <cmath>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "view/backend/display.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/setup.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"
#include "view/messages.hpp"
#include "view/module.hpp"
#include "view/window.hpp"

namespace qel::view::backend {

namespace {

bool is(const Cell* w, const char* name) {
  return symbol::resolve(word::symbol_of(w)) == symbol::resolve(symbol::make(name));
}

i32 coordinate(const Cell* c, u32 i) {
  if (!c) return 0;
  if (type_of(c) == TYPE_PAIR) return i ? pair::y(c) : pair::x(c);
  if (type_of(c) == TYPE_POINT2D) return i32(std::lround(point::coord(c, i)));
  return 0;
}

window::Record* record_of(const Cell* face) {
  const Cell* h = face ? face::handle_of(face) : nullptr;
  window::Record* w = h ? window::from_handle(h) : nullptr;
  if (!w) fire(Err::script_not_linked);
  return w;
}

// A window for a face: a top-level one for a window face, a field or area
// control for such a face inside its `parent` window face's window. Its
// `state` becomes [handle 0 none false] when it was none. Answers the
// handle.
void make_window(Cell* face) {
  window::Class cls = window::Class::WINDOW;
  window::Record* parent = nullptr;
  if (type_of(face) == TYPE_OBJECT && (face::is_type(face, "field") || face::is_type(face, "area"))) {
    cls = face::is_type(face, "field") ? window::Class::FIELD : window::Class::AREA;
    parent = record_of(face::facet(face, face::PARENT));
  } else if (type_of(face) != TYPE_OBJECT || !face::is_type(face, "window")) {
    const Cell* t = face::facet(face, face::TYPE);
    Cell type = t ? *t : Cell{TYPE_NONE, 0, 0, 0};
    fire(Err::script_face_type, &type);
  }
  const Cell* offset = face::facet(face, face::OFFSET);
  const Cell* size = face::facet(face, face::SIZE);
  window::Record* w = windows::create(cls, parent, face, coordinate(offset, 0), coordinate(offset, 1),
                                      coordinate(size, 0), coordinate(size, 1), "_gui-test");
  api::Values v(2);
  window::handle(*w, v[0]);
  Cell* state = face::facet(face, face::STATE);
  if (state && is_none(state)) {
    block::make_at(v[1], 4);
    block::append_copy(v[1], v[0]);
    Cell c;
    make_integer(&c, 0);
    block::append_copy(v[1], &c);
    make_none(&c);
    block::append_copy(v[1], &c);
    make_logic(&c, false);
    block::append_copy(v[1], &c);
    if ((state = face::facet(face, face::STATE))) copy_cell(v[1], state);
  }
  api::set_result(v[0]);
}

// [face code wparam lparam x y]: the message to the face's window.
void inject(const Cell* spec) {
  if (type_of(spec) != TYPE_BLOCK || block::length_from_index(spec) != 6) fire(Err::script_invalid_arg, spec);
  const Cell* c = mem::buffer_of(series_node(spec))->cells() + series_index(spec);
  for (u32 i = 1; i < 6; ++i)
    if (type_of(c + i) != TYPE_INTEGER) fire(Err::script_invalid_arg, c + i);
  window::Record* w = record_of(c);
  messages::Message m;
  m.window = w->id;
  m.code = u32(int_of(c + 1));
  m.wparam = u64(i64(int_of(c + 2)));
  m.lparam = int_of(c + 3);
  m.x = int_of(c + 4);
  m.y = int_of(c + 5);
  messages::record(m);
  i64 answer = windows::dispatch(m);
  make_integer(api::result(), i32(answer));
  api::keep_result();
}

// A GTK signal whose handler calls the function: what the function raises
// or throws comes out of the routine, after GTK's frames, through the guard.
// The handler reaches the function and its result cell through the
// signal's data: the guard's frame moves the frame base.
void on_clicked(GtkButton*, gpointer data) {
  Cell* cells = static_cast<Cell*>(data);  // the function, the result: rooted by the caller
  guard::run([cells] { api::check(api::invoke(cells, nullptr, 0, cells + 1)); });
}

void signal(const Cell* fn) {
  if (!display::open()) module::unavailable("_gui-test", "no display");
  api::Values v(2);
  copy_cell(fn, v[0]);
  GtkWidget* button = gtk_button_new();
  g_object_ref_sink(button);
  g_signal_connect(button, "clicked", G_CALLBACK(on_clicked), v.data());
  g_signal_emit_by_name(button, "clicked");
  g_object_unref(button);
  guard::raise_pending();
  api::set_result(v[1]);
}

}  // namespace

void test_hook() {
  Cell* command = api::arg(0);
  Cell* value = api::arg(1);
  if (is(command, "window")) {
    make_window(value);
  } else if (is(command, "snapshot")) {
    api::set_result(windows::snapshot(*record_of(value)));
  } else if (is(command, "inject")) {
    inject(value);
  } else if (is(command, "signal")) {
    signal(value);
  } else if (is(command, "dark-mode")) {
    api::answer_logic(setup::dark_requested());
  } else {
    fire(Err::script_invalid_arg, command);
  }
}

}  // namespace qel::view::backend
