// What a dialect's walk and the commands it calls read, and how a drawing
// fails.
//
// Arguments are read by their datatypes: points (pair! or point2D!),
// numbers, scales, colours (a tuple, or a word holding one), each number
// made finite (graphics.hpp).
//
// Errors: draw-invalid (the block positioned at the offending value) and
// draw-infinite (a block that contains itself). With system/view/silent?
// on, a drawing stops quietly (SilentStop); otherwise, when the context
// catches its errors, the report is printed and the drawing stops quietly;
// else the error is raised.
#pragma once

#include "runtime/cell.hpp"
#include "view/backend/draw/context.hpp"

namespace qel::view::backend::draw {

struct Point {
  double x, y;
};
bool is_point(const Cell* c);   // pair! or point2D!
bool is_number(const Cell* c);  // integer! or float!
bool is_scale(const Cell* c);   // integer!, float! or percent!
bool is_finite(const Cell* c);  // no NaN or infinite number in it
Point point_of(const Cell* c);
double number_of(const Cell* c);
// A tuple, or a word whose value is a tuple: its colour value.
bool colour_of(const Cell* c, u32* colour, bool* has_alpha = nullptr);
// The value of a bound word (nullptr for an unbound one); valid until the
// next allocation.
const Cell* word_value(const Cell* word);

// The quiet end of a drawing: thrown in silent mode or once an error has been
// reported, and caught by whoever began the drawing.
struct SilentStop {};

[[noreturn]] void throw_draw_error(Context& ctx, const Cell* block, u32 index, bool infinite);
// The same without a context: the cycle stack entries above cycle_depth
// belong to the drawing.
[[noreturn]] void throw_draw_error(bool catch_errors, const Cell* block, u32 index, bool infinite,
                                   u32 cycle_depth);
// Whether system/view/silent? is true.
bool silent_mode();

}  // namespace qel::view::backend::draw
