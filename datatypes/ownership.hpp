// The ownership table: which object field owns a series or an object, so
// that changing what it holds fires the owner's on-deep-change*. A hash
// table of kind 4 (runtime/hash.hpp), swept after marking: it keeps nothing
// alive.
#pragma once

#include "runtime/cell.hpp"

// Series and objects owned by an object field: modifying them fires the
// owner's on-deep-change*.
namespace qel::ownership {

inline constexpr u32 OWNER_FLAG = 0x10000;  // context record header: the object owns series
inline constexpr u32 IMAGE_OWNED = 0x10000;  // image! cell header: the image is owned

extern u32 table;  // the ownership table (kind 4, three cells a record)

// The object! module fires the handler; until it sets this hook nothing fires.
using DeepChangeHook = void (*)(Cell* owner, Cell* word, Cell* target, Cell* action,
                                Cell* new_value, i32 index, i32 part);
extern DeepChangeHook on_deep_change;

void init();  // makes the table; registers its marking and its sweep

// Makes the value (and, walking blocks and objects, what it holds) owned by
// the owner's field; bind_entry then marks the owner as an owner.
void bind(Cell* value, const Cell* owner, const Cell* word);
void bind_entry(Cell* value, const Cell* owner, const Cell* word);
// The owner cell recorded for an owned series node or object context, or nullptr.
Cell* owner_of(u32 node);
void unbind(Cell* value);
void unbind_values(const Cell* block, u32 index, u32 count);
// Fires the owner's on-deep-change* when the value is owned by an object
// with change handlers; answers true when it fired.
bool check(const Cell* value, const Cell* action, const Cell* new_value, i32 index, i32 part);

// While one is alive (and asked for), check fires nothing: for a change that
// was already reported another way.
extern u32 quiet;
struct Quiet {
  bool on;
  explicit Quiet(bool on_) : on(on_) { if (on) ++quiet; }
  ~Quiet() { if (on) --quiet; }
  Quiet(const Quiet&) = delete;
  Quiet& operator=(const Quiet&) = delete;
};

}  // namespace qel::ownership
