// Natives whose families are not built yet: they raise internal not-done.
#include "eval/natives.hpp"
#include "runtime/error.hpp"

namespace qel::natives {

interp::Status as_pair(const i32*) { fire(Err::internal_not_done); }
interp::Status as_point2d(const i32*) { fire(Err::internal_not_done); }
interp::Status as_point3d(const i32*) { fire(Err::internal_not_done); }
interp::Status as_money(const i32*) { fire(Err::internal_not_done); }
interp::Status list_env(const i32*) { fire(Err::internal_not_done); }
interp::Status now(const i32*) { fire(Err::internal_not_done); }
interp::Status call(const i32*) { fire(Err::internal_not_done); }
interp::Status browse(const i32*) { fire(Err::internal_not_done); }

}  // namespace qel::natives
