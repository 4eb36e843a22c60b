// The console terminal's routines: what it does for every printed line, in
// C++ (library/console/terminal.qel keeps everything else, and is the
// definition: each routine does exactly what that code does, or nothing).
//
// _rows-up and _rows-down walk the per-line row counts (the `nlines` vector)
// from a line towards older or newer lines until a number of rows is used
// up, as scrolling and keeping the end of the output in view do.
//
// _redraw-area and _paint-area (in redraw-input and paint) let a key at the
// prompt paint the input line again, and nothing above it.
//
// _add-row (in add-line), _end-in-view (in reset-top) and _print-line (in
// vprint) do the work of those functions for the common printed line: one
// that takes one row (printable ASCII narrower than the box in a monospaced
// font), added to a buffer that drops at most its oldest line and needs no
// compaction, with no selection to follow. For anything else, and under the
// evaluator's reference switch (so that the differential passes run the Qel
// code), they answer that they did nothing, having changed nothing, and the
// Qel code runs.
#include "console/terminal_routines.hpp"

#include <algorithm>
#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "runtime/memory.hpp"
#include "platform/image_state.hpp"
#include "view/backend/entry.hpp"
#include "view/module.hpp"

namespace qel::console {

namespace {

// The row counts of the lines (the `nlines` vector), read in place: valid
// until the next allocation.
struct Rows {
  const u8* head;  // line 1
  i64 count;       // lines from line 1 on
  u32 size;
  Type type;
  explicit Rows(const Cell* nlines) {
    const mem::Buffer* b = mem::buffer_of(series_node(nlines));
    size = b->unit();
    type = vector::element_type(nlines);
    i64 first = std::max(series_index(nlines), 0);
    i64 total = size ? i64(b->used() / size) : 0;
    count = std::max<i64>(total - first, 0);
    head = b->head_ptr() + first * size;
  }
  // Rows of line n, or false when there is no such line.
  bool of(i32 n, i32* rows) const {
    if (n < 1 || n > count) return false;
    const u8* p = head + i64(n - 1) * size;
    if (size == 4) std::memcpy(rows, p, 4);
    else *rows = i32(vector::number_at(p, type, size));
    return true;
  }
};

bool rows_of(const Cell* nlines, i32 n, i32* rows) { return Rows(nlines).of(n, rows); }

// _rows-up nlines n delta: while delta is at least 1 and n at least 1, takes
// the rows of line n from delta and steps n back by one; answers n by delta.
void walk_up(const Cell* nlines, i32& n, i32& delta) {
  const Rows r(nlines);
  i32 rows;
  while (delta >= 1 && n >= 1 && r.of(n, &rows)) {
    delta -= rows;
    n -= 1;
  }
}
void rows_up() {
  i32 n = integer::get(api::arg(1));
  i32 delta = integer::get(api::arg(2));
  walk_up(api::arg(0), n, delta);
  pair::make_at(api::result(), n, delta);
  api::done();
}

// _rows-down nlines n delta last: while delta is below 0 and n not past
// last, adds the rows of line n to delta and steps n on by one; answers n by
// delta.
void walk_down(const Cell* nlines, i32 last, i32& n, i32& delta) {
  const Rows r(nlines);
  i32 rows;
  while (delta < 0 && n <= last && r.of(n, &rows)) {
    delta += rows;
    n += 1;
  }
}
void rows_down() {
  i32 n = integer::get(api::arg(1));
  i32 delta = integer::get(api::arg(2));
  walk_down(api::arg(0), integer::get(api::arg(3)), n, delta);
  pair::make_at(api::result(), n, delta);
  api::done();
}

// The terminal's words the routines read or set.
enum Word {
  LINES, NLINES, HEIGHTS, FLAGS, SELECTS, MAX_LINES, FULL, TOP, LINE_POS, LINE_CNT,
  SCREEN_CNT, SCREEN_CNT_SAVED, PAGE_CNT, LINE_H, CHAR_W, BOX, SCROLL_Y, PRIN, NEWLINE,
  REDRAW_CNT, WORD_COUNT
};
const char* const kWordNames[WORD_COUNT] = {
    "lines", "nlines", "heights", "flags", "selects", "max-lines", "full?", "top", "line-pos",
    "line-cnt", "screen-cnt", "screen-cnt-saved", "page-cnt", "line-h", "char-width", "box",
    "scroll-y", "prin?", "newline?", "redraw-cnt"};
u32 g_symbols[WORD_COUNT];
QEL_IMAGE_KEEP(g_symbols);

// The slot of the word in the context, or null (valid until the next
// allocation). `index` remembers where the word was found last: a context's
// words keep their places, and the word found there is checked, so that
// another context passed later is looked up afresh.
Cell* cached_slot(u32 ctx, u32 symbol, i32& index) {
  const mem::Buffer* words = mem::buffer_of(context::words_of(ctx));
  if (index < 0 || u32(index) >= words->used() / sizeof(Cell) ||
      word::symbol_of(words->cells() + index) != symbol) {
    index = context::find_word(ctx, symbol, true);
    if (index < 0) return nullptr;
  }
  return context::slot(ctx, u32(index));
}

// The terminal's slot indexes: bind_term finds (or checks) them all at the
// start of a routine, term_slot then reads them (no Qel code runs in
// between to add words).
i32 g_indexes[WORD_COUNT];
u32 g_words;  // the words block of the terminal's context (a node: it stays)
QEL_IMAGE_KEEP(g_indexes);
QEL_IMAGE_KEEP(g_words);
bool bind_term(u32 ctx) {
  g_words = context::words_of(ctx);
  const mem::Buffer* words = mem::buffer_of(g_words);
  const u32 count = words->used() / sizeof(Cell);
  for (int k = 0; k < WORD_COUNT; ++k) {
    i32& i = g_indexes[k];
    if (i < 0 || u32(i) >= count || word::symbol_of(words->cells() + i) != g_symbols[k]) {
      i = context::find_word(ctx, g_symbols[k], true);
      if (i < 0) return false;
      words = mem::buffer_of(context::words_of(ctx));
    }
    if (!context::slot(ctx, u32(i))) return false;
  }
  return true;
}
Cell* term_slot(u32 ctx, Word k) { return context::slot(ctx, u32(g_indexes[k])); }
// The slot, to be set: the word is marked assigned, as setting it in Qel does.
Cell* term_out(u32 ctx, Word k) {
  (mem::buffer_of(g_words)->cells() + g_indexes[k])->header |= context::WORD_ASSIGNED;
  return term_slot(ctx, k);
}

// The object's field (a slot cell), or null when the value is no object or
// has no such field.
struct Field {
  u32 symbol = 0;
  i32 index = -1;
  Cell* of(const Cell* object) {
    return object && type_of(object) == TYPE_OBJECT
               ? cached_slot(object::context_of(object), symbol, index)
               : nullptr;
  }

};
Field g_text, g_size, g_position, g_max_size, g_state, g_visible, g_console;
Field g_columns;  // system/console/size (the box's size is g_size)
Cell g_system;  // the word `system`
QEL_IMAGE_KEEP(g_text);
QEL_IMAGE_KEEP(g_size);
QEL_IMAGE_KEEP(g_position);
QEL_IMAGE_KEEP(g_max_size);
QEL_IMAGE_KEEP(g_state);
QEL_IMAGE_KEEP(g_visible);
QEL_IMAGE_KEEP(g_console);
QEL_IMAGE_KEEP(g_columns);
QEL_IMAGE_KEEP(g_system);

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

// The integer in the slot, or false.
bool integer_in(const Cell* slot, i32* out) {
  if (!slot || type_of(slot) != TYPE_INTEGER) return false;
  *out = integer::get(slot);
  return true;
}

// Whether the text from its position takes one row of a box `width` pixels
// wide in a monospaced font of characters `char_width` wide.
bool one_row(const Cell* text, double char_width, i32 width) {
  u32 n = string::length_from_index(text);
  if (double(n) * char_width > double(width)) return false;
  u32 from = u32(std::max(series_index(text), 0));
  const mem::Buffer* b = mem::buffer_of(series_node(text));
  if (b->unit() == 1) {
    const u8* p = b->head_ptr() + from;
    for (u32 k = 0; k < n; ++k)
      if (p[k] < 0x20 || p[k] > 0x7E) return false;
    return true;
  }
  for (u32 k = 0; k < n; ++k) {
    u32 c = string::char_at(text, from + k);
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// The terminal's state as the routines need it, read and checked; every
// type the Qel code would not handle alike sends the work back to it.
struct Term {
  u32 ctx = 0;
  i32 len = 0, max_lines = 0, top = 0, line_pos = 0, line_cnt = 0, screen_cnt = 0, saved = 0,
      page_cnt = 0, line_h = 0;
  bool full = false;
  double char_width = 0;
  i32 box_width = 0;
};

bool read_term(const Cell* object, Term& t) {
  t.ctx = object::context_of(object);
  if (!bind_term(t.ctx)) return false;
  Cell* w[WORD_COUNT];
  for (int k = 0; k < WORD_COUNT; ++k)
    if (!(w[k] = term_slot(t.ctx, Word(k)))) return false;
  const Type cw = type_of(w[CHAR_W]);
  if (!integer_in(w[MAX_LINES], &t.max_lines) || !integer_in(w[TOP], &t.top) ||
      !integer_in(w[LINE_POS], &t.line_pos) || !integer_in(w[LINE_CNT], &t.line_cnt) ||
      !integer_in(w[SCREEN_CNT], &t.screen_cnt) || !integer_in(w[SCREEN_CNT_SAVED], &t.saved) ||
      !integer_in(w[PAGE_CNT], &t.page_cnt) || !integer_in(w[LINE_H], &t.line_h) ||
      type_of(w[LINES]) != TYPE_BLOCK || type_of(w[SELECTS]) != TYPE_BLOCK ||
      type_of(w[FULL]) != TYPE_LOGIC || (cw != TYPE_INTEGER && cw != TYPE_FLOAT) ||
      !integer_vector(w[NLINES]) || !integer_vector(w[HEIGHTS]) || !integer_vector(w[FLAGS]) ||
      type_of(w[SCROLL_Y]) != TYPE_INTEGER)
    return false;
  t.len = entries(w[LINES]);
  if (entries(w[NLINES]) != t.len || entries(w[HEIGHTS]) != t.len || entries(w[FLAGS]) != t.len)
    return false;
  const Cell* size = g_size.of(w[BOX]);
  if (!size || type_of(size) != TYPE_PAIR || !g_text.of(w[BOX])) return false;
  t.box_width = pair::x(size);
  t.full = logic::flag(w[FULL]);
  t.char_width = cw == TYPE_FLOAT ? float_::get(w[CHAR_W]) : double(integer::get(w[CHAR_W]));
  return true;
}

void set_integer(u32 ctx, Word k, i32 n) { integer::make_at(term_out(ctx, k), n); }

// ---- adding a line of one row (add-line and calc-last-line) -------------------------------

// What adding the line changes, when the fast path takes it.
struct Added {
  i32 top, line_pos, line_cnt, screen_cnt, saved;
  bool drop, full;
};

bool plan_add(const Term& t, const Cell* str, bool mono, Added& a) {
  if (!mono || !one_row(str, t.char_width, t.box_width)) return false;
  if (entries(term_slot(t.ctx, SELECTS)) != 0) return false;
  const i32 cap = std::max(1, t.max_lines);
  a.top = t.top;
  a.line_pos = t.line_pos;
  a.line_cnt = t.line_cnt;
  // Full when the capacity is reached: a capacity raised since lets the
  // buffer grow again.
  a.drop = t.len >= cap;
  a.full = a.drop || t.len + 1 >= cap;
  if (a.drop) {
    // One line goes, and the window stays short of its compaction.
    i32 rows;
    const Cell* lines = term_slot(t.ctx, LINES);
    if (t.len - cap + 1 > 1 || t.len < 1 || series_index(lines) + 1 > cap ||
        !rows_of(term_slot(t.ctx, NLINES), 1, &rows))
      return false;
    a.line_cnt -= rows;
    a.top = std::max(1, a.top - 1);
    a.line_pos -= 1;
  }
  a.line_cnt += 1;
  a.saved = a.line_cnt;
  a.screen_cnt = std::min(a.line_cnt, t.page_cnt);
  return true;
}

// Appends the line (a string no one else holds) and its entries.
void apply_add(const Term& t, const Cell* line, const Added& a) {
  api::Values v(4);  // lines, nlines, heights, flags, once the oldest line went
  for (int k = 0; k < 4; ++k) {
    copy_cell(term_slot(t.ctx, Word(LINES + k)), v[k]);
    if (a.drop) set_series_index(v[k], series_index(v[k]) + 1);
  }
  // Appending allocates: every slot is looked up again afterwards.
  block::append_copy(v[0], line);
  Cell n;
  make_integer(&n, 0);
  vector::rs_append(v[3], &n);
  make_integer(&n, t.line_h);
  vector::rs_append(v[2], &n);
  make_integer(&n, 1);
  vector::rs_append(v[1], &n);
  for (int k = 0; k < 4; ++k) copy_cell(v[k], term_out(t.ctx, Word(LINES + k)));
  make_logic(term_out(t.ctx, FULL), a.full);
  set_integer(t.ctx, TOP, a.top);
  set_integer(t.ctx, LINE_POS, a.line_pos);
  set_integer(t.ctx, LINE_CNT, a.line_cnt);
  set_integer(t.ctx, SCREEN_CNT_SAVED, a.saved);
  set_integer(t.ctx, SCREEN_CNT, a.screen_cnt);
  // The box holds the line measured last (set quietly: no on-change*, no
  // assigned mark).
  copy_cell(line, g_text.of(term_slot(t.ctx, BOX)));
}

// ---- keeping the end in view (reset-top and the scroll-lines it calls) -----------------------

// Whether reset-top can run here: the scroller's position and max-size are
// integers, and the rows of the last line a whole number of rows. `moves`
// tells whether scroll-lines sets the scroller's position (to `position`).
bool end_check(const Cell* scroller, i32 page_cnt, i32 line_h, i32 last_height, bool* moves,
               i32* position) {
  i32 max_size, now;
  if (!integer_in(g_max_size.of(scroller), &max_size) ||
      !integer_in(g_position.of(scroller), &now) || line_h <= 0 ||
      (line_h - last_height) % line_h != 0)
    return false;
  const i32 delta = page_cnt - 1;
  const i32 end = max_size - page_cnt + 1;
  const bool stays = (delta > 0 && end <= 1) || (delta < 0 && line_h == last_height);
  *position = std::max(1, std::min(end, end - delta));
  *moves = !stays && now != *position;
  return true;
}

// reset-top once end_check said yes, on the terminal as it now is: the last
// line at the top, then scroll-lines by a page less one row from the end.
// Setting the scroller's position runs its on-change*; what scroll-lines
// reads next is read afresh after it (the words must still hold integers
// and series, else the view stays with the last line at the top).
void end_apply(u32 ctx, const Cell* scroller_in, bool moves, i32 position) {
  api::Values v(3);  // the scroller, the word position, its new value
  copy_cell(scroller_in, v[0]);
  const i32 len = entries(term_slot(ctx, LINES));
  const i32 page_cnt = integer::get(term_slot(ctx, PAGE_CNT));
  i32 line_h = integer::get(term_slot(ctx, LINE_H));
  const i32 end = integer::get(g_max_size.of(v[0])) - page_cnt + 1;
  i32 last_height = 0, rows = 0;
  rows_of(term_slot(ctx, HEIGHTS), len, &last_height);
  set_integer(ctx, TOP, len);
  set_integer(ctx, SCROLL_Y, line_h - last_height);
  i32 delta = page_cnt - 1;
  const bool stays = (delta > 0 && end <= 1) || (delta < 0 && line_h == last_height);
  if (stays) return;
  if (moves) {
    word::make_at(g_position.symbol, v[1]);
    context::bind_word(object::context_of(v[0]), v[1]);
    make_integer(v[2], position);
    word::set(v[1], v[2]);
    if (!bind_term(ctx)) return;
  }
  if (delta == 0) return;
  const Cell* lines = term_slot(ctx, LINES);
  const Cell* nlines = term_slot(ctx, NLINES);
  i32 n, scroll_y;
  if (type_of(lines) != TYPE_BLOCK || !integer_vector(nlines) ||
      !integer_in(term_slot(ctx, TOP), &n) || !integer_in(term_slot(ctx, SCROLL_Y), &scroll_y) ||
      !integer_in(term_slot(ctx, LINE_H), &line_h) || line_h <= 0 || scroll_y % line_h != 0)
    return;
  if (delta > 0) {
    if (!rows_of(nlines, n, &rows)) return;
    delta = delta + scroll_y / line_h + rows;
    scroll_y = 0;
    walk_up(nlines, n, delta);
    if (delta <= 0) {
      n += 1;
      if (delta < 0) scroll_y = delta * line_h;
    }
    if (n < 1) {
      n = 1;
      scroll_y = 0;
    }
  } else {
    const i32 last = entries(lines);
    delta = scroll_y / line_h + delta;
    scroll_y = 0;
    walk_down(nlines, last, n, delta);
    if (delta > 0) {
      n -= 1;
      rows_of(nlines, n, &rows);
      scroll_y = (delta - rows) * line_h;
    }
    if (n > last) {
      n = last;
      scroll_y = 0;
    }
  }
  set_integer(ctx, SCROLL_Y, scroll_y);
  set_integer(ctx, TOP, n);
}

// Whether reset-top moves the view at all (with lines, and the text taller
// than the console or the buffer full).
bool end_moves(i32 len, i32 saved, i32 page_cnt, bool full) {
  return len > 0 && (saved > page_cnt || full);
}

// ---- the routines -------------------------------------------------------------------------------

// _add-row terminal str monospace?: add-line and its calc-last-line for a
// line of one row; false, having changed nothing, for anything else.
void add_row() {
  Term t;
  Added a;
  bool done = !interp::reference && read_term(api::arg(0), t) &&
              plan_add(t, api::arg(1), !logic::is_false(api::arg(2)), a);
  if (done) apply_add(t, api::arg(1), a);
  api::answer_logic(done);
}

// _end-in-view terminal scroller: reset-top; false, having changed nothing,
// for what the routine does not take (see end_check).
void end_in_view() {
  Term t;
  if (interp::reference || type_of(api::arg(1)) != TYPE_OBJECT || !read_term(api::arg(0), t)) {
    api::answer_logic(false);
    return;
  }
  if (!end_moves(t.len, t.saved, t.page_cnt, t.full)) {
    api::answer_logic(true);
    return;
  }
  i32 last_height = 0, position;
  bool moves;
  rows_of(term_slot(t.ctx, HEIGHTS), t.len, &last_height);
  if (!end_check(api::arg(1), t.page_cnt, t.line_h, last_height, &moves, &position)) {
    api::answer_logic(false);
    return;
  }
  end_apply(t.ctx, api::arg(1), moves, position);
  api::answer_logic(true);
}

// _print-line terminal str lf? console win scroller monospace?: vprint for
// a complete line of one row printed after complete output, when the
// console has its window shown and the oldest line at most goes. Answers 0
// having changed nothing for anything else; else 1, or 2 when a repaint is
// due now (the caller repaints: the repaint count is left for it); 3 when
// the line is added but the scroller's max-size must follow it (the caller
// then runs the rest of calc-top, and the repaint rule); 4 when the view
// followed the line, setting the scroller's position, and the repaint rule
// remains.
void print_line() {
  Term t;
  Added a;
  const Cell* str = api::arg(1);
  const Cell* console = api::arg(3);
  const Cell* win = api::arg(4);
  const Cell* scroller = api::arg(5);
  auto refuse = [] { make_integer(api::result(), 0), api::done(); };
  if (interp::reference || !logic::flag(api::arg(2)) || !read_term(api::arg(0), t)) return refuse();
  // The console has its window, shown (else vprint drops or shows).
  const Cell* state = g_state.of(console);
  if (!state || type_of(state) != TYPE_BLOCK) return refuse();
  if (type_of(win) == TYPE_OBJECT) {
    const Cell* visible = g_visible.of(win);
    if (!visible || logic::is_false(visible)) return refuse();
  }
  // A complete line after complete output, short enough to be kept whole.
  const Cell* prin = term_slot(t.ctx, PRIN);
  i32 redraw_cnt, max_size;
  if (!logic::is_false(prin) || !integer_in(term_slot(t.ctx, REDRAW_CNT), &redraw_cnt))
    return refuse();
  const Cell* size = g_columns.of(g_console.of(word::get_value_cell(&g_system)));
  if (!size || type_of(size) != TYPE_PAIR) return refuse();
  const i32 cols = pair::x(size);
  const u32 length = string::length_from_index(str);
  if (length > 100000 || (cols >= 1 && i64(length) >= 30 * i64(cols))) return refuse();
  if (!plan_add(t, str, !logic::is_false(api::arg(6)), a)) return refuse();
  // calc-top after it, when the scroller's max-size stays and the view
  // follows the end without moving the scroller; else the caller does that.
  const i32 d = a.screen_cnt + 1 - t.page_cnt;
  const bool reset = d >= 0 && end_moves(t.len + (a.drop ? 0 : 1), a.saved, t.page_cnt, a.full);
  bool moves = false;
  i32 position = 0;
  const bool follow = integer_in(g_max_size.of(scroller), &max_size) &&
                      max_size == a.line_cnt - 1 + t.page_cnt &&
                      (!reset || end_check(scroller, t.page_cnt, t.line_h, t.line_h, &moves, &position));

  api::Values line(2);  // the text, its copy
  copy_cell(str, line[0]);
  series::copy(line[0], line[1], nullptr, false, nullptr);
  apply_add(t, line[1], a);
  make_logic(term_out(t.ctx, NEWLINE), true);
  make_logic(term_out(t.ctx, PRIN), false);
  if (!follow) {
    make_integer(api::result(), 3);
    api::done();
    return;
  }
  if (a.screen_cnt < t.page_cnt) set_integer(t.ctx, SCREEN_CNT, std::min(t.page_cnt, a.screen_cnt + 1));
  if (reset) end_apply(t.ctx, api::arg(5), moves, position);
  if (reset && moves) {
    // The scroller's on-change* ran: the caller reads the repaint count.
    make_integer(api::result(), 4);
    api::done();
    return;
  }
  const bool repaint = redraw_cnt > 20;
  if (!repaint) set_integer(t.ctx, REDRAW_CNT, redraw_cnt + 1);
  make_integer(api::result(), repaint ? 2 : 1);
  api::done();
}

// _redraw-area face offset size (in redraw-input): the rectangle of the
// console face painted again at its window's next frame, the rest kept;
// false when the face has no window of the GUI backend to take it (the
// caller redraws the whole face through the view platform).
void redraw_area() {
  const view::backend::Entries* m = view::module::load();
  api::answer_logic(m && m->redraw_area && m->redraw_area(api::arg(0), api::arg(1), api::arg(2)));
}

// _paint-area face (in paint): while the face's drawing paints a part of it
// only, that part as [offset size]; else none.
void paint_area() {
  const view::backend::Entries* m = view::module::load();
  if (!m || !m->painting_area) {
    api::answer_none();
    return;
  }
  api::set_result(m->painting_area(api::arg(0)));
}

}  // namespace

void wire_terminal_routines() {
  for (int k = 0; k < WORD_COUNT; ++k) g_symbols[k] = symbol::make(kWordNames[k]);
  for (i32& i : g_indexes) i = -1;
  g_text.symbol = symbol::make("text");
  g_size.symbol = symbol::make("size");
  g_position.symbol = symbol::make("position");
  g_max_size.symbol = symbol::make("max-size");
  g_state.symbol = symbol::make("state");
  g_visible.symbol = symbol::make("visible?");
  g_console.symbol = symbol::make("console");
  g_columns.symbol = g_size.symbol;
  copy_cell(intern_word("system"), &g_system);
  const char* fn = "gui-console-ctx terminal scroll-lines";
  library::wire(fn, "_rows-up", "[nlines [vector!] n [integer!] delta [integer!]]", rows_up);
  library::wire(fn, "_rows-down", "[nlines [vector!] n [integer!] delta [integer!] last [integer!]]",
       rows_down);
  library::wire("gui-console-ctx terminal add-line", "_add-row",
       "[terminal [object!] str [string!] monospace? [any-type!]]", add_row);
  library::wire("gui-console-ctx terminal reset-top", "_end-in-view",
       "[terminal [object!] scroller [any-type!]]", end_in_view);
  library::wire("gui-console-ctx terminal vprint", "_print-line",
       "[terminal [object!] str [string!] lf? [logic!] console win scroller monospace? [any-type!]]",
       print_line);
  library::wire("gui-console-ctx terminal redraw-input", "_redraw-area",
       "[face [object!] offset [planar!] size [planar!]]", redraw_area);
  library::wire("gui-console-ctx terminal paint", "_paint-area", "[face [object!]]", paint_area);
}

}  // namespace qel::console
