// issue!: a word written with a leading "#" (#ABC-123). The cell is a word
// cell (type 20) whose symbol is interned like any word's, in the global
// context and never bound (index -1). Form is word!'s (the spelling without
// "#"); an issue compares only with another issue.
#pragma once

#include "runtime/cell.hpp"

namespace qel::issue {

void init();  // registers issue!

// target becomes an issue of the interned UTF-8 text.
Cell* make_at(Cell* target, const char* text);
Cell* make_from_symbol(Cell* target, u32 sym);
// Interns the NUL-terminated UTF-8 text; appends a new issue to the block
// (in_block) or fills a new cell on the arguments stack. Answers the cell.
Cell* load(const char* text, u32 block, bool in_block);
// A copy of the cell on the arguments stack, retyped issue!.
Cell* push(const Cell* cell);

}  // namespace qel::issue
