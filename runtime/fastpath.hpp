// Fast paths for arithmetic, comparison and simple series steps.
//
// The common cases (two integer! values, two float! values, a block!) are
// handled inline without opening a frame; every other case falls back to the
// generic action inside a native frame named by `word`, so that errors name
// the operation. The results are exactly those of the generic actions:
// integer overflow of add, subtract and multiply gives the float! of the exact
// operands combined in floating point.
#pragma once

#include "runtime/cell.hpp"

namespace qel::fast {

// Arithmetic codes (MathOp): OP_ADD, OP_SUB, OP_MUL, OP_OR, OP_AND, OP_XOR.
Cell* math(int op, const Cell* word, const Cell* left, const Cell* right);   // pushed
Cell* math_int(int op, const Cell* word, const Cell* left, i32 n);           // pushed
void math_into(int op, const Cell* word, const Cell* right);     // over the last pushed cell
void math_int_into(int op, const Cell* word, i32 n);

// Comparison codes (CompareOp 0..6).
Cell* compare(int op, const Cell* word, const Cell* left, const Cell* right);  // logic! pushed
bool compare_q(int op, const Cell* word, const Cell* left, const Cell* right);
bool compare_int_q(int op, const Cell* word, const Cell* left, i32 n);

// A path step with a constant integer index: block! inline, others via eval-path.
Cell* pick(const Cell* value, i32 n, const Cell* word);

// Series steps.
enum SeriesOp { S_LENGTH = 1, S_INDEX, S_HEAD_Q, S_TAIL_Q, S_NEXT, S_BACK, S_HEAD, S_TAIL };
Cell* series_op(const Cell* value, int op, const Cell* word);

// Integer arithmetic with the overflow rule, shared with integer!'s actions.
// Answers false (and leaves out untouched) when the result does not fit.
bool int_op(int op, i32 a, i32 b, i32* out);

}  // namespace qel::fast
