#include "view/backend/draw/arguments.hpp"

#include <cmath>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/float.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hooks.hpp"

namespace qel::view::backend::draw {

// ---- reading arguments -------------------------------------------------------------------------

bool is_point(const Cell* c) { return type_of(c) == TYPE_PAIR || type_of(c) == TYPE_POINT2D; }

bool is_number(const Cell* c) { return type_of(c) == TYPE_INTEGER || type_of(c) == TYPE_FLOAT; }

bool is_scale(const Cell* c) { return is_number(c) || type_of(c) == TYPE_PERCENT; }

bool is_finite(const Cell* c) {
  switch (type_of(c)) {
    case TYPE_FLOAT:
    case TYPE_PERCENT: return std::isfinite(float_of(c));
    case TYPE_POINT2D: return std::isfinite(point::coord(c, 0)) && std::isfinite(point::coord(c, 1));
    default: return true;
  }
}

Point point_of(const Cell* c) {
  if (type_of(c) == TYPE_PAIR) return {double(pair::x(c)), double(pair::y(c))};
  return {finite(point::coord(c, 0)), finite(point::coord(c, 1))};
}

double number_of(const Cell* c) {
  if (type_of(c) == TYPE_INTEGER) return double(int_of(c));
  return finite(float_of(c));
}

const Cell* word_value(const Cell* w) {
  if (!word::context_of(w)) return nullptr;
  return word::get_value_cell(w);
}

bool colour_of(const Cell* c, u32* colour, bool* has_alpha) {
  if (type_of(c) == TYPE_WORD) c = word_value(c);
  if (!c || type_of(c) != TYPE_TUPLE) return false;
  *colour = colour_of_tuple(c, has_alpha);
  return true;
}

// ---- errors ------------------------------------------------------------------------------------

namespace {

// The field of an object by name, or nullptr.
const Cell* field(const Cell* obj, u32 symbol) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol, true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

}  // namespace

bool silent_mode() {
  static u32 s_system, s_view, s_silent;
  if (!s_system) {
    s_system = symbol::make("system");
    s_view = symbol::make("view");
    s_silent = symbol::make("silent?");
  }
  const Cell* sys = word::get_value_cell(intern_word("system"));
  const Cell* v = field(field(sys, s_view), s_silent);
  return v && type_of(v) == TYPE_LOGIC && logic_of(v);
}

void throw_draw_error(bool catch_errors, const Cell* block, u32 index, bool infinite, u32 cycle_depth) {
  api::Values v(2);
  copy_cell(block, v[0]);
  if (silent_mode()) throw SilentStop{};
  if (!infinite) set_series_index(v[0], i32(index));
  Err id = infinite ? Err::script_draw_infinite : Err::script_draw_invalid;
  if (!catch_errors) fire(id, v[0]);
  // Reported here, and the drawing ends; whoever drew goes on. The blocks
  // being walked come off the cycle stack first, or the report would show
  // them as markers.
  if (cycles::depth() > cycle_depth) cycles::pop_n(cycles::depth() - cycle_depth);
  error::create(v[1], id, v[0], nullptr, nullptr);
  std::string text = error::report(v[1]);
  string::load_at(reinterpret_cast<const u8*>(text.data()), u32(text.size()), v[0], string::Encoding::utf8);
  hooks::call_event_hooks(v[0], 1);
  throw SilentStop{};
}

void throw_draw_error(Context& ctx, const Cell* block, u32 index, bool infinite) {
  throw_draw_error(ctx.catch_errors, block, index, infinite, ctx.cycle_depth);
}

}  // namespace qel::view::backend::draw
