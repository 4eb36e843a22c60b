// char!: one Unicode code point as a value (parent integer!, whose random,
// absolute, even? and odd? it takes).
//
// Char cell: header type 10, word 2 the code point, always 0 to 10FFFF.
// Arithmetic keeps that range: a result outside it (or beyond 32 bits)
// raises math overflow instead of wrapping or turning into another type.
#pragma once

#include "runtime/cell.hpp"

namespace qel::char_ {

void init();  // registers char!

Cell* push(u32 cp);                // a new char! on the arguments stack
Cell* make_in(u32 block, u32 cp);  // a new char! appended to a block

// The make and to handler: the spec cell turned into a char! (pushed).
Cell* make(Cell* proto, Cell* spec, Type type);
i32 compare(Cell* value, Cell* other, i32 op);

}  // namespace qel::char_
