// Comparison, logic and set-operation natives: the seven comparisons, same?,
// not, type?, union, intersect, unique, difference, exclude and complement?.
//
// Ordering and equality belong to each datatype's compare action, and the set
// operations to the datatype modules; these natives choose the operation and
// dispatch.
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/native.hpp"
#include "datatypes/function.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "datatypes/date.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/fastpath.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel::natives {

using interp::Status;

namespace {

Status compare_op(i32 op) {
  // Two integers are compared here; every other pair by its datatype's action.
  Cell* a = stack::base;
  if (type_of(a) == TYPE_INTEGER && type_of(a + 1) == TYPE_INTEGER) {
    make_logic(a, fast::compare_q(op, nullptr, a, a + 1));
    return api::done();
  }
  actions::compare_to_logic(op);
  return api::done();
}

// Identity: the datatypes must be equal, then the payload words that tell a
// value apart for that datatype.
bool same_values(Cell* a, Cell* b) {
  Type t = type_of(a);
  if (t != type_of(b)) return false;
  switch (t) {
    case TYPE_DATATYPE: return datatype_of(a) == datatype_of(b);
    case TYPE_LOGIC: return logic_of(a) == logic_of(b);
    case TYPE_OBJECT: return object::context_of(a) == object::context_of(b);
    case TYPE_CHAR: case TYPE_INTEGER: return int_of(a) == int_of(b);
    case TYPE_BITSET: return series_node(a) == series_node(b);
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
    case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
    case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_VECTOR:
    case TYPE_IMAGE:
      return series_node(a) == series_node(b) && series_index(a) == series_index(b);
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_PAIR: case TYPE_TIME:
      return same_words(a, b, WORD_2 | WORD_3);  // the 64-bit payload, bit for bit
    case TYPE_TUPLE: case TYPE_MONEY:
      return actions::compare(a, b, COMP_EQUAL);
    case TYPE_NONE: case TYPE_UNSET:
      return true;
    case TYPE_NATIVE: case TYPE_ACTION:
      return native::index_of(a) == native::index_of(b) &&
             function::spec_of(a) == function::spec_of(b);
    case TYPE_POINT2D:
      return same_words(a, b, WORD_1 | WORD_2);
    case TYPE_OP:
      return function::spec_of(a) == function::spec_of(b) && function::more_of(a) == function::more_of(b);
    default:
      return same_words(a, b, WORD_1 | WORD_2 | WORD_3);
  }
}

// The worker of the five set operations. The sets are the first cells of the
// frame (one for unique); refs are the native's: /case, then /skip.
Status set_operation(i32 op, const i32* refs) {
  bool case_ = ref(refs, 0);
  const Cell* skip = ref_arg(refs, 1);
  Cell* a = api::result();
  Cell* b = api::arg(1);
  Type ta = type_of(a);
  if (op != OP_UNIQUE) {
    Type tb = type_of(b);
    bool blocks = (ta == TYPE_BLOCK || ta == TYPE_HASH) && (tb == TYPE_BLOCK || tb == TYPE_HASH);
    if (!blocks && ta != tb) {
      Cell da, db;
      make_datatype(&da, ta);
      make_datatype(&db, tb);
      fire(Err::script_expect_val, &da, &db);
    }
  }
  switch (ta) {
    case TYPE_BLOCK: case TYPE_HASH:
      block::do_set_op(case_, skip, op);
      break;
    case TYPE_STRING:
      string::do_set_op(op, case_, skip);
      break;
    case TYPE_BITSET: case TYPE_TYPESET: {
      // Set operations on bit sets are their bitwise counterparts.
      i32 bitwise = op == OP_UNION ? OP_OR
                    : op == OP_INTERSECT ? OP_AND
                    : op == OP_DIFFERENCE ? OP_XOR
                    : op;
      if (ta == TYPE_BITSET) bitset::do_bitwise(bitwise);
      else typeset::do_bitwise(bitwise);
      break;
    }
    case TYPE_DATE:
      // The difference of two dates belongs to the date! module.
      if (op == OP_DIFFERENCE) {
        if (type_of(b) != TYPE_DATE) refuse_arg(b, 1);
        date::difference(a, b);
        break;
      }
      [[fallthrough]];
    default:
      refuse_arg(a, 0);
  }
  return api::done();
}

}  // namespace

Status equal_q(const i32*) { return compare_op(COMP_EQUAL); }
Status not_equal_q(const i32*) { return compare_op(COMP_NOT_EQUAL); }
Status strict_equal_q(const i32*) { return compare_op(COMP_STRICT_EQUAL); }
Status lesser_q(const i32*) { return compare_op(COMP_LESSER); }
Status lesser_or_equal_q(const i32*) { return compare_op(COMP_LESSER_EQUAL); }
Status greater_q(const i32*) { return compare_op(COMP_GREATER); }
Status greater_or_equal_q(const i32*) { return compare_op(COMP_GREATER_EQUAL); }

Status same_q(const i32*) { return answer_logic(same_values(api::result(), api::arg(1))); }

Status not_(const i32*) { return answer_logic(logic::is_false(api::result())); }

Status type_q(const i32* refs) {
  Type t = type_of(api::result());
  if (ref(refs, 0)) {
    // The name's symbol was kept when the datatype names were interned: the
    // word is found by it without spelling the name again.
    u32 sym = t < TYPE_SLOTS ? types::names[t].symbol : 0;
    Cell w = sym && !runtime::boot_flag ? *context::find_or_add(sym, true, true)
                                        : *intern_word(types::name_of(t));
    copy_cell(&w, api::result());
  } else {
    make_datatype(api::result(), t);
  }
  return api::done();
}

Status union_(const i32* refs) { return set_operation(OP_UNION, refs); }
Status intersect(const i32* refs) { return set_operation(OP_INTERSECT, refs); }
Status unique(const i32* refs) { return set_operation(OP_UNIQUE, refs); }
Status difference(const i32* refs) { return set_operation(OP_DIFFERENCE, refs); }
Status exclude(const i32* refs) { return set_operation(OP_EXCLUDE, refs); }

Status complement_q(const i32*) { return answer_logic(bitset::negated(api::result())); }

}  // namespace qel::natives
