// Control natives: conditionals, try/catch/throw, and the unwinding natives
// (break, continue, exit, return), which answer a status instead of throwing
// (eval/interpreter.hpp explains why).
#include "datatypes/logic.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/block_walk.hpp"
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

Cell g_try_word{TYPE_WORD, 0, 0, 0};

const Cell* word_named(Cell* cache, const char* name) {
  if (!word::symbol_of(cache)) *cache = *intern_word(name);
  return cache;
}

u32 cell_count(const Cell* block) { return buffer_of(series_node(block))->used() / sizeof(Cell); }

// Evaluates a block argument into the base cell.
Status do_block(const Cell* block) { return interp::eval_block(block, true); }

// Evaluates a block in the frame just opened, then closes that frame leaving
// the value in the native's base cell; a pending unwinding goes on outward.
Status eval_in_frame(const Cell* block) {
  Status st = interp::eval_block(block, true);
  if (st) {
    stack::unwind();
    return st;
  }
  stack::unwind_last_copy();
  return api::done();
}

}  // namespace

i32 chosen_branch(u32 native) {
  // if and unless treat unset as true; either raises on it.
  if (native == N_either) return logic::true_base() ? 1 : 2;
  return logic::is_false(api::result()) == (native == N_if_) ? -1 : 1;
}

namespace {

// The conditional native's chosen block, run as the native's result.
Status run_branch(u32 native) {
  i32 at = chosen_branch(native);
  if (at < 0) return api::answer_none();
  Cell body = *api::arg(u32(at));
  return do_block(&body);
}

}  // namespace

Status if_(const i32*) { return run_branch(N_if_); }
Status unless(const i32*) { return run_branch(N_unless); }
Status either(const i32*) { return run_branch(N_either); }

// any, all and case walk their block through walk::BlockWalk: the code they
// evaluate may empty the block, which then ends where it now ends.
Status any(const i32*) {
  walk::BlockWalk w(api::arg(0));
  while (w.more()) {
    Status st = interp::eval_next(w.code(), w.pos, false);
    if (st) return st;
    if (!logic::is_false(api::result())) {
      return api::done();
    }
  }
  return api::answer_none();
}

Status all(const i32*) {
  walk::BlockWalk w(api::arg(0));
  if (!w.more()) {
    return api::answer_none();
  }
  while (w.more()) {
    Status st = interp::eval_next(w.code(), w.pos, false);
    if (st) return st;
    if (logic::is_false(api::result())) {
      return api::answer_none();
    }
  }
  return api::done();
}

Status switch_(const i32* refs) {
  Cell value = *api::arg(0);
  Cell cases = *api::arg(1);
  u32 n = cell_count(&cases);
  u32 i = u32(series_index(&cases) < 0 ? 0 : series_index(&cases));
  if (type_of(&value) != TYPE_BLOCK) {
    for (; i < n; ++i) {
      Cell c = *(buffer_of(series_node(&cases))->cells() + i);
      if (type_of(&c) != type_of(&value)) continue;
      if (!actions::compare(&value, &c, COMP_EQUAL)) continue;
      for (u32 j = i + 1; j < n; ++j) {
        Cell b = *(buffer_of(series_node(&cases))->cells() + j);
        if (type_of(&b) == TYPE_BLOCK) return do_block(&b);
      }
      break;
    }
  }
  if (ref(refs, 0)) {
    Cell d = *ref_arg(refs, 0);
    return do_block(&d);
  }
  return api::answer_none();
}

Status case_(const i32* refs) {
  static Cell case_word{TYPE_WORD, 0, 0, 0};
  bool all_flag = ref(refs, 0);
  walk::BlockWalk w(api::arg(0));
  if (!w.more()) {
    return api::answer_none();
  }
  api::Values chosen(1);  // the last chosen branch's value (none at first)
  bool last_true = false;
  while (w.more()) {
    last_true = false;
    // The condition, then the branch, land in the result cell.
    Status st = interp::eval_next(w.code(), w.pos, false);
    if (st) return st;
    // A condition with no branch after it (the block may have lost it to
    // the condition's own code).
    if (!w.more()) fire(Err::script_need_value, word_named(&case_word, "case"));
    if (!logic::true_base()) {
      ++w.pos;
      continue;
    }
    Cell branch = w.at(w.pos);
    if (type_of(&branch) == TYPE_BLOCK) {
      ++w.pos;
      st = interp::eval_block(&branch, true);
    } else {
      st = interp::eval_next(w.code(), w.pos, false);
    }
    if (st) return st;
    copy_cell(api::result(), chosen[0]);
    last_true = true;
    if (!all_flag) break;
  }
  if (all_flag && !last_true) make_none(chosen[0]);
  return api::answer(chosen[0]);
}

Status try_(const i32* refs) {
  bool all_flag = ref(refs, 0);
  bool keep_stack = ref(refs, 1);
  Cell block = *api::arg(0);
  const stack::Snapshot entry;
  stack::mark(word_named(&g_try_word, "try"), all_flag ? stack::FRAME_TRY : stack::FRAME_CATCH);
  try {
    return eval_in_frame(&block);
  } catch (const Transfer& t) {
    if (t.code != THROW_ERROR && !all_flag) throw;  // a throw goes on to its catch
    runtime::rt.thrown = 0;
    if (t.code == THROW_ERROR) {
      // The error lands in this native's base (the catch frame is gone).
      stack::adjust_post_try();
      if (keep_stack) error::get_stack(api::result());
    } else {
      entry.restore();
      api::keep_result();
    }
    return 0;
  }
}

Status catch_(const i32* refs) {
  static Cell body{TYPE_WORD, 0, 0, 0};
  Cell block = *api::arg(0);
  Cell* name = ref_arg(refs, 0);
  Cell name_copy;
  if (name) name_copy = *name;
  stack::Frame* my_frame = stack::ctop;
  stack::mark(word_named(&body, "<body>"), stack::FRAME_THROW);
  try {
    return eval_in_frame(&block);
  } catch (const Transfer& t) {
    if (t.code != THROW_THROW || stack::ctop - 1 != my_frame) throw;
    // The thrown value and its name are the last two pushed cells.
    Cell thrown = *(stack::top - 2);
    Cell thrown_name = *(stack::top - 1);
    bool match = true;
    if (name) {
      match = false;
      if (type_of(&thrown_name) == TYPE_WORD) {
        u32 sym = symbol::resolve(word::symbol_of(&thrown_name));
        if (type_of(&name_copy) == TYPE_WORD) {
          match = symbol::resolve(word::symbol_of(&name_copy)) == sym;
        } else {
          u32 node = series_node(&name_copy);
          u32 n = buffer_of(node)->used() / sizeof(Cell);
          for (u32 i = u32(series_index(&name_copy)); i < n; ++i) {
            Cell* c = buffer_of(node)->cells() + i;
            if (type_of(c) != TYPE_WORD) {
              Cell part = *intern_word("name");
              fire(Err::script_invalid_refine_arg, &part, &name_copy);
            }
            if (symbol::resolve(word::symbol_of(c)) == sym) match = true;
          }
        }
      }
    }
    if (!match) {
      // Not ours: drop this catch's frame and send the throw on.
      stack::unwind();
      stack::send_throw(&thrown, &thrown_name);
    }
    // Caught: the thrower's frame, kept for the error of a throw that no
    // catch takes, no longer names where later errors happen.
    runtime::rt.thrown = 0;
    stack::last_throw_frame = nullptr;
    stack::unwind();
    api::set_result(&thrown);
    if (interp::trace) interp::fire_event(interp::EV_CATCH, nullptr, -1, nullptr, api::result());
    return 0;
  }
}

Status throw_(const i32* refs) {
  if (interp::trace) interp::fire_event(interp::EV_THROW, nullptr, -1, nullptr, api::result());
  Cell value = *api::arg(0);
  Cell name;
  if (ref(refs, 0)) name = *ref_arg(refs, 0); else make_unset(&name);
  stack::send_throw(&value, &name);
}

namespace {

// The target of break/continue: the nearest loop frame from the native's own
// frame down; of return/exit: the nearest frame that return unwinds to below
// it. A try frame coming first, or no frame, raises the throw error.
i32 loop_target(bool cont) {
  stack::Frame* f = stack::loop_target(stack::ctop - 1);
  if (!f) fire(cont ? Err::throw_continue : Err::throw_break);
  return i32(f - stack::cbottom);
}

i32 return_target() {
  stack::Frame* f = stack::return_target(stack::ctop - 2);
  if (!f) fire(Err::throw_return);
  return i32(f - stack::cbottom);
}

}  // namespace

Status break_(const i32* refs) {
  i32 target = loop_target(false);
  return interp::start_unwind(THROW_BREAK, target, ref(refs, 0) ? ref_arg(refs, 0) : nullptr);
}

Status continue_(const i32*) {
  i32 target = loop_target(true);
  return interp::start_unwind(THROW_CONTINUE, target, nullptr);
}

Status exit(const i32*) {
  i32 target = return_target();
  return interp::start_unwind(THROW_EXIT, target, nullptr);
}

Status return_(const i32*) {
  i32 target = return_target();
  return interp::start_unwind(THROW_RETURN, target, api::result());
}

}  // namespace qel::natives
