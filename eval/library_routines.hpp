// The library's built-in routines (routine! values over C++ code) and the
// type predicates, defined by start-up before the library source runs.
#pragma once

#include "datatypes/function.hpp"
#include "runtime/cell.hpp"

namespace qel::library {

void define_routines();       // quit-return .. write-stdout
void define_math_routines();  // cos .. atan2, sqrt (radians)
void define_predicates();     // block? .. vector?, any-list? .. planar?

// Sets the global word to a routine! over the C++ entry (the spec is Qel
// source text of a function spec block).
void define_global_routine(const char* name, const char* spec, routines::Entry fn);

// Sets the field of the object (a field it has) to a routine! over the
// C++ entry.
void define_field_routine(Cell* obj, const char* name, const char* spec, routines::Entry fn);

// Puts the internal routines into the library functions that call them.
void wire_internal_routines();
// The same for the functions of the tools, which start-up defines last.
void wire_tool_routines();

// The routines of system/state/GC: active?, series-cycles, nodes-cycles.
void fill_gc_object(Cell* gc_object);

}  // namespace qel::library
