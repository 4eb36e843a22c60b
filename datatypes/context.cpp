#include "datatypes/context.hpp"

#include <algorithm>
#include <vector>

#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/code_epoch.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "platform/image_state.hpp"

namespace qel::context {

u32 global = 0;
u32 self_symbol = 0;
ChangeHook on_change = nullptr;

namespace {

using mem::Buffer;
using mem::buffer_of;

Cell g_variant;  // a case variant's word cell answered outside start-up
QEL_IMAGE_SKIP(g_variant);  // scratch

void mark_global() {
  if (global) gc::mark_context(global);
}

inline u32 cell_count(u32 node) { return buffer_of(node)->used() / sizeof(Cell); }

// The cell a stack-based context's value i lives in during a call.
inline Cell* frame_cell(const Cell* rec, u32 i) { return stack::bottom + (record_values(rec) - 1) + i; }

// Makes sure the values series holds slot i (growing with unset cells).
Cell* ensure_slot(u32 ctx, u32 i) {
  u32 values = record_values(record_of(ctx));
  while (cell_count(values) <= i) make_unset(mem::alloc_tail_cell(values));
  return buffer_of(values)->cells() + i;
}

bool is_self(u32 sym) {
  return self_symbol && symbol::valid(sym) && symbol::resolve(sym) == symbol::resolve(self_symbol);
}

void mark_assigned(u32 ctx, u32 i) {
  if (kind_of(ctx) == KIND_OBJECT && i < word_count(ctx)) symbol_cell(ctx, i)->header |= WORD_ASSIGNED;
}

bool is_bindable_series(Type t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_PATH || t == TYPE_LIT_PATH ||
         t == TYPE_SET_PATH || t == TYPE_GET_PATH || t == TYPE_HASH;
}

Cell* root_copy(const Cell* w) {
  Cell* c = runtime::root_append();
  copy_cell(w, c);
  return c;
}

}  // namespace

// A context record met as a value keeps its word table and its values.
void mark_record(const Cell* rec) {
  if (record_table(rec)) gc::mark_table_at(record_table_slot(rec));
  if (record_values(rec) && !record_on_stack(rec)) gc::mark_series_at(record_values_slot(rec));
}

void init() {
  gc::set_mark_rule(TYPE_CONTEXT, mark_record);
  types::register_datatype({TYPE_CONTEXT, TYPE_NO_TYPE, "context!", {}});
}

void init_global() {
  if (global) return;
  global = make(4000, false, false, 0, KIND_GLOBAL);
  gc::add_mark_callback(mark_global);
}

// ---------------------------------------------------------------------------------
// The record

Cell* record_of(u32 ctx) { return buffer_of(ctx)->cells(); }
Cell* self_slot(u32 ctx) { return buffer_of(ctx)->cells() + 1; }

bool is_context(u32 node) {
  if (!node || !mem::node_target(node)) return false;
  Buffer* b = buffer_of(node);
  return b->unit() == 16 && b->used() >= 2 * sizeof(Cell) && type_of(b->cells()) == TYPE_CONTEXT;
}

u32 kind_of(u32 ctx) { return (record_of(ctx)->header >> KIND_SHIFT) & 3u; }
bool on_stack(u32 ctx) { return record_of(ctx)->header & ON_STACK; }
bool has_values(u32 ctx) { return record_values(record_of(ctx)) != 0; }
u32 table_of(u32 ctx) { return record_table(record_of(ctx)); }
u32 words_of(u32 ctx) { return hash::record(table_of(ctx))->block; }
u32 word_count(u32 ctx) { return cell_count(words_of(ctx)); }
Cell* symbol_cell(u32 ctx, u32 i) { return buffer_of(words_of(ctx))->cells() + i; }

// ---------------------------------------------------------------------------------
// Making

u32 make(u32 n, bool stacked, bool self, u32 source, u32 kind) {
  if (n == 0) n = 1;
  roots::NodeRoot hold_source(&source);
  u32 ctx = mem::alloc_cells(2);
  roots::NodeRoot hold(&ctx);
  Buffer* b = buffer_of(ctx);
  Cell* rec = b->cells();
  rec->header = TYPE_CONTEXT | (kind << KIND_SHIFT) | (stacked ? ON_STACK : 0) | (self ? HAS_SELF : 0);
  clear_payload(rec);
  make_unset(rec + 1);
  b->tail = b->head + 2 * sizeof(Cell);
  u32 table;
  u32 words = 0;
  if (source) {
    words = cell_count(words_of(source));
    u32 block = mem::copy_series_buffer(words_of(source));
    roots::NodeRoot hold_block(&block);
    table = hash::copy(table_of(source), block);
    Cell* w = buffer_of(block)->cells();
    for (u32 i = 0; i < words; ++i) word::set_context(&w[i], ctx);
  } else {
    table = hash::make(n, 0, hash::KIND_SYMBOL, 2);
  }
  set_record_table(record_of(ctx), table);
  if (!stacked) {
    u32 values = mem::alloc_cells(n > words ? n : words);
    Buffer* vb = buffer_of(values);
    for (u32 i = 0; i < words; ++i) make_unset(vb->cells() + i);
    vb->tail = vb->head + words * sizeof(Cell);
    set_record_values(record_of(ctx), values);
  }
  return ctx;
}

u32 make_from_spec(const Cell* spec_in, bool stacked, bool self, u32 kind) {
  roots::LocalCell spec;
  copy_cell(spec_in, spec.get());
  u32 node = series_node(spec.get());
  i32 from = series_index(spec.get()) < 0 ? 0 : series_index(spec.get());
  auto counts = [](Type t) {
    return t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT;
  };
  u32 n = 0;
  for (u32 i = u32(from); i < cell_count(node); ++i) n += counts(type_of(buffer_of(node)->cells() + i));
  u32 ctx = make(n, stacked, self, 0, kind);
  roots::NodeRoot hold(&ctx);
  for (u32 i = u32(from); i < cell_count(node); ++i) {
    Cell w = buffer_of(node)->cells()[i];
    if (counts(type_of(&w))) bind_or_add(ctx, &w);
  }
  return ctx;
}

u32 clone(Cell* value, u32 kind) {
  u32 source = object::context_of(value);
  const Cell* rec = record_of(source);
  bool stacked = rec->header & ON_STACK;
  bool self = rec->header & HAS_SELF;
  u32 n = word_count(source);
  roots::NodeRoot hold_source(&source);
  u32 ctx = make(n, stacked, self, source, kind);
  roots::NodeRoot hold(&ctx);
  if (!stacked && has_values(source)) {
    u32 from = record_values(record_of(source));
    u32 to = record_values(record_of(ctx));
    u32 count = cell_count(from);
    while (cell_count(to) < count) mem::alloc_tail_cell(to);
    for (u32 i = 0; i < count; ++i) copy_cell(buffer_of(from)->cells() + i, buffer_of(to)->cells() + i);
  }
  object::set_context(value, ctx);
  return ctx;
}

// ---------------------------------------------------------------------------------
// Words

i32 find_word(u32 ctx, u32 sym, bool ignore_case) {
  return hash::find_word(table_of(ctx), sym, ignore_case, 0, nullptr);
}

i32 find_in_node(u32 ctx, u32 sym, bool ignore_case, i32* out) {
  return hash::find_word(table_of(ctx), sym, ignore_case, ctx, out);
}

i32 bind_or_add(u32 ctx, const Cell* word) {
  u32 sym = word::symbol_of(word);
  i32 added = -1;
  i32 i = find_in_node(ctx, sym, true, &added);
  if (i >= 0) return i;
  if (!on_stack(ctx) && has_values(ctx)) ensure_slot(ctx, u32(added));
  return added;
}

Cell* add_word(u32 ctx, const Cell* word, const Cell* value_in) {
  if (find_word(ctx, word::symbol_of(word), true) >= 0) return nullptr;
  stack::Mark mark;
  Cell* value = stack::push_cell(value_in);  // the value may lie in a buffer that moves
  i32 i = bind_or_add(ctx, word);
  Cell* s = nullptr;
  if (!on_stack(ctx) && has_values(ctx)) s = copy_cell(value, ensure_slot(ctx, u32(i)));
  return s;
}

void put(u32 ctx, const Cell* word, const Cell* value_in) {
  stack::Mark mark;
  Cell* value = stack::push_cell(value_in);
  i32 i = bind_or_add(ctx, word);
  copy_cell(value, writable_slot(ctx, u32(i)));
}

Cell* find_or_add(u32 sym, bool ignore_case, bool keep_spelling) {
  i32 i = find_word(global, sym, ignore_case);
  // A case variant never gets a slot of its own: it shares its class's slot.
  if (i < 0 && !ignore_case) i = find_word(global, sym, true);
  if (i < 0) {
    i32 added = -1;
    find_in_node(global, sym, false, &added);
    ensure_slot(global, u32(added));
    return symbol_cell(global, u32(added));
  }
  Cell* w = symbol_cell(global, u32(i));
  if (keep_spelling && word::symbol_of(w) != sym) {
    g_variant = *w;
    word::set_symbol(&g_variant, sym);
    return &g_variant;
  }
  return w;
}

Cell* add_global(u32 sym) {
  Cell* w = find_or_add(sym, false, true);
  return runtime::boot_flag ? root_copy(w) : w;
}

Cell* get_or_add_global(u32 ctx, u32 sym) {
  if (ctx && ctx != global) {
    i32 i = find_word(ctx, sym, false);
    if (i >= 0) return symbol_cell(ctx, u32(i));
  }
  return add_global(sym);
}

Cell* word_cell(u32 sym, u32 ctx) {
  if (!ctx || on_stack(ctx)) ctx = global;
  i32 i = find_word(ctx, sym, true);
  if (i < 0) return nullptr;
  return slot(ctx, u32(i));
}

// ---------------------------------------------------------------------------------
// Values

Cell* value_cell(const Cell* word, u32 ctx) {
  i32 index = word::index_of(word);
  if (index < 0) {
    if (is_self(word::symbol_of(word)) && word::context_of(word)) return self_slot(word::context_of(word));
    Cell w = *word;
    fire(Err::script_no_value, &w);
  }
  const Cell* rec = record_of(ctx);
  if (!record_values(rec)) {
    Cell w = *word;
    fire(Err::script_not_in_context, &w);
  }
  if (rec->header & ON_STACK) return frame_cell(rec, u32(index));
  if (u32(index) >= word_count(ctx)) {  // not a slot of this context
    Cell w = *word;
    fire(Err::script_no_value, &w);
  }
  return ensure_slot(ctx, u32(index));
}

namespace {

// set for every case but an existing slot of a plain context.
[[gnu::noinline]] Cell* set_general(Cell* word, const Cell* value_in, u32 ctx, bool fire_change) {
  stack::Mark mark;
  // The value may lie in a buffer that moves when the word is added or its
  // slot is made: it is pushed before either allocates.
  Cell* value = stack::push_cell(value_in);
  if (word::index_of(word) < 0 || u32(word::index_of(word)) >= word_count(ctx)) {
    i32 i = find_word(ctx, word::symbol_of(word), false);
    if (i < 0) i = bind_or_add(ctx, word);
    word::set_index(word, i);
  }
  u32 index = u32(word::index_of(word));
  if (!has_values(ctx)) {
    Cell w = *word;
    fire(Err::script_not_defined, &w);
  }
  if (on_stack(ctx)) {
    Cell* s = frame_cell(record_of(ctx), index);
    copy_cell(value, s);
    return s;
  }
  Cell* s = ensure_slot(ctx, index);
  if (kind_of(ctx) == KIND_OBJECT) {
    mark_assigned(ctx, index);
    const Cell* self = self_slot(ctx);
    Type st = type_of(self);
    if (fire_change && on_change && (st == TYPE_OBJECT || st == TYPE_PORT) && object::on_set_of(self) != 0) {
      Cell* object = stack::push_cell(self);
      Cell* w = stack::push_cell(word);
      Cell* old = stack::push_cell(s);
      copy_cell(value, s);
      on_change(object, w, old, value);
      return ensure_slot(ctx, index);
    }
  }
  copy_cell(value, s);
  return s;
}

// A word bound to an existing slot of a running function's context (on the
// stack) or of an object: written in place, an object's slot marked
// assigned; an object watched by on-change* and everything else take the
// general path.
[[gnu::noinline]] Cell* set_in_frame_or_object(Cell* word, const Cell* value_in, u32 ctx, bool fire_change) {
  const Cell* rec = record_of(ctx);
  u32 values = record_values(rec);
  u32 index = u32(word::index_of(word));
  u32 words = hash::record(record_table(rec))->block;
  if (values && index < cell_count(words)) {
    if (record_on_stack(rec)) return copy_cell(value_in, frame_cell(rec, index));
    if (((rec->header >> KIND_SHIFT) & 3u) == KIND_OBJECT && index < cell_count(values)) {
      const Cell* self = rec + 1;
      Type st = type_of(self);
      if (!(fire_change && on_change && (st == TYPE_OBJECT || st == TYPE_PORT) && object::on_set_of(self) != 0)) {
        buffer_of(words)->cells()[index].header |= WORD_ASSIGNED;
        return copy_cell(value_in, buffer_of(values)->cells() + index);
      }
    }
  }
  return set_general(word, value_in, ctx, fire_change);
}

}  // namespace

// The commonest case is kept small so that it costs no more than a call: a
// word bound to an existing slot of a context that is neither an object
// (assignment marks, on-change*) nor on the stack. Nothing here allocates,
// so the value is copied straight in.
Cell* set(Cell* word, const Cell* value_in, u32 ctx, bool fire_change) {
  const Cell* rec = record_of(ctx);
  u32 values = record_values(rec);
  u32 index = u32(word::index_of(word));
  if (values && !record_on_stack(rec) && ((rec->header >> KIND_SHIFT) & 3u) != KIND_OBJECT &&
      index < cell_count(values) && index < cell_count(hash::record(record_table(rec))->block)) {
    return copy_cell(value_in, buffer_of(values)->cells() + index);
  }
  return set_in_frame_or_object(word, value_in, ctx, fire_change);
}

// ---------------------------------------------------------------------------------
// Binding

i32 bind_word(u32 ctx, Cell* word) {
  i32 i = find_word(ctx, word::symbol_of(word), true);
  if (i >= 0) word::set_binding(word, ctx, i);
  return i;
}

namespace {

// Walks the words of a block from its index, recursing into blocks, parens,
// paths and hash! values (a block met again on the way down is skipped), and
// hands each word-family cell to bind(cell, type). bind must not allocate:
// the block's cells stay where they are.
template <class Bind>
void walk_words(const Cell* block, Bind& bind) {
  u32 node = series_node(block);
  if (!node || cycles::find(node)) return;
  cycles::push(node);
  code::changed(node);  // its words are bound anew (runtime/code_epoch.hpp)
  i32 from = series_index(block) < 0 ? 0 : series_index(block);
  Buffer* b = buffer_of(node);
  u32 n = b->used() / sizeof(Cell);
  for (u32 i = u32(from); i < n; ++i) {
    Cell* c = b->cells() + i;
    Type t = type_of(c);
    if (is_bindable_series(t)) {
      walk_words(c, bind);
    } else if (t >= TYPE_WORD && t <= TYPE_REFINEMENT) {
      bind(c, t);
    }
  }
  cycles::pop();
}

// Canonical symbol -> (1 + rank of the context, slot index) of the contexts of
// the running bind_block_first; 0 for a symbol none of them holds. Entries are
// set for the pass and cleared after it, so the table is all zeros between
// passes and costs nothing to start one.
std::vector<u64> g_bind_slots;
QEL_IMAGE_SKIP(g_bind_slots);  // all zeros between passes

class SlotTable {
 public:
  SlotTable(const u32* contexts, u32 count) {
    for (u32 r = 0; r < count; ++r) {
      u32 ctx = contexts[r];
      u32 words = words_of(ctx);
      u32 n = cell_count(words);
      for (u32 i = 0; i < n; ++i) {
        u32 s = symbol::resolve(word::symbol_of(buffer_of(words)->cells() + i));
        if (s >= g_bind_slots.size()) g_bind_slots.resize(std::max<std::size_t>(s + 1, 2 * g_bind_slots.size()), 0);
        if (g_bind_slots[s]) continue;  // an earlier context holds it
        g_bind_slots[s] = (u64(r + 1) << 32) | i;
        set_.push_back(s);
      }
    }
  }
  ~SlotTable() {
    for (u32 s : set_) g_bind_slots[s] = 0;
  }
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;

  u64 find(u32 canonical) const { return canonical < g_bind_slots.size() ? g_bind_slots[canonical] : 0; }

 private:
  std::vector<u32> set_;
};

}  // namespace

void bind_block(u32 ctx, const Cell* block, bool self) {
  u32 self_canon = self && self_symbol ? symbol::resolve(self_symbol) : 0;
  // A context with no more words than the block has values (an object's
  // body, which names each field it makes) is looked up through a slot table
  // made once for the pass, a vector index a word; a larger one through its
  // hash, word by word.
  u32 node = series_node(block);
  i32 from = series_index(block) < 0 ? 0 : series_index(block);
  u32 values = node ? cell_count(node) : 0;
  if (values > u32(from) && word_count(ctx) <= values - u32(from)) {
    SlotTable slots(&ctx, 1);
    auto bind = [&](Cell* c, Type t) {
      u32 sym = word::symbol_of(c);
      if (self_canon && t == TYPE_WORD && symbol::valid(sym) && symbol::resolve(sym) == self_canon) {
        word::set_binding(c, ctx, -1);
      } else if (u64 e = slots.find(symbol::resolve(sym))) {
        word::set_binding(c, ctx, i32(u32(e)));
      }
    };
    walk_words(block, bind);
    return;
  }
  auto bind = [&](Cell* c, Type t) {
    u32 sym = word::symbol_of(c);
    if (self_canon && t == TYPE_WORD && symbol::valid(sym) && symbol::resolve(sym) == self_canon) {
      word::set_binding(c, ctx, -1);
    } else {
      bind_word(ctx, c);
    }
  };
  walk_words(block, bind);
}

void bind_block_first(const u32* contexts, u32 count, u32 self_ctx, const Cell* block) {
  u32 self_rank = 0;  // 1 + the rank of self_ctx, 0 without one
  for (u32 r = 0; r < count && self_ctx; ++r) {
    if (contexts[r] == self_ctx) {
      self_rank = r + 1;
      break;
    }
  }
  u32 self_canon = self_rank && self_symbol ? symbol::resolve(self_symbol) : 0;
  // e: (1 + rank of the first context holding the word, its slot), 0 for none
  auto bind_entry = [&](Cell* c, Type t, u32 s, u64 e) {
    u32 rank = u32(e >> 32);
    if (self_canon && t == TYPE_WORD && s == self_canon && (rank == 0 || rank >= self_rank)) {
      word::set_binding(c, self_ctx, -1);
    } else if (rank) {
      word::set_binding(c, contexts[rank - 1], i32(u32(e)));
    }
  };
  // A body with fewer words than the contexts have (a remade method of an
  // object with many fields) looks each word up in the contexts' hashes: a
  // slot table of every word of the contexts would cost more than the
  // look-ups it spares.
  u32 words = 0, context_words = 0;
  auto tally = [&](Cell*, Type) { ++words; };
  walk_words(block, tally);
  for (u32 r = 0; r < count; ++r) context_words += word_count(contexts[r]);
  if (words * count < context_words) {
    auto bind = [&](Cell* c, Type t) {
      u32 sym = word::symbol_of(c);
      u64 e = 0;
      for (u32 r = 0; r < count && !e; ++r) {
        i32 i = find_word(contexts[r], sym, true);
        if (i >= 0) e = (u64(r + 1) << 32) | u32(i);
      }
      bind_entry(c, t, symbol::resolve(sym), e);
    };
    walk_words(block, bind);
    return;
  }
  SlotTable slots(contexts, count);
  auto bind = [&](Cell* c, Type t) {
    u32 s = symbol::resolve(word::symbol_of(c));
    bind_entry(c, t, s, slots.find(s));
  };
  walk_words(block, bind);
}

bool collect_set_words(u32 ctx, const Cell* block_in) {
  roots::LocalCell block;
  copy_cell(block_in, block.get());
  roots::NodeRoot hold(&ctx);
  u32 node = series_node(block.get());
  u32 before = word_count(ctx);
  i32 from = series_index(block.get()) < 0 ? 0 : series_index(block.get());
  for (u32 i = u32(from); i < cell_count(node); ++i) {
    Cell w = buffer_of(node)->cells()[i];
    if (type_of(&w) == TYPE_SET_WORD) bind_or_add(ctx, &w);
  }
  return word_count(ctx) > before;
}

// ---------------------------------------------------------------------------------
// Slots for compiled code

Cell* writable_slot(u32 ctx, u32 i) {
  if (!has_values(ctx)) {
    Cell w;
    if (i < word_count(ctx)) w = *symbol_cell(ctx, i);
    else make_none(&w);
    fire(Err::script_not_defined, &w);
  }
  if (on_stack(ctx)) return frame_cell(record_of(ctx), i);
  return ensure_slot(ctx, i);
}

Cell* push_value(u32 ctx, u32 i) {
  Cell* s = writable_slot(ctx, i);
  return stack::push_cell(s);
}

Cell* swap_slot(u32 ctx, u32 i) {
  Cell* s = writable_slot(ctx, i);
  Cell* top = stack::last();
  Cell* old = stack::push_cell(s);
  copy_cell(top, s);
  mark_assigned(ctx, i);
  return old;
}

Cell* store_slot(u32 ctx, u32 i) {
  Cell* s = writable_slot(ctx, i);
  copy_cell(stack::last(), s);
  mark_assigned(ctx, i);
  return s;
}

}  // namespace qel::context
