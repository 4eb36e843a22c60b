#include "datatypes/symbol.hpp"

#include <cstring>
#include <string>

#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"
#include "runtime/unicode.hpp"

namespace qel::symbol {

u32 table = 0;
u32 block = 0;

namespace {

using mem::buffer_of;

void mark_symbols() { hash::mark_table(table); }

// One code point of a spelling; a byte that does not decode stands for itself.
u32 next_code_point(const u8*& p, const u8* end) { return unicode::decode_lenient(p, end); }

std::string_view spelling_of(u32 name_node) {
  mem::Buffer* b = buffer_of(name_node);
  return std::string_view(reinterpret_cast<const char*>(b->head_ptr()), b->used());
}

i32 compare_spellings(std::string_view x, std::string_view y, i32 op) {
  const u8* p = reinterpret_cast<const u8*>(x.data());
  const u8* pe = p + x.size();
  const u8* q = reinterpret_cast<const u8*>(y.data());
  const u8* qe = q + y.size();
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                  op == COMP_EQUAL_NO_CASE;
  bool fold = op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT;
  if (equality && unicode::count_utf8_chars(p, pe) != unicode::count_utf8_chars(q, qe)) return 1;
  while (p < pe && q < qe) {
    u32 c = next_code_point(p, pe);
    u32 d = next_code_point(q, qe);
    if (fold) {
      c = casefold::upper(c);
      d = casefold::upper(d);
    }
    if (c != d) return c < d ? -1 : 1;
  }
  if (p < pe) return 1;
  if (q < qe) return -1;
  return 0;
}

// Entries compare by their spellings (the cells may be copies).
i32 symbol_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_SYMBOL) return COMPARE_INCOMPARABLE;
  if (op == COMP_SAME) return utf8_node(a) == utf8_node(b) ? 0 : -1;
  return compare_spellings(spelling_of(utf8_node(a)), spelling_of(utf8_node(b)), op);
}

}  // namespace

void init() {
  types::register_datatype({TYPE_SYMBOL, TYPE_NO_TYPE, "symbol!", {.compare = symbol_compare}});
}

void init_table() {
  if (table) return;
  block = mem::alloc_cells(4000);
  hash::symbol_block = block;
  make_series(runtime::root_append(), TYPE_BLOCK, block);
  table = hash::make(4000, block, hash::KIND_SYMBOL, 1);
  gc::add_mark_callback(mark_symbols);
}

u32 make_from_string(const char* utf8, u32 length) {
  return hash::intern_string(table, utf8, length, false);
}

u32 make(const char* name) { return make_from_string(name, u32(std::strlen(name))); }

u32 make_any_case(const char* name) {
  return hash::intern_string(table, name, u32(std::strlen(name)), true);
}

u32 make_from_code_point(Cell* buffer, u32 cp) {
  string::append_char(buffer, cp);
  std::string text = string::to_utf8(buffer);
  return make_from_string(text.data(), u32(text.size()));
}

u32 count() { return block ? buffer_of(block)->used() / sizeof(Cell) : 0; }
bool valid(u32 id) { return id >= 1 && id <= count(); }

Cell* entry(u32 id) { return buffer_of(block)->cells() + (id - 1); }

u32 cache_string(u32 id) {
  u32 node = string_node(entry(id));
  if (node) return node;
  std::string_view n = name(id);
  node = unicode::load_utf8_buffer(reinterpret_cast<const u8*>(n.data()), u32(n.size()));
  set_string_node(entry(id), node);
  return node;
}

Cell* get(u32 id) {
  cache_string(id);
  return entry(id);
}

u32 resolve(u32 id) {
  i32 a = alias_of(entry(id));
  return a > 0 ? u32(a) : id;
}

i32 alias(u32 id) { return alias_of(entry(id)); }

std::string_view name(u32 id) {
  mem::Buffer* b = buffer_of(utf8_node(entry(id)));
  return std::string_view(reinterpret_cast<const char*>(b->head_ptr()), b->used());
}

i32 compare_names(u32 a, u32 b, i32 op) {
  if (op == COMP_SAME) return a == b ? 0 : -1;
  if (a == b) return 0;
  return compare_spellings(name(a), name(b), op);
}

}  // namespace qel::symbol
