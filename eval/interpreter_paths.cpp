// Paths: evaluating a path, and setting through one. The head word's value
// starts the walk, each selector goes to its parent's eval-path action, and a
// function met along the way is called with the rest as its refinements.
#include "datatypes/ownership.hpp"
#include "eval/interpreter_internal.hpp"
#include "runtime/actions.hpp"

namespace qel::interp {

using namespace detail;

namespace {

// Values whose changes are seen through every copy (they hold a series or a
// context); the others are copied into cells, so a changed field must be
// written back into whatever holds the value.
bool shared_by_reference(Type t) {
  switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
    case TYPE_GET_PATH: case TYPE_HASH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
    case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_VECTOR:
    case TYPE_IMAGE: case TYPE_BITSET: case TYPE_MAP: case TYPE_OBJECT: case TYPE_ERROR:
    case TYPE_PORT:
      return true;
    default:
      return false;
  }
}

}  // namespace

Status eval_path(const Cell* path_in, const Code& code, u32& pos, bool set, bool get, bool sub,
                 bool case_, bool* not_called) {
  Cell path = *path_in;
  u32 node = series_node(&path);
  u32 n = buffer_of(node)->used() / sizeof(Cell);
  u32 head = u32(series_index(&path) < 0 ? 0 : series_index(&path));
  if (head >= n) fire(Err::script_empty_path);
  Cell first = *(buffer_of(node)->cells() + head);
  if (type_of(&first) != TYPE_WORD) fire(Err::script_word_first, &path);
  Cell* entry_top = stack::top;
  Cell set_copy;
  if (set) set_copy = *stack::base;
  Cell value = *word_value(&first);
  if (is_function_type(type_of(&value))) {
    if (set) fire(Err::script_invalid_path_set, &path);
    if (get) fire(Err::script_invalid_path_get, &path);
    Cell p2 = path;
    set_series_index(&p2, i32(head));
    if (not_called) *not_called = false;
    Status st = eval_call(&value, code, pos, sub, &p2, &first, &value, 0, false);
    if (trace) fire_event(EV_EXIT, &path, i32(n), nullptr, stack::last());
    return st;
  }
  if (type_of(&value) == TYPE_UNSET) fire(Err::script_unset_path, &path, &first);
  // The values met along the path and the selectors that led to them, kept on
  // the arguments stack (so the collector sees them): values[0] is the head
  // word's value, values[k] the result of selector k.
  u32 steps = n - head;
  Cell* values = stack::top;
  for (u32 k = 0; k < 2 * steps; ++k) make_none(stack::push());
  Cell* selectors = values + steps;
  copy_cell(&value, values);
  u32 k = 0;
  // A paren in the path may shorten the path itself: its length is read
  // again at every step, and the value reached where it now ends is the
  // result; a set-path that lost its last selector raises an error.
  for (u32 i = head + 1; i < n && i < buffer_of(node)->used() / sizeof(Cell); ++i, ++k) {
    Cell el = *(buffer_of(node)->cells() + i);
    Cell* sel = selectors + k;
    if (trace) fire_event(EV_FETCH, &path, i32(i), nullptr, &el);
    switch (type_of(&el)) {
      case TYPE_GET_WORD: {
        Cell w = el;
        w.header = TYPE_WORD;
        copy_cell(word_value(&w), sel);
        break;
      }
      case TYPE_PAREN: {
        stack::mark_interp(&g_body_word);
        Status st = eval_block(&el, true);
        st = close_frame(st, true);
        if (st) {
          stack::top = entry_top;
          return st;
        }
        Cell r = *stack::last();
        stack::pop(1);
        copy_cell(&r, sel);
        break;
      }
      default:
        copy_cell(&el, sel);
    }
    if (type_of(sel) == TYPE_UNSET) fire(Err::script_invalid_path, &path, &el);
    if (trace) fire_event(EV_PUSH, &path, i32(i), nullptr, sel);
    bool last = i + 1 == n;
    PathStep step{&path, i32(i), last, case_, false};
    if (last && set) {
      step.set_flag = k > 0;
      if (k > 0) {
        step.holder = values + k - 1;
        step.holder_selector = selectors + k - 1;
      }
    }
    Cell* next = actions::eval_path(values + k, sel, last && set ? &set_copy : nullptr, step);
    Cell nv = *next;
    copy_cell(&nv, values + k + 1);
    if (!set && !get && !last && is_function_type(type_of(&nv))) {
      // A function met inside the path runs at once, the rest of the path
      // being its refinements and the value before it its owner.
      Cell owner = values[k];
      Cell p2 = path;
      set_series_index(&p2, i32(i));
      stack::top = entry_top;
      if (not_called) *not_called = false;
      return eval_call(&nv, code, pos, sub, &p2, &el, &owner, 0, false);
    }
  }
  if (k + 1 < steps) {
    if (set) fire(Err::script_invalid_path_set, &path);
    steps = k + 1;
  }
  if (set && steps > 1) {
    // A field of a value held by copy (a time, a pair, ...) was changed in
    // values[steps - 2]: store it back into its holder, and so on outward.
    for (i32 j = i32(steps) - 2; j >= 0 && !shared_by_reference(type_of(values + j)); --j) {
      if (j == 0) {
        Cell w = first;
        Cell v = values[0];
        word::set(&w, &v);
        break;
      }
      Cell v = values[j];
      PathStep step{&path, i32(head) + j, false, case_, false};
      // A time reported the change to the owner of the series that holds it
      // itself: storing it back is no further change.
      ownership::Quiet quiet(j == i32(steps) - 2 && type_of(&v) == TYPE_TIME &&
                             is_any_block_type(type_of(values + j - 1)));
      actions::eval_path(values + j - 1, selectors + j - 1, &v, step);
    }
  }
  Cell r = values[set ? 0 : steps - 1];
  // A function the path ends in is called: its return reports the path's
  // value, as for a function met inside the path.
  bool call = !set && !get && is_function_type(type_of(&r));
  if (trace && !call) fire_event(EV_EXIT, &path, i32(n), nullptr, &r);
  stack::top = entry_top;
  if (set) {
    copy_cell(&set_copy, stack::base);
    stack::keep();
    return 0;
  }
  if (call) {
    if (not_called) *not_called = false;
    return eval_call(&r, code, pos, sub, nullptr, nullptr, &r, 0, false);
  }
  place(&r, sub);
  return 0;
}

}  // namespace qel::interp
