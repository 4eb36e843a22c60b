// A walk over a block by native code that runs Qel code between its steps
// (any, all, case, reduce, set of a block of words...).
//
// The code run at a step may empty, shorten or refill the block being walked,
// and a collection may then free whatever the cells past its new tail
// referred to: those cells are garbage. So a walk
//  - keeps its own rooted copy of the block value: the argument cell it came
//    from is often overwritten by the first result, and nothing else need
//    hold the block;
//  - reads the block's length again at every step, and never goes past the
//    length the block had when the walk began, like the evaluator itself
//    (cells appended meanwhile are not walked, so a block that grows as it is
//    walked still ends);
//  - hands out copies of cells, never pointers into the buffer, which moves.
#pragma once

#include "eval/interpreter.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"

namespace qel::walk {

// The number of cells of the series node now, but no more than limit.
inline u32 tail(u32 node, u32 limit) {
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  return n < limit ? n : limit;
}

class BlockWalk {
 public:
  // Walks the block (any block-like value) from its index (0 when negative).
  explicit BlockWalk(const Cell* block)
      : block_(*block),
        hold_(&block_),
        code_{&block_, series_node(&block_), mem::buffer_of(series_node(&block_))->used() / u32(sizeof(Cell))},
        pos(series_index(&block_) < 0 ? 0 : u32(series_index(&block_))) {}
  BlockWalk(const BlockWalk&) = delete;
  BlockWalk& operator=(const BlockWalk&) = delete;

  // The index just past the last cell the walk may still visit.
  u32 tail() const { return walk::tail(code_.node, code_.end); }
  bool more() const { return pos < tail(); }
  // The cell at index i, copied; i must be below tail().
  Cell at(u32 i) const { return mem::buffer_of(code_.node)->cells()[i]; }
  // What the evaluator walks: interp::eval_next(walk.code(), walk.pos, ...).
  const interp::Code& code() const { return code_; }
  const Cell* block() const { return &block_; }

 private:
  Cell block_;
  roots::CellRoot hold_;
  interp::Code code_;

 public:
  u32 pos;  // the index of the next cell to visit
};

}  // namespace qel::walk
