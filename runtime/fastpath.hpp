// Fast paths for arithmetic, comparison and simple series steps.
//
// The common cases (two integer! values, two float! values, a block!) are
// handled inline without opening a frame; every other case falls back to the
// generic action inside a native frame named by `word`, so that errors name
// the operation. The results are exactly those of the generic actions:
// integer overflow of add, subtract and multiply gives the float! of the exact
// operands combined in floating point.
#pragma once

#include "runtime/actions.hpp"
#include "runtime/cell.hpp"

namespace qel::fast {

// Arithmetic codes (MathOp): OP_ADD, OP_SUB, OP_MUL, OP_OR, OP_AND, OP_XOR.
Cell* math(int op, const Cell* word, const Cell* left, const Cell* right);   // pushed
Cell* math_int(int op, const Cell* word, const Cell* left, i32 n);           // pushed
void math_into(int op, const Cell* word, const Cell* right);     // over the last pushed cell
void math_int_into(int op, const Cell* word, i32 n);

// Comparison codes (CompareOp 0..6).
Cell* compare(int op, const Cell* word, const Cell* left, const Cell* right);  // logic! pushed
// Any pair through the comparison action, inside a native frame named by word.
bool generic_compare(int op, const Cell* word, const Cell* left, const Cell* right);
// An integer relation under comparison codes 0..6 (inline: the evaluator's
// short paths compare integers at every step).
inline bool int_relation(int op, i32 a, i32 b) {
  switch (op) {
    case COMP_EQUAL: case COMP_STRICT_EQUAL: return a == b;
    case COMP_NOT_EQUAL: return a != b;
    case COMP_LESSER: return a < b;
    case COMP_LESSER_EQUAL: return a <= b;
    case COMP_GREATER: return a > b;
    default: return a >= b;
  }
}
inline bool compare_q(int op, const Cell* word, const Cell* left, const Cell* right) {
  if (type_of(left) == TYPE_INTEGER && type_of(right) == TYPE_INTEGER) {
    return int_relation(op, int_of(left), int_of(right));
  }
  return generic_compare(op, word, left, right);
}
bool compare_int_q(int op, const Cell* word, const Cell* left, i32 n);

// A path step with a constant integer index: block! inline, others via eval-path.
Cell* pick(const Cell* value, i32 n, const Cell* word);

// Series steps.
enum SeriesOp { S_LENGTH = 1, S_INDEX, S_HEAD_Q, S_TAIL_Q, S_NEXT, S_BACK, S_HEAD, S_TAIL };
Cell* series_op(const Cell* value, int op, const Cell* word);

// Integer arithmetic with the overflow rule, shared with integer!'s actions.
// Answers false (and leaves out untouched) when the result does not fit.
// Inline: the evaluator's short paths combine integers at every step.
inline bool int_op(int op, i32 a, i32 b, i32* out) {
  switch (op) {
    case OP_ADD: return !__builtin_add_overflow(a, b, out);
    case OP_SUB: return !__builtin_sub_overflow(a, b, out);
    case OP_MUL: return !__builtin_mul_overflow(a, b, out);
    case OP_OR: *out = a | b; return true;
    case OP_AND: *out = a & b; return true;
    case OP_XOR: *out = a ^ b; return true;
    default: return false;
  }
}

}  // namespace qel::fast
