// Loaders of the scalar literals: tuples, percents, pairs, points, dates
// and money. Each one checks its token (load false) or builds its value on
// the lexer stack (load true); a failed check is the `invalid` syntax error
// for the token's datatype.
#include <cmath>
#include <cstring>
#include <string>

#include "datatypes/date.hpp"
#include "datatypes/money.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/percent.hpp"
#include "datatypes/point.hpp"
#include "datatypes/tuple.hpp"
#include "eval/lexer_state.hpp"
#include "runtime/float_text.hpp"

namespace qel::lexer {

namespace {

inline bool digit(u8 c) { return c >= '0' && c <= '9'; }

[[noreturn]] void invalid_scalar(State* s, const u8* start, const u8* end, Type t) {
  throw_error(s, start, end, t);
}

// A float text [p, end) with the float literal's rules ("," as the point,
// "'" separators); false for a bad form.
bool float_text_of(const u8* p, const u8* end, int shift, double& out) {
  i32 status;
  if (end - p <= 0) return false;
  text_to_float(p, u32(end - p), 1, &status);
  if (status != 0) return false;
  std::string buf;
  for (; p < end; ++p) {
    if (*p == '\'') continue;
    buf.push_back(*p == ',' ? '.' : char(*p));
  }
  std::size_t left = 0;
  out = float_text::text_to_float(buf.data(), buf.data() + buf.size(), shift, &left);
  return left == 0;
}

// A decimal integer [p, end) by the integer literal's rules; false when it
// is malformed or leaves 32 bits.
bool integer_of(const u8* p, const u8* end, i32& out) {
  if (end - p <= 0) return false;
  for (const u8* q = p; q + 1 < end; ++q) {
    if (q[0] == '\'' && q[1] == '\'') return false;
  }
  i32 status;
  out = text_to_integer(p, u32(end - p), 1, &status);
  return status == 0;
}

// ---- tuple! -------------------------------------------------------------------

void load_tuple(State* s, const u8* start, const u8* end, u32, bool load) {
  u8 bytes[tuple::MAX_BYTES];
  u32 n = 0;
  const u8* p = start;
  while (true) {
    const u8* q = p;
    u32 v = 0;
    while (q < end && digit(*q) && q - p < 4) v = v * 10 + (*q++ - '0');
    if (q == p || v > 255 || n == tuple::MAX_BYTES) invalid_scalar(s, start, end, TYPE_TUPLE);
    bytes[n++] = u8(v);
    if (q == end) break;
    if (*q != '.') invalid_scalar(s, start, end, TYPE_TUPLE);
    p = q + 1;
  }
  if (n < tuple::MIN_BYTES) invalid_scalar(s, start, end, TYPE_TUPLE);
  if (load) tuple::make_at(new_cell(s), n, bytes);
}

// ---- percent! -------------------------------------------------------------------

void load_percent(State* s, const u8* start, const u8* end, u32, bool load) {
  // The token ends at its '%'.
  double d;
  // A percent too large for a double has no text to mold back to: the number
  // written (the fraction times 100, as mold writes it) must be finite too.
  if (!float_text_of(start, end, -2, d) || !std::isfinite(d) || !std::isfinite(d * 100.0)) {
    invalid_scalar(s, start, end + 1, TYPE_PERCENT);
  }
  if (load) percent::make_at(new_cell(s), d);
}

// ---- pair! ------------------------------------------------------------------------

void load_pair(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* x = nullptr;
  for (const u8* p = start + 1; p < end; ++p) {
    if (*p == '.') invalid_scalar(s, start, end, TYPE_PAIR);
    if ((*p == 'x' || *p == 'X') && !x) x = p;
  }
  i32 a, b;
  if (!x || !integer_of(start, x, a) || !integer_of(x + 1, end, b)) {
    invalid_scalar(s, start, end, TYPE_PAIR);
  }
  if (load) pair::make_at(new_cell(s), a, b);
}

// ---- point2D! and point3D! ----------------------------------------------------------

void load_point(State* s, const u8* start, const u8* end, u32, bool load) {
  // The token runs from after "(" to the ")" (end); the components are
  // floats separated by commas, blanks around them skipped.
  double v[3];
  u32 n = 0;
  const u8* p = start;
  const u8* close = end;
  bool bad = false;
  while (true) {
    while (p < close && (*p == ' ' || *p == '\t')) ++p;
    const u8* q = p;
    while (q < close && *q != ',' && *q != ' ' && *q != '\t') ++q;
    double d;
    bool special = false;
    if (q - p >= 6) {
      // 1.#NaN, 1.#INF, -1.#INF
      const u8* r = p + ((*p == '+' || *p == '-') ? 1 : 0);
      if (close - r >= 6 && std::memcmp(r, "1.#", 3) == 0 && q - r == 6) {
        std::string w(reinterpret_cast<const char*>(r + 3), 3);
        for (char& c : w) c = char(c & ~0x20);
        if (w == "NAN") d = std::nan(""), special = true;
        if (w == "INF") d = *p == '-' ? -INFINITY : INFINITY, special = true;
      }
    }
    if (n == 3 || q - p > 312 || (!special && !float_text_of(p, q, 0, d))) {
      bad = true;
      break;
    }
    v[n++] = d;
    while (q < close && (*q == ' ' || *q == '\t')) ++q;
    if (q == close) break;
    if (*q != ',') {
      bad = true;
      break;
    }
    p = q + 1;
  }
  Type t = n == 3 ? TYPE_POINT3D : TYPE_POINT2D;
  s->entry = S_START;
  s->token_type = t;  // the scan reports the type the load makes
  if (bad || n < 2) invalid_scalar(s, start > s->input ? start - 1 : start, close + 1, t);
  set_position(s, close < s->end ? close + 1 : close);
  if (!load) return;
  if (n == 2) point::make_2d_at(new_cell(s), float(v[0]), float(v[1]));
  else point::make_3d_at(new_cell(s), float(v[0]), float(v[1]), float(v[2]));
}

// ---- date! ---------------------------------------------------------------------------

// A cursor over the date token.
struct DateText {
  const u8* p;
  const u8* end;
  bool more() const { return p < end; }
  u8 peek() const { return p < end ? *p : 0; }
  // Up to max digits; the count read in n.
  bool number(i32& v, int& n, int max = 9) {
    v = 0;
    n = 0;
    while (p < end && digit(*p) && n < max) {
      v = v * 10 + (*p++ - '0');
      ++n;
    }
    return n > 0;
  }
};

constexpr const char* kMonths[] = {"january", "february", "march",     "april",
                                   "may",     "june",     "july",      "august",
                                   "september", "october", "november", "december"};

// A month name: the first 3 to 9 letters of an English month name.
i32 month_name(DateText& t) {
  const u8* q = t.p;
  while (q < t.end && ((*q | 0x20) >= 'a' && (*q | 0x20) <= 'z')) ++q;
  std::size_t n = std::size_t(q - t.p);
  if (n < 3) return 0;
  for (i32 m = 0; m < 12; ++m) {
    std::size_t len = std::strlen(kMonths[m]);
    if (n > len) continue;
    bool same = true;
    for (std::size_t i = 0; i < n && same; ++i) same = u8(t.p[i] | 0x20) == u8(kMonths[m][i]);
    if (same) {
      t.p = q;
      return m + 1;
    }
  }
  return 0;
}

i32 month_length(i32 y, i32 m) {
  static constexpr i32 kLen[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && date::leap_year_q(y) ? 29 : kLen[m - 1];
}

// Seconds with an optional fraction after "." or ",".
bool seconds_of(DateText& t, double& s) {
  const u8* a = t.p;
  i32 v;
  int n;
  if (!t.number(v, n, 2)) return false;
  if (t.peek() == '.' || t.peek() == ',') {
    ++t.p;
    // Any number of decimals: mold writes as many as the value needs.
    if (!t.number(v, n, 9)) return false;
    while (digit(t.peek())) ++t.p;
  }
  return float_text_of(a, t.p, 0, s);
}

// hh:mm[:ss[.f]] (or the compact hhmm[ss[.f]] when compact).
bool time_of(DateText& t, double& seconds, bool compact) {
  i32 h, m;
  int n;
  double s = 0;
  if (compact) {
    if (!t.number(h, n, 2) || n != 2 || !t.number(m, n, 2) || n != 2) return false;
    if (digit(t.peek()) && !seconds_of(t, s)) return false;
  } else {
    if (!t.number(h, n, 2) || t.peek() != ':') return false;
    ++t.p;
    if (!t.number(m, n, 2)) return false;
    if (t.peek() == ':') {
      ++t.p;
      if (!seconds_of(t, s)) return false;
    }
  }
  if (h > 23 || m > 59 || !(s < 60.0)) return false;
  seconds = h * 3600.0 + m * 60.0 + s;
  return true;
}

// Z, or +/- hours with optional ":" and minutes.
bool zone_of(DateText& t, i32& zh, i32& zm) {
  zh = zm = 0;
  if (t.peek() == 'Z' || t.peek() == 'z') {
    ++t.p;
    return true;
  }
  bool negative = t.peek() == '-';
  if (!negative && t.peek() != '+') return false;
  ++t.p;
  int n;
  if (!t.number(zh, n, 2)) return false;
  if (t.peek() == ':') ++t.p;
  if (digit(t.peek()) && (!t.number(zm, n, 2) || n != 2)) return false;
  if (zh >= 16 || zm > 59) return false;
  if (negative) {
    if (zh) zh = -zh; else zm = -zm;
  }
  return true;
}

void load_date(State* s, const u8* start, const u8* end, u32, bool load) {
  DateText t{start, end};
  i32 y = 0, m = 0, d = 0;
  i32 week = 0, weekday = 0, yearday = 0;
  bool two_digit_year = false;
  bool time_flag = false;
  double seconds = 0;
  i32 zh = 0, zm = 0;
  auto fail = [&]() { invalid_scalar(s, start, end, TYPE_DATE); };
  i32 a;
  int na;
  bool neg_first = t.peek() == '-';
  if (neg_first) ++t.p;
  if (!t.number(a, na)) fail();
  u8 sep = t.peek();
  bool compact = na >= 5 && (sep == 'T' || sep == 't');
  if (compact) {
    // yyyymmddThhmm...: the last four digits are month and day.
    y = a / 10000;
    m = (a / 100) % 100;
    d = a % 100;
    two_digit_year = na - 4 < 3 && !neg_first;
    ++t.p;
    if (!time_of(t, seconds, true)) fail();
    time_flag = true;
    if (t.more() && !zone_of(t, zh, zm)) fail();
  } else {
    if (sep != '-' && sep != '/') fail();
    ++t.p;
    bool year_first = na >= 3 || neg_first;
    if (year_first) {
      y = neg_first ? -a : a;
      if (t.peek() == 'W' || t.peek() == 'w') {
        ++t.p;
        int n;
        if (!t.number(week, n, 2) || n != 2 || week < 1 || week > 53) fail();
        if (t.peek() == '-') {
          ++t.p;
          if (!t.number(weekday, n, 1) || weekday < 1 || weekday > 7) fail();
        }
        m = 1;
        d = 1;
      } else {
        i32 b;
        int nb;
        const u8* before = t.p;
        if (t.number(b, nb, 3) && nb == 3 && (!t.more() || t.peek() == '/' || t.peek() == 'T')) {
          yearday = b;
          if (yearday < 1 || yearday > (date::leap_year_q(y) ? 366 : 365)) fail();
          m = 1;
          d = 1;
        } else {
          t.p = before;
          if (!t.number(m, nb, 2)) m = month_name(t);
          if (!m || t.peek() != sep) fail();
          ++t.p;
          if (!t.number(d, nb, 2)) fail();
        }
      }
    } else {
      d = a;
      int nb;
      if (!t.number(m, nb, 2)) m = month_name(t);
      if (!m || t.peek() != sep) fail();
      ++t.p;
      bool neg_year = t.peek() == '-' && sep == '/';
      if (neg_year) ++t.p;
      if (!t.number(y, nb)) fail();
      two_digit_year = nb < 3 && !neg_year;
      if (neg_year) y = -y;
    }
    if (t.peek() == '/' || t.peek() == 'T' || t.peek() == 't') {
      ++t.p;
      if (!time_of(t, seconds, false)) fail();
      time_flag = true;
      if (t.more() && !zone_of(t, zh, zm)) fail();
    }
  }
  if (t.more()) fail();
  if (two_digit_year) y += y < 50 ? 2000 : 1900;
  if (m < 1 || m > 12 || y <= -10000 || y >= 10000) fail();
  if (d < 1 || d > month_length(y, m)) fail();
  if (!load) return;
  Cell* c = new_cell(s);
  u32 nl = c->header & FLAG_NEW_LINE;
  date::make_at(c, y, m, d, seconds, zh, zm, time_flag);
  if (week) {
    date::set_week(c, week);
    if (weekday) date::set_weekday(c, weekday);
  } else if (yearday) {
    date::set_yearday(c, yearday);
  }
  c->header |= nl;
}

// ---- money! ----------------------------------------------------------------------------

void load_money(State* s, const u8* start, const u8* end, u32, bool load) {
  money::Amount a;
  u32 currency;
  if (!money::parse(start, end, a, currency)) invalid_scalar(s, start, end, TYPE_MONEY);
  if (load) money::make_at(new_cell(s), a, currency);
}

}  // namespace

void install_scalar_loaders() {
  set_loader(K_TUPLE, load_tuple);
  set_loader(K_PERCENT, load_percent);
  set_loader(K_PAIR, load_pair);
  set_loader(K_POINT, load_point);
  set_loader(K_DATE, load_date);
  set_loader(K_MONEY, load_money);
}

}  // namespace qel::lexer
