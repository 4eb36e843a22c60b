// OS natives: child processes (call), the desktop opener (browse) and the
// environment map (list-env). Each checks its arguments and hands the work
// to the io layer.
#include "runtime/api.hpp"
#include "eval/natives.hpp"
#include "io/os.hpp"
#include "io/process.hpp"
#include "runtime/error.hpp"

namespace qel::natives {

using api::Args;
using interp::Status;

Status call(const i32* refs) {
  Args a(refs);
  // Refinements: /wait /show /console /shell /input in /output out /error err.
  if (a.ref(2)) fire(Err::internal_not_done);
  i64 r = io::process::call(a.arg(0), a.ref(0), a.ref(3), a.ref_arg(4), a.ref_arg(5), a.ref_arg(6));
  Cell result;
  make_integer(&result, r > 0x7FFFFFFF ? -1 : i32(r));
  return a.answer(&result);
}

Status browse(const i32* refs) {
  Args a(refs);
  io::process::browse(a.arg(0));
  Cell result;
  return a.answer(make_unset(&result));
}

}  // namespace qel::natives

namespace qel::natives {

Status list_env(const i32* refs) {
  Args a(refs);
  return a.answer(io::os::env_map());
}

}  // namespace qel::natives
