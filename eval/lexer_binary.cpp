// The lexer's loader of binary! literals: #{...}, 16#{...}, 2#{...} and
// 64#{...}. The text between the braces goes through the base decoders, which
// skip blanks, line breaks and ";" comments; text that does not decode whole
// (an odd hex digit count, an incomplete bit group, a bad digit) is an
// `invalid` error for binary!.
#include "datatypes/binary.hpp"
#include "eval/lexer_state.hpp"
#include "runtime/codecs/base.hpp"

namespace qel::lexer {

// [start, end): the token up to its closing brace (end points at it).
void load_binary(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* p = start;
  int base = 0;
  while (p < end && *p >= '0' && *p <= '9' && base < 100) base = base * 10 + (*p++ - '0');
  if (p == start) base = 16;
  if (p + 1 >= end + 1 || p[0] != '#' || p[1] != '{' || (base != 2 && base != 16 && base != 64)) {
    throw_error(s, start, end + 1, TYPE_BINARY);
  }
  const u8* text = p + 2;
  if (text > end) throw_error(s, start, end + 1, TYPE_BINARY);
  auto bytes = codecs::base::decode(base, text, 1, u32(end - text));
  if (!bytes) throw_error(s, start, end + 1, TYPE_BINARY);
  if (!load) return;
  Cell value;
  binary::load_at(bytes->data(), u32(bytes->size()), &value);  // allocates: before new_cell
  // The line feeds counted before the token include those inside it: only
  // one that came before the token marks a new line.
  i32 inner = 0;
  for (const u8* q = start; q < end; ++q) inner += *q == '\n';
  Cell* c = new_cell(s);
  copy_cell(&value, c);
  set_new_line(c, s->line_feeds - inner > 0);
}

}  // namespace qel::lexer
