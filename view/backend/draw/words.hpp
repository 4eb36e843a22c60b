// The words of the DRAW, SHAPE and text-style dialects, matched by canonical
// symbol (so spellings that differ only in letter case match).
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::backend::draw {

#define QEL_DRAW_WORDS(X)                                                                    \
  X(PEN, "pen") X(FILL_PEN, "fill-pen") X(BOX, "box") X(LINE, "line")                        \
  X(LINE_WIDTH, "line-width") X(LINE_JOIN, "line-join") X(LINE_CAP, "line-cap")              \
  X(LINE_PATTERN, "line-pattern") X(TRIANGLE, "triangle") X(POLYGON, "polygon")              \
  X(CIRCLE, "circle") X(ELLIPSE, "ellipse") X(ANTI_ALIAS, "anti-alias") X(FONT, "font")      \
  X(TEXT, "text") X(ARC, "arc") X(CURVE, "curve") X(SPLINE, "spline") X(IMAGE, "image")      \
  X(SHADOW, "shadow") X(CLIP, "clip") X(SHAPE, "shape") X(ROTATE, "rotate") X(SCALE, "scale") \
  X(TRANSLATE, "translate") X(SKEW, "skew") X(TRANSFORM, "transform") X(PUSH, "push")        \
  X(MATRIX, "matrix") X(RESET_MATRIX, "reset-matrix") X(INVERT_MATRIX, "invert-matrix")     \
  X(OFF, "off") X(LINEAR, "linear") X(RADIAL, "radial") X(DIAMOND, "diamond")                \
  X(PATTERN, "pattern") X(BITMAP, "bitmap") X(PAD, "pad") X(REPEAT, "repeat")                \
  X(REFLECT, "reflect") X(TILE, "tile") X(FLIP_X, "flip-x") X(FLIP_Y, "flip-y")              \
  X(FLIP_XY, "flip-xy") X(CLAMP, "clamp") X(MITER, "miter") X(MITER_BEVEL, "miter-bevel")    \
  X(ROUND, "round") X(BEVEL, "bevel") X(FLAT, "flat") X(SQUARE, "square")                    \
  X(CLOSED, "closed") X(BORDER, "border") X(CROP, "crop") X(INSET, "inset")                  \
  X(REPLACE, "replace") X(INTERSECT, "intersect") X(UNION, "union") X(XOR, "xor")            \
  X(EXCLUDE, "exclude") X(MOVE, "move") X(HLINE, "hline") X(VLINE, "vline") X(CURV, "curv")  \
  X(QCURVE, "qcurve") X(QCURV, "qcurv") X(CLOSE, "close") X(SWEEP, "sweep") X(LARGE, "large") \
  X(BOLD, "bold") X(ITALIC, "italic") X(UNDERLINE, "underline") X(STRIKE, "strike")          \
  X(BACKDROP, "backdrop")

enum Word : u8 {
  W_NONE = 0,
#define QEL_X(id, name) W_##id,
  QEL_DRAW_WORDS(QEL_X)
#undef QEL_X
  W_COUNT_
};

// Interns the words (once; it allocates, so call it before taking pointers
// into blocks).
void init_words();
// The dialect word a word cell (of any word type) names, W_NONE for others.
Word word_of(const Cell* c);
// The canonical symbol of a dialect word.
u32 symbol_of_word(Word w);

}  // namespace qel::view::backend::draw
