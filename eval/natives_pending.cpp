// Natives whose families are not built yet: they raise internal not-done.
#include "eval/natives.hpp"
#include "runtime/error.hpp"

namespace qel::natives {

interp::Status while_(const i32*) { fire(Err::internal_not_done); }
interp::Status until(const i32*) { fire(Err::internal_not_done); }
interp::Status loop(const i32*) { fire(Err::internal_not_done); }
interp::Status repeat(const i32*) { fire(Err::internal_not_done); }
interp::Status forever(const i32*) { fire(Err::internal_not_done); }
interp::Status foreach(const i32*) { fire(Err::internal_not_done); }
interp::Status forall(const i32*) { fire(Err::internal_not_done); }
interp::Status remove_each(const i32*) { fire(Err::internal_not_done); }
interp::Status equal_q(const i32*) { fire(Err::internal_not_done); }
interp::Status not_equal_q(const i32*) { fire(Err::internal_not_done); }
interp::Status strict_equal_q(const i32*) { fire(Err::internal_not_done); }
interp::Status lesser_q(const i32*) { fire(Err::internal_not_done); }
interp::Status greater_q(const i32*) { fire(Err::internal_not_done); }
interp::Status lesser_or_equal_q(const i32*) { fire(Err::internal_not_done); }
interp::Status greater_or_equal_q(const i32*) { fire(Err::internal_not_done); }
interp::Status same_q(const i32*) { fire(Err::internal_not_done); }
interp::Status not_(const i32*) { fire(Err::internal_not_done); }
interp::Status type_q(const i32*) { fire(Err::internal_not_done); }
interp::Status stats(const i32*) { fire(Err::internal_not_done); }
interp::Status bind(const i32*) { fire(Err::internal_not_done); }
interp::Status in(const i32*) { fire(Err::internal_not_done); }
interp::Status parse(const i32*) { fire(Err::internal_not_done); }
interp::Status union_(const i32*) { fire(Err::internal_not_done); }
interp::Status intersect(const i32*) { fire(Err::internal_not_done); }
interp::Status unique(const i32*) { fire(Err::internal_not_done); }
interp::Status difference(const i32*) { fire(Err::internal_not_done); }
interp::Status exclude(const i32*) { fire(Err::internal_not_done); }
interp::Status complement_q(const i32*) { fire(Err::internal_not_done); }
interp::Status dehex(const i32*) { fire(Err::internal_not_done); }
interp::Status enhex(const i32*) { fire(Err::internal_not_done); }
interp::Status negative_q(const i32*) { fire(Err::internal_not_done); }
interp::Status positive_q(const i32*) { fire(Err::internal_not_done); }
interp::Status max(const i32*) { fire(Err::internal_not_done); }
interp::Status min(const i32*) { fire(Err::internal_not_done); }
interp::Status shift(const i32*) { fire(Err::internal_not_done); }
interp::Status to_hex(const i32*) { fire(Err::internal_not_done); }
interp::Status sine(const i32*) { fire(Err::internal_not_done); }
interp::Status cosine(const i32*) { fire(Err::internal_not_done); }
interp::Status tangent(const i32*) { fire(Err::internal_not_done); }
interp::Status arcsine(const i32*) { fire(Err::internal_not_done); }
interp::Status arccosine(const i32*) { fire(Err::internal_not_done); }
interp::Status arctangent(const i32*) { fire(Err::internal_not_done); }
interp::Status arctangent2(const i32*) { fire(Err::internal_not_done); }
interp::Status nan_q(const i32*) { fire(Err::internal_not_done); }
interp::Status log_2(const i32*) { fire(Err::internal_not_done); }
interp::Status log_10(const i32*) { fire(Err::internal_not_done); }
interp::Status log_e(const i32*) { fire(Err::internal_not_done); }
interp::Status exp(const i32*) { fire(Err::internal_not_done); }
interp::Status square_root(const i32*) { fire(Err::internal_not_done); }
interp::Status construct(const i32*) { fire(Err::internal_not_done); }
interp::Status value_q(const i32*) { fire(Err::internal_not_done); }
interp::Status uppercase(const i32*) { fire(Err::internal_not_done); }
interp::Status lowercase(const i32*) { fire(Err::internal_not_done); }
interp::Status as_pair(const i32*) { fire(Err::internal_not_done); }
interp::Status as_point2d(const i32*) { fire(Err::internal_not_done); }
interp::Status as_point3d(const i32*) { fire(Err::internal_not_done); }
interp::Status as_money(const i32*) { fire(Err::internal_not_done); }
interp::Status extend(const i32*) { fire(Err::internal_not_done); }
interp::Status debase(const i32*) { fire(Err::internal_not_done); }
interp::Status to_local_file(const i32*) { fire(Err::internal_not_done); }
interp::Status wait(const i32*) { fire(Err::internal_not_done); }
interp::Status checksum(const i32*) { fire(Err::internal_not_done); }
interp::Status unset(const i32*) { fire(Err::internal_not_done); }
interp::Status new_line(const i32*) { fire(Err::internal_not_done); }
interp::Status new_line_q(const i32*) { fire(Err::internal_not_done); }
interp::Status enbase(const i32*) { fire(Err::internal_not_done); }
interp::Status context_q(const i32*) { fire(Err::internal_not_done); }
interp::Status set_env(const i32*) { fire(Err::internal_not_done); }
interp::Status get_env(const i32*) { fire(Err::internal_not_done); }
interp::Status list_env(const i32*) { fire(Err::internal_not_done); }
interp::Status now(const i32*) { fire(Err::internal_not_done); }
interp::Status sign_q(const i32*) { fire(Err::internal_not_done); }
interp::Status as(const i32*) { fire(Err::internal_not_done); }
interp::Status call(const i32*) { fire(Err::internal_not_done); }
interp::Status zero_q(const i32*) { fire(Err::internal_not_done); }
interp::Status size_q(const i32*) { fire(Err::internal_not_done); }
interp::Status browse(const i32*) { fire(Err::internal_not_done); }
interp::Status compress(const i32*) { fire(Err::internal_not_done); }
interp::Status decompress(const i32*) { fire(Err::internal_not_done); }
interp::Status recycle(const i32*) { fire(Err::internal_not_done); }

}  // namespace qel::natives
