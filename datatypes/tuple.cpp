#include "runtime/api.hpp"
#include "datatypes/tuple.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::tuple {

namespace {

using float_::raise_with_type;

[[noreturn]] void raise_bad_to(const Cell* value) { float_::raise_bad_to(TYPE_TUPLE, value); }

u8 clamp(i64 v) { return v < 0 ? 0 : v > 255 ? 255 : u8(v); }

// A fresh tuple header of n bytes, keeping the new-line flag of the cell.
void start(Cell* c, u32 n) {
  c->header = (c->header & FLAG_NEW_LINE) | TYPE_TUPLE | (n << 19);
  clear_payload(c);
}

// ---- conversions ---------------------------------------------------------------

Cell* from_block(const Cell* block) {
  mem::Buffer* b = mem::buffer_of(series_node(block));
  i64 total = i64(b->used() / sizeof(Cell));
  i64 index = series_index(block) < 0 ? 0 : series_index(block);
  i64 n = total > index ? total - index : 0;
  if (n > i64(MAX_BYTES)) raise_bad_to(block);
  u8 bytes[MAX_BYTES] = {};
  const Cell* items = b->cells() + index;
  for (i64 i = 0; i < n; ++i) {
    const Cell* v = items + i;
    double d;
    switch (type_of(v)) {
      case TYPE_INTEGER: case TYPE_CHAR: d = double(int_of(v)); break;
      case TYPE_FLOAT: d = std::trunc(float_of(v)); break;
      default: raise_bad_to(block);
    }
    if (!(d >= 0.0 && d <= 255.0)) raise_bad_to(block);
    bytes[i] = u8(d);
  }
  return make_at(make_none(stack::push()), u32(n), bytes);
}

// A colour written as #RGB, #RRGGBB or #RRGGBBAA.
Cell* from_issue(const Cell* issue) {
  std::string_view name = symbol::name(word::symbol_of(issue));
  std::size_t n = name.size();
  if (n != 3 && n != 6 && n != 8) fire(Err::script_invalid_data, issue);
  u8 digits[8];
  for (std::size_t i = 0; i < n; ++i) {
    u8 c = u8(name[i]);
    int h = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
          : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (h < 0) fire(Err::script_invalid_data, issue);
    digits[i] = u8(h);
  }
  u8 bytes[4];
  u32 count = n == 8 ? 4 : 3;
  for (u32 i = 0; i < count; ++i) {
    bytes[i] = n == 3 ? u8(digits[i] * 17) : u8(digits[2 * i] * 16 + digits[2 * i + 1]);
  }
  return make_at(make_none(stack::push()), count, bytes);
}

Cell* from_binary(const Cell* binary) {
  mem::Buffer* b = mem::buffer_of(series_node(binary));
  i64 index = series_index(binary) < 0 ? 0 : series_index(binary);
  i64 available = i64(b->used()) - index;
  u32 n = available <= 0 ? 0 : available > i64(MAX_BYTES) ? MAX_BYTES : u32(available);
  u8 bytes[MAX_BYTES] = {};
  if (n) std::memcpy(bytes, b->head_ptr() + index, n);
  return make_at(make_none(stack::push()), n, bytes);
}

Cell* h_to(Cell*, Cell* spec, Type) {
  switch (type_of(spec)) {
    case TYPE_TUPLE: return spec;
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: return from_block(spec);
    case TYPE_ISSUE: return from_issue(spec);
    case TYPE_BINARY: return from_binary(spec);
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF: {
      Cell* loaded = make_none(stack::push());
      if (!api::services.load_first(spec, loaded) || type_of(loaded) != TYPE_TUPLE) {
        raise_bad_to(spec);
      }
      return loaded;
    }
    default: raise_bad_to(spec);
  }
}

// ---- text -------------------------------------------------------------------------

i32 h_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  std::string text;
  for (u32 i = 0, n = count(value); i < n; ++i) {
    if (i) text.push_back('.');
    text += integer::form_signed(byte(value, i));
  }
  string::append_ascii(buffer, text.data(), text.size());
  return limit - i32(text.size());
}

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  return h_form(value, buffer, arg, limit);
}

// ---- arithmetic ---------------------------------------------------------------------

void do_math(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  if (type_of(left) != TYPE_TUPLE) {
    // A number on the left: only the operations that commute are taken.
    if (op == OP_SUB) float_::raise_not_related("subtract", type_of(left));
    if (op == OP_DIV) float_::raise_not_related("divide", type_of(left));
    Cell t = *left;
    *left = *right;
    *right = t;
  }
  Type rt = type_of(right);
  u32 n = count(left);
  Cell result = *left;
  switch (rt) {
    case TYPE_FLOAT: case TYPE_PERCENT: {
      double x = float_of(right);
      for (u32 i = 0; i < n; ++i) {
        double r = float_::do_math_op(double(byte(left, i)), x, op);
        set_byte(&result, i, std::isnan(r) ? 0 : clamp(i64(std::fmax(-1.0, std::fmin(256.0, std::trunc(r))))));
      }
      break;
    }
    case TYPE_INTEGER: case TYPE_TUPLE: {
      bool tuple = rt == TYPE_TUPLE;
      u32 m = tuple && count(right) > n ? count(right) : n;
      set_count(&result, m);
      for (u32 i = 0; i < m; ++i) {
        i64 a = byte(left, i);
        i64 b = tuple ? byte(right, i) : int_of(right);
        i64 r;
        switch (op) {
          case OP_ADD: r = a + b; break;
          case OP_SUB: r = a - b; break;
          case OP_MUL: r = a * b; break;
          case OP_DIV: case OP_REM:
            r = integer::do_math_op(i32(a), i32(b), op, nullptr);
            break;
          case OP_OR: r = a | b; break;
          case OP_AND: r = a & b; break;
          default: r = a ^ b; break;
        }
        set_byte(&result, i, clamp(r));
      }
      break;
    }
    default: raise_with_type(Err::script_invalid_type, rt);
  }
  *left = result;
}

void h_add() { do_math(OP_ADD); }
void h_subtract() { do_math(OP_SUB); }
void h_multiply() { do_math(OP_MUL); }
void h_divide() { do_math(OP_DIV); }
void h_remainder() { do_math(OP_REM); }
void h_or() { do_math(OP_OR); }
void h_and() { do_math(OP_AND); }
void h_xor() { do_math(OP_XOR); }

Cell* h_complement(Cell* value) {
  for (u32 i = 0, n = count(value); i < n; ++i) set_byte(value, i, u8(~byte(value, i)));
  return value;
}

// ---- compare ----------------------------------------------------------------------

i32 h_compare(Cell* value, Cell* other, i32) {
  if (type_of(other) != TYPE_TUPLE) return COMPARE_INCOMPARABLE;
  u32 n = count(value) > count(other) ? count(value) : count(other);
  for (u32 i = 0; i < n; ++i) {
    u8 a = byte(value, i), b = byte(other, i);
    if (a != b) return a < b ? -1 : 1;
  }
  return 0;
}

// ---- fields -----------------------------------------------------------------------

// Writes an element: an integer clamped to a byte; none cuts the tuple before
// the position (never below 3 bytes).
void set_element(Cell* t, i32 index, const Cell* value) {
  if (type_of(value) == TYPE_INTEGER) {
    set_byte(t, u32(index - 1), clamp(int_of(value)));
  } else if (type_of(value) == TYPE_NONE) {
    u32 n = count(t);
    for (u32 i = u32(index - 1); i < n; ++i) set_byte(t, i, 0);
    u32 m = u32(index - 1);
    set_count(t, m < MIN_BYTES ? MIN_BYTES : m);
  } else {
    raise_with_type(Err::script_invalid_type, type_of(value));
  }
}

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep&) {
  if (type_of(element) != TYPE_INTEGER) raise_with_type(Err::script_invalid_type, type_of(element));
  i32 i = int_of(element);
  if (i < 1 || i > i32(count(parent))) fire(Err::script_out_of_range, element);
  if (!value) return integer::push(byte(parent, u32(i - 1)));
  set_element(parent, i, value);
  return value;
}

Cell* h_pick(Cell* t, i32 index, Cell* index_cell) {
  if (type_of(index_cell) != TYPE_INTEGER || index < 1 || index > i32(count(t))) {
    fire(Err::script_out_of_range, index_cell);
  }
  return integer::push(byte(t, u32(index - 1)));
}

i32 h_length(Cell* t) { return i32(count(t)); }

[[noreturn]] void raise_refine(const char* name, const Cell* value) {
  fire(Err::script_invalid_refine_arg, intern_word(name), value);
}

Cell* h_reverse(Cell* t, Cell* part, Cell* skip) {
  // A tuple holds at most MAX_BYTES bytes; saying so lets the compiler see
  // that the copy below stays inside its buffer.
  i32 run = std::min(i32(count(t)), i32(MAX_BYTES));
  if (part) {
    if (type_of(part) != TYPE_INTEGER) raise_refine("part", part);
    if (int_of(part) < 0) fire(Err::script_out_of_range, part);
    if (int_of(part) < run) run = int_of(part);
  }
  i32 size = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER) raise_refine("skip", skip);
    size = int_of(skip);
    if (size < 1) fire(Err::script_out_of_range, skip);
    if (size > run || run % size != 0) raise_refine("skip", skip);
  }
  u8 bytes[MAX_BYTES];
  for (i32 i = 0; i < run; ++i) bytes[i] = byte(t, u32(i));
  i32 groups = run / size;
  for (i32 g = 0; g < groups; ++g) {
    for (i32 k = 0; k < size; ++k) set_byte(t, u32(g * size + k), bytes[(groups - 1 - g) * size + k]);
  }
  return t;
}

Cell* h_random(Cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(i32(payload_xor(value)));
    return make_unset(stack::push());
  }
  for (u32 i = 0, n = count(value); i < n; ++i) {
    set_byte(value, i, u8(random::range(secure, byte(value, i) + 1) - 1));
  }
  return value;
}

}  // namespace

Cell* make_at(Cell* cell, u32 n, const u8* bytes) {
  start(cell, n < MIN_BYTES ? MIN_BYTES : n);
  for (u32 i = 0; i < n && i < MAX_BYTES; ++i) set_byte(cell, i, bytes[i]);
  return cell;
}

Cell* push(u32 n, u32 w1, u32 w2, u32 w3) {
  Cell* c = make_none(stack::push());
  start(c, n < MIN_BYTES ? MIN_BYTES : n);
  set_data_words(c, w1, w2, w3);
  return c;
}

void init() {
  types::register_datatype(
      {TYPE_TUPLE, TYPE_NO_TYPE, "tuple!",
       {.make = h_to, .random = h_random, .to = h_to, .form = h_form, .mold = h_mold,
        .eval_path = h_eval_path, .compare = h_compare, .add = h_add, .divide = h_divide,
        .multiply = h_multiply, .remainder = h_remainder, .subtract = h_subtract,
        .and_t = h_and, .complement = h_complement, .or_t = h_or, .xor_t = h_xor,
        .length_q = h_length, .pick = h_pick, .reverse = h_reverse}});
}

}  // namespace qel::tuple
