// The path family (path!, lit-path!, set-path!, get-path!) and paren!: series
// of cells exactly like block!, which they inherit from, made, formed and
// molded with their own punctuation. A path of n elements is written as its
// elements separated by "/"; lit-path! adds a leading quote, get-path! a
// leading colon and set-path! a trailing colon. A paren is written between
// "(" and ")".
#pragma once

#include "runtime/cell.hpp"

namespace qel::path {

void init();  // registers path!, lit-path!, set-path! and get-path!, in that order

// The cell becomes a path of that type and a copy of it is pushed (the lexer
// and compiled code turn a block under construction into a path this way).
Cell* push(Cell* cell);
// The cell becomes an empty path! with room for n cells (below 1: 1).
Cell* make_at(Cell* cell, i32 n);

}  // namespace qel::path

namespace qel::lit_path {
Cell* push(Cell* cell);
}
namespace qel::set_path {
Cell* push(Cell* cell);
}
namespace qel::get_path {
Cell* push(Cell* cell);
}

namespace qel::paren {
void init();  // registers paren!
Cell* push(Cell* cell);
}  // namespace qel::paren
