// The natives table: one entry per native, indexed by id - 1.
//
// Entry protocol (runtime/api.hpp): argument i of the spec (refinement
// arguments included) is api::arg(i); refs[k] is the index of refinement k's
// first argument cell (for a refinement without arguments, where they would
// start), or -1 when the refinement is not used (api::Args reads it). The
// entry leaves its result in api::result() and answers a status for the
// natives that evaluate code or unwind; the others answer 0.
#pragma once

#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/native_list.hpp"
#include "runtime/error.hpp"

namespace qel::natives {

enum Id : u32 {
#define QEL_X(id, member, word, spec) N_##member = id,
  QEL_NATIVES(QEL_X)
#undef QEL_X
};
inline constexpr u32 TABLE_SIZE = 120;
inline constexpr u32 COUNT = 107;

using Entry = interp::Status (*)(const i32* refs);

void init();              // registers every entry in id order
Entry entry(u32 id);      // 1-based; an empty slot's raises internal not-done
const char* word_of(u32 id);
const char* spec_of(u32 id);
u32 count();              // the id the next registration would get
// Installs an entry in the next free slot of the table, for code that adds
// natives of its own (a host, a test standing in for a Qel callback); answers
// its id, to make a native! value with (native::push). Raises internal
// not-done when the table is full.
u32 add(Entry e);

extern bool last_lf;      // the last print/prin output ended with a line end

// Processes the GUI events that are pending (no_wait) without blocking;
// `wait` calls it after sleeping. The GUI core sets it when the backend
// starts; null while there is none.
extern void (*gui_do_events)(bool no_wait);

// Entries, by family (each family's file defines its own).
#define QEL_X(id, member, word, spec) interp::Status member(const i32* refs);
QEL_NATIVES(QEL_X)
#undef QEL_X

// What the conditionals and the counting loops decide, with their arguments in
// their frame; the natives and the compiled form of calls to them both ask
// here. The branch either, if or unless (native) runs: its argument's index,
// or -1 when none runs (the result is then none); either raises script
// no-return on an unset condition.
i32 chosen_branch(u32 native);
// The passes of loop and repeat: a count from an integer! or a float!
// (truncated toward zero).
i32 loop_count(const Cell* count);
// One pass of repeat begins (args: its 'word, counter, body): the counter
// moves on to pass, and the word gets a copy of it.
void repeat_pass(Cell* args, i32 pass);
// The walks of foreach and remove-each (args: their 'word or words block,
// series, body), in the steps both the natives and the compiled form take.
// walk_begin checks the words (and, for foreach, a map's two words) and
// pushes the walk's two cells: its copy of the series, at its index, and
// its own copy of a words block; it answers the word count. walk_step sets
// the words from the next elements (none past the tail) and answers how
// many it visited (0: the end). remove_visited removes the elements a step
// visited from position pos, the walk going on at pos.
i32 walk_begin(Cell* args, bool foreach);
i32 walk_step(const Cell* args, Cell* cells, i32 n);
// The step of a walk of one word over a list, for a caller that sets the
// word itself: the element (a cell of the list, valid until the next
// allocation), the walk moved past it and *word set to the word. Null, with
// nothing done, for any other walk or at the tail: walk_step takes the step.
const Cell* walk_next_cell(const Cell* args, Cell* cells, i32 n, Cell* word);
void remove_visited(Cell* cells, i32 pos, i32 visited);
// forall (args: its 'word, body): forall_begin checks the word's series and
// pushes its saved copy; forall_any, in the loop frame, whether a first
// pass runs (the series is not at its tail); forall_next moves the word on
// after a pass (bad-loop-series when it no longer holds that series) and
// answers whether another pass runs; forall_end sets the word back to the
// saved series.
void forall_begin(Cell* args);
bool forall_any(const Cell* saved);
bool forall_next(Cell* args, const Cell* saved);
void forall_end(Cell* args, const Cell* saved);

// Evaluates every expression of a block into a new block, written into out
// (a rooted cell).
interp::Status reduce_into_new(const Cell* block, Cell* out);
// Its steps, which the compiled form takes too: the new block made in out,
// with room for the block's cells from pos to tail; the value last pushed
// appended to it (its new-line marker cleared), staying pushed.
void reduce_begin(Cell* out, u32 cells);
void reduce_append(const Cell* out);

// Entries read their arguments and write their result through the native
// API (runtime/api.hpp); these name its refinement view for the refs array.
inline bool ref(const i32* refs, int k) { return api::Args(refs).ref(u32(k)); }
inline Cell* ref_arg(const i32* refs, int k) { return api::Args(refs).ref_arg(u32(k)); }
using api::answer_logic;

// Raises script expect-arg: argument `arg` (counted from 0) of the running
// native holds a value of a datatype the native does not take.
[[noreturn]] inline void refuse_arg(const Cell* value, u32 arg) {
  Cell call, type, name;
  stack::get_call(&call);
  make_datatype(&type, type_of(value));
  error::arg_word(arg, &name);
  fire(Err::script_expect_arg, &call, &type, &name);
}

}  // namespace qel::natives
