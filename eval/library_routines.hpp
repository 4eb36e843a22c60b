// Making the library's routines (routine! values over C++ entries, whose
// bodies live in library/native/ and in the layers above), and the
// preprocessor's expansion of the code that `do` runs.
#pragma once

#include "datatypes/function.hpp"
#include "runtime/cell.hpp"

namespace qel::library {

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
// over the entry. A path that names no function, or a body without the
// placeholder, raises internal bad-path with the path and the placeholder:
// the library and the C++ code are out of step.
void wire(const char* fn_path, const char* placeholder, const char* spec, routines::Entry fn);

// Sets the field of the object (a field it has) to a routine! over the
// C++ entry.
void define_field_routine(Cell* obj, const char* name, const char* spec, routines::Entry fn);

}  // namespace qel::library
