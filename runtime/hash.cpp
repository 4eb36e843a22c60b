#include "runtime/hash.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "runtime/context_record.hpp"
#include "runtime/actions.hpp"
#include "runtime/array.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/cycles.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "platform/image_state.hpp"

namespace qel::hash {

using mem::Buffer;
using mem::buffer_of;

KeyPrep map_key_prepare = nullptr;
u32 symbol_block = 0;

u32 resolve_symbol(u32 id) {
  i32 alias = i32((mem::buffer_of(symbol_block)->cells() + (id - 1))->w1);
  return alias > 0 ? u32(alias) : id;
}

namespace {

constexpr u32 NO_SLOT = 0xFFFFFFFFu;  // index slot of a position not in the table
constexpr u32 NONE = 0xFFFFFFFFu;     // no bucket
constexpr u32 MARKER_LIVE = TYPE_UNSET;  // marker word 0 of a live pointer record
constexpr i32 TYPE_KEY_PART = 56;     // key cell hashing only w3 units of a string

// ---- series of the table -------------------------------------------------------

inline u32* words_at(u32 node) { return reinterpret_cast<u32*>(buffer_of(node)->head_ptr()); }
inline u32* flags_of(u32 table) { return words_at(record(table)->flags); }
inline u32* keys_of(u32 table) { return words_at(record(table)->keys); }
inline Cell* cells_of(u32 table) { return buffer_of(record(table)->block)->cells(); }
inline u32 cell_count(u32 node) { return buffer_of(node)->used() / sizeof(Cell); }
inline u32 slot_capacity(u32 node) { return buffer_of(node)->size / 4; }

// Bucket flags: 2 bits a bucket; bit 1 empty, bit 0 deleted, 0 used.
inline u32 flag(const u32* f, u32 i) { return (f[i >> 4] >> ((i & 15u) << 1)) & 3u; }
inline bool is_empty(const u32* f, u32 i) { return flag(f, i) & 2u; }
inline bool is_deleted(const u32* f, u32 i) { return flag(f, i) & 1u; }
inline bool is_either(const u32* f, u32 i) { return flag(f, i) != 0; }
inline void set_used(u32* f, u32 i) { f[i >> 4] &= ~(3u << ((i & 15u) << 1)); }
inline void set_deleted(u32* f, u32 i) { f[i >> 4] |= 1u << ((i & 15u) << 1); }
inline void clear_empty(u32* f, u32 i) { f[i >> 4] &= ~(2u << ((i & 15u) << 1)); }

// A byte series of n bytes (at least 16) filled with `fill`, every byte in use:
// tables address their slots by offset, so the whole capacity counts as used
// and survives expansion and copying.
u32 alloc_slots(u32 bytes, u8 fill) {
  u32 node = mem::alloc_filled_bytes(std::max<u32>(bytes, 16), fill);
  Buffer* b = buffer_of(node);
  b->tail = b->head + b->size;
  return node;
}
u32 alloc_flags(u32 n_buckets) { return alloc_slots(n_buckets / 4, 0xAA); }
u32 alloc_keys(u32 n_buckets) { return alloc_slots(n_buckets * 4, 0); }

void fill_all(u32 node, u8 byte) {
  Buffer* b = buffer_of(node);
  std::memset(b->head_ptr(), byte, b->size);
}

// Grows a slot series to hold at least `slots` 32-bit slots, to twice that,
// the new part filled with `fill`.
void ensure_slots(u32 node, u32 slots, u8 fill) {
  if (slot_capacity(node) >= slots) return;
  u64 bytes = u64(slots) * 8;
  if (bytes > 0x7FFFFFF0ull) bytes = u64(slots) * 4;
  Buffer* b = mem::expand_series_fill(node, u32(bytes), fill);
  b->tail = b->head + b->size;
}

// Keeps a table (its record and every series it reaches) alive while C++
// code works on it: a context-record cell is marked through its table.
struct TableRoot {
  roots::LocalCell cell;
  explicit TableRoot(u32 table) {
    cell->header = TYPE_CONTEXT;
    cell->w1 = table;
  }
};

// Compares two cells with the comparison action on stacked copies, so that a
// handler that allocates cannot leave the arguments dangling.
bool equal_under(const Cell* stored, const Cell* key, i32 op) {
  // Two integers are equal under every comparison exactly when their values
  // are: the common key of maps and hash! values skips the dispatch.
  if (type_of(stored) == TYPE_INTEGER && type_of(key) == TYPE_INTEGER) return stored->w2 == key->w2;
  // Two words are equal when their names are, whatever the case: the
  // symbols or their canonical symbols are the same (as the word's
  // comparison answers, without its dispatch).
  if (type_of(stored) == TYPE_WORD && type_of(key) == TYPE_WORD && (op == COMP_EQUAL || op == COMP_EQUAL_NO_CASE))
    return stored->w2 == key->w2 || resolve_symbol(stored->w2) == resolve_symbol(key->w2);
  Cell* saved = stack::top;
  Cell* a = stack::push_cell(stored);
  Cell* b = stack::push_cell(key);
  bool r = actions::compare(a, b, op);
  stack::top = saved;
  return r;
}

inline bool same_kind_of_key(const Cell* stored, const Cell* key) {
  return type_of(stored) == type_of(key) || type_of(key) == TYPE_KEY_PART;
}

// Kind-1 probing. An integer key hashes to itself, so that a run of integer
// keys takes a run of buckets and the keys and their pairs are read in
// memory order; every other key has its value hash. Each step mixes in five
// more high bits of the hash (perturbation) before the sequence becomes
// i -> 5i + 1, which visits every bucket: keys that share their low bits
// part at once instead of walking a crowded run.
inline u32 map_hash(const Cell* key) {
  return type_of(key) == TYPE_INTEGER ? key->w2 : value_hash(key, false);
}
struct MapProbe {
  u32 i, perturb, mask, count = 0;
  MapProbe(u32 hash, u32 mask_) : i(hash & mask_), perturb(hash), mask(mask_) {}
  void next() {
    perturb >>= 5;
    i = (i * 5 + perturb + 1) & mask;
    ++count;
  }
  bool done() const { return count > mask + 8; }  // every bucket was seen
};

inline u32 rotl(u32 x, int r) { return (x << r) | (x >> (32 - r)); }
constexpr u32 C1 = 0xCC9E2D51u;
constexpr u32 C2 = 0x1B873593u;
inline u32 scramble(u32 k) { return rotl(k * C1, 15) * C2; }
inline u32 mix_block(u32 h, u32 k) {
  h ^= scramble(k);
  h = rotl(h, 13);
  return h * 5 + 0xE6546B64u;
}

// The bytes of a name with A-Z lowered: the symbol table hashes these, so
// that case variants share one probe sequence.
std::vector<char> g_scratch(256);
const char* lower_ascii(const char* s, u32 n) {
  if (g_scratch.size() < n) g_scratch.assign(n, 0);
  for (u32 i = 0; i < n; ++i) {
    char c = s[i];
    g_scratch[i] = (c >= 'A' && c <= 'Z') ? char(c | 0x20) : c;
  }
  return g_scratch.data();
}

bool ascii_equal_nocase(const u8* a, const u8* b, u32 n) {
  for (u32 i = 0; i < n; ++i) {
    u8 x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x |= 0x20;
    if (y >= 'A' && y <= 'Z') y |= 0x20;
    if (x != y) return false;
  }
  return true;
}

// ---- kind 0: positions, chains and the index ------------------------------------

inline u32 chain_node(u32 table, i32 key) {
  u32 chains = record(table)->chains;
  return u32(array::pick_int(chains, u32(-key)));
}

// The first block position stored for a used bucket.
u32 bucket_position(u32 table, u32 b) {
  i32 k = i32(keys_of(table)[b]);
  if (k >= 0) return u32(k);
  return u32(array::pick_int(chain_node(table, k), 1));
}

inline u32 index_slot(u32 table, u32 pos) {
  u32 idx = record(table)->index;
  if (pos >= slot_capacity(idx)) return NO_SLOT;
  return words_at(idx)[pos];
}
inline void set_index_slot(u32 table, u32 pos, u32 v) {
  u32 idx = record(table)->index;
  ensure_slots(idx, pos + 1, 0xFF);
  words_at(idx)[pos] = v;
}

// Walks the probe sequence from the hash up to an empty bucket: answers the
// first used bucket that `match` accepts, or NONE with *free_slot (when
// given) set to the bucket an insertion would take: the last deleted bucket
// passed, else the empty one that ended the walk, or NONE when the walk came
// round without meeting one. The flags are read again at every step: a match
// that compares values may allocate.
template <class Match>
u32 probe(u32 table, u32 hash, Match match, u32* free_slot) {
  u32 mask = record(table)->n_buckets - 1;
  u32 i = hash & mask;
  u32 start = i, step = 0, site = NONE;
  while (true) {
    const u32* f = flags_of(table);
    if (is_empty(f, i)) break;
    if (is_deleted(f, i)) {
      site = i;
    } else if (match(i)) {
      return i;
    }
    i = (i + ++step) & mask;
    if (i == start) {
      i = NONE;
      break;
    }
  }
  if (free_slot) *free_slot = site != NONE ? site : i;
  return NONE;
}

// Stores the key (a block position or a record offset) in the free bucket x.
void occupy(u32 table, u32 x, u32 key) {
  u32* f = flags_of(table);
  bool was_empty = is_empty(f, x);
  keys_of(table)[x] = key;
  set_used(f, x);
  Record* r = record(table);
  r->size++;
  if (was_empty) r->n_occupied++;
}

void free_bucket(u32 table, u32 b) {
  set_deleted(flags_of(table), b);
  Record* r = record(table);
  if (r->size) r->size--;
}

// Takes one block position out of a kind-0 table: out of its chain, and the
// bucket is freed when it held the position alone or its chain emptied.
void remove_position(u32 table, u32 pos) {
  u32 slot = index_slot(table, pos);
  if (slot == NO_SLOT) return;
  words_at(record(table)->index)[pos] = NO_SLOT;
  u32 b = slot - 1;
  if (b >= record(table)->n_buckets || is_either(flags_of(table), b)) return;
  i32 k = i32(keys_of(table)[b]);
  if (k >= 0) {
    if (u32(k) == pos) free_bucket(table, b);
    return;
  }
  u32 chain = chain_node(table, k);
  array::remove_int(chain, i32(pos));
  if (array::length(chain) == 0) free_bucket(table, b);
}

// Adds a position to the chain of a used bucket, making the chain on the
// second occurrence of the key.
void add_to_chain(u32 table, u32 b, u32 pos) {
  i32 k = i32(keys_of(table)[b]);
  if (k >= 0) {
    u32 chain = array::make(4, 4);
    roots::NodeRoot hold(&chain);
    array::append_int(chain, k);
    u32 chains = record(table)->chains;
    array::append_int(chains, i32(chain));
    keys_of(table)[b] = u32(-i32(array::length(chains)));
    k = i32(keys_of(table)[b]);
  }
  array::append_int(chain_node(table, k), i32(pos));
}

void reset_block_table(u32 table) {
  Record* r = record(table);
  fill_all(r->flags, 0xAA);
  fill_all(r->index, 0xFF);
  array::clear(r->chains);
  r->size = 0;
  r->n_occupied = 0;
}

int put_block_key(u32 table, u32 pos, bool allow_resize);

// Rebuilds a kind-0 table from its whole block.
void resize_block(u32 table, u32 requested) {
  TableRoot root(table);
  u32 len = cell_count(record(table)->block);
  u64 want = u64(requested) + requested / 2;
  u32 n = pow2_ceil(u32(std::min<u64>(want, 0x40000000ull)));
  if (n < 4) n = 4;
  // Room for every position even when all keys differ, so that the rebuild
  // never has to resize itself.
  while (u64(n) * 77 / 100 <= len && n < 0x40000000u) n *= 2;
  u32 flags = alloc_flags(n);
  roots::NodeRoot hold(&flags);
  u32 keys = alloc_keys(n);
  Record* r = record(table);
  r->flags = flags;
  r->keys = keys;
  r->n_buckets = n;
  r->upper = u32(n * 0.77);
  ensure_slots(r->index, len, 0xFF);
  reset_block_table(table);
  for (u32 pos = 0; pos < len; ++pos) put_block_key(table, pos, false);
}

int put_block_key(u32 table, u32 pos, bool allow_resize) {
  TableRoot root(table);
  Record* r = record(table);
  if (pos >= cell_count(r->block)) return PUT_PRESENT;
  if (allow_resize && r->n_occupied >= r->upper) {
    u32 n = r->n_buckets;
    resize_block(table, r->size * 2 < n ? n - 1 : n + 1);
    return PUT_REBUILT;
  }
  if (index_slot(table, pos) != NO_SLOT) remove_position(table, pos);
  u32 x = NONE;
  u32 b = probe(table, value_hash(cells_of(table) + pos, false), [&](u32 i) {
    Cell* stored = cells_of(table) + bucket_position(table, i);
    Cell* key = cells_of(table) + pos;
    return type_of(stored) == type_of(key) && equal_under(stored, key, COMP_EQUAL);
  }, &x);
  if (b != NONE) {
    add_to_chain(table, b, pos);
    set_index_slot(table, pos, b + 1);
    return PUT_STORED;
  }
  if (x == NONE) {  // no free bucket at all: cannot happen below the bound
    resize_block(table, record(table)->n_buckets + 1);
    return PUT_REBUILT;
  }
  occupy(table, x, pos);
  set_index_slot(table, pos, x + 1);
  return PUT_STORED;
}

// ---- kinds 1 and 2: resizing in place -------------------------------------------

u32 key_hash(u32 table, u32 key) { return value_hash(cells_of(table) + key, false); }

void resize_in_place(u32 table, u32 requested) {
  u32 new_n = std::max<u32>(pow2_ceil(requested), 4);
  u32 new_upper = u32(new_n * 0.77 + 0.5);
  if (record(table)->size >= new_upper) return;
  TableRoot root(table);
  u32 nflags = alloc_flags(new_n);
  roots::NodeRoot hold(&nflags);
  Record* r = record(table);
  u32 old_n = r->n_buckets;
  if (old_n < new_n) {
    Buffer* kb = mem::expand_series_copy(r->keys, new_n * 4);
    kb->tail = kb->head + kb->size;
    r = record(table);
  }
  // Nothing below allocates: the kick-out loop moves every key to its
  // bucket of the new size, evicting keys that have not moved yet.
  u32* f = flags_of(table);
  u32* nf = words_at(nflags);
  u32* keys = keys_of(table);
  u32 mask = new_n - 1;
  u32 used = 0;
  for (u32 j = 0; j < old_n; ++j) {
    if (is_either(f, j)) continue;
    u32 key = keys[j];
    set_deleted(f, j);
    while (true) {
      u32 i = key_hash(table, key) & mask;
      u32 step = 0;
      while (!is_empty(nf, i)) i = (i + ++step) & mask;
      clear_empty(nf, i);
      ++used;  // every key claims one new bucket, evicted ones included
      if (i < old_n && !is_either(f, i)) {
        std::swap(key, keys[i]);
        set_deleted(f, i);
      } else {
        keys[i] = key;
        break;
      }
    }
  }
  r->flags = nflags;
  r->n_buckets = new_n;
  r->upper = new_upper;
  r->n_occupied = used;
}

// Kind 1: rebuilds the table from its block for at least `requested`
// buckets. Removed pairs before the pending position (a key appended but not
// yet put, or NONE) are cut out of the block, the order of the others kept,
// and the pending position follows its pair. The keys before it are distinct,
// so placing them reads the bucket flags only; the block is read in order.
void rebuild_map(u32 table, u32 requested, u32* pending) {
  TableRoot root(table);
  u32 limit = pending ? *pending : NONE;
  u32 block = record(table)->block;
  // The new buckets are allocated before the block is touched: should the
  // allocation fail, the old table still matches the block it indexes.
  u32 live = 0;
  {
    const Cell* c = buffer_of(block)->cells();
    u32 n = cell_count(block);
    for (u32 r = 0; r + 1 < n && r < limit; r += 2) {
      if (c[r + 1].header != 0) ++live;
    }
  }
  u32 new_n = std::max<u32>(pow2_ceil(requested), 4);
  while (live >= u32(new_n * 0.77 + 0.5)) new_n *= 2;
  u32 nflags = alloc_flags(new_n);
  roots::NodeRoot hold_flags(&nflags);
  u32 nkeys = alloc_keys(new_n);
  roots::NodeRoot hold_keys(&nkeys);
  // Nothing below allocates.
  Cell* c = buffer_of(block)->cells();
  u32 n = cell_count(block);
  u32 w = 0, r = 0, placed_end = NONE;
  // Every pair before the pending one is in the table; when all of them are
  // live there is nothing to cut and the block stays as it is.
  if (n % 2 == 0 && record(table)->size == std::min(limit, n) / 2) {
    w = r = n;
    placed_end = std::min(limit, n);
  }
  for (; r < n; r += 2) {
    if (r == limit) placed_end = w;
    bool pair = r + 1 < n;
    if (pair && r < limit && c[r + 1].header == 0) continue;
    u32 k = pair ? 2 : 1;
    if (w != r) std::memmove(c + w, c + r, k * sizeof(Cell));
    w += k;
  }
  if (placed_end == NONE) placed_end = w;
  buffer_of(block)->tail = buffer_of(block)->head + w * u32(sizeof(Cell));
  if (pending) *pending = placed_end;
  u32* f = words_at(nflags);
  u32* keys = words_at(nkeys);
  c = buffer_of(block)->cells();
  u32 mask = new_n - 1;
  for (u32 p = 0; p + 1 < placed_end; p += 2) {
    MapProbe probe(map_hash(c + p), mask);
    while (!is_empty(f, probe.i)) probe.next();
    clear_empty(f, probe.i);
    keys[probe.i] = p;
  }
  Record* rec = record(table);
  rec->flags = nflags;
  rec->keys = nkeys;
  rec->n_buckets = new_n;
  rec->upper = u32(new_n * 0.77 + 0.5);
  rec->size = live;
  rec->n_occupied = live;
}

// The size a kind-1 or kind-2 table asks for before an insertion at its bound.
u32 growth_request(const Record* r) {
  u32 n = r->n_buckets;
  u32 req = (r->kind == KIND_MAP || r->size * 2 >= n) ? n + 1 : n - 1;
  if (r->kind == KIND_SYMBOL) req = u32(std::min<u64>(u64(req) * 16, 0x40000000ull));
  return req;
}

// The bucket count a map! table at its bound is rebuilt for. Mostly removed
// keys: the same size, without them. Else four times the size while the
// table is small, so that a map filled from empty is rebuilt half as often,
// and twice the size beyond 2^20 buckets, where the buckets' memory counts.
u32 map_growth(const Record* r) {
  if (r->size * 2 <= r->upper) return r->n_buckets;
  return r->n_buckets < (1u << 20) ? r->n_buckets * 4 : r->n_buckets * 2;
}

void grow_if_due(u32 table, u32* pending = nullptr) {
  Record* r = record(table);
  if (r->n_occupied < r->upper) return;
  if (r->kind == KIND_MAP) {
    rebuild_map(table, map_growth(r), pending);
  } else if (r->kind == KIND_BLOCK) {
    resize_block(table, r->size * 2 < r->n_buckets ? r->n_buckets - 1 : r->n_buckets + 1);
  } else if (r->kind <= KIND_SYMBOL) {
    resize_in_place(table, growth_request(r));
  } else {
    resize(table, r->size * 2 < r->n_buckets ? r->n_buckets - 1 : r->n_buckets + 1);
  }
}

int put_single_key(u32 table, u32 pos) {
  TableRoot root(table);
  if (pos >= cell_count(record(table)->block)) return PUT_PRESENT;
  grow_if_due(table, &pos);
  u32 x = NONE;
  if (record(table)->kind == KIND_MAP) {
    MapProbe p(map_hash(cells_of(table) + pos), record(table)->n_buckets - 1);
    u32 site = NONE;
    for (; !p.done(); p.next()) {
      const u32* f = flags_of(table);
      if (is_empty(f, p.i)) break;
      if (is_deleted(f, p.i)) {
        site = p.i;
        continue;
      }
      Cell* stored = cells_of(table) + keys_of(table)[p.i];
      Cell* key = cells_of(table) + pos;
      if (type_of(stored) == type_of(key) && equal_under(stored, key, COMP_STRICT_EQUAL)) {
        return PUT_PRESENT;
      }
    }
    x = site != NONE ? site : p.done() ? NONE : p.i;
    if (x == NONE) {
      rebuild_map(table, record(table)->n_buckets * 2, &pos);
      return put_single_key(table, pos);
    }
    occupy(table, x, pos);
    return PUT_STORED;
  }
  u32 b = probe(table, value_hash(cells_of(table) + pos, false), [&](u32 i) {
    Cell* stored = cells_of(table) + keys_of(table)[i];
    Cell* key = cells_of(table) + pos;
    return type_of(stored) == type_of(key) && equal_under(stored, key, COMP_STRICT_EQUAL);
  }, &x);
  if (b != NONE) return PUT_PRESENT;
  if (x == NONE) {
    resize_in_place(table, record(table)->n_buckets * 2);
    return put_single_key(table, pos);
  }
  occupy(table, x, pos);
  return PUT_STORED;
}

// ---- kinds 3 and 4: pointer records -----------------------------------------------

inline Cell* record_at(u32 table, u32 offset) {
  return reinterpret_cast<Cell*>(buffer_of(record(table)->block)->head_ptr() + offset);
}

// The bucket holding the key's live record, or NONE; *free_bucket receives
// the bucket an insertion would take.
u32 probe_ptr(u32 table, u32 key, u32* free_slot) {
  return probe(table, hash_mix(key), [&](u32 i) {
    const Cell* m = record_at(table, keys_of(table)[i]);
    return m->header == MARKER_LIVE && m->w1 == key;
  }, free_slot);
}

void rebuild_records(u32 table, u32 requested) {
  TableRoot root(table);
  Record* r = record(table);
  u32 rsize = r->index;
  u32 cells_per = rsize / sizeof(Cell);
  u32 new_n = std::max<u32>(pow2_ceil(requested), 4);
  while (u64(new_n) * 77 / 100 <= r->size) new_n *= 2;
  u32 block = mem::alloc_cells(std::max<u32>(r->size, 1) * cells_per);
  roots::NodeRoot hold_block(&block);
  u32 flags = alloc_flags(new_n);
  roots::NodeRoot hold_flags(&flags);
  u32 keys = alloc_keys(new_n);
  roots::NodeRoot hold_keys(&keys);
  // Nothing below allocates.
  r = record(table);
  const u32* of = flags_of(table);
  const u32* ok = keys_of(table);
  u8* from = buffer_of(r->block)->head_ptr();
  Buffer* nb = buffer_of(block);
  u32* nf = words_at(flags);
  u32* nk = words_at(keys);
  u32 mask = new_n - 1, live = 0;
  for (u32 j = 0; j < r->n_buckets; ++j) {
    if (is_either(of, j)) continue;
    const Cell* m = reinterpret_cast<const Cell*>(from + ok[j]);
    if (m->header != MARKER_LIVE) continue;
    u32 off = nb->used();
    std::memcpy(nb->tail_ptr(), m, rsize);
    nb->tail += rsize;
    u32 i = hash_mix(m->w1) & mask, step = 0;
    while (!is_empty(nf, i)) i = (i + ++step) & mask;
    set_used(nf, i);
    nk[i] = off;
    ++live;
  }
  r->block = block;
  r->flags = flags;
  r->keys = keys;
  r->n_buckets = new_n;
  r->upper = u32(new_n * 0.77 + 0.5);
  r->size = live;
  r->n_occupied = live;
}

// ---- cycle of the range shift ---------------------------------------------------

u32 g_shift_table = 0;
// Symbol ids the collector reclaimed, for intern_string to take again.
std::vector<u32> g_free_symbols;
u64 g_symbols_made = 0;
QEL_IMAGE_KEEP(g_symbols_made);

// Renumbers the stored positions of the block positions [lo, hi) through f,
// each chain once (chains already done are kept in the range-shift table).
template <class F>
void renumber(u32 table, u32 lo, u32 hi, F f) {
  TableRoot root(table);
  u32 tmp = shift_table();
  for (u32 p = lo; p < hi; ++p) {
    u32 slot = index_slot(table, p);
    if (slot == NO_SLOT) continue;
    u32 b = slot - 1;
    if (b >= record(table)->n_buckets || is_either(flags_of(table), b)) continue;
    i32 k = i32(keys_of(table)[b]);
    if (k >= 0) {
      if (u32(k) == p) keys_of(table)[b] = f(p);
      continue;
    }
    u32 chain = chain_node(table, k);
    if (get_ptr(tmp, chain)) continue;
    put_ptr(tmp, chain);
    u32* items = words_at(chain);
    u32 n = array::length(chain);
    for (u32 j = 0; j < n; ++j) {
      if (items[j] >= lo && items[j] < hi) items[j] = f(items[j]);
    }
  }
  clear(tmp);
}

// Moves the index slots of [lo, hi) to f(p), the slots left behind emptied.
template <class F>
void move_slots(u32 table, u32 lo, u32 hi, u32 top, F f) {
  u32 idx = record(table)->index;
  ensure_slots(idx, std::max(hi, top), 0xFF);
  u32* s = words_at(idx);
  std::vector<u32> saved(s + lo, s + hi);
  std::fill(s + lo, s + hi, NO_SLOT);
  for (u32 p = lo; p < hi; ++p) s[f(p)] = saved[p - lo];
}

}  // namespace

// ---------------------------------------------------------------------------------
// Records and sizes


u32 pow2_ceil(u32 n) {
  if (n == 0) return 0;
  n -= 1;
  n |= n >> 1;
  n |= n >> 2;
  n |= n >> 4;
  n |= n >> 8;
  n |= n >> 16;
  return n + 1;
}

u32 buckets_for(u32 size) {
  if (size < 4) size = 4;
  double q = double(size) / 0.77;
  if (q > double(0x40000000u)) q = double(0x40000000u);
  return pow2_ceil(u32(q));
}

// ---------------------------------------------------------------------------------
// Making and copying

u32 make(u32 size, u32 block, u32 kind, u32 extra) {
  u32 s = (kind == KIND_SYMBOL && size >= 4000) ? size * 2 : size;
  if (s < 4) s = 4;
  u32 n = buckets_for(s);
  roots::NodeRoot hold_block(&block);
  u32 table = mem::alloc_bytes(sizeof(Record));
  Buffer* tb = buffer_of(table);
  tb->tail = tb->head + sizeof(Record);
  *record(table) = Record{};
  TableRoot root(table);
  record(table)->kind = kind;
  u32 node = alloc_flags(n);
  record(table)->flags = node;
  node = alloc_keys(n);
  record(table)->keys = node;
  if (kind == KIND_BLOCK) {
    node = alloc_slots(s * 4, 0xFF);
    record(table)->index = node;
    node = array::make(4, 4);
    record(table)->chains = node;
  } else if (kind >= KIND_POINTER) {
    record(table)->index = (extra + 1) * sizeof(Cell);
  }
  Record* r = record(table);
  r->n_buckets = n;
  r->upper = u32(n * 0.77);
  if (!block || kind >= KIND_POINTER) {
    node = mem::alloc_cells(kind >= KIND_POINTER ? s * (extra + 1) : s);
    record(table)->block = node;
  } else {
    record(table)->block = block;
    put_all(table, 0, kind == KIND_MAP ? 2 : 1);
  }
  return table;
}

u32 copy(u32 table, u32 new_block) {
  TableRoot root(table);
  roots::NodeRoot hold_block(&new_block);
  u32 t = mem::alloc_bytes(sizeof(Record));
  Buffer* tb = buffer_of(t);
  tb->tail = tb->head + sizeof(Record);
  *record(t) = *record(table);
  Record* nr = record(t);
  u32 kind = nr->kind;
  nr->flags = nr->keys = nr->block = 0;
  if (kind == KIND_BLOCK) nr->index = nr->chains = 0;
  TableRoot root_copy(t);
  u32 node = mem::copy_series_buffer(record(table)->flags);
  record(t)->flags = node;
  node = mem::copy_series_buffer(record(table)->keys);
  record(t)->keys = node;
  if (kind == KIND_BLOCK) {
    node = mem::copy_series_buffer(record(table)->index);
    record(t)->index = node;
    node = array::make(4, 4);
    record(t)->chains = node;
    u32 n = array::length(record(table)->chains);
    for (u32 j = 1; j <= n; ++j) {
      u32 chain = mem::copy_series_buffer(u32(array::pick_int(record(table)->chains, j)));
      roots::NodeRoot hold(&chain);
      array::append_int(record(t)->chains, i32(chain));
    }
  }
  if (!new_block) new_block = mem::copy_series_buffer(record(table)->block);
  record(t)->block = new_block;
  return t;
}

// ---------------------------------------------------------------------------------
// Putting, finding, deleting

int put_at(u32 table, u32 position) {
  return record(table)->kind == KIND_BLOCK ? put_block_key(table, position, true)
                                           : put_single_key(table, position);
}

int put_key(u32 table, const Cell* key) {
  const Cell* base = cells_of(table);
  if (key < base) return PUT_PRESENT;
  return put_at(table, u32(key - base));
}

void put(u32 table, const Cell* key) { put_key(table, key); }

void put_all(u32 table, u32 start, u32 step) {
  TableRoot root(table);
  if (step < 1) step = 1;
  u32 kind = record(table)->kind;
  if (kind != KIND_MAP) {
    for (u32 pos = start; pos < cell_count(record(table)->block); pos += step) {
      if (put_at(table, pos) == PUT_REBUILT && kind == KIND_BLOCK) break;
    }
    return;
  }
  u32 pos = start;
  while (pos < cell_count(record(table)->block)) {
    Cell* found = get(table, cells_of(table) + pos, 0, 1, COMP_STRICT_EQUAL, false, false);
    u32 fpos = found ? u32(found - cells_of(table)) : 0;
    if (found && fpos >= pos) {  // this pair (or a later one) is in the table already
      pos += step;
      continue;
    }
    if (found) {
      u32 block = record(table)->block;
      Buffer* b = buffer_of(block);
      Cell* c = b->cells();
      if (pos + 1 < cell_count(block)) {
        if (c[fpos + 1].header == 0) record(table)->size++;  // a deleted entry comes back
        copy_cell(c + pos + 1, c + fpos + 1);
      }
      // Cut the later pair out of the block.
      u32 keep = std::min<u32>(2, cell_count(block) - pos);
      std::memmove(c + pos, c + pos + keep, (cell_count(block) - pos - keep) * sizeof(Cell));
      b->tail -= keep * sizeof(Cell);
      continue;
    }
    if (map_key_prepare) map_key_prepare(record(table)->block, pos);
    put_at(table, pos);
    pos += step;
  }
}

Cell* get(u32 table, const Cell* key_in, i32 head, i32 skip, i32 op, bool last, bool reverse) {
  if (record(table)->kind == KIND_MAP) return map_lookup(table, key_in, op, nullptr);
  TableRoot root(table);
  // The key may lie in a buffer that moves: work on a stacked copy.
  Cell* saved_top = stack::top;
  Cell* key = stack::push_cell(key_in);
  u32 kind = record(table)->kind;
  u32 mask = record(table)->n_buckets - 1;
  u32 i = value_hash(key, false) & mask;
  u32 start = i, step = 0;
  if (skip < 1) skip = 1;
  i64 best = -1;
  Cell* answer = nullptr;
  while (!is_empty(flags_of(table), i)) {
    if (!is_deleted(flags_of(table), i)) {
      if (kind == KIND_BLOCK) {
        Cell* stored = cells_of(table) + bucket_position(table, i);
        if (type_of(stored) == type_of(key) && equal_under(stored, key, COMP_EQUAL)) {
          i32 k = i32(keys_of(table)[i]);
          u32 n = k >= 0 ? 1 : array::length(chain_node(table, k));
          for (u32 j = 0; j < n; ++j) {
            i64 p = k >= 0 ? i64(k) : i64(array::pick_int(chain_node(table, k), j + 1));
            if (p >= i64(cell_count(record(table)->block))) continue;
            bool on_grid, better;
            if (reverse) {
              on_grid = p < head && ((i64(head) - 1 - p) % skip) == 0;
              better = best < 0 || p > best;
            } else {
              on_grid = p >= head && ((p - head) % skip) == 0;
              better = best < 0 || (last ? p > best : p < best);
            }
            if (on_grid && better && equal_under(cells_of(table) + p, key, op)) best = p;
          }
        }
      } else if (kind <= KIND_SYMBOL) {
        Cell* stored = cells_of(table) + keys_of(table)[i];
        if (same_kind_of_key(stored, key) && equal_under(stored, key, op)) {
          best = keys_of(table)[i];
          break;
        }
      }
    }
    i = (i + ++step) & mask;
    if (i == start) break;
  }
  if (best >= 0) answer = cells_of(table) + best;
  stack::top = saved_top;
  return answer;
}

namespace {

// The probe of a map's table for a key that match() finds among the stored
// keys without calling a handler: nothing allocates, so the series are read
// once. free_bucket, when asked for, gets the bucket a missing key goes in.
template <class Match>
inline Cell* map_probe(u32 table, u32 hash, Match match, u32* free_bucket) {
  const Record* r = record(table);
  const u32* f = words_at(r->flags);
  const u32* keys = words_at(r->keys);
  Cell* cells = buffer_of(r->block)->cells();
  u32 site = NONE;  // the last deleted bucket passed: an insertion reuses it
  MapProbe p(hash, r->n_buckets - 1);
  for (; !p.done(); p.next()) {
    u32 fl = flag(f, p.i);
    if (fl & 2u) break;
    if (fl & 1u) {
      site = p.i;
      continue;
    }
    Cell* stored = cells + keys[p.i];
    if (match(stored)) return stored;
  }
  if (free_bucket) *free_bucket = site != NONE ? site : p.done() ? NONE : p.i;
  return nullptr;
}

// map_lookup for an integer key.
inline Cell* map_lookup_integer(u32 table, u32 value, u32* free_bucket) {
  auto same = [value](const Cell* stored) { return type_of(stored) == TYPE_INTEGER && stored->w2 == value; };
  return map_probe(table, value, same, free_bucket);
}

// map_lookup for every other key: a comparison may allocate, so the key is
// held on the stack and the series are read again at every step.
[[gnu::noinline]] Cell* map_lookup_value(u32 table, const Cell* key_in, i32 op, u32* free_bucket) {
  u32 mask = record(table)->n_buckets - 1;
  u32 site = NONE;
  TableRoot root(table);
  // The key may lie in a buffer that moves: work on a stacked copy.
  Cell* saved_top = stack::top;
  Cell* key = stack::push_cell(key_in);
  Type t = type_of(key);
  if (t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD) set_type(key, TYPE_SET_WORD);
  Cell* found = nullptr;
  MapProbe p(map_hash(key), mask);
  for (; !p.done(); p.next()) {
    // Read again at every step: a comparison may allocate.
    const u32* f = flags_of(table);
    if (is_empty(f, p.i)) break;
    if (is_deleted(f, p.i)) {
      site = p.i;
      continue;
    }
    Cell* stored = cells_of(table) + keys_of(table)[p.i];
    if (same_kind_of_key(stored, key) && equal_under(stored, key, op)) {
      found = cells_of(table) + keys_of(table)[p.i];
      break;
    }
  }
  if (!found && free_bucket) *free_bucket = site != NONE ? site : p.done() ? NONE : p.i;
  stack::top = saved_top;
  return found;
}

}  // namespace

namespace {

// A string's text from its index: where it begins, its unit and its length.
struct Text {
  const u8* p;
  u32 unit, len;
};
inline Text text_of(const Cell* str) {
  Buffer* b = buffer_of(str->w2);
  u32 unit = b->unit();
  u32 total = b->used() / unit;
  i32 index = i32(str->w1);
  u32 from = index < 0 ? 0 : std::min<u32>(u32(index), total);
  return Text{b->head_ptr() + u64(from) * unit, unit, total - from};
}
inline u32 char_at(const Text& t, u32 i) {
  const u8* p = t.p + u64(i) * t.unit;
  switch (t.unit) {
    case 1: return p[0];
    case 2: return u32(p[0]) | (u32(p[1]) << 8);
    default: {
      u32 cp;
      std::memcpy(&cp, p, 4);
      return cp;
    }
  }
}

// Whether two strings are equal as the string comparison has them (folded
// to uppercase unless strict): the same length and the same characters.
bool same_text(const Cell* a, const Cell* b, bool strict) {
  if (a->w2 == b->w2 && a->w1 == b->w1) return true;
  Text x = text_of(a), y = text_of(b);
  if (x.len != y.len) return false;
  if (x.unit == 1 && y.unit == 1) {
    if (std::memcmp(x.p, y.p, x.len) == 0) return true;
    if (strict) return false;
  }
  for (u32 i = 0; i < x.len; ++i) {
    u32 ca = char_at(x, i), cb = char_at(y, i);
    if (ca == cb) continue;
    if (strict || casefold::upper(ca) != casefold::upper(cb)) return false;
  }
  return true;
}

// map_lookup for a string! key compared with or without case: the texts
// are compared here.
Cell* map_lookup_string(u32 table, const Cell* key, bool strict, u32* free_bucket) {
  auto same = [key, strict](const Cell* stored) {
    return type_of(stored) == TYPE_STRING && same_text(stored, key, strict);
  };
  return map_probe(table, string_hash(key, false), same, free_bucket);
}

}  // namespace

Cell* map_lookup(u32 table, const Cell* key, i32 op, u32* free_bucket) {
  if (type_of(key) == TYPE_INTEGER) return map_lookup_integer(table, key->w2, free_bucket);
  if (type_of(key) == TYPE_STRING && (op == COMP_EQUAL || op == COMP_STRICT_EQUAL))
    return map_lookup_string(table, key, op == COMP_STRICT_EQUAL, free_bucket);
  return map_lookup_value(table, key, op, free_bucket);
}

namespace {

// map_insert at the table's bound (or with no free bucket found): rebuilds
// the table and answers the new key's bucket in it.
[[gnu::noinline]] u32 map_grow_for(u32 table, u32* position) {
  const Record* r = record(table);
  // With no free bucket on the probe (which the bound prevents) the table
  // doubles.
  u32 requested = r->n_occupied >= r->upper ? map_growth(r) : r->n_buckets * 2;
  TableRoot root(table);
  rebuild_map(table, requested, position);
  // The key is known to be missing: its bucket is the first free one of its
  // probe, found from the bucket flags alone.
  const u32* f = flags_of(table);
  MapProbe p(map_hash(cells_of(table) + *position), record(table)->n_buckets - 1);
  while (!is_empty(f, p.i)) p.next();
  return p.i;
}

}  // namespace

void map_insert(u32 table, u32* position, u32 bucket) {
  const Record* r = record(table);
  if (r->n_occupied >= r->upper || bucket == NONE) bucket = map_grow_for(table, position);
  occupy(table, bucket, *position);
}

Cell* find_next(u32 table, const Cell* key_in, i32* bucket, i32* first, i32* step) {
  TableRoot root(table);
  Cell* saved_top = stack::top;
  Cell* key = stack::push_cell(key_in);
  u32 mask = record(table)->n_buckets - 1;
  if (record(table)->kind == KIND_MAP) {
    // The probe goes on from the bucket answered last: *first holds what
    // is left of the perturbation, *step the number of steps taken.
    MapProbe p(map_hash(key), mask);
    if (*bucket >= 0) {
      p.i = u32(*bucket);
      p.perturb = u32(*first);
      p.count = u32(*step);
      p.next();
    }
    Cell* answer = nullptr;
    for (; !p.done(); p.next()) {
      if (is_empty(flags_of(table), p.i)) break;
      if (is_deleted(flags_of(table), p.i)) continue;
      u32 pos = keys_of(table)[p.i];
      Cell* stored = cells_of(table) + pos;
      if (same_kind_of_key(stored, key) && equal_under(stored, key, COMP_EQUAL)) {
        *bucket = i32(p.i);
        *first = i32(p.perturb);
        *step = i32(p.count);
        answer = cells_of(table) + pos;
        break;
      }
    }
    stack::top = saved_top;
    return answer;
  }
  u32 i;
  if (*bucket < 0) {
    i = value_hash(key, false) & mask;
    *first = i32(i);
    *step = 0;
  } else {
    i = (u32(*bucket) + u32(++*step)) & mask;
    if (i == u32(*first)) {
      stack::top = saved_top;
      return nullptr;
    }
  }
  Cell* answer = nullptr;
  while (!is_empty(flags_of(table), i)) {
    if (!is_deleted(flags_of(table), i)) {
      u32 pos = record(table)->kind == KIND_BLOCK ? bucket_position(table, i) : keys_of(table)[i];
      Cell* stored = cells_of(table) + pos;
      if (same_kind_of_key(stored, key) && equal_under(stored, key, COMP_EQUAL)) {
        *bucket = i32(i);
        answer = cells_of(table) + pos;
        break;
      }
    }
    i = (i + u32(++*step)) & mask;
    if (i == u32(*first)) break;
  }
  stack::top = saved_top;
  return answer;
}

void delete_at(u32 table, const Cell* cell) {
  const Cell* base = cells_of(table);
  if (cell < base) return;
  u32 pos = u32(cell - base);
  u32 block = record(table)->block;
  if (pos >= cell_count(block)) return;
  switch (record(table)->kind) {
    case KIND_BLOCK:
      remove_position(table, pos);
      break;
    case KIND_MAP: {
      if (pos + 1 >= cell_count(block)) return;
      Cell* value = buffer_of(block)->cells() + pos + 1;
      if (value->header != 0) {
        value->header = 0;
        Record* r = record(table);
        if (r->size) r->size--;
      }
      break;
    }
    default:
      break;
  }
}

void clear(u32 table) {
  Record* r = record(table);
  Buffer* b = buffer_of(r->block);
  b->tail = b->head;
  if (r->kind == KIND_BLOCK) {
    // Stale index slots would name buckets of positions that no longer exist.
    reset_block_table(table);
    return;
  }
  r->size = 0;
  r->n_occupied = 0;
  fill_all(r->flags, 0xAA);
}

void remove_range(u32 table, u32 position, u32 count) {
  if (record(table)->kind != KIND_BLOCK) return;
  u32 len = cell_count(record(table)->block);
  if (position >= len) return;
  count = std::min(count, len - position);
  if (count == len) {
    reset_block_table(table);
    return;
  }
  for (u32 p = position; p < position + count; ++p) remove_position(table, p);
}

int insert_range(u32 table, i32 shift, u32 position, u32 count, bool move) {
  if (count >= 30001) return 1;
  if (record(table)->kind != KIND_BLOCK || shift == 0) return 0;
  if (i64(position) + shift < 0) return 1;  // no position can go below 0: rebuild
  TableRoot root(table);
  if (move && shift < 0) {
    // The positions the run moves over are the removed ones.
    for (u32 p = u32(i64(position) + shift); p < position; ++p) remove_position(table, p);
  }
  auto f = [shift](u32 p) { return u32(i64(p) + shift); };
  u32 hi = position + count;
  renumber(table, position, hi, f);
  if (move) move_slots(table, position, hi, u32(i64(hi) + shift), f);
  return 0;
}

void move_range(u32 table, u32 to, u32 from, u32 count) {
  if (record(table)->kind != KIND_BLOCK || count == 0 || to == from) return;
  u32 lo = std::min(to, from);
  u32 hi = std::max(to, from) + count;
  auto f = [=](u32 p) -> u32 {
    if (to < from) {
      if (p >= from && p < from + count) return p - (from - to);
      if (p >= to && p < from) return p + count;
    } else {
      if (p >= from && p < from + count) return p + (to - from);
      if (p >= from + count && p < to + count) return p - count;
    }
    return p;
  };
  renumber(table, lo, hi, f);
  move_slots(table, lo, hi, hi, f);
}

void resize(u32 table, u32 new_size) {
  switch (record(table)->kind) {
    case KIND_BLOCK: resize_block(table, new_size); break;
    case KIND_MAP: rebuild_map(table, new_size, nullptr); break;
    case KIND_SYMBOL: resize_in_place(table, new_size); break;
    default: rebuild_records(table, new_size); break;
  }
}

void no_op(u32) {}

// ---------------------------------------------------------------------------------
// Symbols and context words

u32 intern_string(u32 table, const char* utf8, u32 length, bool case_insensitive) {
  TableRoot root(table);
  grow_if_due(table);
  // The text may lie in a buffer that moves when the name series is made.
  std::string name(utf8, length);
  const char* lowered = lower_ascii(name.data(), length);
  u32 h = murmur3_hash(lowered, length);
  Record* r = record(table);
  u32 mask = r->n_buckets - 1;
  const u32* f = flags_of(table);
  const u32* keys = keys_of(table);
  const Cell* entries = cells_of(table);
  auto name_of = [&](u32 pos, u32* n) {
    Buffer* nb = buffer_of(entries[pos].w3);
    *n = nb->used();
    return nb->head_ptr();
  };
  const u8* text = reinterpret_cast<const u8*>(name.data());
  u32 free_bucket = NONE;
  i32 alias = -1;
  u32 i = h & mask, step = 0;
  if (!case_insensitive) {
    while (!is_empty(f, i)) {
      u32 n;
      const u8* s = name_of(keys[i], &n);
      if (n == length && std::memcmp(s, text, length) == 0) return keys[i] + 1;
      i = (i + ++step) & mask;
    }
    free_bucket = i;
    i = h & mask;
    step = 0;
  }
  while (!is_empty(f, i)) {
    u32 n;
    const u8* s = name_of(keys[i], &n);
    if (n == length && ascii_equal_nocase(s, text, length)) {
      // (A reused id may place a case variant before its canonical symbol
      // in the probe sequence: the canonical symbol is answered.)
      if (case_insensitive) return resolve_symbol(keys[i] + 1);
      alias = i32(resolve_symbol(keys[i] + 1));
      break;
    }
    i = (i + ++step) & mask;
  }
  if (case_insensitive) free_bucket = i;
  // A new entry: unset while its name series is made. An id that the
  // collector reclaimed is taken again first.
  u32 block = r->block;
  u32 pos;
  ++g_symbols_made;
  if (!g_free_symbols.empty()) {
    pos = g_free_symbols.back() - 1;
    g_free_symbols.pop_back();
  } else {
    mem::alloc_tail_cell(block);
    pos = cell_count(block) - 1;
  }
  u32 name_node = mem::alloc_bytes(length + 1);
  Buffer* nb = buffer_of(name_node);
  std::memcpy(nb->head_ptr(), name.data(), length);
  nb->head_ptr()[length] = 0;
  nb->tail = nb->head + length;
  Cell* e = buffer_of(block)->cells() + pos;
  e->header = TYPE_SYMBOL;
  e->w1 = u32(alias);
  e->w2 = 0;
  e->w3 = name_node;
  occupy(table, free_bucket, pos);
  return pos + 1;
}

u64 symbols_made() { return g_symbols_made; }

void free_symbols(u32 table, const std::vector<u32>& ids) {
  if (ids.empty()) return;
  Cell* entries = cells_of(table);
  for (u32 id : ids) {
    Cell* e = entries + (id - 1);
    e->header = TYPE_NONE;
    e->w1 = e->w2 = e->w3 = 0;
    g_free_symbols.push_back(id);
  }
  // The buckets again, in place, from the entries left.
  Record* r = record(table);
  fill_all(r->flags, 0xAA);
  r->size = r->n_occupied = 0;
  u32 mask = r->n_buckets - 1;
  u32 n = cell_count(r->block);
  for (u32 pos = 0; pos < n; ++pos) {
    const Cell* e = cells_of(table) + pos;
    if (type_of(e) != TYPE_SYMBOL) continue;
    Buffer* nb = buffer_of(e->w3);
    u32 length = nb->used();
    u32 i = murmur3_hash(lower_ascii(reinterpret_cast<const char*>(nb->head_ptr()), length), length) & mask;
    u32 step = 0;
    while (!is_empty(flags_of(table), i)) i = (i + ++step) & mask;
    occupy(table, i, pos);
  }
}

namespace {

// find_word without adding: the slot of the word, or -1.
i32 find_word_only(u32 table, u32 sym, bool case_insensitive) {
  u32 canonical = resolve_symbol(sym);
  u32 target = case_insensitive ? canonical : sym;
  u32 mask = record(table)->n_buckets - 1;
  u32 i = hash_mix(canonical) & mask, start = i, step = 0;
  const u32* f = flags_of(table);
  const u32* keys = keys_of(table);
  const Cell* words = cells_of(table);
  while (!is_empty(f, i)) {
    if (!is_deleted(f, i)) {
      u32 s = words[keys[i]].w2;
      if (s == target || (case_insensitive && resolve_symbol(s) == target)) return i32(keys[i]);
    }
    i = (i + ++step) & mask;
    if (i == start) break;
  }
  return -1;
}

}  // namespace

i32 find_word(u32 table, u32 sym, bool case_insensitive, u32 add_under, i32* out) {
  // A look-up that adds nothing allocates nothing: the table needs no root.
  if (!add_under) return find_word_only(table, sym, case_insensitive);
  TableRoot root(table);
  grow_if_due(table);
  u32 canonical = resolve_symbol(sym);
  u32 target = case_insensitive ? canonical : sym;
  u32 mask = record(table)->n_buckets - 1;
  u32 i = hash_mix(canonical) & mask, start = i, step = 0;
  const u32* f = flags_of(table);
  const u32* keys = keys_of(table);
  const Cell* words = cells_of(table);
  bool full = false;
  while (!is_empty(f, i)) {
    if (!is_deleted(f, i)) {
      u32 s = words[keys[i]].w2;
      if ((case_insensitive ? resolve_symbol(s) : s) == target) return i32(keys[i]);
    }
    i = (i + ++step) & mask;
    if (i == start) {
      full = true;
      break;
    }
  }
  if (full) {  // cannot happen below the bound; grow and try again
    resize_in_place(table, record(table)->n_buckets * 2);
    return find_word(table, sym, case_insensitive, add_under, out);
  }
  u32 block = record(table)->block;
  mem::alloc_tail_cell(block);
  u32 pos = cell_count(block) - 1;
  Cell* w = buffer_of(block)->cells() + pos;
  w->header = TYPE_WORD;
  w->w1 = add_under;
  w->w2 = sym;
  w->w3 = pos;
  occupy(table, i, pos);
  if (out) *out = i32(pos);
  return -1;
}

u32 context_words(u32 ctx) { return record(context::record_table(context::record_cell(ctx)))->block; }
Cell* context_word_at(u32 ctx, u32 i) { return buffer_of(context_words(ctx))->cells() + i; }
u32 context_word_count(u32 ctx) { return record(context::record_table(context::record_cell(ctx)))->size; }

// ---------------------------------------------------------------------------------
// Pointer records

Cell* put_ptr(u32 table, u32 key) {
  TableRoot root(table);
  Record* r = record(table);
  if (r->n_occupied >= r->upper) {
    rebuild_records(table, r->size * 2 < r->n_buckets ? r->n_buckets - 1 : r->n_buckets + 1);
  }
  u32 x = NONE;
  u32 b = probe_ptr(table, key, &x);
  u32 rsize = record(table)->index;
  u32 off;
  if (b != NONE) {
    off = keys_of(table)[b];
  } else {
    if (x == NONE) {
      rebuild_records(table, record(table)->n_buckets * 2);
      return put_ptr(table, key);
    }
    u32 block = record(table)->block;
    off = buffer_of(block)->used();
    mem::alloc_tail_bytes(block, rsize);
    occupy(table, x, off);
  }
  Cell* m = record_at(table, off);
  for (u32 c = 0; c < rsize / sizeof(Cell); ++c) make_unset(m + c);
  m->w1 = key;
  return m + 1;
}

Cell* get_ptr(u32 table, u32 key) {
  u32 b = probe_ptr(table, key, nullptr);
  if (b == NONE) return nullptr;
  return record_at(table, keys_of(table)[b]) + 1;
}

Cell* delete_ptr(u32 table, u32 key) {
  u32 b = probe_ptr(table, key, nullptr);
  if (b == NONE) return nullptr;
  Cell* m = record_at(table, keys_of(table)[b]);
  m->header = 0;
  m->w1 = 0;
  set_deleted(flags_of(table), b);
  Record* r = record(table);
  if (r->size) r->size--;
  return m + 1;
}

u32 shift_table() {
  if (!g_shift_table) {
    u32 t = make(1024, 0, KIND_POINTER, 0);
    // Kept by the root block as a map! cell over the table; the module's
    // own reference is marked through its word, so that it is rewritten
    // with the root block's cell when the node moves.
    Cell* c = runtime::root_append();
    c->header = TYPE_MAP;
    c->w1 = 0;
    c->w2 = 0;
    c->w3 = t;
    g_shift_table = t;
    gc::add_mark_callback([] { gc::mark_table_at(&g_shift_table); });
  }
  return g_shift_table;
}

// ---------------------------------------------------------------------------------
// Hashing

u32 murmur3_32(const void* data, u32 length, u32 seed) {
  const u8* p = static_cast<const u8*>(data);
  u32 h = seed;
  u32 blocks = length / 4;
  for (u32 i = 0; i < blocks; ++i) {
    u32 k;
    std::memcpy(&k, p + i * 4, 4);
    h = mix_block(h, k);
  }
  const u8* tail = p + blocks * 4;
  u32 k = 0;
  switch (length & 3) {
    case 3: k ^= u32(tail[2]) << 16; [[fallthrough]];
    case 2: k ^= u32(tail[1]) << 8; [[fallthrough]];
    case 1:
      k ^= tail[0];
      h ^= scramble(k);
      break;
    default: break;
  }
  h ^= length;
  return hash_mix(h);
}

u32 hash_mix(u32 h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  h ^= h >> 16;
  return h;
}

namespace {
struct LastText {
  static constexpr u32 MAX = 48;        // longer texts are not remembered
  static constexpr u32 NONE = MAX + 1;  // no text remembered yet (never compared:
                                        // the remembered bytes hold MAX at most)
};
}  // namespace

u32 string_hash(const Cell* str, bool case_sensitive) {
  Buffer* b = buffer_of(str->w2);
  u32 unit = b->unit();
  if (unit != 1 && unit != 2 && unit != 4) runtime::sys_quit(101);
  u32 total = b->used() / unit;
  i32 index = i32(str->w1);
  u32 from = index < 0 ? 0 : std::min<u32>(u32(index), total);
  u32 n = total - from;
  if (i32(type_of(str)) == TYPE_KEY_PART) n = std::min(n, str->w3);
  const u8* p = b->head_ptr() + u64(from) * unit;
  u32 h = SEED;
  if (unit == 1) {
    // The last short text hashed and its hash: a key is often hashed twice
    // in a row (a select and then a put of the same key), and comparing its
    // bytes costs a tenth of hashing them again. The bytes themselves are
    // compared, so a string changed or moved since cannot answer a stale hash.
    static struct {
      u32 n = LastText::NONE;
      bool case_sensitive = false;
      u32 hash = 0;
      u8 bytes[LastText::MAX];
    } last;
    if (n <= LastText::MAX && n == last.n && case_sensitive == last.case_sensitive &&
        std::memcmp(p, last.bytes, n) == 0)
      return last.hash;
    // 1-byte units, the most hashed (a loop of its own: no width to test
    // at each unit, ASCII folded without the tables)
    for (u32 i = 0; i < n; ++i) {
      u32 cp = p[i];
      if (!case_sensitive) cp = cp < 0x80 ? (cp - 'a' < 26 ? cp - 32 : cp) : casefold::upper(cp);
      h = mix_block(h, cp);
    }
    h ^= n * 4;
    h = hash_mix(h);
    if (n <= LastText::MAX) {
      last.n = n;
      last.case_sensitive = case_sensitive;
      last.hash = h;
      std::memcpy(last.bytes, p, n);
    }
    return h;
  }
  for (u32 i = 0; i < n; ++i, p += unit) {
    u32 cp;
    switch (unit) {
      case 1: cp = p[0]; break;
      case 2: cp = u32(p[0]) | (u32(p[1]) << 8); break;
      default: std::memcpy(&cp, p, 4); break;
    }
    if (!case_sensitive) cp = casefold::upper(cp);
    h = mix_block(h, cp);
  }
  h ^= n * 4;
  return hash_mix(h);
}

namespace {
u32 hash_words(const Cell* v, int first, int count) {
  u32 w[3] = {v->w1, v->w2, v->w3};
  return murmur3_hash(w + first - 1, u32(count) * 4);
}
}  // namespace

u32 value_hash(const Cell* v, bool case_sensitive) {
  Type t = type_of(v);
  switch (t) {
    case TYPE_UNSET: return u32(-2);
    case TYPE_NONE: return u32(-1);
    case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT:
      return hash_mix(v->w1);
    case TYPE_INTEGER: case TYPE_CHAR: case TYPE_MAP: case TYPE_HANDLE: case TYPE_EVENT:
      return hash_mix(v->w2);
    case TYPE_NATIVE: case TYPE_ACTION:
      return hash_mix(v->w3);
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
    case TYPE_REFINEMENT: case TYPE_ISSUE:
      return hash_mix(resolve_symbol(v->w2));
    case TYPE_SYMBOL: {
      Buffer* nb = buffer_of(v->w3);
      u32 n = nb->used();
      return murmur3_hash(lower_ascii(reinterpret_cast<const char*>(nb->head_ptr()), n), n);
    }
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF:
      return string_hash(v, case_sensitive);
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
    case TYPE_GET_PATH: case TYPE_HASH: case TYPE_IMAGE: case TYPE_POINT2D:
      return hash_words(v, 1, 2);
    case TYPE_FLOAT: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TIME:
      return hash_words(v, 2, 2);
    case TYPE_OP: case TYPE_FUNCTION: case TYPE_TRIPLE: case TYPE_TYPESET: case TYPE_DATE:
    case TYPE_POINT3D:
      return hash_words(v, 1, 3);
    case TYPE_TUPLE: {
      u32 n = std::min<u32>((v->header >> 19) & 0xF, 12);
      u32 w[3] = {v->w1, v->w2, v->w3};
      return murmur3_hash(w, n);
    }
    case TYPE_BINARY: {
      Buffer* b = buffer_of(v->w2);
      i32 index = i32(v->w1);
      u32 from = index < 0 ? 0 : std::min<u32>(u32(index), b->used());
      return murmur3_hash(b->head_ptr() + from, b->used() - from);
    }
    case TYPE_MONEY: {
      Cell c = *v;
      c.header = (v->header & (HEADER_TYPE_MASK | 0x4000u));
      return murmur3_hash(&c, sizeof c);
    }
    default:
      if (i32(t) == TYPE_KEY_PART) return string_hash(v, case_sensitive);
      return 0;
  }
}

// ---------------------------------------------------------------------------------
// Collector and debugging

void mark_table(u32 table) {
  if (!table) return;
  Cell c{TYPE_CONTEXT, table, 0, 0};
  gc::mark_cell(&c);
}

void each_key_node(u32 table, void (*fn)(u32 node)) {
  Buffer* tb = buffer_of(table);
  if (!tb || tb->used() < sizeof(Record)) return;
  const Record* r = record(table);
  Buffer* b = r->block ? buffer_of(r->block) : nullptr;
  if (!b || b->unit() != 16) return;
  const Cell* cells = b->cells();
  u32 n = b->used() / sizeof(Cell);
  if (r->kind >= KIND_POINTER) {
    u32 step = r->index / sizeof(Cell);
    for (u32 i = 0; step && i + step <= n; i += step) {
      if (cells[i].header != 2) continue;  // deleted
      for (u32 k = 0; k < step; ++k) {
        fn(cells[i + k].w1);
        fn(cells[i + k].w2);
        fn(cells[i + k].w3);
      }
    }
    return;
  }
  if (r->kind != KIND_BLOCK && r->kind != KIND_MAP) return;
  // The datatypes whose value_hash reads a node.
  for (u32 i = 0; i < n; i += r->kind == KIND_MAP ? 2 : 1) {
    const Cell* c = cells + i;
    switch (type_of(c)) {
      case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT: fn(c->w1); break;
      case TYPE_MAP: case TYPE_HANDLE: case TYPE_EVENT: case TYPE_BLOCK: case TYPE_PAREN:
      case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_HASH:
      case TYPE_IMAGE: case TYPE_POINT2D: fn(c->w2); break;
      case TYPE_NATIVE: case TYPE_ACTION: fn(c->w3); break;
      case TYPE_OP: case TYPE_FUNCTION:
        fn(c->w1);
        fn(c->w2);
        fn(c->w3);
        break;
      default: break;
    }
  }
}

void sweep_weak(u32 table) {
  if (!table) return;
  Record* r = record(table);
  u32* f = flags_of(table);
  const u32* keys = keys_of(table);
  for (u32 b = 0; b < r->n_buckets; ++b) {
    if (is_either(f, b)) continue;
    Cell* m = record_at(table, keys[b]);
    u32 key = m->w1;
    bool key_alive = gc::is_marked(key);
    bool owner_alive = true;
    if (r->kind == KIND_OWNER) {
      const Cell* owner = m + 2;
      Type ot = type_of(owner);
      if ((ot == TYPE_OBJECT || ot == TYPE_ERROR || ot == TYPE_PORT) && owner->w1) {
        owner_alive = gc::is_marked(owner->w1);
      }
    }
    if (key_alive && owner_alive) continue;
    set_deleted(f, b);
    if (r->size) r->size--;
    m->header = 0;
    m->w1 = 0;
    // A series that outlives its owner is free to be owned again.
    if (key_alive && r->kind == KIND_OWNER) {
      Buffer* kb = buffer_of(key);
      if (kb) kb->flags &= ~mem::SERIES_OWNED;
    }
  }
}

std::string dump(u32 table) {
  Record* r = record(table);
  const u32* f = flags_of(table);
  const u32* keys = keys_of(table);
  std::string out = "\n== Deleted keys ==\n";
  char line[96];
  for (u32 b = 0; b < r->n_buckets; ++b) {
    if (!is_either(f, b) || !is_deleted(f, b) || is_empty(f, b)) continue;
    std::snprintf(line, sizeof line, "bucket %u\n", b);
    out += line;
  }
  out += "== Alive keys ==\n";
  for (u32 b = 0; b < r->n_buckets; ++b) {
    if (is_either(f, b)) continue;
    if (r->kind >= KIND_POINTER) {
      Cell* m = record_at(table, keys[b]);
      std::snprintf(line, sizeof line, "%08X", m->w1);
      out += line;
      for (u32 c = 1; c < r->index / sizeof(Cell); ++c) {
        std::snprintf(line, sizeof line, " %u", unsigned(type_of(m + c)));
        out += line;
      }
      out += "\n";
      continue;
    }
    u32 pos = r->kind == KIND_BLOCK ? bucket_position(table, b) : keys[b];
    const Cell* c = cells_of(table) + pos;
    std::snprintf(line, sizeof line, "%u", unsigned(type_of(c)));
    out += line;
    if (r->kind != KIND_BLOCK && pos + 1 < cell_count(r->block)) {
      std::snprintf(line, sizeof line, " %u", unsigned(type_of(c + 1)));
      out += line;
    }
    out += "\n";
  }
  std::fputs(out.c_str(), stdout);
  return out;
}

}  // namespace qel::hash
