// float!: the 64-bit IEEE double, the text form of every floating value, the
// arithmetic worker shared by float!, percent!, time! and integer arithmetic
// that meets a float, the tolerant equality, rounding, and the handlers.
//
// Float cell: header type 12, the double in words 2 and 3 (low word first);
// word 1 carries nothing. percent! (a fraction: 50% holds 0.5) and time!
// (seconds) have the same layout and inherit these handlers.
//
// Arithmetic on doubles never raises: a zero divisor gives an infinity or
// NaN, which flow through and form as "1.#INF", "-1.#INF" and "1.#NaN".
#pragma once

#include "runtime/cell.hpp"
#include "runtime/error.hpp"
#include "runtime/float_text.hpp"

namespace qel::float_ {

void init();  // registers float!

// The display adjustments of form (on at start-up; system/options mirrors it).
extern bool pretty;

// ---- cells -----------------------------------------------------------------
inline double get(const Cell* c) { return float_of(c); }
Cell* box(double d);                  // the base cell becomes that float!
Cell* make_at(Cell* cell, double d);  // keeps the cell's flag bits
Cell* make_in(u32 block, double d);   // appends a float! to the block
Cell* push(double d);
Cell* push64(u32 low, u32 high);      // from the two halves of a double
double abs(u32 low, u32 high);        // the double with its sign bit cleared

// d + 0.49999999999999994 truncated toward zero to a 32-bit integer: the
// nearest integer, halves up, for non-negative values.
i32 round_to_int(double d);
bool nan_q(u32 low, u32 high);
bool nan32_q(float f);
bool infinite_q(double d);  // NaN answers false

// The equality of = and <>: NaN equals nothing; otherwise equal when exactly
// equal, within the double epsilon, or at most 10 units in the last place
// apart. An infinity equals only itself.
bool equal64_q(double a, double b);
// The same rule for 32-bit floats (vector elements, point coordinates).
bool equal32_q(float a, float b);

// The display text of a floating value in a form mode (see float_text.hpp).
float_text::Text form(double d, float_text::FormMode mode);

// ---- arithmetic -------------------------------------------------------------
// Add, subtract, multiply, divide and remainder of two doubles; any other
// code raises script cannot-use.
double do_math_op(double x, double y, int op);
// The action-level worker on the two cells at the frame base. The left may be
// a float!, percent!, time!, or an integer! (or char!) handed on by integer
// arithmetic. Result type: time! when either operand is a time!, else
// percent! when the left is a percent!, else float!.
void do_math(int op);
// power: base at the frame base (a floating value), exponent after it.
void power();
// Runs the arithmetic handler of another datatype (pair!, tuple!, date!, ...)
// for the operation on the two cells at the frame base; raises script
// invalid-type when that datatype has none.
void delegate_math(Type owner, int op);

// Rounds d to a multiple of the scale s (a positive magnitude) by the round
// refinements; s of 0 leaves d unchanged.
struct RoundMode {
  bool even, down, half_down, floor, ceiling, half_ceiling;
};
double round_to_scale(double d, double s, const RoundMode& mode);
// The round action of float! and percent! (also integer! with a scale that is
// no integer!): the value cell is rounded in place and answered.
Cell* round(Cell* value, Cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling);

// A random double between 0 and x.
double random(double x, bool secure);

// The compare handler (float!, percent!, time!).
i32 compare(Cell* value, Cell* other, i32 op);

// ---- errors the number datatypes raise (integer! and the floating types) ------
// The error with the datatype! of t as its argument.
[[noreturn]] void raise_with_type(Err e, Type t);
// script not-related: the action (its word) does not apply to a value of type t.
[[noreturn]] void raise_not_related(const char* action, Type t);
// script bad-to-arg: the value cannot become a value of the target type.
[[noreturn]] void raise_bad_to(Type target, const Cell* value);

}  // namespace qel::float_
