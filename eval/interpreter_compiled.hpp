// The compiled form of code: a block that runs again and again (a function
// body, a loop body, a branch) is read once into a flat list of operations,
// which then run without decoding cells, reading words' slots directly and
// calling natives, actions and other compiled bodies from one C++ loop.
//
// The compiled form answers exactly as the reference routines do
// (eval/interpreter.cpp): the same frames in the same order, the same held
// blocks and current code, the same arguments stack, the same errors at the
// same moment. It keeps all of them exact at every step, so anything that
// looks (an error, a native, the collector, a callback) sees what the
// reference would show, and it can hand any expression to the reference
// routines and go on after it.
//
// What the compiled form assumes it checks where the reference would read:
// - A word is read when its expression runs: a call compiled for the
//   function a word held checks that the word's slot still holds exactly
//   that value, an operator likewise, and a word compiled as data checks its
//   value's type. Anything else hands the expression to the reference.
// - Code: the cells a unit was made from are checked by the code epoch
//   (runtime/code_epoch.hpp) when a unit is entered and after anything that
//   can run other code. When they changed, the unit's running activations
//   read the rest of their code as the reference does.
// - Positions: every expression records where it begins; when an expression
//   handed to the reference ended elsewhere than the compiled code expected,
//   what follows is handed to the reference too.
//
// Only untraced evaluations run compiled code (the trace flag changes only at
// call boundaries, which enter the reference again), and none under the
// reference switch.
#pragma once

#include "eval/interpreter.hpp"

namespace qel::interp::compiled {

struct Unit;

// The compiled form of a function's body, made at its first call (null:
// the reference runs it).
Unit* unit_for_body(const Cell* body);
// The compiled form of a block run by eval_block, made at its first run
// (null: the reference runs it).
Unit* unit_for_block(const Cell* block);

// The compiled form of a block walked expression by expression (any, all,
// case, reduce, print), made at its second walk (null: the reference runs
// it).
Unit* unit_for_walk(const Cell* block);
// One expression of the walked block at pos, as eval_next evaluates it (in
// a frame of its own; sub: its value pushed); advances pos past it. An
// expression the unit does not begin at pos runs as the reference runs it.
Status eval_next(Unit* u, const Code& code, u32& pos, bool sub);

// The unit of a block that native code runs again and again (a PARSE
// rule's paren), kept by that code between runs: used again while no unit
// was retired since and the code is unchanged, else found again.
struct UnitCache {
  Unit* unit = nullptr;
  u32 gen = 0;
};
Unit* cached_unit_for_block(const Cell* block, UnitCache& cache);

// Runs the unit's code for the block value (the unit's block) in a frame of
// its own, as eval_block does (chain: the result is also copied into the
// caller's base). For a function's body, fctx is the function's context and
// fbase the base of its frame (its arguments and locals), else 0 and null.
Status run(Unit* u, const Cell* block, bool chain, u32 fctx, Cell* fbase);

void init();
// While start-up runs the library, most of whose blocks run once, a block is
// compiled only at its second run: what start-up runs once costs no unit.
void set_starting(bool on);
// Every unit is made again at its next run (the library's code was just
// marked as such: units made before read it as a script's code).
void forget_all();

}  // namespace qel::interp::compiled
