// Natives whose families are not built yet: they raise internal not-done.
#include "eval/natives.hpp"
#include "runtime/error.hpp"

namespace qel::natives {

interp::Status dehex(const i32*) { fire(Err::internal_not_done); }
interp::Status enhex(const i32*) { fire(Err::internal_not_done); }
interp::Status debase(const i32*) { fire(Err::internal_not_done); }
interp::Status checksum(const i32*) { fire(Err::internal_not_done); }
interp::Status enbase(const i32*) { fire(Err::internal_not_done); }
interp::Status list_env(const i32*) { fire(Err::internal_not_done); }
interp::Status call(const i32*) { fire(Err::internal_not_done); }
interp::Status browse(const i32*) { fire(Err::internal_not_done); }
interp::Status compress(const i32*) { fire(Err::internal_not_done); }
interp::Status decompress(const i32*) { fire(Err::internal_not_done); }

}  // namespace qel::natives
