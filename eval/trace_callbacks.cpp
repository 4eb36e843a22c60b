// Tracing around callbacks and unwinding: which kinds of callback are traced
// (the bits of system/state/callbacks/bits), and the events fired while an
// unwinding is in flight (epilog of a body being left, end of a trace run).
#include "datatypes/object.hpp"
#include "eval/interpreter.hpp"
#include "datatypes/context.hpp"
#include "runtime/error.hpp"
#include "runtime/roots.hpp"
#include "runtime/startup.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::interp {

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

}  // namespace qel::interp
