#include "view/glue.hpp"

#include <algorithm>

#include "datatypes/float.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "runtime/memory.hpp"
#include "view/face.hpp"

namespace qel::view::glue {

namespace {

void set_float_facet(Cell* face, u32 index, double v, Type t) {
  if (Cell* c = face::facet(face, index)) {
    make_float(c, v);
    set_type(c, t);
  }
}

}  // namespace

double ratio_of(const Cell* v) {
  double r;
  switch (type_of(v)) {
    case TYPE_INTEGER: r = double(int_of(v)); break;
    case TYPE_FLOAT: case TYPE_PERCENT: r = float_of(v); break;
    default: return -1;
  }
  if (!(r > 0)) return 0;  // NaN too
  return r > 1 ? 1 : r;
}

double position_from_data(const Cell* data, double length) {
  if (type_of(data) != TYPE_FLOAT && type_of(data) != TYPE_PERCENT) return 0;
  return float_of(data) * length;
}

Check check_of_data(const Cell* data, bool tri_state_check) {
  switch (type_of(data)) {
    case TYPE_NONE: return tri_state_check ? INDETERMINATE : UNCHECKED;
    case TYPE_LOGIC: return logic_of(data) ? CHECKED : UNCHECKED;
    default: return CHECKED;
  }
}

void check_to_face(Cell* face, Check state) {
  if (Cell* c = face::facet(face, face::DATA)) {
    if (state == INDETERMINATE) make_none(c); else make_logic(c, state == CHECKED);
  }
}

void selected_index_to_face(Cell* face, i32 index) {
  if (Cell* c = face::facet(face, face::SELECTED)) make_integer(c, index);
}

void selection_to_face(Cell* face, i32 start, i32 end) {
  Cell* c = face::facet(face, face::SELECTED);
  if (!c) return;
  if (start > end) std::swap(start, end);
  if (start == end) make_none(c); else pair::make_at(make_none(c), start + 1, end);
}

i32 colour_of_facet(const Cell* face, u32 index) {
  const Cell* c = face::facet(face, index);
  if (!c || type_of(c) != TYPE_TUPLE) return -1;
  return i32(tuple::byte(c, 0)) | i32(tuple::byte(c, 1)) << 8 | i32(tuple::byte(c, 2)) << 16;
}

void scroller_to_face(Cell* face, double pos, double min, double max, double page) {
  double range = max - min;
  bool empty = !(range > 0);
  set_float_facet(face, face::DATA, empty ? 0.0 : (pos - min) / range, TYPE_FLOAT);
  set_float_facet(face, face::SELECTED, empty ? 1.0 : page / range, TYPE_PERCENT);
}

void slider_to_face(Cell* face, double pos, double length, bool vertical) {
  Cell* data = face::facet(face, face::DATA);
  if (!data) return;
  Type t = type_of(data) == TYPE_FLOAT ? TYPE_FLOAT : TYPE_PERCENT;
  double v = length > 0 ? (vertical ? length - pos : pos) / length : 0;
  set_float_facet(face, face::DATA, v, t);
}

const Cell* option(const Cell* face, const char* key) {
  const Cell* opts = face::facet(face, face::OPTIONS);
  if (!opts || type_of(opts) != TYPE_BLOCK) return nullptr;
  u32 want = symbol::resolve(symbol::make(key));
  opts = face::facet(face, face::OPTIONS);  // making the symbol may have moved it
  u32 node = series_node(opts);
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 i = u32(series_index(opts) < 0 ? 0 : series_index(opts)); i + 1 < n; ++i) {
    const Cell* c = mem::buffer_of(node)->cells() + i;
    Type t = type_of(c);
    if ((t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD) &&
        symbol::resolve(word::symbol_of(c)) == want)
      return c + 1;
  }
  return nullptr;
}

const Cell* hint(const Cell* face) {
  const Cell* v = option(face, "hint");
  return v && type_of(v) == TYPE_STRING ? v : nullptr;
}

i32 tab_stop(const Cell* face) {
  const Cell* v = option(face, "tabs");
  return v && type_of(v) == TYPE_INTEGER && int_of(v) > 0 && int_of(v) < 0x10000000 ? int_of(v) * 4 : 16;
}

bool accelerated(const Cell* face) {
  const Cell* v = option(face, "accelerated");
  return v && type_of(v) == TYPE_LOGIC && logic_of(v);
}

bool colour_needs_layer(const Cell* colour) {
  return type_of(colour) == TYPE_TUPLE && tuple::count(colour) >= 4 && tuple::byte(colour, 3) != 0;
}

const char* cursor_name(const Cell* face) {
  const Cell* v = option(face, "cursor");
  if (!v || (type_of(v) != TYPE_WORD && type_of(v) != TYPE_LIT_WORD)) return nullptr;
  Cell w = *v;  // making the symbols below may allocate
  u32 s = symbol::resolve(word::symbol_of(&w));
  struct Name {
    const char* word;
    const char* cursor;
  };
  static const Name kNames[] = {{"I-beam", "text"},          {"hand", "pointer"},
                                {"cross", "crosshair"},      {"resize-ns", "ns-resize"},
                                {"resize-ew", "ew-resize"},  {"resize-we", "ew-resize"}};
  for (const Name& n : kNames)
    if (symbol::resolve(symbol::make(n.word)) == s) return n.cursor;
  return "default";
}

CharAction area_char(bool multiline, u32 ch) {
  if (multiline) return ch == 1 ? SELECT_ALL : PASS_ON;
  return ch == 13 || ch == 9 ? SWALLOW : PASS_ON;
}

ScrollerUpdate scroller_update(u32 word_index) {
  ScrollerUpdate u;
  switch (word_index) {
    case face::SCROLLER_POSITION: u.position = true; break;
    case face::SCROLLER_PAGE_SIZE: case face::SCROLLER_MAX_SIZE: u.range = true; break;
    case face::SCROLLER_VISIBLE_Q: u.visibility = true; break;
    default: break;
  }
  return u;
}

}  // namespace qel::view::glue
