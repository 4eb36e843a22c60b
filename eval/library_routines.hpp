// The library's built-in routines (routine! values over C++ code) and the
// type predicates, defined by start-up before the library source runs.
#pragma once

#include <string>

#include "datatypes/function.hpp"
#include "runtime/cell.hpp"

namespace qel::library {

void define_routines();       // quit-return .. write-stdout
void define_math_routines();  // cos .. atan2, sqrt (radians)
void define_predicates();     // block? .. vector?, any-list? .. planar?
void define_text_routines();  // unescape

// Expands the directives and macros of code (a block or paren) in place with
// the library's preprocessor, the job being none; nothing when the library
// has no preprocessor.
void expand_directives(const Cell* code);

// Sets the global word to a routine! over the C++ entry (the spec is Qel
// source text of a function spec block).
void define_global_routine(const char* name, const char* spec, routines::Entry fn);
// A routine! over the C++ entry into out (rooted), without setting a word.
void make_routine(const char* name, const char* spec, routines::Entry fn, Cell* out);

// Replaces, in the body of the function that `fn_path` names (a global word
// and object fields, space-separated), each word `placeholder` by a routine!
// over the entry; does nothing when the path names no function.
void wire(const char* fn_path, const char* placeholder, const char* spec, routines::Entry fn);

// Sets the field of the object (a field it has) to a routine! over the
// C++ entry.
void define_field_routine(Cell* obj, const char* name, const char* spec, routines::Entry fn);

// Puts the internal routines into the library functions that call them.
void wire_internal_routines();
// The same for the functions of the tools and the reactivity, which start-up
// defines after the system object.
void wire_tool_routines();

// The routines of system/state/GC: active?, series-cycles, nodes-cycles.
void fill_gc_object(Cell* gc_object);

}  // namespace qel::library
