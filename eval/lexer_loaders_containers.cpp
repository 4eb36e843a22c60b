// Loaders of the string-like literals <tag>, name@host and @ref, and the
// closing of a #[...] map literal.
#include "datatypes/map.hpp"
#include "eval/lexer_state.hpp"
#include "runtime/memory.hpp"

namespace qel::lexer {

namespace {

// <...>: the text between the angle brackets; end is the closing '>'.
void load_tag(State* s, const u8* start, const u8* end, u32, bool load) {
  if (*start != '<' || end >= s->end || *end != '>') throw_error(s, start, end, TYPE_TAG);
  load_plain_text(s, start, end + 1, start + 1, end, TYPE_TAG, load);
}

// name@host: the whole text.
void load_email(State* s, const u8* start, const u8* end, u32, bool load) {
  load_plain_text(s, start, end, start, end, TYPE_EMAIL, load);
}

// @name: the text after the @.
void load_ref(State* s, const u8* start, const u8* end, u32, bool load) {
  if (end - start < 1 || *start != '@') throw_error(s, start, end, TYPE_REF);
  load_plain_text(s, start, end, start + 1, end, TYPE_REF, load);
}

}  // namespace

void install_container_loaders() {
  set_loader(K_TAG, load_tag);
  set_loader(K_EMAIL, load_email);
  set_loader(K_REF, load_ref);
}

namespace {
// Bits of a map marker's word 2 above the type (a map has no commas).
constexpr u32 MAP_ODD = 0x10000;      // an odd number of values so far
constexpr u32 MAP_BAD_KEY = 0x20000;  // a key of a type no map takes
}  // namespace

void note_map_element(State* s, Type t) {
  if (!s->scan || s->series_start == s->head) return;
  Cell& marker = cells[s->series_start - 1];
  u32 kind = marker_kind(&marker);
  if ((kind & 0xFFFF) != TYPE_MAP) return;
  if (!(kind & MAP_ODD) && !map::valid_key(t)) kind |= MAP_BAD_KEY;
  set_marker_kind(&marker, kind ^ MAP_ODD);
}

void check_map(State* s, const Cell& marker, const u8* opened, const u8* end) {
  if (s->scan && (marker_kind(&marker) & (MAP_ODD | MAP_BAD_KEY))) throw_error(s, opened, end, TYPE_MAP);
}

void close_map(State* s, const u8* opened, const u8* end) {
  if (!s->load) return;  // nothing was built: the placeholder stands
  Cell block = cells.back();
  u32 node = series_node(&block);
  mem::Buffer* b = mem::buffer_of(node);
  u32 n = b->used() / sizeof(Cell);
  bool ok = n % 2 == 0;
  for (u32 i = 0; ok && i < n; i += 2) ok = map::valid_key(type_of(b->cells() + i));
  if (!ok) throw_error(s, opened, end, TYPE_MAP);
  // The block stays marked on the lexer stack while the table is made.
  Cell value;
  map::make_at(&value, node, 0);
  value.header |= block.header & FLAG_NEW_LINE;
  cells.back() = value;
}

}  // namespace qel::lexer
