// The CSV codec's routines: the rows of a text and the text of rows, in C++,
// which load-csv and to-csv run first.
//
// The library's own code (library/csv.qel) stays the definition. _csv-rows
// answers the header and the rows that load-csv's grammar reads from a text
// it matches to its end, with a one-character delimiter (or the records it
// makes of them with /as-records); for any other text it answers none and
// the grammar runs (and makes the "Malformed CSV data" error, or the header
// error). _csv-encode answers the text encode-blocks
// writes for rows that are all blocks of strings of one length, and none
// for any other data. Under the evaluator's reference switch
// (QEL_EVAL_REFERENCE=1) both answer none, so that the differential passes
// check the library code.
#include <algorithm>
#include <string>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/map.hpp"
#include "datatypes/string.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "library/native/routines.hpp"
#include "runtime/collector.hpp"
#include "runtime/errors.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::library::native {

namespace {

using mem::Buffer;
using mem::buffer_of;

// The values of the line being read, waiting for the block that takes
// them; the collector marks them.
std::vector<Cell> g_values;

void mark_rows() {
  for (const Cell& c : g_values) gc::mark_cell(&c);
}

// The delimiter as one character, or -1.
i64 one_char(const Cell* delimiter) {
  if (type_of(delimiter) == TYPE_CHAR) return char_of(delimiter);
  if (type_of(delimiter) == TYPE_STRING && string::length_from_index(delimiter) == 1) {
    return string::char_at(delimiter, u32(std::max(series_index(delimiter), 0)));
  }
  return -1;
}

// One reading of a text, as load-csv's grammar reads it without /trim.
class Reader {
 public:
  Reader(const Cell* text, u32 delimiter, u32 quote)
      : delimiter_(delimiter), quote_(quote), values_base_(g_values.size()) {
    node_ = series_node(text);
    Buffer* b = buffer_of(node_);
    unit_ = b->unit();
    end_ = b->used() / unit_;
    pos_ = u32(std::clamp<i32>(series_index(text), 0, i32(end_)));
    start_ = pos_;
  }
  ~Reader() {
    g_values.resize(values_base_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // [header rows] into out (header: a block, or none without /header), or
  // false when the grammar must decide. With records (and a header), the
  // rows are the records that add-line makes with /as-records, for lines
  // that are all as long as the header (whose names differ, also in case):
  // a map per line from each name to its value, put in as put puts them,
  // all of them sharing one copy of the names (the first record's keys).
  bool run(bool header, bool records, Cell* out) {
    Cell* hdr = make_none(stack::push());
    if (header) {
      // a-line [newline | end], then something must follow
      if (!line()) return false;
      take_row(hdr);
      newline();
      if (pos_ == start_ || pos_ == end_) return false;  // too small: the grammar raises
    }
    if (records && !header) return false;
    keys_ = make_none(stack::push());
    // The rows go straight into a block made for the lines the text holds
    // (the line breaks counted: more than the rows when values hold some).
    rows_ = stack::push();
    block::make_at(rows_, i32(std::min<u32>(line_breaks() + 1, 1u << 20)));
    // opt [not end data-line any [newline not [any line-breaks end] data-line]]
    if (pos_ < end_) {
      if (!line() || !row(records, hdr)) return false;
      while (newline()) {
        u32 p = pos_;
        while (p < end_ && line_break(at(p))) ++p;
        if (p == end_) break;
        if (!line() || !row(records, hdr)) return false;
      }
    }
    // any line-breaks, then the end
    while (pos_ < end_ && line_break(at(pos_))) ++pos_;
    if (pos_ != end_) return false;
    block::make_at(out, 2);
    block::append_copy(out, hdr);
    block::append_copy(out, rows_);
    return true;
  }

  // The line breaks from the position on (CR LF counted once).
  u32 line_breaks() const {
    u32 n = 0;
    for (u32 i = pos_; i < end_; ++i) {
      u32 c = at(i);
      if (c == '\n' || (c == '\r' && (i + 1 == end_ || at(i + 1) != '\n'))) ++n;
    }
    return n;
  }

 private:
  u32 at(u32 i) const {
    const u8* p = buffer_of(node_)->head_ptr() + u64(i) * unit_;
    return unicode::get_char(p, unit_);
  }
  static bool line_break(u32 c) { return c == '\r' || c == '\n'; }
  // newline: CR LF, LF or CR.
  bool newline() {
    if (pos_ >= end_) return false;
    u32 c = at(pos_);
    if (c == '\r') {
      ++pos_;
      if (pos_ < end_ && at(pos_) == '\n') ++pos_;
      return true;
    }
    if (c == '\n') {
      ++pos_;
      return true;
    }
    return false;
  }

  // A line's values, each followed by the delimiter but the last, then a
  // line break or the end.
  bool line() {
    for (;;) {
      if (!value()) return false;
      if (pos_ < end_ && at(pos_) == delimiter_) {
        ++pos_;
        continue;
      }
      return pos_ == end_ || line_break(at(pos_));
    }
  }

  // A quoted value (its doubled quotes made one), or a run of characters
  // other than CR, LF and the delimiter (also one that starts with a quote
  // no quote closes).
  bool value() {
    u32 from = pos_;
    if (pos_ < end_ && at(pos_) == quote_) {
      ++pos_;
      text_.clear();
      widest_ = 0;
      bool closed = false;
      while (pos_ < end_) {
        u32 c = at(pos_++);
        if (c == quote_) {
          if (pos_ < end_ && at(pos_) == quote_) {
            ++pos_;
          } else {
            closed = true;
            break;
          }
        }
        text_.push_back(c);
        widest_ = std::max(widest_, c);
      }
      if (closed) {
        make_text();
        return true;
      }
      pos_ = from;
    }
    while (pos_ < end_) {
      u32 c = at(pos_);
      if (c == delimiter_ || line_break(c)) break;
      ++pos_;
    }
    copy_part(from, pos_ - from);
    return true;
  }
  // The input's units [from, from + n) as a new string.
  void copy_part(u32 from, u32 n) {
    text_.clear();
    widest_ = 0;
    for (u32 k = 0; k < n; ++k) {
      u32 c = at(from + k);
      text_.push_back(c);
      widest_ = std::max(widest_, c);
    }
    make_text();
  }
  void make_text() { g_values.push_back(codec_string(text_, widest_)); }

  // The values of the line as a block into out.
  void take_row(Cell* out) { take(g_values, values_base_, out); }

  // The line read as a row, or as a record; false when the record is not
  // made here.
  bool row(bool records, const Cell* hdr) {
    if (!records) {
      Cell* r = stack::push();
      take_row(r);
      block::append_copy(rows_, r);
      stack::pop(1);
      return true;
    }
    u32 width = buffer_of(series_node(hdr))->used() / sizeof(Cell);
    if (g_values.size() - values_base_ != width || width == 0) return false;
    Cell* rec = stack::push();
    map::make_at(rec, 0, 2 * width);
    bool first = is_none(keys_);
    for (u32 i = 0; i < width; ++i) {
      const Cell* v = &g_values[values_base_ + i];
      if (first) map::set(rec, buffer_of(series_node(hdr))->cells() + i, v, false);
      else map::set_prepared(rec, buffer_of(map::block_of(keys_))->cells() + 2 * i, v, false);
    }
    if (first) {
      if (map::key_count(rec) != width) return false;  // names equal but for case
      copy_cell(rec, keys_);
    }
    g_values.resize(values_base_);
    block::append_copy(rows_, rec);
    stack::pop(1);
    return true;
  }
  // The cells of v from `from` on, as a block at their count, into out.
  static void take(std::vector<Cell>& v, std::size_t from, Cell* out) {
    u32 n = u32(v.size() - from);
    Cell blk;
    block::make_at(&blk, i32(std::max<u32>(n, 1)));
    u32 node = series_node(&blk);  // nothing allocates while it is filled
    for (u32 k = 0; k < n; ++k) copy_cell(&v[from + k], mem::alloc_tail_cell(node));
    v.resize(from);
    copy_cell(&blk, out);
  }

  u32 delimiter_, quote_;
  std::size_t values_base_;
  u32 node_, unit_, end_, pos_, start_;
  std::u32string text_;
  u32 widest_ = 0;
  Cell* keys_ = nullptr;  // the first record, whose keys every record shares
  Cell* rows_ = nullptr;  // the rows (or records) read
};

// _csv-rows text delimiter quote header records: [header rows] or none.
void csv_rows() {
  const stack::Mark mark;
  Cell* out = make_none(stack::push());
  i64 delimiter = one_char(api::arg(1));
  const Cell* quote = api::arg(2);
  if (!interp::reference && delimiter >= 0 && type_of(quote) == TYPE_CHAR &&
      u32(delimiter) != char_of(quote) && delimiter != '\r' && delimiter != '\n') {
    Reader r(api::arg(0), u32(delimiter), char_of(quote));
    if (!r.run(!logic::is_false(api::arg(3)), !logic::is_false(api::arg(4)), out)) make_none(out);
  }
  copy_cell(out, stack::base);
}

// ---- encoding -------------------------------------------------------------------------

// _csv-encode rows delimiter quote: the text of rows that are all blocks of
// strings of one length, each value as it stands unless it holds a space,
// CR, LF, the quote or the delimiter, else quoted with its quotes doubled;
// the values joined by the delimiter, each row ended by LF. none for any
// other data.
void csv_encode() {
  const stack::Mark mark;
  Cell* out = make_none(stack::push());
  const Cell* rows = api::arg(0);
  i64 delimiter = one_char(api::arg(1));
  const Cell* quote = api::arg(2);
  if (interp::reference || delimiter < 0 || type_of(quote) != TYPE_CHAR) {
    copy_cell(out, stack::base);
    return;
  }
  u32 q = char_of(quote);
  u32 d = u32(delimiter);
  auto quotable = [&](u32 c) { return c == ' ' || c == '\n' || c == '\r' || c == q || c == d; };
  u32 node = series_node(rows);
  u32 first = u32(std::max(series_index(rows), 0));
  u32 count = buffer_of(node)->used() / sizeof(Cell);
  // Every value a string, every row as long as the first; the length of the
  // text and its widest character.
  i64 width = -1;
  u64 length = 0;
  u32 widest = 0;
  for (u32 r = first; r < count; ++r) {
    const Cell* row = buffer_of(node)->cells() + r;
    if (type_of(row) != TYPE_BLOCK) return copy_cell(out, stack::base), void();
    u32 rn = series_node(row);
    u32 rfirst = u32(std::max(series_index(row), 0));
    u32 rcount = buffer_of(rn)->used() / sizeof(Cell);
    u32 len = rcount > rfirst ? rcount - rfirst : 0;
    if (width < 0) width = len;
    if (len != width || len == 0) return copy_cell(out, stack::base), void();
    for (u32 k = rfirst; k < rcount; ++k) {
      const Cell* v = buffer_of(rn)->cells() + k;
      if (type_of(v) != TYPE_STRING) return copy_cell(out, stack::base), void();
      Buffer* b = buffer_of(series_node(v));
      u32 unit = b->unit();
      u32 total = b->used() / unit;
      bool quoted = false;
      u64 quotes = 0;
      for (u32 i = u32(std::clamp<i32>(series_index(v), 0, i32(total))); i < total; ++i) {
        u32 c = unicode::get_char(b->head_ptr() + u64(i) * unit, unit);
        widest = std::max(widest, c);
        ++length;
        if (quotable(c)) quoted = true;
        if (c == q) ++quotes;
      }
      if (quoted) length += 2 + quotes;
      ++length;  // the delimiter or the line end
    }
  }
  if (width < 0) return copy_cell(out, stack::base), void();
  // The text, written at its final size.
  u32 unit = unicode::unit_for(std::max({widest, d, q}));
  if (length * unit > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
  string::make_at(out, u32(std::max<u64>(length, 1)), unit);
  u32 onode = series_node(out);
  Buffer* ob = buffer_of(onode);
  u8* w = ob->head_ptr();  // nothing allocates from here on
  auto put = [&](u32 c) {
    unicode::put_char(w, unit, c);
    w += unit;
  };
  for (u32 r = first; r < count; ++r) {
    const Cell* row = buffer_of(node)->cells() + r;
    u32 rn = series_node(row);
    u32 rfirst = u32(std::max(series_index(row), 0));
    u32 rcount = buffer_of(rn)->used() / sizeof(Cell);
    for (u32 k = rfirst; k < rcount; ++k) {
      const Cell* v = buffer_of(rn)->cells() + k;
      Buffer* b = buffer_of(series_node(v));
      u32 vu = b->unit();
      u32 total = b->used() / vu;
      u32 from = u32(std::clamp<i32>(series_index(v), 0, i32(total)));
      bool quoted = false;
      for (u32 i = from; i < total && !quoted; ++i) quoted = quotable(unicode::get_char(b->head_ptr() + u64(i) * vu, vu));
      if (quoted) put(q);
      for (u32 i = from; i < total; ++i) {
        u32 c = unicode::get_char(b->head_ptr() + u64(i) * vu, vu);
        if (quoted && c == q) put(q);
        put(c);
      }
      if (quoted) put(q);
      put(k + 1 < rcount ? d : '\n');
    }
  }
  ob->tail = ob->head + u32(length * unit);
  copy_cell(out, stack::base);
}

}  // namespace

void wire_csv_routines() {
  gc::add_mark_callback(mark_rows);
  wire("load-csv", "_csv-rows", "[text [string!] delimiter [char! string!] quote [char!] header [logic! none!] records [logic! none!]]",
       csv_rows);
  wire("to-csv", "_csv-encode", "[rows [block!] delimiter [char! string!] quote [char!]]", csv_encode);
}

}  // namespace qel::library::native
