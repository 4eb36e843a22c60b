#include "eval/transfers.hpp"

#include "eval/interpreter.hpp"
#include "runtime/startup.hpp"

namespace qel::interp {

void send_status_to_target(Status st, i32 target, const Cell* value) {
  if (target < 0 || stack::cbottom + target >= stack::ctop) raise_stray(st);
  Cell v = *value;
  stack::throw_to(st, stack::cbottom + target, &v);
}

bool landed_return(const Transfer& t, const stack::Frame* f) {
  return f && (t.code == THROW_RETURN || t.code == THROW_EXIT) && stack::ctop - 1 == f;
}

Status resume_landed(const Transfer& t, const stack::Snapshot& own) {
  runtime::rt.thrown = 0;
  i32 target = i32(stack::ctop - 1 - stack::cbottom);
  // The sender left the carried value in the landed frame's base cell; the
  // cells up to the native's result cell were not touched since.
  Cell carried = *stack::base;
  own.restore();
  stack::keep();
  return start_unwind(t.code, target, t.code == THROW_RETURN ? &carried : nullptr);
}

Err stray_error(u32 code) {
  switch (code) {
    case THROW_BREAK: return Err::throw_break;
    case THROW_CONTINUE: return Err::throw_continue;
    case THROW_THROW: return Err::throw_throw;
    default: return Err::throw_return;
  }
}

void raise_stray(u32 code) { fire(stray_error(code)); }

}  // namespace qel::interp
