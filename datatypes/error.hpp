// error!: the datatype module (make, form, mold, compare, path access) and
// the catalogue lookups it shares with the raising code of runtime/error.cpp.
// The public interface of errors is runtime/error.hpp.
#pragma once

#include "runtime/cell.hpp"
#include "runtime/error.hpp"

namespace qel::error {

// The category a word names (its index in the `errors` object), or -1.
int category_index(const Cell* word);
// The context of category c's object.
u32 category_context(int c);
// The field index of the id a word names in category c, or -1 (code and
// type are not ids).
i32 id_field(int c, const Cell* word);
// Sets code, type and id of the error to field f of category c.
void set_entry(Cell* error, int c, u32 f);
// out (rooted) becomes a new error: a copy of the standard error object.
void new_error(Cell* out);
// Copies the evaluator's current position into `near` (when it can tell).
void fill_near(Cell* error);

// Appends the report (the error's form) to the string buffer; answers the
// limit less the characters written. A malformed error (unknown category or
// id, message of the wrong type) is first turned into internal invalid-error.
i32 form_report(Cell* error, Cell* buffer, i32 limit);

// The call-stack walk of a recorded position (records 0..position-1 from
// the bottom), of the records kept for the error (error_node) when they are
// (runtime/stack.hpp): at level 1 only calls of function! values, above it
// every call. trace_calls appends the words to a block; form_calls forms
// them, each followed by a space.
void trace_calls(i32 level, u32 error_node, u32 block, u32 position);
i32 form_calls(i32 level, u32 error_node, u32 position, Cell* buffer, i32 limit);

}  // namespace qel::error
