#include "datatypes/symbol.hpp"

#include <algorithm>
#include <cstring>
#include <vector>
#include <string>

#include "datatypes/string.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"
#include "runtime/unicode.hpp"
#include "platform/image_state.hpp"

namespace qel::symbol {

u32 table = 0;
u32 block = 0;

namespace {

using mem::buffer_of;

void mark_symbols() { hash::mark_table(table); }

// Symbols that C++ code names by their spelling (make, make_any_case): it
// may keep their ids in tables of its own, so they are never reclaimed.
// Symbols made from data (make_from_string: loaded text, decoded streams)
// may be.
std::vector<bool> g_lasting;

void save_lasting(image_state::Writer& w) {
  w.value(u64(g_lasting.size()));
  for (std::size_t i = 0; i < g_lasting.size(); i += 8) {
    u8 bits = 0;
    for (std::size_t k = 0; k < 8 && i + k < g_lasting.size(); ++k) bits |= u8(g_lasting[i + k]) << k;
    w.value(bits);
  }
}

void load_lasting(image_state::Reader& r) {
  u64 n = r.value<u64>();
  if (n > (u64(1) << 32)) n = 0;
  g_lasting.assign(std::size_t(n), false);
  for (std::size_t i = 0; i < n && r.good(); i += 8) {
    u8 bits = r.value<u8>();
    for (std::size_t k = 0; k < 8 && i + k < n; ++k) g_lasting[i + k] = (bits >> k) & 1;
  }
}
QEL_IMAGE_KEEP_WITH(g_lasting, save_lasting, load_lasting);

void keep_lasting(u32 id) {
  if (id >= g_lasting.size()) g_lasting.resize(id + 1024, false);
  g_lasting[id] = true;
}

// Reclaims the symbols made after start-up from data that nothing refers to
// any more: no word (of any kind, issues included) names them or a case
// variant of theirs, no call frame, and no word of the native stack, where
// C++ code may hold an id between interning it and making a word of it.
// Runs after marking, when enough new symbols were made since the last time
// for the scan to pay.
u64 g_made_at_last_reclaim = 0;

void reclaim_symbols() {
  if (!gc::moving_allowed()) return;
  u32 n = count();
  u64 made = hash::symbols_made();
  if (made < g_made_at_last_reclaim + std::max<u64>(1024, n / 8)) return;
  g_made_at_last_reclaim = made;
  std::vector<u32> dead;
  for (u32 id = 1; id <= n; ++id) {
    if (gc::symbol_marked(id) || (id < g_lasting.size() && g_lasting[id])) continue;
    if (type_of(entry(id)) != TYPE_SYMBOL) continue;  // reclaimed before
    dead.push_back(id);
  }
  if (dead.empty()) return;
  const std::vector<u32>& held = gc::native_words();
  std::vector<u32> freed;
  for (u32 id : dead) {
    if (!std::binary_search(held.begin(), held.end(), id)) freed.push_back(id);
  }
  hash::free_symbols(table, freed);
}

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
  gc::add_sweep_callback(reclaim_symbols);
}

u32 make_from_string(const char* utf8, u32 length) {
  return hash::intern_string(table, utf8, length, false);
}

u32 make(const char* name) {
  u32 id = make_from_string(name, u32(std::strlen(name)));
  keep_lasting(id);
  keep_lasting(resolve(id));
  return id;
}

u32 make_any_case(const char* name) {
  u32 id = hash::intern_string(table, name, u32(std::strlen(name)), true);
  keep_lasting(id);
  return id;
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
