#include "datatypes/vector.hpp"
#include "datatypes/word.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::vector {

namespace {

using mem::buffer_of;

bool is_float_type(Type t) { return t == TYPE_FLOAT || t == TYPE_PERCENT; }
bool is_element_type(Type t) {
  return t == TYPE_CHAR || t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT;
}
u32 default_size(Type t) { return t == TYPE_CHAR || t == TYPE_INTEGER ? 4 : 8; }

inline u32 shift(u32 size) { return size == 8 ? 3 : size == 4 ? 2 : size == 2 ? 1 : 0; }
inline i32 total(const Cell* v) {
  const mem::Buffer* b = buffer_of(series_node(v));
  return i32(b->used() >> shift(b->unit()));
}
inline u8* element_at(const Cell* v, u32 i) {
  const mem::Buffer* b = buffer_of(series_node(v));
  return b->head_ptr() + (u64(i) << shift(b->unit()));
}
inline i32 clamped_index(const Cell* v) { return std::clamp(series_index(v), 0, total(v)); }

[[noreturn]] void raise_type(Err id, Type t) {
  Cell type;
  make_datatype(&type, t);
  fire(id, &type);
}

[[noreturn]] void bad_make(const Cell* spec) {
  Cell type, s = *spec;
  make_datatype(&type, TYPE_VECTOR);
  fire(Err::script_bad_make_arg, &type, &s);
}

[[noreturn]] void bad_field(const Cell* spec) {
  Cell s = *spec;
  fire(Err::script_invalid_spec_field, &s);
}

// The raw element as an integer or a double. Integer elements are
// sign-extended; char! elements are zero-extended, so that every code point
// a 1- or 2-byte element holds reads back as itself (sign-extended, a byte
// 0xFF would be the invalid char -1).
i64 read_int(const u8* p, u32 size, Type type) {
  bool unsigned_ = type == TYPE_CHAR;
  switch (size) {
    case 1: return unsigned_ ? i64(p[0]) : i64(std::int8_t(p[0]));
    case 2: {
      std::uint16_t x;
      std::memcpy(&x, p, 2);
      return unsigned_ ? i64(x) : i64(std::int16_t(x));
    }
    default: { i32 x; std::memcpy(&x, p, 4); return x; }
  }
}
double read_float(const u8* p, u32 size) {
  if (size == 4) { float f; std::memcpy(&f, p, 4); return double(f); }
  double d;
  std::memcpy(&d, p, 8);
  return d;
}
void write_int(u8* p, u32 size, i64 x) {
  u32 w = u32(x);
  std::memcpy(p, &w, size);  // the low bytes (little-endian)
}
void write_float(u8* p, u32 size, double d) {
  if (size == 4) { float f = float(d); std::memcpy(p, &f, 4); return; }
  std::memcpy(p, &d, 8);
}

double number_of(const Cell* c) {
  Type t = type_of(c);
  return t == TYPE_INTEGER || t == TYPE_CHAR ? double(int_of(c)) : float_of(c);
}

// The values an insertion or change takes: the cells of a block from its
// index (at most part), or the one value. Scalars only, so copies are safe.
std::vector<Cell> values_of(const Cell* value, i32 part) {
  std::vector<Cell> out;
  Type t = type_of(value);
  if (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH) {
    i32 n = series::total(value) - std::max(series_index(value), 0);
    if (part >= 0) n = std::min(n, part);
    const Cell* c = buffer_of(series_node(value))->cells() + std::max(series_index(value), 0);
    for (i32 i = 0; i < n; ++i) out.push_back(c[i]);
  } else {
    out.push_back(*value);
  }
  return out;
}

void check_element(const Cell* v, const Cell* value) {
  if (type_of(value) != element_type(v)) fire(Err::script_invalid_arg, value);
}

// What insertion and change take: a value no vector holds (no number) is of
// a type not allowed here; a number of the other kind is an invalid argument.
void check_insertion(const Cell* v, const Cell* value) {
  if (!is_element_type(type_of(value))) raise_type(Err::script_invalid_type, type_of(value));
  check_element(v, value);
}

// Opens a gap of count elements at element position at (moving the rest up).
void open_gap(Cell* v, u32 at, u32 count) {
  u32 size = element_size(v);
  u64 bytes = u64(count) * size;
  if (bytes > 0x7FFFFFFF) fire(Err::internal_no_memory);
  u32 old = u32(total(v));
  mem::alloc_tail_bytes(series_node(v), u32(bytes));
  u8* p = element_at(v, at);
  std::memmove(p + bytes, p, std::size_t(old - at) * size);
}

// ---- make -----------------------------------------------------------------------------

Type type_named(const Cell* word) {
  if (type_of(word) != TYPE_WORD) return TYPE_NO_TYPE;
  u32 sym = symbol::resolve(word::symbol_of(word));
  for (Type t : {TYPE_CHAR, TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT}) {
    u32 name = types::names[t].symbol;
    if (name && symbol::resolve(name) == sym) return t;
  }
  return TYPE_NO_TYPE;
}

Cell* h_make(Cell*, Cell* spec_in, Type) {
  Cell* spec = stack::push_cell(spec_in);
  Type st = type_of(spec);
  Type type = TYPE_INTEGER;
  u32 size = 4;
  i64 count = -1;  // given count, -1 when none
  Cell* init = nullptr;
  if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    count = st == TYPE_INTEGER ? int_of(spec) : i64(float_of(spec));
    if (st == TYPE_FLOAT && !(std::fabs(float_of(spec)) < 2147483648.0)) fire(Err::script_out_of_range, spec);
  } else if (st == TYPE_BLOCK || st == TYPE_PAREN) {
    i32 n = series::total(spec) - std::max(series_index(spec), 0);
    auto item = [&](i32 k) -> Cell* {
      return stack::push_cell(buffer_of(series_node(spec))->cells() + std::max(series_index(spec), 0) + k);
    };
    if (n > 0 && type_of(item(0)) == TYPE_WORD) {
      if (n < 2) bad_make(spec);
      type = type_named(item(0));
      if (type == TYPE_NO_TYPE) bad_make(spec);
      i32 k = 1;
      Cell* c = item(k);
      if (type == TYPE_PERCENT) {
        // Any size given is taken as 64; an integer alone is the count.
        size = 8;
        if (type_of(c) == TYPE_INTEGER && k + 1 < n) ++k;
      } else {
        if (type_of(c) != TYPE_INTEGER) bad_field(spec);
        i32 bits = int_of(c);
        bool ok = is_float_type(type) ? (bits == 32 || bits == 64)
                                       : (bits == 8 || bits == 16 || bits == 32);
        if (!ok) bad_make(spec);
        size = u32(bits / 8);
        ++k;
      }
      if (k >= n) bad_field(spec);
      c = item(k);
      if (type_of(c) == TYPE_INTEGER) {
        count = int_of(c);
        ++k;
        if (k < n && type_of(c = item(k)) == TYPE_BLOCK) init = c;
      } else if (type_of(c) == TYPE_BLOCK) {
        init = c;
      } else {
        bad_field(spec);
      }
    } else {
      init = spec;
      if (n > 0) {
        Cell* first = item(0);
        type = type_of(first);
        if (!is_element_type(type)) raise_type(Err::script_invalid_type, type);
        size = default_size(type);
      }
    }
  } else {
    fire(Err::internal_not_done);
  }
  i32 given = init ? std::max(series::total(init) - std::max(series_index(init), 0), 0) : 0;
  i64 room = std::max<i64>(std::max<i64>(count, given), 1);
  Cell* out = make_at(stack::push(), u32(std::min<i64>(room, 0x7FFFFFFF)), type, size);
  if (init) {
    for (i32 i = 0; i < given; ++i) {
      Cell value = buffer_of(series_node(init))->cells()[std::max(series_index(init), 0) + i];
      rs_append(out, &value);
    }
  }
  if (count > given) {
    u64 bytes = u64(count - given) * size;
    u8* p = mem::alloc_tail_bytes(series_node(out), u32(bytes));
    std::memset(p, 0, bytes);
  }
  return out;
}

// ---- form and mold -------------------------------------------------------------------

i32 write_element(const Cell* v, u32 i, Cell* buffer, bool mold, i32 budget) {
  stack::Mark mark;
  u32 size = element_size(v);
  const u8* p = element_at(v, i);
  switch (element_type(v)) {
    case TYPE_CHAR: {
      Cell* c = make_char(stack::push(), u32(read_int(p, size, TYPE_CHAR)));
      budget = mold ? actions::mold(c, buffer, false, false, false, nullptr, budget, 0)
                    : actions::form(c, buffer, nullptr, budget);
      break;
    }
    case TYPE_INTEGER:
      budget = string::write_ascii(buffer, integer::form_signed(i32(read_int(p, size, TYPE_INTEGER))), budget);
      break;
    case TYPE_FLOAT: {
      auto mode = size == 4 ? float_text::FORM_FLOAT32 : float_text::FORM_FLOAT;
      float_text::Text t = float_::form(read_float(p, size), mode);
      budget = string::write_ascii_n(buffer, t.chars, t.length, budget);
      break;
    }
    default: {
      float_text::Text t = float_::form(read_float(p, size) * 100.0, float_text::FORM_PERCENT);
      budget = string::write_ascii_n(buffer, t.chars, t.length, budget);
      break;
    }
  }
  return budget;
}

i32 write_elements(const Cell* v, Cell* buffer, bool mold, Cell* part, i32 budget) {
  for (i32 i = clamped_index(v); i < total(v); ++i) {
    if (part && budget <= 0) break;
    if (i > clamped_index(v)) budget = string::write_ascii(buffer, " ", budget);
    budget = write_element(v, u32(i), buffer, mold, budget);
  }
  return budget;
}

i32 h_form(Cell* v, Cell* buffer, Cell* part, i32 budget) {
  return write_elements(v, buffer, false, part, budget);
}

i32 h_mold(Cell* v, Cell* buffer, bool only, bool, bool, Cell* part, i32 budget, i32) {
  if (!only) budget = string::write_ascii(buffer, "make vector! [", budget);
  bool plain = length_from_index(v) > 0 && element_size(v) == default_size(element_type(v));
  if (plain) {
    budget = write_elements(v, buffer, true, part, budget);
    return only ? budget : string::write_ascii(buffer, "]", budget);
  }
  budget = string::write_ascii(buffer, types::name_of(element_type(v)), budget);
  budget = string::write_ascii(buffer, " ", budget);
  budget = string::write_ascii(buffer, integer::form_signed(i32(element_size(v) * 8)), budget);
  budget = string::write_ascii(buffer, " [", budget);
  budget = write_elements(v, buffer, true, part, budget);
  return string::write_ascii(buffer, only ? "]" : "]]", budget);
}

// ---- compare ----------------------------------------------------------------------------

i32 h_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_VECTOR) return COMPARE_INCOMPARABLE;
  if (element_type(a) != element_type(b)) fire(Err::script_not_same_type);
  bool same = series_node(a) == series_node(b) && series_index(a) == series_index(b);
  if (op == COMP_SAME) return same ? 0 : 1;
  if (same) return 0;
  i32 la = length_from_index(a), lb = length_from_index(b);
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                  op == COMP_EQUAL_NO_CASE;
  if (equality && la != lb) return 1;
  i32 ia = clamped_index(a), ib = clamped_index(b);
  bool floats = is_float_type(element_type(a));
  for (i32 k = 0; k < std::min(la, lb); ++k) {
    const u8* pa = element_at(a, u32(ia + k));
    const u8* pb = element_at(b, u32(ib + k));
    if (floats) {
      double x = read_float(pa, element_size(a)), y = read_float(pb, element_size(b));
      if (x != y) return x < y ? -1 : 1;
    } else {
      i64 x = read_int(pa, element_size(a), element_type(a)), y = read_int(pb, element_size(b), element_type(b));
      if (x != y) return x < y ? -1 : 1;
    }
  }
  return la < lb ? -1 : la > lb ? 1 : 0;
}

// ---- insert and change --------------------------------------------------------------------

Cell* h_insert(Cell* v, Cell* value, i32 part, bool, i32 dup, bool append) {
  std::vector<Cell> values = values_of(value, part);
  for (const Cell& c : values) check_insertion(v, &c);
  if (values.empty() || dup < 1) return v;
  u64 count = u64(values.size()) * u64(dup);
  if (count * element_size(v) > 0x7FFFFFFF) fire(Err::internal_no_memory);
  if (series_index(v) > total(v)) set_series_index(v, total(v));
  u32 at = append ? u32(total(v)) : u32(clamped_index(v));
  string::OwnerNotice notice(v, append ? series::Event::append : series::Event::insert,
                             append ? series::Event::appended : series::Event::inserted, value,
                             i32(at), i32(count));
  // The owner's handler may have changed the vector.
  at = append ? u32(total(v)) : std::min(at, u32(total(v)));
  open_gap(v, at, u32(count));
  for (u64 k = 0; k < count; ++k) set_value(v, at + u32(k), &values[k % values.size()]);
  notice.done(i32(at), i32(count));
  if (append) set_series_index(v, 0);
  else set_series_index(v, i32(at + count));
  return v;
}

Cell* h_change(Cell* v, Cell* value, i32 part, bool, i32 dup) {
  std::vector<Cell> values = values_of(value, -1);
  for (const Cell& c : values) check_insertion(v, &c);
  if (series_index(v) > total(v)) set_series_index(v, total(v));
  u64 written = u64(values.size()) * u64(std::max(dup, 1));
  if (written * element_size(v) > 0x7FFFFFFF) fire(Err::internal_no_memory);
  u32 at = u32(clamped_index(v));
  u32 avail = u32(total(v)) - at;
  u32 replaced = part >= 0 ? std::min(u32(part), avail) : u32(std::min<u64>(written, avail));
  bool fired = series::notify(v, series::Event::change, value, i32(at), i32(replaced));
  if (written > replaced) {
    open_gap(v, at + replaced, u32(written - replaced));
  } else if (written < replaced) {
    mem::Buffer* b = buffer_of(series_node(v));
    u32 size = element_size(v);
    u8* p = element_at(v, at);
    std::memmove(p + written * size, p + u64(replaced) * size,
                 std::size_t(u32(total(v)) - at - replaced) * size);
    b->tail -= u32(replaced - written) * size;
  }
  for (u64 k = 0; k < written; ++k) set_value(v, at + u32(k), &values[k % values.size()]);
  if (fired) series::notify(v, series::Event::changed, value, i32(at), i32(written));
  set_series_index(v, i32(at + written));
  return v;
}

// ---- find, select, sort ----------------------------------------------------------------

// The number a find looks for, or false when the value is no number.
bool wanted_number(const Cell* value, double* out) {
  Type t = type_of(value);
  if (!is_element_type(t)) return false;
  *out = number_of(value);
  return true;
}

double element_number(const Cell* v, u32 i) {
  return number_at(element_at(v, i), element_type(v), element_size(v));
}

// The position of the element equal to the value that find answers, or -1.
i64 find_position(Cell* v, Cell* value, Cell* part, Cell* skip, bool last, bool reverse,
                  bool match) {
  double want;
  if (!wanted_number(value, &want)) return -1;
  i64 t = total(v), index = clamped_index(v);
  i64 end = t;
  if (part) {
    if (type_of(part) != TYPE_INTEGER) fire(Err::script_invalid_arg, part);
    end = std::clamp<i64>(index + int_of(part), index, t);
  }
  i64 step = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER || int_of(skip) < 1) fire(Err::script_invalid_arg, skip);
    step = int_of(skip);
  }
  auto hit = [&](i64 i) { return element_number(v, u32(i)) == want; };
  if (match) return index < end && hit(index) ? index : -1;
  if (reverse) {
    for (i64 i = index - 1; i >= 0; i -= step) if (hit(i)) return i;
  } else if (last) {
    for (i64 i = index + (end - 1 - index) / step * step; i >= index; i -= step) if (hit(i)) return i;
  } else {
    for (i64 i = index; i < end; i += step) if (hit(i)) return i;
  }
  return -1;
}

Cell* h_find(Cell* v, Cell* value, const act::FindOptions& o) {
  i64 at = find_position(v, value, o.part, o.skip, o.last, o.reverse, o.match);
  if (at < 0) return make_none(stack::push());
  Cell* out = stack::push_cell(v);
  set_series_index(out, i32(at + (o.tail || o.match ? 1 : 0)));
  return out;
}

Cell* h_select(Cell* v, Cell* value, const act::FindOptions& o) {
  i64 at = find_position(v, value, o.part, o.skip, o.last, o.reverse, false);
  if (at < 0 || at + 1 >= total(v)) return make_none(stack::push());
  return get_value(v, u32(at + 1));
}

// One element taken without /part is answered as a value.
Cell* h_take(Cell* v, Cell* part, bool deep, bool last) {
  Cell* taken = series::take(v, part, deep, last);
  if (part || type_of(taken) != TYPE_VECTOR || length_from_index(taken) != 1) return taken;
  return get_value(taken, 0);
}

// ---- element-wise arithmetic ----------------------------------------------------------------

i64 int_op(i64 x, i64 y, i32 op) {
  switch (op) {
    case OP_ADD: return i64(u32(x) + u32(y));  // wraps in 32 bits
    case OP_SUB: return i64(u32(x) - u32(y));
    case OP_MUL: return i64(u32(x) * u32(y));
    default: return integer::do_math_op(i32(x), i32(y), op, nullptr);
  }
}

double float_op(double x, double y, i32 op) {
  switch (op) {
    case OP_OR: case OP_AND: case OP_XOR: raise_type(Err::script_invalid_type, TYPE_FLOAT);
    default: return float_::do_math_op(x, y, op);
  }
}

// The two operands lie at the frame base; the result replaces the first.
Cell* math(Cell* left, Cell* right, i32 op) {
  Type lt = element_type(left);
  bool floats = is_float_type(lt);
  if (type_of(right) == TYPE_VECTOR) {
    if (element_type(right) != lt) fire(Err::script_not_same_type);
    i32 n = std::min(length_from_index(left), length_from_index(right));
    u32 size = std::max(element_size(left), element_size(right));
    Cell* out = make_at(stack::push(), u32(std::max(n, 1)), lt, size);
    mem::alloc_tail_bytes(series_node(out), u32(n) * size);
    i32 il = clamped_index(left), ir = clamped_index(right);
    for (i32 k = 0; k < n; ++k) {
      const u8* a = element_at(left, u32(il + k));
      const u8* b = element_at(right, u32(ir + k));
      u8* r = element_at(out, u32(k));
      if (floats) {
        write_float(r, size, float_op(read_float(a, element_size(left)),
                                      read_float(b, element_size(right)), op));
      } else {
        write_int(r, size, int_op(read_int(a, element_size(left), lt), read_int(b, element_size(right), lt), op));
      }
    }
    copy_cell(out, left);
    return left;
  }
  Type rt = type_of(right);
  bool number = floats ? (rt == TYPE_INTEGER || rt == TYPE_FLOAT || rt == TYPE_PERCENT)
                       : rt == TYPE_INTEGER;
  if (!number) fire(Err::internal_not_done);
  double d = number_of(right);
  // Adding or subtracting 0, and multiplying or dividing by 1, change nothing.
  if (((op == OP_ADD || op == OP_SUB) && d == 0) || ((op == OP_MUL || op == OP_DIV) && d == 1)) {
    return left;
  }
  u32 size = element_size(left);
  for (i32 i = clamped_index(left); i < total(left); ++i) {
    u8* p = element_at(left, u32(i));
    if (floats) write_float(p, size, float_op(read_float(p, size), d, op));
    else write_int(p, size, int_op(read_int(p, size, lt), int_of(right), op));
  }
  return left;
}

// The action handlers: the operands at the frame base. A number on the left
// (handed on by the number's own handler) takes the vector's place for the
// operations whose operands may trade places.
void math_at_base(i32 op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  if (type_of(left) != TYPE_VECTOR) {
    if (op == OP_SUB || op == OP_DIV || op == OP_REM) raise_type(Err::script_invalid_type, type_of(left));
    Cell t = *left;
    copy_cell(right, left);
    copy_cell(&t, right);
  }
  math(left, right, op);
  stack::keep();
}

#define QEL_VECTOR_OP(name, code) \
  void name() { math_at_base(code); }
QEL_VECTOR_OP(h_add, OP_ADD)
QEL_VECTOR_OP(h_subtract, OP_SUB)
QEL_VECTOR_OP(h_multiply, OP_MUL)
QEL_VECTOR_OP(h_divide, OP_DIV)
QEL_VECTOR_OP(h_remainder, OP_REM)
QEL_VECTOR_OP(h_or, OP_OR)
QEL_VECTOR_OP(h_and, OP_AND)
QEL_VECTOR_OP(h_xor, OP_XOR)
#undef QEL_VECTOR_OP

}  // namespace

u32 element_size(const Cell* v) { return buffer_of(series_node(v))->unit(); }

Cell* make_at(Cell* cell, u32 count, Type type, u32 size) {
  u64 bytes = u64(std::max<u32>(count, 1)) * size;
  if (bytes > 0x7FFFFFFF) fire(Err::internal_no_memory);
  u32 node = mem::alloc_series_unit(std::max<u32>(count, 1), size);
  make_series(cell, TYPE_VECTOR, node, 0, type);
  return cell;
}

Cell* value_at(Cell* out, const u8* p, Type type, u32 size) {
  switch (type) {
    case TYPE_CHAR: return make_char(out, u32(read_int(p, size, TYPE_CHAR)));
    case TYPE_INTEGER: return make_integer(out, i32(read_int(p, size, TYPE_INTEGER)));
    case TYPE_FLOAT: return make_float(out, read_float(p, size));
    default: return set_type(make_float(out, read_float(p, size)), TYPE_PERCENT);
  }
}

double number_at(const u8* p, Type type, u32 size) {
  return is_float_type(type) ? read_float(p, size) : double(read_int(p, size, type));
}

Cell* get_value(const Cell* v, u32 i) {
  Cell* out = stack::push();
  return value_at(out, element_at(v, i), element_type(v), element_size(v));
}

void set_value(const Cell* v, u32 i, const Cell* value) {
  Type t = type_of(value);
  if (!is_element_type(t)) raise_type(Err::script_invalid_type, t);
  u32 size = element_size(v);
  u8* p = element_at(v, i);
  if (is_float_type(element_type(v))) write_float(p, size, number_of(value));
  else write_int(p, size, t == TYPE_INTEGER || t == TYPE_CHAR ? i64(int_of(value)) : i64(float_of(value)));
}

void rs_append(Cell* v, const Cell* value) {
  check_element(v, value);
  Cell copy = *value;
  u32 at = u32(total(v));
  mem::alloc_tail_bytes(series_node(v), element_size(v));
  set_value(v, at, &copy);
}

i32 length_from_index(const Cell* v) { return std::max(total(v) - std::max(series_index(v), 0), 0); }

void to_block(const Cell* v_in, Cell* out) {
  stack::Mark mark;
  Cell* v = stack::push_cell(v_in);
  i32 n = length_from_index(v);
  Cell* block = block::make_at(stack::push(), n);
  for (i32 k = 0; k < n; ++k) {
    Cell* e = get_value(v, u32(clamped_index(v) + k));
    *mem::alloc_tail_cell(series_node(block)) = *e;
    stack::pop(1);
  }
  copy_cell(block, out);
}

void init() {
  series::vector_get = get_value;
  series::vector_set = set_value;
  block::vector_to_block = to_block;
  ActionTable t;  // the string's, but for these
  t.make = h_make;
  t.to = nullptr;
  t.form = h_form;
  t.mold = h_mold;
  t.compare = h_compare;
  t.set_path = nullptr;
  t.absolute = nullptr; t.negate = nullptr; t.power = nullptr; t.round = nullptr;
  t.even_q = nullptr; t.odd_q = nullptr; t.complement = nullptr;
  t.add = h_add; t.subtract = h_subtract; t.multiply = h_multiply; t.divide = h_divide;
  t.remainder = h_remainder; t.and_t = h_and; t.or_t = h_or; t.xor_t = h_xor;
  t.append = h_insert; t.insert = h_insert; t.change = h_change; t.take = h_take;
  t.find = h_find; t.select = h_select;
  t.put = nullptr; t.swap = nullptr; t.trim = nullptr;
  t.create = nullptr; t.close = nullptr; t.delete_ = nullptr; t.open = nullptr;
  t.open_q = nullptr; t.query = nullptr; t.read = nullptr; t.rename = nullptr;
  t.update = nullptr; t.write = nullptr;
  types::register_datatype({TYPE_VECTOR, TYPE_STRING, "vector!", t});
}

}  // namespace qel::vector
