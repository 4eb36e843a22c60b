// Natives whose families are not built yet: they raise internal not-done.
#include "eval/natives.hpp"
#include "runtime/error.hpp"

namespace qel::natives {

interp::Status list_env(const i32*) { fire(Err::internal_not_done); }

}  // namespace qel::natives
