// Transfers (error, break, continue, return, exit, throw) against each kind
// of catcher, with the stack registers checked on arrival.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "eval/transfers.hpp"
#include "runtime/context_record.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace transfer_test {

using namespace qel;
using stack::Frame;

namespace {

struct UncaughtInTest {};
void throw_uncaught(Cell*) { throw UncaughtInTest{}; }

// What a sender left behind when its transfer arrived.
struct Landing {
  bool uncaught = false;
  u32 code = 0;
  int frames_left = 0;        // records still open
  i32 base_index = 0;         // base, as a cell index from the bottom
  i32 top_minus_base = 0;
  std::optional<Err> error;   // for errors: the id
  Cell base_cell{};
};

struct Scenario {
  std::vector<u32> kinds;      // frames to open, outermost first
  std::function<void()> send;  // the transfer
};

// Opens the frames (each after pushing two cells, so every frame has its own
// base) and runs the sender; records where the transfer landed.
Landing run(const Scenario& s, std::vector<i32>* bases = nullptr) {
  stack::init();
  auto saved = error::uncaught;
  error::uncaught = throw_uncaught;
  Landing l;
  for (u32 k : s.kinds) {
    make_integer(stack::push(), 1);
    make_integer(stack::push(), 2);
    if (bases) bases->push_back(i32(stack::top - stack::bottom));
    stack::mark(7, 0, k);
  }
  // The sender's own arguments: a value to carry and a name.
  make_integer(stack::push(), 42);
  make_integer(stack::push(), 99);
  try {
    s.send();
    ADD_FAILURE() << "the sender returned";
  } catch (const Transfer& t) {
    l.code = t.code;
    if (t.code == THROW_ERROR) {
      stack::adjust_post_try();
      l.error = error::id_of(stack::base);
    }
  } catch (const UncaughtInTest&) {
    l.uncaught = true;
  }
  l.frames_left = int(stack::ctop - stack::cbottom);
  l.base_index = i32(stack::base - stack::bottom);
  l.top_minus_base = i32(stack::top - stack::base);
  l.base_cell = *stack::base;
  error::uncaught = saved;
  stack::init();
  return l;
}

// The sender runs inside a native frame of its own, as a native would.
std::function<void()> in_native(std::function<void()> f) {
  return [f] {
    Cell* b = stack::base;
    Cell v = b[0], n = b[1];
    stack::mark(8, 0, stack::FRAME_NATIVE);
    stack::push_cell(&v);
    stack::push_cell(&n);
    f();
  };
}

constexpr u32 NATIVE = stack::FRAME_NATIVE, CATCH = stack::FRAME_CATCH, TRY = stack::FRAME_TRY,
              THROWC = stack::FRAME_THROW, LOOP = stack::FRAME_LOOP,
              FUNC = stack::FRAME_FUNCTION | stack::FRAME_FLAG_CTX;

}  // namespace

TEST(Transfer, ErrorsStopAtTheInnermostCatchOrTry) {
  struct Case { std::vector<u32> kinds; bool caught; int frames_left; int landing_frame; };
  const Case cases[] = {
      {{NATIVE, CATCH, NATIVE, NATIVE}, true, 1, 1},
      {{TRY, NATIVE}, true, 0, 0},
      {{TRY, CATCH, NATIVE}, true, 1, 1},
      {{CATCH, TRY, NATIVE}, true, 1, 1},
      {{THROWC, LOOP, NATIVE}, false, 0, 0},
      {{}, false, 0, 0},
  };
  for (const Case& c : cases) {
    std::vector<i32> bases;
    Landing l = run({c.kinds, [] { fire(Err::script_no_value); }}, &bases);
    EXPECT_EQ(l.uncaught, !c.caught);
    if (!c.caught) continue;
    EXPECT_EQ(l.code, THROW_ERROR);
    EXPECT_EQ(l.error, Err::script_no_value);
    EXPECT_EQ(l.frames_left, c.frames_left);
    // The error lands in the base the catching frame was opened on.
    i32 expected = c.landing_frame ? bases[size_t(c.landing_frame - 1)] : 0;
    EXPECT_EQ(l.base_index, expected);
    EXPECT_EQ(l.top_minus_base, 1);
    EXPECT_EQ(runtime::rt.thrown, THROW_ERROR);
  }
}

TEST(Transfer, LoopTransfers) {
  struct Case {
    std::vector<u32> kinds;
    bool cont;
    bool with_value;
    std::optional<Err> error;  // when the transfer turns into an error
    int frames_left;
  };
  const Case cases[] = {
      {{LOOP, NATIVE}, false, false, {}, 1},
      {{LOOP, FUNC, NATIVE}, false, true, {}, 1},   // break passes through functions
      {{LOOP, CATCH, NATIVE}, true, false, {}, 1},  // and through catch frames
      {{LOOP, TRY, NATIVE}, false, false, Err::throw_break, 1},  // a try frame stops it
      {{CATCH, NATIVE}, false, false, Err::throw_break, 0},
      {{CATCH, NATIVE}, true, false, Err::throw_continue, 0},
  };
  for (const Case& c : cases) {
    std::vector<i32> bases;
    Landing l = run({c.kinds, in_native([c] { stack::throw_loop(c.with_value, c.cont); })}, &bases);
    ASSERT_FALSE(l.uncaught);
    if (c.error) {
      EXPECT_EQ(l.code, THROW_ERROR);
      EXPECT_EQ(l.error, *c.error);
      EXPECT_EQ(l.frames_left, c.frames_left);
      continue;
    }
    EXPECT_EQ(l.code, c.cont ? THROW_CONTINUE : THROW_BREAK);
    EXPECT_EQ(l.frames_left, c.frames_left) << "the loop frame stays open";
    EXPECT_EQ(l.base_index, bases[0]) << "base is the loop frame's own base";
    EXPECT_EQ(l.top_minus_base, 0);
    if (c.with_value && !c.cont) {
      EXPECT_EQ(type_of(&l.base_cell), TYPE_INTEGER);
      EXPECT_EQ(int_of(&l.base_cell), 42);
    } else {
      EXPECT_EQ(type_of(&l.base_cell), TYPE_UNSET);
    }
  }
}

TEST(Transfer, ReturnAndExit) {
  struct Case {
    std::vector<u32> kinds;
    bool with_value;
    std::optional<Err> error;
    int frames_left;
  };
  const Case cases[] = {
      {{NATIVE, FUNC, NATIVE}, true, {}, 2},
      {{FUNC, LOOP, NATIVE}, false, {}, 1},          // return leaves loops too
      {{FUNC, TRY, NATIVE}, true, Err::throw_return, 1},
      {{CATCH, NATIVE}, true, Err::throw_return, 0},
  };
  for (const Case& c : cases) {
    std::vector<i32> bases;
    Landing l = run({c.kinds, in_native([c] { stack::throw_value(c.with_value, false); })}, &bases);
    ASSERT_FALSE(l.uncaught);
    if (c.error) {
      EXPECT_EQ(l.error, *c.error);
      EXPECT_EQ(l.frames_left, c.frames_left);
      continue;
    }
    EXPECT_EQ(l.code, c.with_value ? THROW_RETURN : THROW_EXIT);
    EXPECT_EQ(l.frames_left, c.frames_left);
    EXPECT_EQ(l.base_index, bases[size_t(c.frames_left - 1)]) << "the function frame's own base";
    if (c.with_value) EXPECT_EQ(int_of(&l.base_cell), 42);
    else EXPECT_EQ(type_of(&l.base_cell), TYPE_UNSET);
  }
}

// A transfer whose target was chosen earlier (a status sent on from C++ code)
// lands on that frame, even when a nearer frame would take the same kind.
TEST(Transfer, SentToAChosenFrame) {
  struct Case {
    u32 code;
    int target;  // frame index from the bottom
    bool carries;
  };
  const Case cases[] = {
      {THROW_RETURN, 0, true},   // past the nearer function frame
      {THROW_EXIT, 1, false},
      {THROW_BREAK, 2, true},
      {THROW_CONTINUE, 2, false},
  };
  for (const Case& c : cases) {
    std::vector<i32> bases;
    Landing l = run({{FUNC, FUNC, LOOP, NATIVE}, in_native([c] {
                       Cell v;
                       make_integer(&v, 42);
                       stack::throw_to(c.code, stack::cbottom + c.target, &v);
                     })},
                    &bases);
    ASSERT_FALSE(l.uncaught);
    EXPECT_EQ(l.code, c.code);
    EXPECT_EQ(l.frames_left, c.target + 1) << "the target frame stays open";
    EXPECT_EQ(l.base_index, bases[size_t(c.target)]);
    if (c.carries) EXPECT_EQ(int_of(&l.base_cell), 42);
    else EXPECT_EQ(type_of(&l.base_cell), TYPE_UNSET);
  }
  // A target that is no longer open is a throw error, not a landing.
  Landing gone = run({{CATCH, FUNC, NATIVE}, in_native([] {
                        Cell v;
                        make_unset(&v);
                        interp::send_status_to_target(THROW_EXIT, 5, &v);
                      })});
  EXPECT_EQ(gone.error, Err::throw_return);
}

TEST(Transfer, ThrowAndItsCatchers) {
  std::vector<i32> bases;
  Landing l = run({{NATIVE, THROWC, LOOP, FUNC, NATIVE},
                   in_native([] { stack::throw_return(THROW_THROW); })},
                  &bases);
  EXPECT_EQ(l.code, THROW_THROW);
  EXPECT_EQ(l.frames_left, 2) << "the throw catcher stays open";
  EXPECT_EQ(l.base_index, bases[1]);
  EXPECT_EQ(l.top_minus_base, 2) << "the thrown value and the name are pushed";
  EXPECT_EQ(int_of(&l.base_cell), 42);

  for (u32 stopper : {TRY, CATCH}) {
    Landing e = run({{THROWC, stopper, NATIVE}, in_native([] { stack::throw_return(THROW_THROW); })});
    if (stopper == TRY) {
      EXPECT_EQ(e.error, Err::throw_throw) << "a try frame turns the throw into an error";
    } else {
      EXPECT_EQ(e.code, THROW_THROW) << "a catch frame lets the throw pass";
    }
  }
  Landing none = run({{CATCH, NATIVE}, in_native([] { stack::throw_return(THROW_THROW); })});
  EXPECT_EQ(none.error, Err::throw_throw);
}

TEST(Transfer, ErrorKeepsAWhereThatIsAlreadySet) {
  stack::init();
  stack::mark(7, 0, CATCH);
  Cell* err = stack::push();
  error::create(err, Err::script_no_value, nullptr, nullptr, nullptr);
  make_integer(error::field(err, error::F_WHERE), 5);
  try {
    stack::throw_error(err);
  } catch (const Transfer&) {
    stack::adjust_post_try();
    EXPECT_EQ(type_of(error::field(stack::base, error::F_WHERE)), TYPE_INTEGER);
    EXPECT_EQ(int_of(error::field(stack::base, error::F_WHERE)), 5);
    EXPECT_EQ(type_of(error::field(stack::base, error::F_STACK)), TYPE_INTEGER);
  }
  stack::init();
}

TEST(Transfer, NestedCatchingPointsInOneRoutine) {
  stack::init();
  int outer = 0, inner = 0;
  stack::mark(7, 0, CATCH);
  try {
    stack::mark(7, 0, CATCH);
    try {
      fire(Err::script_no_value);
    } catch (const Transfer&) {
      ++inner;
    }
    fire(Err::script_need_value);
  } catch (const Transfer&) {
    stack::adjust_post_try();
    EXPECT_EQ(error::id_of(stack::base), Err::script_need_value);
    ++outer;
  }
  EXPECT_EQ(inner, 1);
  EXPECT_EQ(outer, 1);
  stack::init();
}

TEST(Stack, OverflowOfCallsAndArgumentsIsCatchableAndRecoverable) {
  for (bool calls : {true, false}) {
    stack::init();
    stack::mark(7, 0, CATCH);
    Cell* top_before = nullptr;
    int opened = 0;
    std::optional<Err> got;
    try {
      for (;;) {
        top_before = stack::top;
        if (calls) {
          stack::mark(7, 0, NATIVE);
          ++opened;
        } else {
          make_none(stack::push());
        }
      }
    } catch (const Transfer&) {
      stack::adjust_post_try();
      got = error::id_of(stack::base);
    }
    EXPECT_EQ(got, Err::internal_stack_overflow);
    if (calls) {
      EXPECT_EQ(opened, int(stack::CALL_FRAMES) - 1) << "the 12,001st frame fails";
    }
    // The stacks work again afterwards.
    stack::init();
    stack::mark(7, 0, NATIVE);
    make_integer(stack::push(), 3);
    stack::unwind_last();
    EXPECT_EQ(int_of(stack::last()), 3);
    (void)top_before;
    stack::init();
  }
}

TEST(Stack, PopNeverGoesBelowTheBottomAndUnrollStopsAtTry) {
  stack::init();
  make_none(stack::push());
  stack::pop(5);
  EXPECT_EQ(stack::top, stack::bottom);
  EXPECT_EQ(stack::last(), stack::bottom);

  stack::mark(7, 0, NATIVE);
  stack::mark(7, 0, TRY);
  make_none(stack::push());
  stack::mark(7, 0, NATIVE);
  stack::unroll_to(LOOP, true);  // no loop frame: stops at the try frame
  EXPECT_EQ(stack::ctop - stack::cbottom, 2);
  stack::init();
  stack::mark(7, 0, NATIVE);
  stack::unroll_to(LOOP, false);
  EXPECT_EQ(stack::base, stack::bottom);
  EXPECT_EQ(stack::top, stack::bottom);
  stack::init();
}

TEST(Stack, FunctionContextsAreRestoredForRecursion) {
  // A context record whose values pointer moves with each call.
  u32 ctx = mem::alloc_cells(2);
  mem::Buffer* b = mem::buffer_of(ctx);
  Cell* rec = b->cells();
  rec->header = TYPE_CONTEXT | 0x400000;
  context::set_record_table(rec, 0);
  context::set_record_values(rec, 0);
  make_unset(rec + 1);
  b->tail = b->head + 2 * sizeof(Cell);
  stack::init();
  Cell word{TYPE_WORD, 0, 7, 0};
  stack::mark_func(&word, ctx);
  make_integer(stack::push(), 1);  // outer call's argument
  stack::mark_native_ctx(&word, ctx);
  u32 outer_values = context::record_values(context::record_cell(ctx));
  stack::mark_func(&word, ctx);
  make_integer(stack::push(), 2);
  stack::mark_native_ctx(&word, ctx);
  EXPECT_NE(context::record_values(context::record_cell(ctx)), outer_values);
  stack::unwind();       // inner body
  stack::unwind_func();  // inner call
  EXPECT_EQ(context::record_values(context::record_cell(ctx)), outer_values) << "the outer call's values are back";
  EXPECT_EQ(int_of(stack::bottom + context::record_values(context::record_cell(ctx)) - 1), 1);
  stack::init();
}

}  // namespace transfer_test
