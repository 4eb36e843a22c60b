#include "datatypes/char.hpp"

#include <algorithm>

#include "datatypes/integer.hpp"
#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::char_ {

namespace {

using unicode::MAX_CODE_POINT;

[[noreturn]] void bad_to_arg(const Cell* spec) {
  Cell type;
  fire(Err::script_bad_to_arg, make_datatype(&type, TYPE_CHAR), spec);
}

// A double truncated toward zero when it lies inside the code-point range.
bool code_point_of(double d, u32* cp) {
  if (!(d > -1.0 && d < double(MAX_CODE_POINT) + 1.0)) return false;  // NaN fails too
  *cp = u32(d);
  return true;
}

// The UTF-8 sequence at the binary's index, never read past its tail.
u32 from_utf8(const Cell* bin) {
  mem::Buffer* b = mem::buffer_of(series_node(bin));
  u32 total = b->used();
  u32 index = u32(std::clamp<i32>(series_index(bin), 0, i32(total)));
  if (index == total) bad_to_arg(bin);
  const u8* p = b->head_ptr() + index;
  u32 available = total - index;
  i32 cp = unicode::decode_utf8_char_checked(p, available);  // raises on a malformed sequence
  if (cp < 0) unicode::raise_invalid_utf8(p, available);     // cut short by the tail
  return u32(cp);
}

i32 form(Cell* value, Cell* out, Cell*, i32 limit) {
  string::append_char(out, char_of(value));
  return limit - 1;
}

i32 mold(Cell* value, Cell* out, bool, bool all, bool, Cell*, i32 limit, i32) {
  u32 before = string::length_from_head(out);
  string::append_ascii(out, "#\"");
  string::mold_char(out, char_of(value), string::MOLD_ESCAPES, all);
  string::append_ascii(out, "\"");
  return limit - i32(string::length_from_head(out) - before);
}

// The arithmetic of the table's actions: the char! at the frame base and
// the operand after it; the result stays a char! in the base cell.
void do_math(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  i32 operand;
  switch (type_of(right)) {
    case TYPE_CHAR: case TYPE_INTEGER:
      operand = int_of(right);
      break;
    case TYPE_FLOAT: {
      double d = float_of(right);
      if (!(d > -2147483649.0 && d < 2147483648.0)) fire(Err::math_overflow);  // NaN too
      operand = i32(d);
      break;
    }
    case TYPE_VECTOR:
      fire(Err::internal_not_done);  // element-wise arithmetic belongs to vector!
    default: {
      Cell type;
      fire(Err::script_invalid_type, make_datatype(&type, type_of(right)));
    }
  }
  // A result cell lets add, subtract and multiply overflow into a float!
  // (then refused here); divide without one gives the truncated quotient.
  Cell result = *left;
  i32 r = integer::do_math_op(int_of(left), operand, op, op == OP_DIV ? nullptr : &result);
  if (type_of(&result) != TYPE_CHAR || r < 0 || u32(r) > MAX_CODE_POINT) fire(Err::math_overflow);
  set_int_payload(left, r);
}

void add() { do_math(OP_ADD); }
void subtract() { do_math(OP_SUB); }
void multiply() { do_math(OP_MUL); }
void divide() { do_math(OP_DIV); }
void remainder() { do_math(OP_REM); }
void and_t() { do_math(OP_AND); }
void or_t() { do_math(OP_OR); }
void xor_t() { do_math(OP_XOR); }

}  // namespace

Cell* push(u32 cp) { return make_char(stack::push(), cp); }

Cell* make_in(u32 block, u32 cp) { return make_char(mem::alloc_tail_cell(block), cp); }

Cell* make(Cell*, Cell* spec, Type) {
  Type t = type_of(spec);
  u32 cp = 0;
  if (is_any_string_type(t)) {
    if (string::is_tail(spec)) bad_to_arg(spec);
    cp = string::char_at(spec, u32(std::max(series_index(spec), 0)));
  } else if (t == TYPE_CHAR || t == TYPE_INTEGER) {
    if (int_of(spec) < 0 || u32(int_of(spec)) > MAX_CODE_POINT) fire(Err::script_out_of_range, spec);
    cp = t == TYPE_CHAR ? char_of(spec) : u32(int_of(spec));
  } else if (t == TYPE_FLOAT || t == TYPE_PERCENT) {
    if (!code_point_of(float_of(spec), &cp)) fire(Err::script_out_of_range, spec);
  } else if (t == TYPE_BINARY) {
    cp = from_utf8(spec);
  } else {
    bad_to_arg(spec);
  }
  return push(cp);
}

i32 compare(Cell* value, Cell* other, i32 op) {
  Type t = type_of(other);
  if ((op == COMP_STRICT_EQUAL || op == COMP_EQUAL_NO_CASE) && t != TYPE_CHAR) return 1;
  if (t != TYPE_CHAR && t != TYPE_INTEGER) return COMPARE_INCOMPARABLE;
  i32 a = int_of(value), b = int_of(other);
  return (a > b) - (a < b);
}

void init() {
  DatatypeDef def{TYPE_CHAR,
                  TYPE_INTEGER,
                  "char!",
                  {.make = make,
                   .reflect = nullptr,
                   .to = make,
                   .form = form,
                   .mold = mold,
                   .eval_path = nullptr,
                   .set_path = nullptr,
                   .compare = compare,
                   .add = add,
                   .divide = divide,
                   .multiply = multiply,
                   .negate = nullptr,
                   .power = nullptr,
                   .remainder = remainder,
                   .round = nullptr,
                   .subtract = subtract,
                   .and_t = and_t,
                   .complement = nullptr,
                   .or_t = or_t,
                   .xor_t = xor_t}};
  // No series or port actions (append .. write).
#define QEL_X(slot, member, name, sig) \
  if (slot >= ACT_append) def.actions.member = nullptr;
  QEL_ACTIONS(QEL_X)
#undef QEL_X
  types::register_datatype(def);
}

}  // namespace qel::char_
