// The console terminal's routines: what it does for every printed line, in
// C++ (library/console/terminal.qel keeps everything else, and is the
// definition: each routine does exactly what that code does, or nothing).
//
// _rows-up and _rows-down walk the per-line row counts (the `nlines` vector)
// from a line towards older or newer lines until a number of rows is used
// up, as scrolling and keeping the end of the output in view do.
//
// _add-row appends a line that takes one row (printable ASCII narrower than
// the box in a monospaced font) to the buffer: it drops the oldest line of a
// full buffer, appends the line and its entries and counts the rows, as
// add-line and calc-last-line do. It answers false, having changed nothing,
// for anything else (another line, more than one line to drop, a buffer to
// compact, a selection to follow), and under the evaluator's reference switch,
// so that the differential passes run the Qel code.
#include <algorithm>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/vector.hpp"
#include "eval/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "runtime/memory.hpp"

namespace qel::library {

namespace {

// Rows of line n (1 = the vector's current position), or false when the
// vector holds no such line.
bool rows_of(const Cell* nlines, i32 n, i32* rows) {
  const mem::Buffer* b = mem::buffer_of(series_node(nlines));
  u32 size = b->unit();
  i64 total = size ? i64(b->used() / size) : 0;
  i64 i = i64(series_index(nlines)) + n - 1;
  if (n < 1 || i < 0 || i >= total) return false;
  *rows = i32(vector::number_at(b->head_ptr() + i * size, vector::element_type(nlines), size));
  return true;
}

// _rows-up nlines n delta: while delta is at least 1 and n at least 1, takes
// the rows of line n from delta and steps n back by one; answers n by delta.
void rows_up() {
  const Cell* nlines = api::arg(0);
  i32 n = integer::get(api::arg(1));
  i32 delta = integer::get(api::arg(2));
  i32 rows;
  while (delta >= 1 && n >= 1 && rows_of(nlines, n, &rows)) {
    delta -= rows;
    n -= 1;
  }
  pair::make_at(api::result(), n, delta);
  api::done();
}

// _rows-down nlines n delta last: while delta is below 0 and n not past
// last, adds the rows of line n to delta and steps n on by one; answers n by
// delta.
void rows_down() {
  const Cell* nlines = api::arg(0);
  i32 n = integer::get(api::arg(1));
  i32 delta = integer::get(api::arg(2));
  i32 last = integer::get(api::arg(3));
  i32 rows;
  while (delta < 0 && n <= last && rows_of(nlines, n, &rows)) {
    delta += rows;
    n += 1;
  }
  pair::make_at(api::result(), n, delta);
  api::done();
}

// The terminal's words that _add-row reads or sets.
enum Word {
  LINES, NLINES, HEIGHTS, FLAGS, SELECTS, MAX_LINES, FULL, TOP, LINE_POS, LINE_CNT,
  SCREEN_CNT, SCREEN_CNT_SAVED, PAGE_CNT, LINE_H, CHAR_WIDTH, BOX, WORD_COUNT
};
const char* const kWordNames[WORD_COUNT] = {
    "lines", "nlines", "heights", "flags", "selects", "max-lines", "full?", "top", "line-pos",
    "line-cnt", "screen-cnt", "screen-cnt-saved", "page-cnt", "line-h", "char-width", "box"};
u32 g_symbols[WORD_COUNT];
u32 g_text;  // the box's `text`
u32 g_size;  // and its `size`

// The slot of the word in the context, or null (valid until the next
// allocation).
Cell* slot_of(u32 ctx, u32 symbol) {
  i32 i = context::find_word(ctx, symbol, true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

// Entries from the series' position (0 when it lies past the tail).
i32 entries(const Cell* series) {
  const mem::Buffer* b = mem::buffer_of(series_node(series));
  u32 unit = type_of(series) == TYPE_BLOCK ? u32(sizeof(Cell)) : b->unit();
  i32 total = unit ? i32(b->used() / unit) : 0;
  return std::max(total - std::max(series_index(series), 0), 0);
}

bool integer_vector(const Cell* c) {
  return type_of(c) == TYPE_VECTOR && vector::element_type(c) == TYPE_INTEGER;
}

// Whether the text from its position takes one row of a box `width` pixels
// wide in a monospaced font of characters `char_width` wide.
bool one_row(const Cell* text, double char_width, i32 width) {
  u32 n = string::length_from_index(text);
  if (double(n) * char_width > double(width)) return false;
  u32 from = u32(std::max(series_index(text), 0));
  for (u32 k = 0; k < n; ++k) {
    u32 c = string::char_at(text, from + k);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// _add-row terminal str monospace?
void add_row() {
  if (interp::reference) {
    api::answer_logic(false);
    return;
  }
  u32 ctx = object::context_of(api::arg(0));
  const Cell* str = api::arg(1);
  const bool mono = logic::flag(api::arg(2));
  Cell* w[WORD_COUNT];
  for (int k = 0; k < WORD_COUNT; ++k) {
    w[k] = slot_of(ctx, g_symbols[k]);
    if (!w[k]) {
      api::answer_logic(false);
      return;
    }
  }
  for (Word k : {MAX_LINES, TOP, LINE_POS, LINE_CNT, PAGE_CNT, LINE_H})
    if (type_of(w[k]) != TYPE_INTEGER) {
      api::answer_logic(false);
      return;
    }
  const Type cw = type_of(w[CHAR_WIDTH]);
  if (type_of(w[LINES]) != TYPE_BLOCK || type_of(w[SELECTS]) != TYPE_BLOCK ||
      type_of(w[FULL]) != TYPE_LOGIC || type_of(w[BOX]) != TYPE_OBJECT ||
      (cw != TYPE_INTEGER && cw != TYPE_FLOAT) || !integer_vector(w[NLINES]) ||
      !integer_vector(w[HEIGHTS]) || !integer_vector(w[FLAGS]) || entries(w[SELECTS]) != 0) {
    api::answer_logic(false);
    return;
  }
  const i32 len = entries(w[LINES]);
  if (entries(w[NLINES]) != len || entries(w[HEIGHTS]) != len || entries(w[FLAGS]) != len) {
    api::answer_logic(false);
    return;
  }
  u32 box = object::context_of(w[BOX]);
  const Cell* size = slot_of(box, g_size);
  if (!size || !slot_of(box, g_text) || type_of(size) != TYPE_PAIR) {
    api::answer_logic(false);
    return;
  }
  const double char_width =
      cw == TYPE_FLOAT ? float_::get(w[CHAR_WIDTH]) : double(integer::get(w[CHAR_WIDTH]));
  if (!mono || !one_row(str, char_width, pair::x(size))) {
    api::answer_logic(false);
    return;
  }

  const i32 cap = std::max(1, integer::get(w[MAX_LINES]));
  const i32 line_h = integer::get(w[LINE_H]);
  const i32 page_cnt = integer::get(w[PAGE_CNT]);
  i32 top = integer::get(w[TOP]);
  i32 line_pos = integer::get(w[LINE_POS]);
  i32 line_cnt = integer::get(w[LINE_CNT]);
  bool full = logic::flag(w[FULL]) || len >= cap;
  // The series as they stand once the oldest line went (a full buffer).
  api::Values v(4);
  for (int k = 0; k < 4; ++k) copy_cell(w[LINES + k], v[k]);
  if (full) {
    // One line goes, and the window stays short of its compaction.
    i32 rows;
    if (len - cap + 1 > 1 || len < 1 || series_index(v[0]) + 1 > cap ||
        !rows_of(v[1], 1, &rows)) {
      api::answer_logic(false);
      return;
    }
    line_cnt -= rows;
    top = std::max(1, top - 1);
    line_pos -= 1;
    for (int k = 0; k < 4; ++k) set_series_index(v[k], series_index(v[k]) + 1);
  }

  // The new line and its entries (appending allocates: every slot is looked
  // up again afterwards).
  block::append_copy(v[0], str);
  Cell n;
  make_integer(&n, 0);
  vector::rs_append(v[3], &n);
  make_integer(&n, line_h);
  vector::rs_append(v[2], &n);
  make_integer(&n, 1);
  vector::rs_append(v[1], &n);
  line_cnt += 1;
  if (!full) full = len + 1 >= cap;

  for (int k = 0; k < 4; ++k) copy_cell(v[k], slot_of(ctx, g_symbols[LINES + k]));
  make_logic(slot_of(ctx, g_symbols[FULL]), full);
  integer::make_at(slot_of(ctx, g_symbols[TOP]), top);
  integer::make_at(slot_of(ctx, g_symbols[LINE_POS]), line_pos);
  integer::make_at(slot_of(ctx, g_symbols[LINE_CNT]), line_cnt);
  integer::make_at(slot_of(ctx, g_symbols[SCREEN_CNT_SAVED]), line_cnt);
  integer::make_at(slot_of(ctx, g_symbols[SCREEN_CNT]), std::min(line_cnt, page_cnt));
  // The box holds the line measured last.
  copy_cell(api::arg(1), slot_of(object::context_of(slot_of(ctx, g_symbols[BOX])), g_text));
  api::answer_logic(true);
}

}  // namespace

void wire_terminal_routines() {
  for (int k = 0; k < WORD_COUNT; ++k) g_symbols[k] = symbol::make(kWordNames[k]);
  g_text = symbol::make("text");
  g_size = symbol::make("size");
  const char* fn = "gui-console-ctx terminal scroll-lines";
  wire(fn, "_rows-up", "[nlines [vector!] n [integer!] delta [integer!]]", rows_up);
  wire(fn, "_rows-down", "[nlines [vector!] n [integer!] delta [integer!] last [integer!]]",
       rows_down);
  wire("gui-console-ctx terminal add-line", "_add-row",
       "[terminal [object!] str [string!] monospace? [logic!]]", add_row);
}

}  // namespace qel::library
