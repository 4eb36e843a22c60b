// Natives that make the scalar values: now, as-pair, as-point2D,
// as-point3D and as-money.
#include <cmath>

#include "datatypes/date.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/money.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/time.hpp"
#include "datatypes/word.hpp"
#include "eval/natives.hpp"
#include "platform/os.hpp"
#include "runtime/actions.hpp"
#include "runtime/stack.hpp"

namespace qel::natives {

using interp::Status;

namespace {

// Refinements of now, in spec order.
enum NowRef { R_YEAR, R_MONTH, R_DAY, R_TIME, R_ZONE, R_DATE, R_WEEKDAY, R_YEARDAY, R_PRECISE, R_UTC };

Status answer(Cell* value) {
  copy_cell(value, stack::base);
  stack::keep();
  return 0;
}

double coordinate(const Cell* c) {
  return type_of(c) == TYPE_INTEGER ? double(int_of(c)) : float_of(c);
}

}  // namespace

Status now(const i32* refs) {
  // At most one part; /time goes with /precise.
  int parts = 0;
  for (int k = R_YEAR; k <= R_PRECISE; ++k) parts += ref(refs, k) ? 1 : 0;
  if (parts > 1 && !(parts == 2 && ref(refs, R_TIME) && ref(refs, R_PRECISE))) {
    fire(Err::script_bad_refines);
  }
  platform::DateTime t = platform::now(ref(refs, R_UTC));
  double seconds = ref(refs, R_PRECISE) ? t.seconds : std::floor(t.seconds);
  i32 zone_hours = i32(t.offset / 3600);
  i32 zone_minutes = i32((t.offset % 3600) / 60);
  Cell d;
  d.header = 0;
  date::make_at(&d, t.year, t.month, t.day, seconds, zone_hours, zone_minutes, true);
  auto field = [&](const char* name) {
    Cell word = *intern_word(name);
    PathStep step{nullptr, 0, true, false, false};
    auto h = reinterpret_cast<act::EvalPath>(types::table[TYPE_DATE][ACT_eval_path]);
    return answer(h(&d, &word, nullptr, step));
  };
  if (ref(refs, R_YEAR)) return answer(integer::push(t.year));
  if (ref(refs, R_MONTH)) return answer(integer::push(t.month));
  if (ref(refs, R_DAY)) return answer(integer::push(t.day));
  if (ref(refs, R_TIME)) return answer(time::push(seconds));
  if (ref(refs, R_ZONE)) return answer(time::push(double(date::zone_seconds(date::zone_bits(d.w1)))));
  if (ref(refs, R_DATE)) return field("date");
  if (ref(refs, R_WEEKDAY)) return field("weekday");
  if (ref(refs, R_YEARDAY)) return field("yearday");
  return answer(&d);
}

Status as_pair(const i32*) {
  i32 v[2];
  for (u32 i = 0; i < 2; ++i) {
    const Cell* c = stack::base + i;
    if (type_of(c) == TYPE_INTEGER) {
      v[i] = int_of(c);
    } else {
      if (std::isinf(float_of(c))) fire(Err::script_invalid_arg, c);
      v[i] = integer::truncate(float_of(c));
    }
  }
  return answer(pair::push(v[0], v[1]));
}

Status as_point2d(const i32*) {
  return answer(point::push_2d(float(coordinate(stack::base)), float(coordinate(stack::base + 1))));
}

Status as_point3d(const i32*) {
  return answer(point::push_3d(float(coordinate(stack::base)), float(coordinate(stack::base + 1)),
                               float(coordinate(stack::base + 2))));
}

Status as_money(const i32*) {
  const Cell* word = stack::base;
  i32 currency = money::currency_index(word->w2);
  if (currency < 0) fire(Err::script_bad_denom, word);
  const Cell* amount = stack::base + 1;
  Cell* m = type_of(amount) == TYPE_INTEGER ? money::from_integer(int_of(amount))
                                            : money::from_float(float_of(amount), false);
  money::make_at(m, money::amount(m), u32(currency));
  return answer(m);
}

}  // namespace qel::natives
