// The series helpers' routines: what split answers, in C++, which split runs
// first.
//
// The library's own code (library/series.qel) stays the definition. _split
// answers the pieces that split's PARSE rule collects, for every series and
// delimiter but an empty string delimiter (a delimiter that matches nothing
// in each round), where it answers none and the rule runs. As the rule
// matches, a char or a string delimiter is found without regard to case (by
// the case fold PARSE compares with) and a bitset by its members as they
// are; each piece is a copy of its part of the series, of the series' type,
// and a series that ends with a delimiter (or is empty) ends with an empty
// string!. Under the evaluator's reference switch (QEL_EVAL_REFERENCE=1) it
// answers none, so that the differential passes check the library code.
#include <algorithm>
#include <cstring>
#include <vector>

#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/string.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "library/native/routines.hpp"
#include "runtime/api.hpp"
#include "runtime/casefold.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::library::native {

namespace {

using mem::Buffer;
using mem::buffer_of;

// The case fold of every 1-byte unit, made at first use.
const u32* latin1_folds() {
  static u32 table[256];
  static bool made = false;
  if (!made) {
    for (u32 c = 0; c < 256; ++c) table[c] = casefold::upper(c);
    made = true;
  }
  return table;
}

// Where split's rule cuts a series: the start and end of each piece.
struct Cut {
  u32 from, to;
};

// Finds the pieces of units [start, total) of a series' buffer cut at each
// delimiter, as `to [dlm | end] num skip` does round after round. Nothing
// allocates while it runs. Answers whether the series ends at a delimiter
// (or is empty): the rule then keeps an empty piece at the end.
class Splitter {
 public:
  Splitter(const Buffer* b, const Cell* dlm) : unit_(b->unit()), h_(b->head_ptr()), dlm_(dlm) {}

  // The pattern of a string delimiter (from its index), or false for an
  // empty one.
  bool prepare() {
    if (type_of(dlm_) == TYPE_CHAR) {
      want_ = char_of(dlm_);
      folded_ = casefold::upper(want_);
      if (unit_ == 1) {
        // (remembered for the last character: a split is often one of many
        // at the same delimiter)
        static struct {
          u32 want = 0xFFFFFFFF;
          i32 first, second;
          bool many;
        } last;
        if (last.want != want_) {
          const u32* folds = latin1_folds();
          last = {want_, -1, -1, false};
          for (u32 c = 0; c < 256; ++c) {
            if (c != want_ && folds[c] != folded_) continue;
            if (last.first < 0) last.first = i32(c);
            else if (last.second < 0) last.second = i32(c);
            else last.many = true;
          }
        }
        first_ = last.first;
        second_ = last.second;
        many_ = last.many;
      }
      return true;
    }
    if (type_of(dlm_) == TYPE_BITSET) return true;
    const Buffer* pb = buffer_of(series_node(dlm_));
    punit_ = pb->unit();
    u32 ptotal = pb->used() / punit_;
    u32 pidx = u32(std::clamp<i32>(series_index(dlm_), 0, i32(ptotal)));
    plen_ = ptotal - pidx;
    p_ = pb->head_ptr() + u64(pidx) * punit_;
    return plen_ > 0;
  }

  bool cut(u32 start, u32 total, std::vector<Cut>& cuts) {
    u32 num = type_of(dlm_) == TYPE_STRING ? plen_ : 1;
    u32 pos = start;
    for (;;) {
      if (pos >= total) return true;
      u32 at = find(pos, total);
      cuts.push_back({pos, at});
      if (at >= total) return false;
      pos = at + num;
    }
  }

 private:
  u32 char_at(u32 i) const { return string::get_char(h_ + u64(i) * unit_, unit_); }

  // The first index from pos where the delimiter matches, or total.
  u32 find(u32 pos, u32 total) const {
    switch (type_of(dlm_)) {
      case TYPE_CHAR: {
        if (unit_ == 1) {
          // The units that match are one or two (a letter's two cases): a
          // search for the one, or a walk that compares with both.
          if (second_ < 0) {
            if (first_ < 0) return total;
            const void* at = std::memchr(h_ + pos, first_, total - pos);
            return at ? u32(static_cast<const u8*>(at) - h_) : total;
          }
          if (!many_) {
            for (u32 i = pos; i < total; ++i) {
              if (h_[i] == first_ || h_[i] == second_) return i;
            }
            return total;
          }
          const u32* folds = latin1_folds();
          for (u32 i = pos; i < total; ++i) {
            if (h_[i] == want_ || folds[h_[i]] == folded_) return i;
          }
          return total;
        }
        for (u32 i = pos; i < total; ++i) {
          u32 c = char_at(i);
          if (c == want_ || casefold::upper(c) == folded_) return i;
        }
        return total;
      }
      case TYPE_BITSET: {
        u32 bits = series_node(dlm_);
        for (u32 i = pos; i < total; ++i) {
          if (bitset::test_bit(bits, char_at(i))) return i;
        }
        return total;
      }
      default: {
        if (plen_ > total) return total;
        u32 first = casefold::upper(string::get_char(p_, punit_));
        for (u32 i = pos; i + plen_ <= total; ++i) {
          u32 c = char_at(i);
          if (c != first && casefold::upper(c) != first) continue;
          u32 k = 1;
          for (; k < plen_; ++k) {
            u32 a = char_at(i + k), w = string::get_char(p_ + u64(k) * punit_, punit_);
            if (a != w && casefold::upper(a) != casefold::upper(w)) break;
          }
          if (k == plen_) return i;
        }
        return total;
      }
    }
  }

  u32 unit_;
  const u8* h_;
  const Cell* dlm_;
  u32 want_ = 0, folded_ = 0;  // a char delimiter
  i32 first_ = -1, second_ = -1;  // the 1-byte units it matches, when one or two do
  bool many_ = false;             // more than two do
  u32 punit_ = 1, plen_ = 0;   // a string delimiter
  const u8* p_ = nullptr;
};

// _split series dlm: the block of pieces, or none where the library's rule
// must answer.
void split() {
  const stack::Mark mark;
  Cell* out = make_none(stack::push());
  const Cell* series = api::arg(0);
  const Cell* dlm = api::arg(1);
  static std::vector<Cut> cuts;  // nothing this runs calls split again
  cuts.clear();
  if (cuts.capacity() > 65536) cuts.shrink_to_fit();
  u32 node = series_node(series);
  bool empty_last = false;
  {
    const Buffer* b = buffer_of(node);
    Splitter s(b, dlm);
    if (interp::reference || !s.prepare()) return copy_cell(out, stack::base), void();
    u32 total = b->used() / b->unit();
    u32 start = u32(std::clamp<i32>(series_index(series), 0, i32(total)));
    empty_last = s.cut(start, total, cuts);
  }
  // The pieces, each copied as copy copies a part of the series (the
  // series' new-line marker with it); the block has room for all of them,
  // so that a piece is in it before anything else allocates.
  Type type = type_of(series);
  u32 newline = series->header & FLAG_NEW_LINE;
  block::make_at(out, i32(cuts.size() + 1));
  u32 pieces = series_node(out);
  for (const Cut& c : cuts) {
    u32 piece = mem::copy_series_part(node, c.from, c.to - c.from);
    Cell* cell = mem::alloc_tail_cell(pieces);
    make_series(cell, type, piece);
    cell->header |= newline;
  }
  if (empty_last) {
    Cell* empty = string::make_at(stack::push(), 0);
    copy_cell(empty, mem::alloc_tail_cell(pieces));
  }
  copy_cell(out, stack::base);
}

}  // namespace

void wire_series_routines() {
  wire("split", "_split", "[series [any-string!] dlm [string! char! bitset!]]", split);
}

}  // namespace qel::library::native
