#include "datatypes/date.hpp"

#include <cmath>
#include <string>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/locale.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/time.hpp"
#include "datatypes/word.hpp"
#include "runtime/random.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::date {

namespace {

constexpr double DAY = 86400.0;
constexpr i64 EPOCH_DAYS = 719468;  // day number of 1-Jan-1970

using float_::raise_with_type;

[[noreturn]] void raise_bad_make(const Cell* spec) { float_::raise_bad_to(TYPE_DATE, spec); }

i64 mod7(i64 v) { return ((v % 7) + 7) % 7; }

Cell* set(Cell* c, u32 w, double time) {
  c->header = (c->header & FLAG_NEW_LINE) | TYPE_DATE;
  set_packed(c, w);
  set_float_payload(c, time);
  return c;
}

// The packed word with its day number changed (zone and time flag kept).
void set_days(Cell* c, i64 days) { set_packed(c, from_days(days, zone_bits(packed(c)), has_time(packed(c)))); }

i64 year_start(u32 w) { return to_days((w & ~0xFF80u) | (1u << 12) | (1u << 7)); }

// Day number of the Monday of ISO week 1 of year y, and the weekday of its
// 1 January (1 Monday .. 7 Sunday).
i64 march_first(i64 y);  // day number of 1 March of year y
i64 week_one_start_of(i64 y, i32* jan1_weekday) {
  i64 j = march_first(y - 1) + 306;  // 1 January: ten months after 1 March
  i64 wd = mod7(j + 2);
  if (jan1_weekday) *jan1_weekday = i32(wd + 1);
  return j - wd + (wd >= 4 ? 7 : 0);
}
i64 week_one_start(u32 w, i32* jan1_weekday) { return week_one_start_of(year(w), jan1_weekday); }

// The packed word with another year; a year the word cannot hold raises
// script type-limit instead of wrapping into the other fields.
u32 with_year(u32 w, i64 y) {
  if (y < -16384 || y > 16383) raise_with_type(Err::script_type_limit, TYPE_DATE);
  return (w & 0x1FFFFu) | (u32(i32(y)) << 17);
}

i32 iso_week(u32 w) {
  i64 days = to_days(w);
  i32 jan1;
  i64 s = week_one_start(w, &jan1);
  if (days < s) {
    if (jan1 == 5) return 53;
    if (jan1 == 6 && leap_year_q(year(w) - 1)) return 53;
    return 52;
  }
  i64 next = week_one_start_of(year(w) + 1, nullptr);
  if (days >= next) return 1;
  return i32((days - s) / 7 + 1);
}

// Sunday-based week of the year, week 1 holding 1 January.
i32 sunday_week(u32 w) {
  i64 ys = year_start(w);
  i64 e = mod7(ys + 3);
  i64 d = to_days(w) - ys + 1;
  return d <= 7 - e ? 1 : i32((d + e - 1) / 7 + 1);
}

void set_month(Cell* c, i64 n) {
  // Floor division: month 0 is December and month -11 January of the year
  // before, month -12 December two years before.
  i64 k = n - 1;
  i64 years = k >= 0 ? k / 12 : -((-k + 11) / 12);
  i64 m = k - years * 12 + 1;
  u32 w = packed(c);
  i64 y = year(w) + years;
  u32 nw = (w & ~(0xFu << 12)) | (u32(m) << 12);
  nw = with_year(nw, y);
  set_days(c, to_days(nw));
}

// ---- fields -------------------------------------------------------------------------

enum Field : i32 {
  F_DATE = 1, F_YEAR, F_MONTH, F_DAY, F_ZONE, F_TIME, F_HOUR, F_MINUTE, F_SECOND, F_WEEKDAY,
  F_YEARDAY, F_TIMEZONE, F_WEEK, F_ISOWEEK,
};
constexpr const char* kFieldNames[] = {
    "date", "year", "month", "day", "zone", "time", "hour", "minute", "second", "weekday",
    "yearday", "timezone", "week", "isoweek"};

i32 field_index(const Cell* element) {
  if (type_of(element) == TYPE_INTEGER) {
    i32 i = int_of(element);
    return i >= 1 && i <= 14 ? i : 0;
  }
  if (!is_any_word_type(type_of(element))) return 0;
  // By spelling, without case: interning a name here could allocate while
  // the caller holds the date's cell.
  std::string_view name = symbol::name(word::symbol_of(element));
  auto same = [name](const char* field) {
    std::size_t n = std::char_traits<char>::length(field);
    if (name.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      char c = name[i];
      if ((c >= 'A' && c <= 'Z' ? char(c + 32) : c) != field[i]) return false;
    }
    return true;
  };
  for (i32 i = 0; i < 14; ++i) {
    if (same(kFieldNames[i])) return i + 1;
  }
  return same("julian") ? F_YEARDAY : 0;
}

Cell* get_field(const Cell* c, i32 f) {
  u32 w = packed(c);
  switch (f) {
    case F_DATE: {
      Cell* r = stack::push();
      return set(make_none(r), w & ~(TIME_FLAG | ZONE_MASK), 0.0);
    }
    case F_YEAR: return integer::push(year(w));
    case F_MONTH: return integer::push(month(w));
    case F_DAY: return integer::push(day(w));
    case F_ZONE: case F_TIMEZONE:
      if (!has_time(w)) return make_none(stack::push());
      return time::push(double(zone_seconds(zone_bits(w))));
    case F_TIME:
      if (!has_time(w)) return make_none(stack::push());
      return time::push(local_time(c));
    case F_HOUR: return integer::push(i32(local_time(c) / 3600.0));
    case F_MINUTE: return integer::push(time::get_minutes(local_time(c)));
    case F_SECOND: return float_::push(std::fmod(local_time(c), 60.0));
    case F_WEEKDAY: return integer::push(i32(mod7(to_days(w) + 2) + 1));
    case F_YEARDAY: return integer::push(i32(to_days(w) - year_start(w) + 1));
    case F_WEEK: return integer::push(sunday_week(w));
    default: return integer::push(iso_week(w));
  }
}

// Zone bits of a zone value: integer hours or a time!. Beyond 15:45 either
// way raises the bad-make error (it would not fit the zone bits).
u32 zone_of_value(const Cell* v) {
  if (type_of(v) == TYPE_INTEGER) {
    i32 h = int_of(v);
    if (h < -15 || h > 15) raise_bad_make(v);
    return zone_from(h, 0);
  }
  double t = float_of(v);
  if (!(std::fabs(t) < 16.0 * 3600.0)) raise_bad_make(v);
  i32 total_minutes = i32(std::trunc(t / 60.0));
  i32 h = total_minutes / 60;
  i32 m = total_minutes % 60;
  return zone_from(h, m);
}

// Stores a local time of day for the date's zone and normalises.
void store_local(Cell* c, double local) {
  i64 days = to_days(packed(c));
  double t = local - zone_seconds(zone_bits(packed(c)));
  set_packed(c, packed(c) | TIME_FLAG);
  normalize(days, t, zone_bits(packed(c)));
  set_days(c, days);
  set_float_payload(c, t);
}

void set_field(Cell* c, i32 f, const Cell* v) {
  Type vt = type_of(v);
  bool integer_field = f == F_YEAR || f == F_MONTH || f == F_DAY || f == F_WEEKDAY ||
                       f == F_YEARDAY || f == F_WEEK || f == F_ISOWEEK;
  if (integer_field && vt != TYPE_INTEGER) fire(Err::script_invalid_arg, v);
  u32 w = packed(c);
  i64 n = vt == TYPE_INTEGER ? int_of(v) : 0;
  switch (f) {
    case F_DATE:
      if (vt != TYPE_DATE) fire(Err::script_invalid_arg, v);
      set_packed(c, (packed(v) & ~ZONE_MASK) | zone_bits(w));
      // The own stored time is kept; normalising keeps the invariant.
      if (has_time(packed(c))) store_local(c, local_time(c));
      return;
    case F_YEAR: set_days(c, to_days(with_year(w, n))); return;
    case F_MONTH: set_month(c, n); return;
    case F_DAY: set_days(c, to_days((w & ~(31u << 7)) | (1u << 7)) - 1 + n); return;
    case F_ZONE: case F_TIMEZONE: {
      if (vt != TYPE_INTEGER && vt != TYPE_TIME) fire(Err::script_invalid_arg, v);
      u32 z = zone_of_value(v);
      if (f == F_ZONE) {
        double local = local_time(c);
        set_packed(c, (w & ~ZONE_MASK) | z);
        store_local(c, local);
      } else {
        // The instant stays: the local date and time follow the new zone.
        i64 days = to_days(w);
        double t = stored_time(c);
        normalize(days, t, z);
        set_packed(c, from_days(days, z, true));
        set_float_payload(c, t);
      }
      return;
    }
    case F_TIME:
      if (vt == TYPE_NONE) {
        set_packed(c, packed(c) & ~TIME_FLAG);
        set_float_payload(c, 0.0);
        return;
      }
      if (vt != TYPE_TIME) fire(Err::script_invalid_arg, v);
      store_local(c, float_of(v));
      return;
    case F_HOUR: case F_MINUTE: case F_SECOND: {
      if (vt != TYPE_INTEGER && !(f == F_SECOND && vt == TYPE_FLOAT)) {
        fire(Err::script_invalid_arg, v);
      }
      // The local time of day with the field set by time!'s rules.
      Cell t;
      time::make_at(local_time(c), init_header(&t, TYPE_TIME));
      auto h = reinterpret_cast<act::EvalPath>(types::table[TYPE_TIME][ACT_eval_path]);
      Cell element, value = *v;
      make_integer(&element, f - F_HOUR + 1);
      PathStep step{nullptr, 0, true, false, false};
      h(&t, &element, &value, step);
      store_local(c, float_of(&t));
      return;
    }
    case F_WEEKDAY: {
      i64 days = to_days(w);
      set_days(c, days - mod7(days + 2) + n - 1);
      return;
    }
    case F_YEARDAY: set_days(c, year_start(w) + n - 1); return;
    case F_WEEK: {
      i64 ys = year_start(w);
      if (n <= 1) {
        set_days(c, ys);
      } else {
        set_days(c, ys + 7 * n - mod7(ys + 3) - 7);
      }
      return;
    }
    default: set_days(c, week_one_start(w, nullptr) + 7 * (n - 1)); return;
  }
}

Cell* h_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  i32 f = field_index(element);
  if (!f) {
    Cell path;
    if (step.path) copy_cell(step.path, &path); else make_none(&path);
    fire(Err::script_invalid_path, element, &path);
  }
  if (!value) return get_field(parent, f);
  Cell copy = *parent;
  set_field(&copy, f, value);  // nothing is written when the setter raises
  copy_payload(&copy, parent);
  return value;
}

Cell* h_pick(Cell* date, i32, Cell* index_cell) {
  i32 f = field_index(index_cell);
  if (!f) fire(Err::script_out_of_range, index_cell);
  return get_field(date, f);
}

// ---- arithmetic ----------------------------------------------------------------------

void do_math_op(int op) {
  Cell* left = stack::base;
  Cell* right = left + 1;
  Type rt = type_of(right);
  i64 days_delta = 0;
  double seconds = 0.0;
  bool time_flag = has_time(packed(left));
  switch (rt) {
    case TYPE_INTEGER: days_delta = int_of(right); break;
    case TYPE_TIME: seconds = float_of(right); time_flag = true; break;
    case TYPE_DATE:
      if (op == OP_ADD) float_::raise_not_related("add", TYPE_DATE);
      days_delta = to_days(packed(right));
      seconds = stored_time(right);
      break;
    default: raise_with_type(Err::script_invalid_type, rt);
  }
  i64 days = to_days(packed(left)) + (op == OP_ADD ? days_delta : -days_delta);
  double t = stored_time(left) + (op == OP_ADD ? seconds : -seconds);
  u32 zone = zone_bits(packed(left));
  normalize(days, t, zone);
  if (rt == TYPE_DATE) {
    if (days < INT32_MIN || days > INT32_MAX) raise_with_type(Err::script_type_limit, TYPE_INTEGER);
    make_integer(left, i32(days));
    return;
  }
  set_packed(left, from_days(days, zone, time_flag));
  set_float_payload(left, t);
}

void h_add() { do_math_op(OP_ADD); }
void h_subtract() { do_math_op(OP_SUB); }

// ---- compare --------------------------------------------------------------------------

i32 h_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_DATE) return COMPARE_INCOMPARABLE;
  if (op == COMP_SAME) {
    return same_words(a, b, WORD_1 | WORD_2 | WORD_3) ? 0 : 1;
  }
  // By the instant: the day number and the UTC time of day.
  double ia = double(to_days(packed(a))) * DAY + stored_time(a);
  double ib = double(to_days(packed(b))) * DAY + stored_time(b);
  if (op == COMP_STRICT_EQUAL) {
    return ia == ib && (packed(a) & (TIME_FLAG | ZONE_MASK)) == (packed(b) & (TIME_FLAG | ZONE_MASK)) ? 0 : 1;
  }
  return (ia > ib) - (ia < ib);
}

// ---- make and to ---------------------------------------------------------------------------

Cell* from_block(Cell* spec, bool validate) {
  mem::Buffer* b = mem::buffer_of(series_node(spec));
  i64 total = i64(b->used() / sizeof(Cell));
  i64 index = series_index(spec) < 0 ? 0 : series_index(spec);
  i64 n = total > index ? total - index : 0;
  const Cell* items = b->cells() + index;
  // state -> next state by value type (integer, time!, float!); -1 refuses.
  static constexpr signed char kNext[14][3] = {
      {1, -1, -1}, {2, -1, -1}, {3, -1, -1}, {8, 4, -1}, {6, 5, -1}, {-1, -1, -1},
      {7, -1, -1}, {-1, -1, -1}, {9, -1, -1}, {10, -1, 10}, {12, 11, -1}, {-1, -1, -1},
      {13, -1, -1}, {-1, -1, -1}};
  i64 slots[3] = {0, 0, 0};
  i64 hour = 0, minute = 0, isec = 0, zh = 0, zm = 0;
  double fsec = 0.0, time_value = 0.0;
  bool zone_time = false;
  Cell zone_cell;
  int state = 0;
  for (i64 i = 0; i < n; ++i) {
    const Cell* v = items + i;
    Type t = type_of(v);
    int col = t == TYPE_INTEGER ? 0 : t == TYPE_TIME ? 1 : t == TYPE_FLOAT ? 2 : -1;
    int next = col < 0 ? -1 : kNext[state][col];
    if (next < 0) raise_bad_make(spec);
    switch (state) {
      case 0: case 1: case 2: slots[state] = int_of(v); break;
      case 3: if (t == TYPE_INTEGER) hour = int_of(v); else time_value = float_of(v); break;
      case 4: case 10:
        if (t == TYPE_INTEGER) {
          zh = int_of(v);
        } else {
          zone_time = true;
          zone_cell = *v;
        }
        break;
      case 6: case 12: zm = int_of(v); break;
      case 8: minute = int_of(v); break;
      case 9: if (t == TYPE_INTEGER) isec = int_of(v); else fsec = float_of(v); break;
      default: break;
    }
    state = next;
  }
  if (n < 3) raise_bad_make(spec);
  i64 d = slots[0], m = slots[1], y = slots[2];
  if (d > 99 && d > y) std::swap(d, y);
  if (y < -16384 || y > 16383) raise_bad_make(spec);
  // The zone: from a time! or from hours and minutes.
  u32 zone = 0;
  if (zone_time) {
    if (!(std::fabs(float_of(&zone_cell)) < 16.0 * 3600.0)) raise_bad_make(spec);
    zone = zone_of_value(&zone_cell);
  } else if (zh || zm) {
    if (zh < -15 || zh > 15 || zm < 0 || zm > 59) raise_bad_make(spec);
    zone = zone_from(i32(zh), i32(zm));
  }
  double t = 0.0;
  if (state >= 8) {
    t = double(hour) * 3600.0 + double(minute) * 60.0 + (fsec != 0.0 ? fsec : double(isec));
  } else if (state >= 4) {
    t = time_value;
  }
  // Year, then the month (which may carry into the year) on day 1, then the
  // day counted from there, so every part may overflow into the next.
  Cell* out = set(make_none(stack::push()), with_year(1u << 7, y), 0.0);
  set_month(out, m);
  i64 days = to_days(packed(out)) - 1 + d;
  bool time_flag = n > 3;
  set_packed(out, from_days(days, 0, time_flag));
  if (validate) {
    bool fits = year(packed(out)) == y && month(packed(out)) == m && day(packed(out)) == d;
    if (state >= 8) {
      fits = fits && hour >= 0 && hour < 24 && minute >= 0 && minute < 60 &&
             (fsec != 0.0 ? fsec >= 0.0 && fsec < 60.0 : isec >= 0 && isec < 60);
    } else if (state >= 4) {
      fits = fits && t >= 0.0 && t < DAY;
    }
    if (!fits) raise_bad_make(spec);
  }
  set_packed(out, (packed(out) & ~ZONE_MASK) | zone);
  if (time_flag) {
    store_local(out, t);
  }
  return out;
}

Cell* from_epoch(i32 n) {
  i64 days = EPOCH_DAYS + n / 86400;
  double t = double(n % 86400);
  if (n < 0) normalize(days, t, 0);
  return set(make_none(stack::push()), from_days(days, 0, true), t);
}

// make takes a block only (checked); to also takes epoch seconds.
Cell* h_make(Cell*, Cell* spec, Type) {
  switch (type_of(spec)) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: return from_block(spec, true);
    default: raise_bad_make(spec);
  }
}

Cell* h_to(Cell*, Cell* spec, Type) {
  switch (type_of(spec)) {
    case TYPE_DATE: return spec;
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: return from_block(spec, false);
    case TYPE_INTEGER: return from_epoch(int_of(spec));
    default: raise_bad_make(spec);
  }
}

// ---- text --------------------------------------------------------------------------------

void append_two(std::string& s, i32 v) {
  s.push_back(char('0' + v / 10));
  s.push_back(char('0' + v % 10));
}

i32 date_text(Cell* cell, Cell* buffer, i32 limit, bool exact) {
  // A copy: reading the locale may allocate, and the cell may lie in a block.
  Cell own = *cell;
  const Cell* value = &own;
  u32 w = packed(value);
  i32 m = month(w);
  // The month name: the first three characters of the locale's entry.
  u32 name[3] = {0, 0, 0};
  u32 name_length = 0;
  Cell* months = locale::field("months");
  bool ok = (!months || type_of(months) == TYPE_BLOCK) && m >= 1 && m <= 12;
  if (!months && ok) {
    // Before the system object exists (start-up, the runtime's own tests)
    // the English names stand in.
    static constexpr const char* kNames = "JanFebMarAprMayJunJulAugSepOctNovDec";
    for (u32 i = 0; i < 3; ++i) name[name_length++] = u8(kNames[(m - 1) * 3 + i]);
  } else if (ok) {
    mem::Buffer* b = mem::buffer_of(series_node(months));
    i64 count = i64(b->used() / sizeof(Cell)) - series_index(months);
    ok = m >= 1 && count >= m;
    if (ok) {
      const Cell* entry = b->cells() + series_index(months) + (m - 1);
      ok = type_of(entry) == TYPE_STRING;
      if (ok) {
        u32 len = string::length_from_index(entry);
        for (u32 i = 0; i < len && i < 3; ++i) {
          name[name_length++] = string::char_at(entry, u32(series_index(entry)) + i);
        }
      }
    }
  }
  if (!ok) fire(Err::script_invalid_months);
  i32 y = year(w);
  char sep = y < 0 ? '/' : '-';
  std::string head = integer::form_signed(day(w));
  head.push_back(sep);
  i32 written = i32(head.size());
  string::append_ascii(buffer, head.data(), head.size());
  for (u32 i = 0; i < name_length; ++i) string::append_char(buffer, name[i]);
  written += i32(name_length);
  std::string text(1, sep);
  if (y < 0) text.push_back('-');
  i32 ay = y < 0 ? -y : y;
  std::string ys = integer::form_signed(ay);
  if (ay < 100) ys.insert(0, 4 - ys.size(), '0');
  text += ys;
  if (has_time(w)) {
    text.push_back('/');
    string::append_ascii(buffer, text.data(), text.size());
    written += i32(text.size());
    i32 before = time::form(local_time(value), buffer, 0, exact);
    written -= before;
    text.clear();
    u32 z = zone_bits(w);
    if (z) {
      text.push_back(z & ZONE_WEST ? '-' : '+');
      append_two(text, i32((z >> 2) & 15));
      text.push_back(':');
      append_two(text, i32(z & 3) * 15);
    }
  }
  string::append_ascii(buffer, text.data(), text.size());
  written += i32(text.size());
  return limit - written;
}

i32 h_form(Cell* cell, Cell* buffer, Cell*, i32 limit) { return date_text(cell, buffer, limit, false); }

i32 h_mold(Cell* value, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  return date_text(value, buffer, limit, true);
}

// ---- random ------------------------------------------------------------------------------

Cell* h_random(Cell* value, bool seed, bool secure, bool) {
  u32 w = packed(value);
  if (seed) {
    random::seed(i32(w + u32(integer::truncate(stored_time(value)))));
    return make_unset(stack::push());
  }
  i64 days = to_days(w);
  i64 r = days > INT32_MAX ? INT32_MAX : days;
  i64 nd = r >= 1 ? random::range(secure, i32(r)) - 1 : 0;
  if (!has_time(w)) {
    set_packed(value, from_days(nd, zone_bits(w), false));
    return value;
  }
  u32 zone = u32(random::next()) & ZONE_MASK;  // any 7 bits are a valid zone
  double t;
  if (secure) {
    double s1 = random::secure(), s2 = random::secure();
    t = (s1 / 2147483647.0 + s2) / (2147483648.0 / 3600.0);
  } else {
    t = double(random::next()) / 2147483647.0 * 3600.0;
  }
  t = std::floor(t) * 24.0;  // a multiple of 24 seconds within the day
  set_packed(value, from_days(nd, zone, true));
  set_float_payload(value, 0.0);
  store_local(value, t);
  return value;
}

}  // namespace

// ---- day numbers -------------------------------------------------------------------------

u32 zone_from(i32 hours, i32 minutes) {
  i32 h = hours < 0 ? -hours : hours;
  i32 m = minutes < 0 ? -minutes : minutes;
  u32 z = (u32(h) << 2 & 0x3C) | u32(m / 15);
  if (z && (hours < 0 || (hours == 0 && minutes < 0))) z |= ZONE_WEST;
  return z;
}

i32 zone_seconds(u32 z) {
  i32 s = i32((z >> 2) & 15) * 3600 + i32(z & 3) * 900;
  return (z & ZONE_WEST) ? -s : s;
}

bool leap_year_q(i32 y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

namespace {
// Division rounding toward minus infinity: the leap-year counts of negative
// years must step where the calendar's leap years are.
i64 floor_div(i64 a, i64 b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }
// Day number of 1 March of year y.
i64 march_first(i64 y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }
}  // namespace

i64 to_days(u32 w) {
  i64 m = (month(w) + 9) % 12;
  i64 y = year(w) - m / 10;
  return march_first(y) + (m * 306 + 5) / 10 + (day(w) - 1);
}

u32 from_days(i64 d, u32 zone, bool time_flag) {
  // The estimate of the year may be one off (truncation for negative day
  // numbers): it is corrected until day d falls within the year that starts
  // on 1 March of y.
  i64 y = i64(std::trunc((10000.0 * double(d) + 14780.0) / 3652425.0));
  while (d < march_first(y)) --y;
  while (d >= march_first(y + 1)) ++y;
  i64 r = d - march_first(y);
  i64 mi = (100 * r + 52) / 3060;
  i64 m = (mi + 2) % 12 + 1;
  i64 yr = y + (mi + 2) / 12;
  i64 dd = r - (mi * 306 + 5) / 10 + 1;
  // The packed word holds years -16384 .. 16383: beyond them the year
  // would wrap into the other fields.
  if (yr < -16384 || yr > 16383) raise_with_type(Err::script_type_limit, TYPE_DATE);
  return (u32(i32(yr)) << 17) | (u32(m) << 12) | (u32(dd) << 7) | (time_flag ? TIME_FLAG : 0) |
         (zone & ZONE_MASK);
}

void normalize(i64& days, double& time, u32 zone) {
  double h = double(zone_seconds(zone)) / 3600.0;
  double k = std::trunc(std::trunc(time / 3600.0 + h) / 24.0);
  time -= k * DAY;
  days += i64(k);
  while (time + h * 3600.0 < 0) {
    time += DAY;
    days -= 1;
  }
}

double local_time(const Cell* c) { return stored_time(c) + zone_seconds(zone_bits(packed(c))); }

Cell* make_at(Cell* cell, i32 y, i32 m, i32 d, double time, i32 zone_hours, i32 zone_minutes,
              bool time_flag) {
  u32 w = (u32(y) << 17) | (u32(m & 15) << 12) | (u32(d & 31) << 7);
  if (!time_flag) return set(cell, w, 0.0);
  w |= TIME_FLAG | zone_from(zone_hours, zone_minutes);
  return set(cell, w, time - zone_seconds(zone_bits(w)));
}

Cell* make_at_hms(Cell* cell, i32 y, i32 m, i32 d, i32 hour, i32 minute, i32 second,
                  i32 nanoseconds) {
  double t = hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9;
  return make_at(cell, y, m, d, t, 0, 0, true);
}

Cell* make_in(u32 block, u32 w, double time) {
  Cell* c = mem::alloc_tail_cell(block);
  c->header = 0;
  return set(c, w, time);
}

Cell* push(u32 w, double time) { return set(make_none(stack::push()), w, time); }

i32 to_epoch(const Cell* c) {
  double s = double(to_days(packed(c)) - EPOCH_DAYS) * DAY + std::floor(stored_time(c) + 0.5);
  if (!(s >= -2147483648.0 && s <= 2147483647.0)) {
    raise_with_type(Err::script_type_limit, TYPE_INTEGER);
  }
  return i32(s);
}

void difference(Cell* a, const Cell* b) {
  double t = double(to_days(packed(a)) - to_days(packed(b))) * DAY + (stored_time(a) - stored_time(b));
  time::make_at(t, init_header(a, TYPE_TIME));
}

void set_week(Cell* c, i32 n) { set_days(c, week_one_start(packed(c), nullptr) + 7 * i64(n) - 7); }
void set_weekday(Cell* c, i32 n) {
  i64 days = to_days(packed(c));
  set_days(c, days - mod7(days + 2) + n - 1);
}
void set_yearday(Cell* c, i32 n) { set_days(c, year_start(packed(c)) + n - 1); }

void init() {
  types::register_datatype(
      {TYPE_DATE, TYPE_NO_TYPE, "date!",
       {.make = h_make, .random = h_random, .to = h_to, .form = h_form, .mold = h_mold,
        .eval_path = h_eval_path, .compare = h_compare, .add = h_add, .subtract = h_subtract,
        .pick = h_pick}});
}

}  // namespace qel::date
