// vector!: a packed series of numbers of one element type.
//
// Cell: word 1 the index in elements, word 2 the series node, word 3 the
// element type: char! (10), integer! (11), float! (12) or percent! (38). The
// element size in bytes is the buffer's unit: 1, 2 or 4 for char! and
// integer!, 4 or 8 for float!, 8 for percent!; the default sizes are 4 for
// char! and integer! and 8 for float! and percent!.
//
// Reading sign-extends 1- and 2-byte integer! elements (a byte 0xFF reads as
// -1), zero-extends char! elements (every code point stored reads back as
// itself) and widens 4-byte floats to doubles; writing stores the
// low bytes of an integer or char, or a double (8 bytes) or single float (4
// bytes). Most series actions are string!'s, over the unit machinery; this
// module adds making, element access, text, comparison, insertion, change
// and element-wise arithmetic.
#pragma once

#include "runtime/cell.hpp"

namespace qel::vector {

void init();  // registers vector! (after string!) and installs the series hooks

inline Type element_type(const Cell* v) { QEL_CHECK_TYPE(v, TYPE_VECTOR); return Type(v->w3); }
u32 element_size(const Cell* v);

// The cell becomes an empty vector with room for count elements of the type
// and size; a byte total beyond 32 bits raises internal no-memory.
Cell* make_at(Cell* cell, u32 count, Type type, u32 size);
// Pushes element i (counted from the buffer head) as a value.
Cell* get_value(const Cell* v, u32 i);
// The element at p, of a vector of the element type and size, as a value in
// out and as a number (sort compares elements so).
Cell* value_at(Cell* out, const u8* p, Type type, u32 size);
double number_at(const u8* p, Type type, u32 size);
// Stores a number into element i; a value that is no number raises script
// invalid-type.
void set_value(const Cell* v, u32 i, const Cell* value);
// Appends one value, which must have the element type (else script invalid-arg).
void rs_append(Cell* v, const Cell* value);
i32 length_from_index(const Cell* v);
// Makes out a block of the elements from the index.
void to_block(const Cell* v, Cell* out);

}  // namespace qel::vector
