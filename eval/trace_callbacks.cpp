// Tracing: trace runs, the events reported to the callback, which kinds of
// callback are traced (the bits of system/state/callbacks/bits), and the
// events fired while an unwinding is in flight (epilog of a body being left,
// end of a trace run).
#include <algorithm>

#include "datatypes/object.hpp"
#include "eval/interpreter.hpp"
#include "eval/interpreter_internal.hpp"
#include "runtime/api.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/context.hpp"
#include "runtime/error.hpp"
#include "runtime/roots.hpp"
#include "runtime/startup.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::interp {

using namespace detail;

u32 traced_callbacks() {
  if (!error::state_context) return 0;
  i32 ci = context::find_word(error::state_context, symbol::make("callbacks"), true);
  if (ci < 0) return 0;
  const Cell* callbacks = context::slot(error::state_context, u32(ci));
  if (!callbacks || type_of(callbacks) != TYPE_OBJECT) return 0;
  u32 ctx = object::context_of(callbacks);
  i32 bi = context::find_word(ctx, symbol::make("bits"), true);
  if (bi < 0) return 0;
  const Cell* bits = context::slot(ctx, u32(bi));
  return bits && type_of(bits) == TYPE_INTEGER ? u32(int_of(bits)) : 0;
}

void fire_event_unwinding(u32 event, const Cell* code, i32 offset, const Cell* ref,
                          const Cell* value) {
  // The callback may itself return, throw or raise and catch: what the
  // unwinding in flight carries is kept aside meanwhile.
  roots::LocalCell carried;
  copy_cell(pending_value(), carried.get());
  i32 target = pending_target;
  u32 thrown = runtime::rt.thrown;
  const stack::Snapshot entry;
  if (!thrown) {
    fire_event(event, code, offset, ref, value);
  } else {
    // A transfer sent as an exception has already closed the frames up to
    // the one that takes it, catch and try frames included: an error the
    // callback raised now would find nothing to catch it and end the
    // process. The callback runs inside a try frame of its own; what it
    // raises or throws is dropped and the transfer in flight goes on. With
    // no room left for that frame (a stack overflow in flight) the event is
    // not reported.
    //
    // A return's or a break's value lies in the base cell with nothing above
    // it: the callback runs above that cell.
    if (stack::top == stack::base) stack::push_cell(stack::base);
    if (stack::cend - stack::ctop > 1 && stack::end - stack::top > 8) {
      stack::mark(words::cell(words::W_BODY_TAG), stack::FRAME_TRY);
      try {
        fire_event(event, code, offset, ref, value);
      } catch (const Transfer&) {
        // Dropped: see above.
      }
    }
  }
  entry.restore();
  runtime::rt.thrown = thrown;
  pending_target = target;
  copy_cell(carried.get(), pending_value());
}


// ---------------------------------------------------------------------------
// Tracing

namespace {
// The words that name the trace events, by bit number.
const char* const kEventNames[] = {"init", "end", "prolog", "epilog", "enter", "exit",
                                   "open", "return", "fetch", "push", "set", "call",
                                   "error", "throw", "catch", "expr"};
}  // namespace

u32 trace_mask(const Cell* fn) {
  if (type_of(fn) != TYPE_FUNCTION) return 0x1FFFF;
  Cell body = *more_cell(fn, MORE_BODY);
  if (type_of(&body) != TYPE_BLOCK) return 0x1FFFF;
  u32 node = series_node(&body);
  u32 n = buffer_of(node)->used() / sizeof(Cell);
  u32 idx = u32(series_index(&body));
  if (idx >= n || type_of(buffer_of(node)->cells() + idx) != TYPE_BLOCK) return 0x1FFFF;
  Cell events = *(buffer_of(node)->cells() + idx);
  u32 en = series_node(&events);
  u32 count = buffer_of(en)->used() / sizeof(Cell);
  u32 mask = 0;
  for (u32 i = u32(series_index(&events)); i < count; ++i) {
    Cell* c = buffer_of(en)->cells() + i;
    if (type_of(c) != TYPE_WORD) continue;
    u32 sym = symbol::resolve(word::symbol_of(c));
    for (u32 b = 0; b < 16; ++b) {
      if (symbol::resolve(symbol::make(kEventNames[b])) == sym) mask |= 1u << b;
    }
  }
  return mask;
}

bool tracing() { return (trace || g_trace_held) && !trace_held; }

void trace_start(const Cell* callback) {
  copy_cell(callback, g_trace_callback);
  g_trace_mask = trace_mask(callback);
  g_callback_locals = 0;
  trace = true;
  trace_run = true;
  trace_held = false;
  fire_event(EV_INIT, nullptr, -1, nullptr, nullptr);
}

void trace_end() {
  trace_held = false;  // the callback always sees the end of its run
  fire_event_unwinding(EV_END, nullptr, -1, nullptr, nullptr);
  make_none(g_trace_callback);
  trace = false;
  trace_run = false;
}

void fire_event(u32 event, const Cell* code, i32 offset, const Cell* ref, const Cell* value) {
  if (!trace || trace_held || !(g_trace_mask & event) ||
      type_of(g_trace_callback) != TYPE_FUNCTION)
    return;
  u32 bit = 0;
  while (bit < 16 && !(event & (1u << bit))) ++bit;
  Cell args[6];
  copy_cell(intern_word(kEventNames[bit]), &args[0]);
  if (code) copy_cell(code, &args[1]); else make_none(&args[1]);
  make_integer(&args[2], code ? offset : -1);
  if (value && type_of(value) != TYPE_NO_TYPE) copy_cell(value, &args[3]); else make_none(&args[3]);
  bool with_ref = event == EV_SET || event == EV_EPILOG || event == EV_PROLOG ||
                  event == EV_RETURN || event == EV_CALL;
  if (with_ref && ref) copy_cell(ref, &args[4]); else make_none(&args[4]);
  pair::make_at(&args[5], i32(stack::index_of(stack::base)), i32(stack::index_of(stack::top)));
  // The callback runs untraced, in the stacks' reserve (so that tracing does
  // not change the depth at which the program overflows); invoke leaves the
  // stacks as they were.
  struct Reserve {
    Cell* end = stack::end;
    stack::Frame* cend = stack::cend;
    Reserve() {
      // (never below a limit already raised, as while a stack overflow is raised)
      stack::end = std::max(stack::end, stack::bottom + stack::ARGS_CELLS + stack::ARGS_RESERVE);
      stack::cend = std::max(stack::cend, stack::cbottom + stack::CALL_FRAMES + stack::FRAMES_RESERVE);
      trace = false;
    }
    ~Reserve() {
      stack::end = end;
      stack::cend = cend;
      trace = true;
    }
  };
  Cell ignored;
  Status st;
  {
    Reserve in_reserve;
    // The callback gets the values as they are (an unset result included),
    // whatever its spec says of their types.
    api::CallOptions o;
    o.check_types = false;
    st = api::invoke(g_trace_callback, args, 6, &ignored, o);
  }
  api::check(st);
}

}  // namespace qel::interp
