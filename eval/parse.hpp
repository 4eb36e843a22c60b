// PARSE: matches a series against a block of grammar rules.
//
// The engine is one iterative machine over two explicit stacks, never native
// recursion per rule, so a deep grammar costs stack entries, not C++ stack:
//   rules stack   one entry per rule block entered (its position, the input
//                 index where its alternatives restart) and one per pending
//                 command (`some`, `copy`, `collect`, ...: its counters and
//                 the rule position where it began);
//   input stack   the outer inputs saved by `into` while a nested value is
//                 parsed.
// Both stacks are shared by every PARSE in progress: a nested PARSE (from a
// rule's paren, or from the trace callback) works above the entries of the
// one that called it and cuts both stacks back to where it found them when it
// returns or unwinds, so after any error the stacks are as they were at
// entry. The collector marks every value the stacks hold.
//
// Input kinds: any-block! values match value by value; any-string! values
// match code point by code point.
#pragma once

#include "eval/interpreter.hpp"
#include "runtime/cell.hpp"

namespace qel::parse {

// Interns the keyword and event words and registers the mark callback. Runs
// once during runtime initialisation, after the symbol table exists.
void init();

// Runs the rules over the input from its index. limit: the number of units
// (values or code points) from the index that may be matched, or -1 for all
// of them. callback: a function! that receives the trace events, or null.
// Leaves the result in out (a cell that does not move): logic!, or the block
// collected by a top-level `collect`.
void run(Cell* out, const Cell* input, const Cell* rules, bool case_sensitive, i32 limit,
         const Cell* callback);

// The parse native: input rules /case /part length /trace callback.
interp::Status native(const i32* refs);

// Untraced runs go through compiled rules (never while the evaluator runs as
// the reference, QEL_EVAL_REFERENCE=1); the differential tests switch them.
void use_compiled_rules(bool on);

// Entries on the rules and input stacks (all PARSE runs together); 0 when no
// PARSE is running.
u32 rules_depth();
u32 inputs_depth();

}  // namespace qel::parse
