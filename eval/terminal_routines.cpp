// The console terminal's routines: the loops it runs for every printed line,
// in C++ (library/console/terminal.qel keeps everything else).
//
// _rows-up and _rows-down walk the per-line row counts (the `nlines` vector)
// from a line towards older or newer lines until a number of rows is used
// up, as scrolling and keeping the end of the output in view do.
#include "datatypes/integer.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/vector.hpp"
#include "eval/api.hpp"
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

}  // namespace

void wire_terminal_routines() {
  const char* fn = "gui-console-ctx terminal scroll-lines";
  wire(fn, "_rows-up", "[nlines [vector!] n [integer!] delta [integer!]]", rows_up);
  wire(fn, "_rows-down", "[nlines [vector!] n [integer!] delta [integer!] last [integer!]]",
       rows_down);
}

}  // namespace qel::library
