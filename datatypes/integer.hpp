// integer!: the signed 32-bit integer, its cell routines, the decimal text
// that other datatypes share, the arithmetic worker shared with char! and
// the fast paths, and the action handlers.
//
// Integer cell: header type 11 (flag bits above kept by make_at), the value
// in word 2; words 1 and 3 carry nothing. char! keeps its code point in the
// same word, so the two types share the readers.
//
// Arithmetic never wraps: an add, subtract or multiply that leaves the 32-bit
// range, and a divide that is not exact, make the result a float! holding the
// operation carried out on doubles. The cases that have no representable
// answer at all raise math errors.
#pragma once

#include "runtime/cell.hpp"

namespace qel::integer {

void init();  // registers integer!

// ---- cells -----------------------------------------------------------------
inline i32 get(const Cell* c) { return int_of(c); }
i32 get_last();      // the value in the frame's base cell
i32 get_last_any();  // the same when the base cell is an integer!, else 0
Cell* box(i32 value);                  // the base cell becomes that integer!
Cell* make_at(Cell* cell, i32 value);  // keeps the cell's flag bits
Cell* make_in(u32 block, i32 value);   // appends an integer! to the block
Cell* push(i32 value);                 // on the arguments stack

inline i32 sign(i32 v) { return (v > 0) - (v < 0); }
// |v|; -2147483648 raises math overflow.
i32 abs(i32 v);

// The double truncated toward zero, kept inside the 32-bit range (values
// beyond it give the nearest bound) and 0 for NaN. Every conversion of a
// double to a 32-bit integer goes through here.
i32 truncate(double d);
// True when the float cell's double is above 2147483647.0, below
// -2147483648.0, or NaN: to integer! refuses it.
bool overflow_q(const Cell* float_cell);

// The decimal text of the value, in a static buffer valid until the next
// call.
const char* form_signed(i32 v);

// ---- arithmetic ---------------------------------------------------------------
// Operation codes of MathOp: add, subtract, multiply, divide, remainder, or,
// and, xor. Answers the 32-bit result and, when `result` is given, stores it
// in its word 2 (its type is left alone, so a char! stays a char!). An add,
// subtract or multiply that overflows, or an inexact divide, makes `result` a
// float! instead (its answer is then meaningless); without a result cell the
// overflow raises math overflow and a divide answers the truncated quotient.
// A zero divisor raises math zero-divide; -2147483648 / -1 raises math
// overflow.
i32 do_math_op(i32 left, i32 right, int op, Cell* result);
// The action-level worker: the integer at the frame base and the operand
// after it; the result replaces the base cell.
void do_math(int op);

// Conversions with their own readers.
i32 from_binary(const Cell* binary);  // up to 4 bytes from the index, big-endian
i32 from_issue(const Cell* issue);    // the spelling read as hexadecimal

// The compare handler (shared by the types that inherit from integer!).
i32 compare(Cell* value, Cell* other, i32 op);

}  // namespace qel::integer
