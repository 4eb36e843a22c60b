// Datatype registry and action dispatch.
//
// Every datatype module registers one DatatypeDef: its id, parent, name and a
// table of 62 action slots. A slot names the module's handler, says "none"
// (calling it raises the dispatcher's error), or is left out, which takes the
// parent's handler (already resolved, so inheritance chains through
// grandparents) or none for a type without parent. The table is a struct with
// one typed member per action, so a registration cannot have the wrong number
// of handlers or a handler of the wrong signature.
//
// Handler conventions (form W): cells are passed by address; an absent
// refinement argument is nullptr; a flag is a bool. A handler that produces a
// value answers the address of a cell holding it (on the arguments stack, or
// one of its own arguments); the entry copies it into the frame's base cell.
// Form D handlers read their arguments from the base cell upward and leave
// their result in the base cell.
#pragma once

#include <cstddef>

#include "runtime/action_list.hpp"
#include "runtime/cell.hpp"

namespace qel {

enum Action : u8 {
#define QEL_X(slot, member, name, sig) ACT_##member = slot,
  QEL_ACTIONS(QEL_X)
#undef QEL_X
};
inline constexpr int ACTION_COUNT = 62;

// Comparison operation codes.
enum CompareOp : i32 {
  COMP_EQUAL = 0,
  COMP_NOT_EQUAL = 1,
  COMP_STRICT_EQUAL = 2,
  COMP_LESSER = 3,
  COMP_LESSER_EQUAL = 4,
  COMP_GREATER = 5,
  COMP_GREATER_EQUAL = 6,
  COMP_SORT = 7,
  COMP_CASE_SORT = 8,
  COMP_SAME = 9,
  COMP_STRICT_EQUAL_WORD = 10,
  COMP_FIND = 11,
  COMP_EQUAL_NO_CASE = 12,
};
inline constexpr i32 COMPARE_INCOMPARABLE = -2;

// Math operation codes shared by the numeric workers and the set operations.
enum MathOp : i32 {
  OP_ADD = 0, OP_SUB, OP_MUL, OP_DIV, OP_REM, OP_OR, OP_AND, OP_XOR,
  OP_UNIQUE, OP_UNION, OP_INTERSECT, OP_EXCLUDE, OP_DIFFERENCE,
};

// The state of one path step handed to eval-path handlers.
struct PathStep {
  Cell* path;     // the whole path value, or nullptr
  i32 index;      // position of the element in the path
  bool last;      // this is the last step
  bool case_;     // case-sensitive selection
  bool set_flag;  // last step of a set-path whose holder one level up needs telling
  const Cell* holder = nullptr;           // with set_flag: the value one level up, holding the parent
  const Cell* holder_selector = nullptr;  // and the selector that led from it to the parent
};

namespace act {
using Dispatch = void (*)();
using Make = Cell* (*)(Cell* proto, Cell* spec, Type type);
using Random = Cell* (*)(Cell* value, bool seed, bool secure, bool only);
using Reflect = Cell* (*)(Cell* value, u32 field_symbol);
// Form and mold append to the string! in `buffer` and answer limit minus the
// characters written; `arg` is the /part argument cell or nullptr.
using Form = i32 (*)(Cell* value, Cell* buffer, Cell* arg, i32 limit);
using Mold = i32 (*)(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg,
                     i32 limit, i32 indent);
using EvalPath = Cell* (*)(Cell* parent, Cell* element, Cell* value, const PathStep& step);
// Answers <0, 0, >0, or COMPARE_INCOMPARABLE.
using Compare = i32 (*)(Cell* value1, Cell* value2, i32 op);
using Unary = Cell* (*)(Cell* value);
using Predicate = bool (*)(Cell* value);
using Round = Cell* (*)(Cell* value, Cell* scale, bool even, bool down, bool half_down,
                        bool floor, bool ceiling, bool half_ceiling);
// part: the normalised /part count or -1; dup: the repeat count (1 when not given).
using Insert = Cell* (*)(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append);
using Change = Cell* (*)(Cell* series, Cell* value, i32 part, bool only, i32 dup);
using Copy = Cell* (*)(Cell* value, Cell* result, Cell* part, bool deep, Cell* types);
// The refinements of find and select; select never sets tail or match.
struct FindOptions {
  Cell* part = nullptr;  // /part: a length or a position
  bool only = false;     // a series value is matched as one value
  bool case_ = false;
  bool same = false;     // identity instead of equality
  bool any = false;      // wildcards * and ?
  Cell* with = nullptr;  // /with: other wildcard characters
  Cell* skip = nullptr;  // /skip: the record size
  bool last = false;
  bool reverse = false;
  bool tail = false;     // answer the position after the match
  bool match = false;    // match at the position only
};
// select uses the same signature.
using Find = Cell* (*)(Cell* series, Cell* value, const FindOptions& options);
// Answers the length, or -1 for none.
using Length = i32 (*)(Cell* value);
using Move = Cell* (*)(Cell* origin, Cell* target, Cell* part);
using Pick = Cell* (*)(Cell* series, i32 index, Cell* index_cell);
using Poke = Cell* (*)(Cell* series, i32 index, Cell* index_cell, Cell* value);
using Put = Cell* (*)(Cell* series, Cell* key, Cell* value, bool case_);
using Remove = Cell* (*)(Cell* series, Cell* part, Cell* key);
using Reverse = Cell* (*)(Cell* series, Cell* part, Cell* skip);
using Sort = Cell* (*)(Cell* series, bool case_, Cell* skip, Cell* comparator, Cell* part,
                       bool all, bool reverse, bool stable);
using Binary = Cell* (*)(Cell* first, Cell* second);
using Take = Cell* (*)(Cell* series, Cell* part, bool deep, bool last);
using Trim = Cell* (*)(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all,
                       Cell* with);
using Modify = Cell* (*)(Cell* target, Cell* field, Cell* value, bool case_);
using Open = Cell* (*)(Cell* target, bool new_, bool read, bool write, bool seek, Cell* allow);
using Read = Cell* (*)(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info,
                       Cell* as);
using Write = Cell* (*)(Cell* dest, Cell* data, bool binary, bool lines, bool info, bool append,
                        Cell* part, Cell* seek, Cell* allow, Cell* as);
}  // namespace act

// One slot of a registration: own handler, explicit none, or inherited.
template <class F>
struct Slot {
  F fn = nullptr;
  bool inherit = true;
  constexpr Slot() = default;
  constexpr Slot(F f) : fn(f), inherit(false) {}  // NOLINT: implicit on purpose
  constexpr Slot(std::nullptr_t) : fn(nullptr), inherit(false) {}
};

struct ActionTable {
#define QEL_X(slot, member, name, sig) Slot<act::sig> member;
  QEL_ACTIONS(QEL_X)
#undef QEL_X
};

// A table whose every slot is an explicit none: the start of a registration
// whose type takes none of its parent's handlers but those it names again
// ({} inherits one).
inline ActionTable no_actions() {
  ActionTable t;
#define QEL_X(slot, member, name, sig) t.member = nullptr;
  QEL_ACTIONS(QEL_X)
#undef QEL_X
  return t;
}

struct DatatypeDef {
  Type id;
  Type parent;  // TYPE_NO_TYPE when none
  const char* name;
  ActionTable actions;
};

// ---- registry --------------------------------------------------------------

using ActionFn = void (*)();

struct TypeName {
  const char* name;  // with the final "!"
  u32 length;        // without the "!"
  u32 symbol;        // symbol id of the name's word, 0 until interned
};

namespace types {
extern ActionFn table[TYPE_SLOTS][ACTION_COUNT + 1];  // [type][slot], slot 0 unused
extern TypeName names[TYPE_SLOTS];
extern int top_type;  // highest id registered

void register_datatype(const DatatypeDef& def);
void register_all();               // every datatype but event!, in the fixed order
bool registered(Type t);
const char* name_of(Type t);       // "integer!"; "" for an unknown id
}  // namespace types

// ---- dispatch ----------------------------------------------------------------

namespace actions {

// Raises script expect-arg: the value (the first argument of the running
// action) is of a datatype without a handler for it.
[[noreturn]] void no_handler(const Cell* value);
// The handler of an action for the value's type (a port without an actor
// table dispatches through the port! type's own slots), or the dispatcher's
// error (script expect-arg) when empty. Inline: every action call takes it.
inline ActionFn get_handler(const Cell* value, Action a) {
  Type t = type_of(value);
  ActionFn f = t < TYPE_SLOTS ? types::table[t][a] : nullptr;
  if (!f) no_handler(value);
  return f;
}
template <class F>
inline F handler(const Cell* value, Action a) {
  return reinterpret_cast<F>(get_handler(value, a));
}
// Path lookup: raises bad-path-type2 (no path) or bad-path-type.
act::EvalPath get_eval_path_handler(const Cell* value, Cell* path, Cell* element, i32 index);

// Stack-level entries, one per action: the arguments lie from the frame base up
// in spec order; refs[k] is the offset of refinement k's first argument cell
// from the base, or -1 when the refinement is absent.
using Entry = void (*)(const i32* refs);
Entry entry(Action a);  // nullptr for set-path (eval/action_entries.cpp)

// Workers with explicit arguments.
Cell* make(Cell* proto, Cell* spec);
Cell* to(Cell* proto, Cell* spec);
i32 form(Cell* value, Cell* buffer, Cell* arg, i32 limit);
i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 limit,
         i32 indent);
Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step);
bool compare(Cell* value1, Cell* value2, i32 op);
i32 compare_values(Cell* value1, Cell* value2, i32 op);  // datatypes/value_order.cpp
void compare_to_logic(i32 op);  // compares base and base+1, answers logic! in base

// Reads a pick/poke index: integer! or char! its value, true 1, false 2, else 0.
i32 index_of(const Cell* index);

}  // namespace actions

}  // namespace qel
