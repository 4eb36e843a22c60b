// The ownership table (datatypes/ownership.hpp).
#include "datatypes/ownership.hpp"

#include <algorithm>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/image.hpp"
#include "datatypes/object.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/cycles.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel::ownership {

u32 table = 0;
DeepChangeHook on_deep_change = nullptr;
u32 quiet = 0;

namespace {

using mem::buffer_of;

void mark_ownership() { hash::mark_table(table); }
void sweep_ownership() { hash::sweep_weak(table); }

bool is_owned_series_type(Type t) {
  return is_any_block_type(t) || is_any_string_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
         t == TYPE_BITSET;
}

inline bool is_object_type(Type t) { return t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT; }

void record_owner(u32 key, const Cell* value, const Cell* owner, const Cell* word) {
  // Copies first: the record's allocation may move the cells.
  roots::LocalCell v, o, w;
  copy_cell(value, v.get());
  copy_cell(owner, o.get());
  copy_cell(word, w.get());
  Cell* rec = hash::put_ptr(table, key);
  copy_cell(v.get(), rec);
  copy_cell(o.get(), rec + 1);
  copy_cell(w.get(), rec + 2);
}

void bind_walk(u32 holder_node, bool is_block, const Cell* owner, const Cell* word);

void bind_value(Cell* value, const Cell* owner, const Cell* word) {
  Type t = type_of(value);
  if (is_owned_series_type(t)) {
    u32 node = series_node(value);
    if (!node) return;
    mem::Buffer* b = buffer_of(node);
    if (!(b->flags & mem::SERIES_OWNED)) {
      b->flags |= mem::SERIES_OWNED;
      record_owner(node, value, owner, word);
    }
    if (is_any_block_type(t)) bind_walk(node, true, owner, word);
  } else if (t == TYPE_IMAGE) {
    if (!image::record(value) || (value->header & IMAGE_OWNED)) return;
    value->header |= IMAGE_OWNED;
    if (hash::get_ptr(table, image::record(value))) return;  // owned through another cell
    record_owner(image::record(value), value, owner, word);
  } else if (is_object_type(t)) {
    u32 ctx = object::context_of(value);
    if (!ctx || (context::record_of(ctx)->header & OWNER_FLAG)) return;
    bind_walk(ctx, false, owner, word);
  }
}

// Walks a block's cells from its head, or an object's fields with each
// field's own word; the cycle stack stops at a holder met again.
void bind_walk(u32 node, bool is_block, const Cell* owner_in, const Cell* word_in) {
  if (cycles::find(node)) return;
  roots::LocalCell owner, word;
  copy_cell(owner_in, owner.get());
  copy_cell(word_in, word.get());
  cycles::push(node);
  if (is_block) {
    for (u32 i = 0; i < buffer_of(node)->used() / sizeof(Cell); ++i) {
      bind_value(buffer_of(node)->cells() + i, owner.get(), word.get());
    }
  } else {
    u32 n = context::word_count(node);
    for (u32 i = 0; i < n; ++i) {
      Cell* field = context::slot(node, i);
      if (!field) break;
      if (is_object_type(type_of(field)) && object::context_of(field) == object::context_of(owner.get())) continue;
      roots::LocalCell field_word;
      copy_cell(hash::context_word_at(node, i), field_word.get());
      bind_value(context::slot(node, i), owner.get(), field_word.get());
    }
  }
  cycles::pop();
}

void unbind_walk(u32 node, bool is_block);

void unbind_value(Cell* value) {
  Type t = type_of(value);
  u32 key = 0;
  if (is_owned_series_type(t)) {
    key = series_node(value);
    if (!key) return;
    buffer_of(key)->flags &= ~mem::SERIES_OWNED;
  } else if (t == TYPE_IMAGE) {
    key = image::record(value);
    value->header &= ~IMAGE_OWNED;
  } else if (is_object_type(t)) {
    key = object::context_of(value);
    if (!key || (context::record_of(key)->header & OWNER_FLAG)) return;
  } else {
    return;
  }
  if (table) {
    if (Cell* rec = hash::delete_ptr(table, key)) {
      make_unset(rec);
      make_unset(rec + 1);
      make_unset(rec + 2);
    }
  }
  if (is_any_block_type(t)) unbind_walk(key, true);
  else if (is_object_type(t)) unbind_walk(key, false);
}

void unbind_walk(u32 node, bool is_block) {
  if (cycles::find(node)) return;
  cycles::push(node);
  if (is_block) {
    for (u32 i = 0; i < buffer_of(node)->used() / sizeof(Cell); ++i) {
      unbind_value(buffer_of(node)->cells() + i);
    }
  } else {
    u32 n = context::word_count(node);
    for (u32 i = 0; i < n; ++i) {
      if (Cell* field = context::slot(node, i)) unbind_value(field);
    }
  }
  cycles::pop();
}

}  // namespace

void init() {
  if (table) return;
  table = hash::make(1000, 0, hash::KIND_OWNER, 3);
  gc::add_mark_callback(mark_ownership);
  gc::add_sweep_callback(sweep_ownership);
}

void bind(Cell* value, const Cell* owner, const Cell* word) {
  if (!table) return;
  bind_value(value, owner, word);
}

void bind_entry(Cell* value, const Cell* owner, const Cell* word) {
  u32 ctx = object::context_of(owner);
  bind(value, owner, word);
  if (ctx) context::record_of(ctx)->header |= OWNER_FLAG;
}

Cell* owner_of(u32 node) {
  if (!table || !node) return nullptr;
  Cell* rec = hash::get_ptr(table, node);
  return rec ? rec + 1 : nullptr;
}

void unbind(Cell* value) { unbind_value(value); }

void unbind_values(const Cell* block, u32 index, u32 count) {
  u32 node = series_node(block);
  for (u32 i = index; i < index + count; ++i) {
    if (i >= buffer_of(node)->used() / sizeof(Cell)) break;
    unbind_value(buffer_of(node)->cells() + i);
  }
}

bool check(const Cell* value, const Cell* action, const Cell* new_value, i32 index, i32 part) {
  if (!table || quiet) return false;
  Type t = type_of(value);
  u32 key;
  if (is_owned_series_type(t)) {
    key = series_node(value);
    if (!key || !(buffer_of(key)->flags & mem::SERIES_OWNED)) return false;
  } else if (t == TYPE_IMAGE) {
    // The cell's flag is set on the cells an object's make or a change of
    // its field walked; the table knows the image's record whatever cell
    // reaches it (`modify img 'owned ...` flags only its argument's copy).
    key = image::record(value);
    if (!key) return false;
  } else if (is_object_type(t)) {
    key = object::context_of(value);
  } else {
    return false;
  }
  Cell* rec = hash::get_ptr(table, key);
  if (!rec || !is_object_type(type_of(rec + 1)) || object::on_set_of(rec + 1) == 0) return false;
  if (!on_deep_change) return false;
  // The handler runs Qel code: hand it stacked copies, which never move.
  stack::Mark mark;
  Cell* owner = stack::push_cell(rec + 1);
  Cell* word = stack::push_cell(rec + 2);
  Cell* target = stack::push_cell(value);
  Cell* act = stack::push_cell(action);
  Cell* nv = new_value ? stack::push_cell(new_value) : nullptr;
  on_deep_change(owner, word, target, act, nv, index, part);
  return true;
}

}  // namespace qel::ownership
