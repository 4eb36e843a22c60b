// Loop natives: while, until, loop, repeat, forever, foreach, forall and
// remove-each.
//
// Every loop runs its body inside a loop frame of its own. The state a loop
// keeps between iterations (its copy of the series, the saved series of
// forall) lives on the arguments stack below that frame, so it is rooted and
// never moves; the frame's base cell holds the latest body value, which is
// the loop's result when it ends.
//
// `break` and `continue` reach a loop in two forms: as a status aimed at the
// loop frame (ordinary code, eval/interpreter.hpp), or as a Transfer
// exception that has already unwound to the loop frame (C++ code that calls
// the interpreter without handling statuses, such as a sort comparator).
// Both end up in run_body below. Any other status is handed on after the
// loop frame is closed; errors and throws pass through as exceptions.
#include "datatypes/logic.hpp"
#include "datatypes/map.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/series.hpp"
#include "datatypes/word.hpp"
#include "eval/interrupt.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"
#include "runtime/words.hpp"

namespace qel::natives {

using interp::Status;
using mem::buffer_of;

namespace {

// ---- the loop frame and the body -------------------------------------------------

// What a body evaluation asked the loop to do next.
enum class Flow { next, brk, cont };

// Opens the loop frame with an unset result; answers its index from the
// call-stack bottom (the target that break and continue name).
i32 open_loop() {
  stack::mark_loop(words::cell(words::W_BODY_TAG));
  make_unset(stack::push());
  return i32(stack::ctop - 1 - stack::cbottom);
}

// Whether the Transfer in flight has landed on the loop frame `me`.
bool landed_here(const Transfer& t, i32 me) {
  return (t.code == THROW_BREAK || t.code == THROW_CONTINUE) &&
         stack::ctop > stack::cbottom && i32(stack::ctop - 1 - stack::cbottom) == me;
}

// Evaluates a block inside the open loop frame `me`; its value lands in the
// frame's base cell. Answers 0 with `flow` set, or a status to hand on, in
// which case the loop frame is already closed. After a break, the base cell
// holds the break value (unset unless /return gave one); after a continue,
// unset.
Status run_body(const Cell* body, i32 me, Flow& flow) {
  interrupt::poll();
  api::keep_result();
  Status st;
  try {
    st = interp::eval_block(body, true);
  } catch (const Transfer& t) {
    if (!landed_here(t, me)) throw;
    // The sender unwound to our frame and left the break value in its base.
    runtime::rt.thrown = 0;
    flow = t.code == THROW_BREAK ? Flow::brk : Flow::cont;
    if (flow == Flow::cont) make_unset(api::result());
    return api::done();
  }
  if (!st) {
    flow = Flow::next;
    return 0;
  }
  if ((st == THROW_BREAK || st == THROW_CONTINUE) && interp::pending_target == me) {
    flow = st == THROW_BREAK ? Flow::brk : Flow::cont;
    if (flow == Flow::brk) copy_cell(interp::pending_value(), api::result());
    else make_unset(api::result());
    return api::done();
  }
  stack::unwind();
  return st;
}

// Closes the loop frame; its base cell becomes the native's result.
Status close_loop() {
  stack::unwind_last_copy();
  return api::done();
}

// Runs the body in a new loop frame while `more` (called inside the frame
// before each pass) answers true and no break came; the loop's result is the
// last body value or the break value. A status to hand on ends it at once.
template <class More>
Status run_loop(Cell body, More more) {
  i32 me = open_loop();
  while (more()) {
    Flow flow;
    if (Status st = run_body(&body, me, flow)) return st;
    if (flow == Flow::brk) break;
  }
  return close_loop();
}

Status result_none() {
  return api::answer_none();
}

// Sets the word (copied first: it may lie in a block that moves) to the value,
// which must be rooted.
void set_word(const Cell* word, const Cell* value) {
  Cell w = *word;
  word::set(&w, value);
}

// ---- series kinds --------------------------------------------------------------------

enum class Kind { none, list, text, image, map };

Kind kind_of(Type t) {
  if (is_any_block_type(t)) return Kind::list;
  if (is_any_string_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR) return Kind::text;
  if (t == TYPE_IMAGE) return Kind::image;
  if (t == TYPE_MAP) return Kind::map;
  return Kind::none;
}

// The number of elements from the head to the tail: cells of a list, units of
// a string, pixels (width x height) of an image.
i32 total_of(const Cell* s) {
  if (type_of(s) != TYPE_IMAGE) return series::total(s);
  api::Values cells(1);
  Cell* head = copy_cell(s, cells[0]);
  set_series_index(head, 0);
  i32 n = actions::handler<act::Length>(head, ACT_length_q)(head);
  return n < 0 ? 0 : n;
}

// Element pos (counted from the head) of the series as a value, into out (a
// rooted cell): the cell of a list, the picked element of any other series
// (char!, integer!, a pixel tuple...); none past the tail.
void element_into(const Cell* s, i32 pos, Cell* out) {
  if (pos < 0 || pos >= total_of(s)) {
    make_none(out);
    return;
  }
  if (kind_of(type_of(s)) == Kind::list) {
    copy_cell(buffer_of(series_node(s))->cells() + pos, out);
    return;
  }
  Cell* at = copy_cell(s, out);
  set_series_index(at, pos);
  Cell* picked = actions::handler<act::Pick>(at, ACT_pick)(at, 1, nullptr);
  copy_cell(picked, out);
}

// ---- foreach steps -------------------------------------------------------------------

// The words of a foreach/remove-each: a word!, or a block of words from its
// index. Checks the block once: it must hold at least one word, and only
// word!, set-word!, get-word! and lit-word! values.
i32 count_words(const Cell* words) {
  if (type_of(words) != TYPE_BLOCK) return 1;
  i32 n = series::total(words) - series_index(words);
  if (n <= 0) fire(Err::script_invalid_arg, words);
  for (i32 i = 0; i < n; ++i) {
    Cell w = *(buffer_of(series_node(words))->cells() + series_index(words) + i);
    Type t = type_of(&w);
    if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) {
      fire(Err::script_invalid_arg, &w);
    }
  }
  return n;
}

// The words argument as the loop keeps it: a word! as it is, a block of
// words copied from its index into `out` (a rooted cell), so the body can
// neither empty nor change the block the loop reads its words from.
const Cell* own_words(const Cell* words, i32 n, Cell* out) {
  if (type_of(words) != TYPE_BLOCK) return words;
  u32 node = mem::alloc_cells(u32(n));
  make_series(out, TYPE_BLOCK, node);
  for (i32 i = 0; i < n; ++i) {
    Cell w = *(buffer_of(series_node(words))->cells() + series_index(words) + i);
    copy_cell(&w, mem::alloc_tail_cell(node));
  }
  return out;
}

// Loop word i of the words argument (a word! or a checked block of words).
Cell word_at(const Cell* words, i32 i) {
  if (type_of(words) != TYPE_BLOCK) return *words;
  return *(buffer_of(series_node(words))->cells() + series_index(words) + i);
}

// A foreach step over a list: its elements are its cells, which the series
// (rooted in `it`) keeps while the words are set, so they are set from the
// buffer without a copy. Setting a word may run code (an object's
// on-change*) that changes the list: its buffer and tail are read again for
// each word.
i32 list_step(Cell* it, const Cell* words, i32 n, i32 pos) {
  i32 total = series::total(it);
  if (pos >= total) return 0;
  for (i32 i = 0; i < n; ++i) {
    Cell w = word_at(words, i);
    if (pos + i < series::total(it)) {
      word::set(&w, buffer_of(series_node(it))->cells() + pos + i);
    } else {
      Cell none;
      word::set(&w, make_none(&none));
    }
  }
  set_series_index(it, pos + n);
  return total - pos < n ? total - pos : n;
}

// One foreach step: when the series copy `it` has an element at its index,
// sets the n words from the next n elements (none past the tail) and advances
// the index by n. Answers the number of elements visited (0: no step made).
i32 foreach_next(Cell* it, const Cell* words, i32 n) {
  Type type = type_of(it);
  if (type == TYPE_MAP) return map::foreach_step(it, words, n) ? 2 : 0;
  i32 pos = series_index(it);
  if (is_any_block_type(type)) return list_step(it, words, n, pos);
  i32 total = total_of(it);
  if (pos >= total) return 0;
  for (i32 i = 0; i < n; ++i) {
    api::Values element(1);  // and drops what picking it pushed
    element_into(it, pos + i, element[0]);
    Cell w = word_at(words, i);
    set_word(&w, element[0]);
  }
  // The body may have shortened the series meanwhile: count what was there.
  i32 visited = total - pos < n ? total - pos : n;
  set_series_index(it, pos + n);
  return visited;
}

}  // namespace

i32 walk_begin(Cell* args, bool foreach) {
  i32 n = count_words(args);
  // A map gives a key and a value a step: a block of words must hold two.
  if (foreach && type_of(args + 1) == TYPE_MAP && type_of(args) == TYPE_BLOCK && n != 2) {
    fire(Err::script_invalid_arg, args);
  }
  // The walk goes through its own copy: the series' index is left where it was.
  Cell* cells = stack::top;
  make_none(stack::push());
  make_none(stack::push());
  own_words(args, n, cells + 1);
  Cell* it = copy_cell(args + 1, cells);
  if (series_index(it) < 0) set_series_index(it, 0);
  return n;
}

i32 walk_step(const Cell* args, Cell* cells, i32 n) {
  return foreach_next(cells, type_of(args) == TYPE_BLOCK ? cells + 1 : args, n);
}

const Cell* walk_next_cell(const Cell* args, Cell* cells, i32 n, Cell* word) {
  if (n != 1 || !is_any_block_type(type_of(cells))) return nullptr;
  i32 pos = series_index(cells);
  if (pos >= series::total(cells)) return nullptr;
  *word = word_at(type_of(args) == TYPE_BLOCK ? cells + 1 : args, 0);
  set_series_index(cells, pos + 1);
  return buffer_of(series_node(cells))->cells() + pos;
}

void remove_visited(Cell* cells, i32 pos, i32 visited) {
  api::Values cut(2);  // the position and the count of the removal
  Cell* at = copy_cell(cells, cut[0]);
  set_series_index(at, pos);
  Cell* part = make_integer(cut[1], visited);
  actions::handler<act::Remove>(at, ACT_remove)(at, part, nullptr);
  set_series_index(cells, pos);
}

void forall_begin(Cell* args) {
  Cell* saved = stack::top;
  make_none(stack::push());
  copy_cell(word::get_value_cell(args), saved);
  if (kind_of(type_of(saved)) == Kind::none || type_of(saved) == TYPE_MAP) {
    refuse_arg(saved, 0);  // a map! has no position to move through
  }
}

bool forall_any(const Cell* saved) { return series_index(saved) < total_of(saved); }

bool forall_next(Cell* args, const Cell* saved) {
  api::Values step(1);
  Cell* now = copy_cell(word::get_value_cell(args), step[0]);
  if (kind_of(type_of(now)) == Kind::none || type_of(now) == TYPE_MAP || series_node(now) != series_node(saved)) {
    fire(Err::script_bad_loop_series, now);
  }
  i32 next = series_index(now) + 1;
  if (next >= total_of(now)) return false;
  set_series_index(now, next);
  set_word(args, now);
  return true;
}

void forall_end(Cell* args, const Cell* saved) { set_word(args, saved); }

// ---- the natives -----------------------------------------------------------------------

Status while_(const i32*) {
  Cell* args = api::result();  // cond, body
  Cell cond = args[0], body = args[1];
  i32 me = open_loop();
  for (;;) {
    Flow flow;
    Status st = run_body(&cond, me, flow);
    if (st) return st;
    // A break or continue in the condition would aim at this loop.
    if (flow != Flow::next) fire(Err::throw_while_cond);
    if (!logic::true_base()) break;
    st = run_body(&body, me, flow);
    if (st) return st;
    if (flow == Flow::brk) break;
  }
  stack::unwind();
  return api::answer_unset();
}

Status until(const i32*) {
  Cell body = *api::arg(0);
  i32 me = open_loop();
  for (;;) {
    Flow flow;
    Status st = run_body(&body, me, flow);
    if (st) return st;
    if (flow == Flow::brk) break;
    if (flow == Flow::cont) continue;
    if (logic::true_base()) break;
  }
  return close_loop();
}

// NaN and values beyond the 32-bit range give 0 and the nearest bound.
i32 loop_count(const Cell* c) {
  return type_of(c) == TYPE_FLOAT ? integer::truncate(float_of(c)) : int_of(c);
}

void repeat_pass(Cell* args, i32 pass) {
  // The word gets a copy of the counter: the body may change the word
  // without effect on the loop.
  make_integer(args + 1, pass);
  set_word(args, args + 1);
}

Status loop(const i32*) {
  i32 count = loop_count(api::result());
  if (count < 1) return result_none();
  i32 done = 0;
  return run_loop(*api::arg(1), [&] {
    if (done == count) return false;
    ++done;
    return true;
  });
}

Status repeat(const i32*) {
  Cell* args = api::result();  // 'word, value, body
  make_integer(args + 1, loop_count(args + 1));
  i32 count = int_of(args + 1);
  if (count < 1) return result_none();
  i32 i = 0;
  return run_loop(args[2], [&] {
    if (i >= count) return false;
    repeat_pass(args, ++i);
    return true;
  });
}

Status forever(const i32*) {
  return run_loop(*api::arg(0), [] { return true; });
}

Status foreach(const i32*) {
  Cell* args = api::result();  // 'word or words block, series, body
  i32 n = walk_begin(args, true);
  Cell* cells = stack::top - 2;
  return run_loop(args[2], [&] { return walk_step(args, cells, n) != 0; });
}

Status forall(const i32*) {
  Cell* args = api::result();  // 'word, body
  forall_begin(args);
  Cell* saved = stack::top - 1;
  Cell body = args[1];
  i32 me = open_loop();
  if (!forall_any(saved)) return close_loop();
  for (;;) {
    Flow flow;
    Status st = run_body(&body, me, flow);
    if (st) return st;
    // After a break the word keeps the position it had.
    if (flow == Flow::brk) return close_loop();
    if (!forall_next(args, saved)) break;
  }
  // Ended without a break: the word gets the series back at its start.
  forall_end(args, saved);
  return close_loop();
}

Status remove_each(const i32*) {
  Cell* args = api::result();  // 'word or words block, data, body
  i32 n = walk_begin(args, false);
  Cell* cells = stack::top - 2;
  Cell body = args[2];
  i32 me = open_loop();
  for (;;) {
    i32 pos = series_index(cells);
    i32 visited = walk_step(args, cells, n);
    if (!visited) break;
    Flow flow;
    Status st = run_body(&body, me, flow);
    if (st) return st;
    if (flow == Flow::brk) return close_loop();
    if (flow == Flow::cont || !logic::true_base()) continue;
    // Remove the elements just visited; the next step starts at the one that
    // followed them.
    remove_visited(cells, pos, visited);
  }
  stack::unwind();
  return api::answer(args + 1);
}

}  // namespace qel::natives
