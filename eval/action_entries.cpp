// The action entries: one per action, called with the action's frame open
// (the evaluator's entry protocol, eval/natives.hpp): each dispatches on
// its first argument's datatype and leaves the handler's result in the
// frame's base cell.
#include <new>

#include "datatypes/block.hpp"
#include "datatypes/map.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/fastpath.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::actions {

namespace {

inline bool present(const i32* refs, int k) { return refs[k] >= 0; }
inline Cell* ref_arg(const i32* refs, int k) { return refs[k] >= 0 ? stack::base + refs[k] : nullptr; }


// The /part argument of append, insert and change as a count, or -1.
i32 normalise_part(Cell* series, Cell* part) {
  if (!part) return -1;
  Type t = type_of(part);
  if (t == TYPE_INTEGER) return int_of(part);
  if (t == type_of(series) && series_node(part) == series_node(series) && t != TYPE_PORT) {
    mem::Buffer* b = mem::buffer_of(series_node(part));
    u32 unit = b->unit() ? b->unit() : 1;
    i32 total = i32(b->used() / unit);
    if (series_index(part) > total) set_series_index(part, total);
    return series_index(part) - series_index(series);
  }
  if (t == type_of(series) || is_any_block_type(t) || is_any_string_type(t) || t == TYPE_BINARY) {
    fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::part), part);
  }
  fire(Err::script_invalid_part, part);
}

i32 repeat_count(Cell* dup) {
  if (!dup) return 1;
  if (type_of(dup) != TYPE_INTEGER) fire(Err::script_invalid_refine_arg, intern_word("dup"), dup);
  return int_of(dup);
}

void dispatch_top(Action a) {
  reinterpret_cast<act::Dispatch>(get_handler(stack::base, a))();
}

void finish(Cell* result) {
  if (result && result != stack::base) copy_cell(result, stack::base);
}

// ---- entries (one per action) ----------------------------------------------

void e_make(const i32*) { finish(make(stack::base, stack::base + 1)); }
void e_to(const i32*) { finish(to(stack::base, stack::base + 1)); }
void e_random(const i32* r) {
  finish(handler<act::Random>(stack::base, ACT_random)(stack::base, present(r, 0), present(r, 1),
                                                       present(r, 2)));
}
void e_reflect(const i32*) {
  finish(handler<act::Reflect>(stack::base, ACT_reflect)(stack::base, word::symbol_of(stack::base + 1)));
}

i32 read_limit(Cell* limit_arg) {
  if (!limit_arg) return 0x7FFFFFFF;
  if (type_of(limit_arg) != TYPE_INTEGER) fire(Err::script_invalid_part, limit_arg);
  return int_of(limit_arg);
}

void e_form(const i32* r) {
  Cell* limit_arg = ref_arg(r, 0);
  i32 limit = read_limit(limit_arg);
  if (limit_arg && limit <= 0) {
    string::make_at(stack::base, 1, 1);
    return;
  }
  api::keep_result();
  api::Values text(1);
  Cell* buffer = text[0];
  string::make_at(buffer, 16, 1);
  form(stack::base, buffer, limit_arg, limit);
  if (limit_arg) string::truncate(buffer, u32(limit));
  copy_cell(buffer, stack::base);
}

void e_mold(const i32* r) {
  Cell* limit_arg = ref_arg(r, 3);
  i32 limit = read_limit(limit_arg);
  if (limit_arg && limit <= 0) {
    string::make_at(stack::base, 1, 1);
    return;
  }
  bool only = present(r, 0), all = present(r, 1), flat = present(r, 2);
  api::keep_result();
  api::Values text(1);
  Cell* buffer = text[0];
  string::make_at(buffer, 16, 1);
  mold(stack::base, buffer, only, all, flat, limit_arg, limit, 0);
  if (limit_arg) string::truncate(buffer, u32(limit));
  copy_cell(buffer, stack::base);
}

void e_negate(const i32*) { finish(handler<act::Unary>(stack::base, ACT_negate)(stack::base)); }
void e_complement(const i32*) {
  finish(handler<act::Unary>(stack::base, ACT_complement)(stack::base));
}
void e_clear(const i32*) { finish(handler<act::Unary>(stack::base, ACT_clear)(stack::base)); }

void e_round(const i32* r) {
  finish(handler<act::Round>(stack::base, ACT_round)(stack::base, ref_arg(r, 0), present(r, 1),
                                                     present(r, 2), present(r, 3), present(r, 4),
                                                     present(r, 5), present(r, 6)));
}

void predicate(Action a) {
  bool b = reinterpret_cast<act::Predicate>(get_handler(stack::base, a))(stack::base);
  make_logic(stack::base, b);
}
void e_even_q(const i32*) { predicate(ACT_even_q); }
void e_odd_q(const i32*) { predicate(ACT_odd_q); }

void insert_entry(const i32* r, bool append) {
  Cell* series = stack::base;
  i32 part = normalise_part(series, ref_arg(r, 0));
  i32 dup = present(r, 2) ? repeat_count(ref_arg(r, 2)) : 1;
  if (dup <= 0) return;  // nothing to insert: the series is the result
  auto h = handler<act::Insert>(series, append ? ACT_append : ACT_insert);
  finish(h(series, stack::base + 1, part, present(r, 1), dup, append));
}
void e_append(const i32* r) {
  // A plain append onto a string or block that has room at its tail is done
  // at once.
  if (!present(r, 0) && !present(r, 2)) {
    Type t = type_of(stack::base);
    if (t == TYPE_STRING && !present(r, 1) && string::append_at_tail(stack::base, stack::base + 1)) return;
    if (t == TYPE_BLOCK && block::append_at_tail(stack::base, stack::base + 1, present(r, 1))) return;
  }
  insert_entry(r, true);
}
void e_insert(const i32* r) { insert_entry(r, false); }

void e_change(const i32* r) {
  Cell* series = stack::base;
  i32 part = normalise_part(series, ref_arg(r, 0));
  i32 dup = present(r, 2) ? repeat_count(ref_arg(r, 2)) : 1;
  if (dup <= 0) return;
  finish(handler<act::Change>(series, ACT_change)(series, stack::base + 1, part, present(r, 1), dup));
}

void e_copy(const i32* r) {
  Cell* types_arg = ref_arg(r, 2);
  if (types_arg && type_of(types_arg) != TYPE_DATATYPE && type_of(types_arg) != TYPE_TYPESET) {
    no_handler(types_arg);
  }
  api::Values copied(1);
  Cell* result = copied[0];
  finish(handler<act::Copy>(stack::base, ACT_copy)(stack::base, result, ref_arg(r, 0), present(r, 1),
                                                   types_arg));
}

// The refinements of find and select, in their spec order.
act::FindOptions find_options(const i32* r, bool find) {
  act::FindOptions o;
  o.part = ref_arg(r, 0);
  o.only = present(r, 1);
  o.case_ = present(r, 2);
  o.same = present(r, 3);
  o.any = present(r, 4);
  o.with = ref_arg(r, 5);
  o.skip = ref_arg(r, 6);
  o.last = present(r, 7);
  o.reverse = present(r, 8);
  o.tail = find && present(r, 9);
  o.match = find && present(r, 10);
  return o;
}

void e_find(const i32* r) {
  finish(handler<act::Find>(stack::base, ACT_find)(stack::base, stack::base + 1, find_options(r, true)));
}

void e_select(const i32* r) {
  // A map answers from its table at once: of select's refinements only
  // /case and /same mean anything to it.
  if (type_of(stack::base) == TYPE_MAP) {
    map::Mode mode = present(r, 3) ? map::MODE_SAME : present(r, 2) ? map::MODE_CASE : map::MODE_EQUAL;
    Cell* value = map::find_value(stack::base, stack::base + 1, mode);
    if (value) copy_cell(value, stack::base); else make_none(stack::base);
    return;
  }
  finish(handler<act::Find>(stack::base, ACT_select)(stack::base, stack::base + 1,
                                                     find_options(r, false)));
}

void e_length_q(const i32*) {
  i32 n = handler<act::Length>(stack::base, ACT_length_q)(stack::base);
  if (n < 0) make_none(stack::base); else make_integer(stack::base, n);
}

void e_move(const i32* r) {
  finish(handler<act::Move>(stack::base, ACT_move)(stack::base, stack::base + 1, ref_arg(r, 0)));
}

void e_pick(const i32*) {
  Cell* idx = stack::base + 1;
  finish(handler<act::Pick>(stack::base, ACT_pick)(stack::base, index_of(idx), idx));
}

void e_poke(const i32*) {
  Cell* idx = stack::base + 1;
  Cell* value = stack::base + 2;
  handler<act::Poke>(stack::base, ACT_poke)(stack::base, index_of(idx), idx, value);
  copy_cell(value, stack::base);
}

void e_put(const i32* r) {
  if (type_of(stack::base) == TYPE_MAP) {
    map::set(stack::base, stack::base + 1, stack::base + 2, present(r, 0));
    copy_cell(stack::base + 2, stack::base);
    return;
  }
  finish(handler<act::Put>(stack::base, ACT_put)(stack::base, stack::base + 1, stack::base + 2,
                                                 present(r, 0)));
}

void e_remove(const i32* r) {
  finish(handler<act::Remove>(stack::base, ACT_remove)(stack::base, ref_arg(r, 0), ref_arg(r, 1)));
}

void e_reverse(const i32* r) {
  finish(handler<act::Reverse>(stack::base, ACT_reverse)(stack::base, ref_arg(r, 0), ref_arg(r, 1)));
}

void e_sort(const i32* r) {
  finish(handler<act::Sort>(stack::base, ACT_sort)(stack::base, present(r, 0), ref_arg(r, 1),
                                                   ref_arg(r, 2), ref_arg(r, 3), present(r, 4),
                                                   present(r, 5), present(r, 6)));
}

void e_swap(const i32*) {
  finish(handler<act::Binary>(stack::base, ACT_swap)(stack::base, stack::base + 1));
}

void e_take(const i32* r) {
  finish(handler<act::Take>(stack::base, ACT_take)(stack::base, ref_arg(r, 0), present(r, 1),
                                                   present(r, 2)));
}

void e_trim(const i32* r) {
  finish(handler<act::Trim>(stack::base, ACT_trim)(stack::base, present(r, 0), present(r, 1),
                                                   present(r, 2), present(r, 3), present(r, 4),
                                                   ref_arg(r, 5)));
}

void e_unary(Action a) { finish(handler<act::Unary>(stack::base, a)(stack::base)); }
void e_create(const i32*) { e_unary(ACT_create); }
void e_close(const i32*) { e_unary(ACT_close); }
void e_delete_(const i32*) { e_unary(ACT_delete_); }
void e_open_q(const i32*) { e_unary(ACT_open_q); }
void e_query(const i32*) { e_unary(ACT_query); }
void e_update(const i32*) { e_unary(ACT_update); }

void e_modify(const i32* r) {
  finish(handler<act::Modify>(stack::base, ACT_modify)(stack::base, stack::base + 1, stack::base + 2,
                                                       present(r, 0)));
}

void e_open(const i32* r) {
  finish(handler<act::Open>(stack::base, ACT_open)(stack::base, present(r, 0), present(r, 1),
                                                   present(r, 2), present(r, 3), ref_arg(r, 4)));
}

void e_read(const i32* r) {
  finish(handler<act::Read>(stack::base, ACT_read)(stack::base, ref_arg(r, 0), ref_arg(r, 1),
                                                   present(r, 2), present(r, 3), present(r, 4),
                                                   ref_arg(r, 5)));
}

void e_rename(const i32*) {
  finish(handler<act::Binary>(stack::base, ACT_rename)(stack::base, stack::base + 1));
}

void e_write(const i32* r) {
  finish(handler<act::Write>(stack::base, ACT_write)(
      stack::base, stack::base + 1, present(r, 0), present(r, 1), present(r, 2), present(r, 3),
      ref_arg(r, 4), ref_arg(r, 5), ref_arg(r, 6), ref_arg(r, 7)));
}

void e_eval_path(const i32*) {
  PathStep step{nullptr, 0, true, false, false};
  finish(eval_path(stack::base, stack::base + 1, nullptr, step));
}

// Two integers whose sum, difference or product fits are combined here;
// everything else (overflow into float! included) goes to the handler.
void integer_math(Action a, int op) {
  Cell* left = stack::base;
  i32 r;
  if (type_of(left) == TYPE_INTEGER && type_of(left + 1) == TYPE_INTEGER &&
      fast::int_op(op, int_of(left), int_of(left + 1), &r)) {
    set_int_payload(left, r);
    return;
  }
  dispatch_top(a);
}
void e_add(const i32*) { integer_math(ACT_add, OP_ADD); }
void e_subtract(const i32*) { integer_math(ACT_subtract, OP_SUB); }
void e_multiply(const i32*) { integer_math(ACT_multiply, OP_MUL); }

#define QEL_D(member) \
  void e_##member(const i32*) { dispatch_top(ACT_##member); }
QEL_D(absolute) QEL_D(divide) QEL_D(power) QEL_D(remainder) QEL_D(and_t) QEL_D(or_t) QEL_D(xor_t) QEL_D(at) QEL_D(back) QEL_D(head)
QEL_D(head_q) QEL_D(index_q) QEL_D(next) QEL_D(skip) QEL_D(tail) QEL_D(tail_q)
#undef QEL_D

constexpr Entry e_set_path = nullptr;  // no entry: path setting goes through eval-path
constexpr Entry e_compare = nullptr;   // worker only

// Each action runs inside this guard, as the natives do: C++ memory that
// the heap refuses raises the internal no-memory error.
template <Entry F>
void guarded(const i32* refs) {
  if constexpr (F != nullptr) {
    try {
      F(refs);
    } catch (const std::bad_alloc&) {
      fire(Err::internal_no_memory);
    }
  }
}

const Entry kEntries[ACTION_COUNT + 1] = {
    nullptr,
#define QEL_X(slot, member, name, sig) e_##member ? guarded<e_##member> : nullptr,
    QEL_ACTIONS(QEL_X)
#undef QEL_X
};
static_assert(sizeof(kEntries) / sizeof(kEntries[0]) == ACTION_COUNT + 1);

}  // namespace

Entry entry(Action a) { return kEntries[a]; }

}  // namespace qel::actions
