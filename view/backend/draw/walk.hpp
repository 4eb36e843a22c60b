// What the DRAW and SHAPE walks share: the block being walked, read again
// at every step, and the one loop over its values (each_value), which hands
// each keyword and nested block to the dialect's walk.
#pragma once

#include "datatypes/block.hpp"
#include "runtime/cell.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "view/backend/draw/arguments.hpp"
#include "view/backend/draw/context.hpp"
#include "view/backend/draw/words.hpp"

namespace qel::view::backend::draw {

// The block being walked, rooted, and the number of cells it had when the
// walk began (cells appended meanwhile are not walked).
class Walk {
 public:
  explicit Walk(const Cell* block)
      : node_(series_node(block)),
        limit_(mem::buffer_of(node_)->used() / u32(sizeof(Cell))),
        start_(series_index(block) < 0 ? 0 : u32(series_index(block))) {
    copy_cell(block, block_.get());
  }
  u32 node() const { return node_; }
  u32 start() const { return start_; }
  const Cell* block() { return block_.get(); }
  u32 tail() const {
    u32 n = mem::buffer_of(node_)->used() / u32(sizeof(Cell));
    return n < limit_ ? n : limit_;
  }
  // Cell i (valid until the next allocation), or a none cell past the tail.
  const Cell* at(u32 i) const {
    static const Cell none{TYPE_NONE, 0, 0, 0};
    return i < tail() ? mem::buffer_of(node_)->cells() + i : &none;
  }
  Type type_at(u32 i) const { return i < tail() ? type_of(at(i)) : TYPE_NO_TYPE; }
  // Numbers that are not finite are no arguments: the walk reports them
  // where they stand.
  bool point(u32 i) const { return i < tail() && is_point(at(i)) && is_finite(at(i)); }
  bool number(u32 i) const { return i < tail() && is_number(at(i)) && is_finite(at(i)); }
  bool scale(u32 i) const { return i < tail() && is_scale(at(i)) && is_finite(at(i)); }
  Word word(u32 i) const { return type_at(i) == TYPE_WORD ? word_of(at(i)) : W_NONE; }
  bool colour(u32 i, u32* c = nullptr, bool* alpha = nullptr) const {
    u32 ignored;
    return i < tail() && colour_of(at(i), c ? c : &ignored, alpha);
  }

 private:
  roots::LocalCell block_;
  u32 node_;
  u32 limit_;
  u32 start_;
};

// A set-word in a block: set to the block positioned at the value after it.
void set_word_at(Walk& w, u32 i);

// The cycle stack entry of a walk: a block already on it is draw-infinite.
u32 checked_node(Context& ctx, const Cell* block);

// The loop of both walks: each value of the block in its order, the tail
// read again at every step (a set-word's owner may change the block). A
// word is a keyword (so is a lit-word, where the dialect takes them:
// `Dialect::lit_words`), whose handler answers where the walk goes on; a
// block is walked nested; a set-word sets its word; any other value is
// reported where it stands.
template <class Dialect>
void each_value(Walk& w, Dialect& d) {
  for (u32 i = w.start(); i < w.tail();) {
    const Cell* c = w.at(i);
    switch (type_of(c)) {
      case TYPE_WORD:
        i = d.keyword(i, word_of(c), false);
        break;
      case TYPE_LIT_WORD:
        if constexpr (!Dialect::lit_words) d.fail(i);
        i = d.keyword(i, word_of(c), true);
        break;
      case TYPE_SET_WORD:
        set_word_at(w, i);
        ++i;
        break;
      case TYPE_BLOCK: {
        Cell nested = *c;
        d.nested(&nested);
        ++i;
        break;
      }
      default:
        d.fail(i);
    }
  }
}

}  // namespace qel::view::backend::draw
