// The library's built-in routines (routine! values over C++ code) and the
// type predicates, defined by start-up before the library source runs.
#pragma once

#include "runtime/cell.hpp"

namespace qel::library {

void define_routines();       // quit-return .. write-stdout
void define_math_routines();  // cos .. atan2, sqrt (radians)
void define_predicates();     // block? .. vector?, any-list? .. planar?

// Puts the internal routines into the library functions that call them.
void wire_internal_routines();

// The routines of system/state/GC: active?, series-cycles, nodes-cycles.
void fill_gc_object(Cell* gc_object);

}  // namespace qel::library
