// Natives that make the scalar values: now, as-pair, as-point2D,
// as-point3D and as-money. They read their arguments and answer through the
// native API (runtime/api.hpp).
#include <cmath>

#include "datatypes/date.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/money.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/time.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/natives.hpp"
#include "platform/os.hpp"
#include "runtime/actions.hpp"

namespace qel::natives {

using interp::Status;

namespace {

// Refinements of now, in spec order.
enum NowRef : u32 {
  R_YEAR, R_MONTH, R_DAY, R_TIME, R_ZONE, R_DATE, R_WEEKDAY, R_YEARDAY, R_PRECISE, R_UTC
};

double coordinate(const Cell* c) {
  return type_of(c) == TYPE_INTEGER ? double(int_of(c)) : float_of(c);
}

// A field of a date through date!'s path handler (the value is pushed).
Cell* date_field(Cell* date, const char* name) {
  Cell word = *intern_word(name);
  PathStep step{nullptr, 0, true, false, false};
  auto h = reinterpret_cast<act::EvalPath>(types::table[TYPE_DATE][ACT_eval_path]);
  return h(date, &word, nullptr, step);
}

}  // namespace

Status now(const i32* refs) {
  api::Args a(refs);
  // At most one part; /time goes with /precise.
  int parts = 0;
  for (u32 k = R_YEAR; k <= R_PRECISE; ++k) parts += a.ref(k) ? 1 : 0;
  if (parts > 1 && !(parts == 2 && a.ref(R_TIME) && a.ref(R_PRECISE))) {
    fire(Err::script_bad_refines);
  }
  platform::DateTime t = platform::now(a.ref(R_UTC));
  double seconds = a.ref(R_PRECISE) ? t.seconds : std::floor(t.seconds);
  if (a.ref(R_YEAR)) return a.answer(integer::push(t.year));
  if (a.ref(R_MONTH)) return a.answer(integer::push(t.month));
  if (a.ref(R_DAY)) return a.answer(integer::push(t.day));
  if (a.ref(R_TIME)) return a.answer(time::push(seconds));
  if (a.ref(R_ZONE)) return a.answer(time::push(double(t.offset - t.offset % 900)));
  // The zone as the C library gives it (daylight saving included), cut to
  // quarter hours as the date keeps it.
  api::Values date(1);
  Cell* d = date[0];
  date::make_at(d, t.year, t.month, t.day, seconds, i32(t.offset / 3600),
                i32((t.offset % 3600) / 60), true);
  if (a.ref(R_DATE)) return a.answer(date_field(d, "date"));
  if (a.ref(R_WEEKDAY)) return a.answer(date_field(d, "weekday"));
  if (a.ref(R_YEARDAY)) return a.answer(date_field(d, "yearday"));
  return a.answer(d);
}

Status as_pair(const i32* refs) {
  api::Args a(refs);
  i32 v[2];
  for (u32 i = 0; i < 2; ++i) {
    const Cell* c = a.arg(i);
    if (type_of(c) == TYPE_INTEGER) {
      v[i] = int_of(c);
    } else {
      if (std::isinf(float_of(c))) fire(Err::script_invalid_arg, c);
      v[i] = integer::truncate(float_of(c));
    }
  }
  return a.answer(pair::push(v[0], v[1]));
}

Status as_point2d(const i32* refs) {
  api::Args a(refs);
  return a.answer(point::push_2d(float(coordinate(a.arg(0))), float(coordinate(a.arg(1)))));
}

Status as_point3d(const i32* refs) {
  api::Args a(refs);
  return a.answer(point::push_3d(float(coordinate(a.arg(0))), float(coordinate(a.arg(1))),
                                 float(coordinate(a.arg(2)))));
}

Status as_money(const i32* refs) {
  api::Args a(refs);
  i32 currency = money::currency_index(word::symbol_of(a.arg(0)));
  if (currency < 0) fire(Err::script_bad_denom, a.arg(0));
  const Cell* amount = a.arg(1);
  Cell* m = type_of(amount) == TYPE_INTEGER ? money::from_integer(int_of(amount))
                                            : money::from_float(float_of(amount), false);
  money::make_at(m, money::amount(m), u32(currency));
  return a.answer(m);
}

}  // namespace qel::natives
