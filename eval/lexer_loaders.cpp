// The lexer's token functions: one scan function and/or loader per token
// kind, and the text-to-number parsers that the datatypes share.
//
// Every function gets the token [start, end) as the machine found it (for a
// delimited token, end is at the closing byte), the OR of its bytes' class
// flags and the load flag: with load false it only checks the token, with
// load true it builds the value in a new cell of the lexer stack. The scan
// goes on after the token (lexer.cpp presets the position; a function that
// reads further sets it). A check that fails raises the `invalid` syntax
// error for the token's datatype through throw_error, which in scan and
// prescan mode only stops the scan.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/issue.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/time.hpp"
#include "datatypes/word.hpp"
#include "eval/lexer_state.hpp"
#include "runtime/actions.hpp"
#include "runtime/float_text.hpp"
#include "runtime/memory.hpp"
#include "runtime/unicode.hpp"
#include "platform/image_state.hpp"

namespace qel::lexer {

namespace {

constexpr u32 MAX_FLOAT_TEXT = 312;

inline bool is_digit(u32 c) { return c >= '0' && c <= '9'; }
inline int hex_value(u32 c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return -1;
}
inline u32 lower_ascii(u32 c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }

// ASCII-only case-insensitive comparison of n bytes with a NUL-terminated text
// of exactly n characters.
bool equal_no_case(const u8* p, u32 n, const char* text) {
  for (u32 i = 0; i < n; ++i) {
    if (!text[i] || lower_ascii(p[i]) != lower_ascii(u8(text[i]))) return false;
  }
  return text[n] == 0;
}

[[noreturn]] void invalid(State* s, const u8* start, const u8* end, Type t) {
  throw_error(s, start, end, t);
}

// Whether [p, end) is well-formed UTF-8.
bool valid_utf8(const u8* p, const u8* end) {
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    i32 cp;
    p = unicode::fast_decode_utf8_char(p, end, cp);
    if (cp < 0) return false;
  }
  return true;
}

// ---- text ----------------------------------------------------------------------------

// Code points of a token's text, reused from token to token.
std::vector<u32> g_text;
QEL_IMAGE_SKIP(g_text);  // scratch

// The code point named in parentheses after a caret: hex digits or a name.
i32 paren_escape(const u8* p, const u8* end) {
  static constexpr struct { const char* name; u32 cp; } kNames[] = {
      {"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
  u32 n = u32(end - p);
  for (const auto& e : kNames) {
    if (equal_no_case(p, n, e.name)) return i32(e.cp);
  }
  if (n == 0 || n > 6) return -1;
  u32 cp = 0;
  for (const u8* q = p; q < end; ++q) {
    int h = hex_value(*q);
    if (h < 0) return -1;
    cp = cp * 16 + u32(h);
  }
  return cp <= unicode::MAX_CODE_POINT ? i32(cp) : -1;
}

// Decodes one escape at p (just after a caret); answers the position after it
// and sets cp, or answers null.
const u8* decode_escape(const u8* p, const u8* end, u32& cp) {
  if (p >= end) return nullptr;
  u32 c = *p;
  switch (c) {
    case '@': cp = 0; return p + 1;
    case '/': cp = '\n'; return p + 1;
    case '-': cp = '\t'; return p + 1;
    case '"': case '{': case '}': case '^': cp = c; return p + 1;
    case '~': cp = 127; return p + 1;
    case '(': {
      const u8* close = static_cast<const u8*>(std::memchr(p + 1, ')', size_t(end - p - 1)));
      if (!close) return nullptr;
      i32 v = paren_escape(p + 1, close);
      if (v < 0) return nullptr;
      cp = u32(v);
      return close + 1;
    }
    default:
      if (c >= 'a' && c <= 'z') { cp = c - 'a' + 1; return p + 1; }
      if (c >= 'A' && c <= '_') { cp = c - 64; return p + 1; }
      return nullptr;
  }
}

// Decodes [p, end) into g_text (carets as escapes when escapes is set);
// false for invalid UTF-8 or an invalid escape. max receives the largest
// code point.
bool decode_text(const u8* p, const u8* end, bool escapes, u32& max) {
  g_text.clear();
  max = 0;
  while (p < end) {
    u32 cp = *p;
    if (cp < 0x80 && !(escapes && cp == '^')) {
      ++p;
    } else if (cp == '^') {
      p = decode_escape(p + 1, end, cp);
      if (!p) return false;
    } else {
      i32 v;
      p = unicode::fast_decode_utf8_char(p, end, v);
      if (v < 0) return false;
      cp = u32(v);
    }
    if (cp > max) max = cp;
    g_text.push_back(cp);
  }
  return true;
}

// Replaces %XX sequences in g_text by the bytes they name, read as UTF-8;
// false when those bytes are not UTF-8.
bool percent_decode() {
  std::vector<u32> out;
  out.reserve(g_text.size());
  std::vector<u8> bytes;
  for (size_t i = 0; i < g_text.size();) {
    if (g_text[i] == '%' && i + 2 < g_text.size() && hex_value(g_text[i + 1]) >= 0 &&
        hex_value(g_text[i + 2]) >= 0) {
      bytes.clear();
      while (i + 2 < g_text.size() && g_text[i] == '%' && hex_value(g_text[i + 1]) >= 0 &&
             hex_value(g_text[i + 2]) >= 0) {
        bytes.push_back(u8(hex_value(g_text[i + 1]) * 16 + hex_value(g_text[i + 2])));
        i += 3;
      }
      const u8* p = bytes.data();
      const u8* e = p + bytes.size();
      while (p < e) {
        i32 cp;
        p = unicode::fast_decode_utf8_char(p, e, cp);
        if (cp < 0) return false;
        out.push_back(u32(cp));
      }
    } else {
      out.push_back(g_text[i++]);
    }
  }
  g_text.swap(out);
  return true;
}

// A new cell holding a string-like value of type t made of g_text.
void push_text(State* s, Type t, u32 max) {
  u32 n = u32(g_text.size());
  u32 unit = unicode::unit_for(max);
  Cell value;
  string::make_at(&value, n ? n : 1, unit, t);
  mem::Buffer* b = mem::buffer_of(series_node(&value));
  u8* d = b->data();
  if (unit == 1) {
    for (u32 i = 0; i < n; ++i) d[i] = u8(g_text[i]);
  } else {
    for (u32 i = 0; i < n; ++i) string::put_char(d + i * unit, unit, g_text[i]);
  }
  b->tail = b->head + n * unit;
  Cell* c = new_cell(s);
  value.header |= c->header & FLAG_NEW_LINE;
  *c = value;
}

// Checks or loads text as a string-like value of type t.
void string_value(State* s, const u8* start, const u8* end, const u8* text, const u8* text_end,
                  bool escapes, Type t, bool load, bool percent = false) {
  u32 max;
  if (!decode_text(text, text_end, escapes, max)) invalid(s, start, end, t);
  if (percent) {
    if (!percent_decode()) invalid(s, start, end, t);
    max = 0;
    for (u32 cp : g_text) max = cp > max ? cp : max;
  }
  if (load) push_text(s, t, max);
}

// ---- words ---------------------------------------------------------------------------

u32 intern(const u8* p, const u8* end) {
  return symbol::make_from_string(reinterpret_cast<const char*>(p), u32(end - p));
}

// A word of the global context spelled [p, end), of type t.
void push_word(State* s, Type t, const u8* p, const u8* end) {
  u32 sym = intern(p, end);
  Cell* c = new_cell(s);
  u32 nl = c->header & FLAG_NEW_LINE;
  if (s->unbound) *c = Cell{TYPE_WORD, 0, sym, u32(-1)};
  else word::make_at(sym, c);  // may allocate; the new cell is on the marked lexer stack
  c->header = t | nl;
}

// The word kinds: a leading ' (lit-word!) or : (get-word!), a trailing :
// (set-word!); a colon anywhere else, or with both marks, is no word.
void word_token(State* s, const u8* start, const u8* end, u32 flags, bool load, Type forced) {
  Type t = TYPE_WORD;
  const u8* p = start;
  const u8* e = end;
  if (*p == '\'') {
    t = TYPE_LIT_WORD;
    ++p;
  } else if (*p == ':') {
    t = TYPE_GET_WORD;
    ++p;
  }
  if (e > p && e[-1] == ':') {
    if (t != TYPE_WORD) invalid(s, start, end, TYPE_WORD);
    t = TYPE_SET_WORD;
    --e;
  }
  if (p == e || std::memchr(p, ':', size_t(e - p))) invalid(s, start, end, TYPE_WORD);
  if (!valid_utf8(p, e)) invalid(s, start, end, TYPE_WORD);
  // The token's type is the word's kind (what scan events and `scan` report).
  if (forced == TYPE_NO_TYPE) s->token_type = t;
  if (load) push_word(s, forced != TYPE_NO_TYPE ? forced : t, p, e);
}

// ---- numbers -------------------------------------------------------------------------

// Reads a decimal integer from units: optional sign, digits, apostrophes
// (never two in a row when strict). status: 0 ok, -1 bad, -2 overflow.
template <class Get>
i32 parse_integer(u32 n, Get get, bool strict, i32* status) {
  u32 i = 0;
  bool negative = false;
  if (i < n && (get(i) == '+' || get(i) == '-')) negative = get(i++) == '-';
  i64 value = 0;
  bool digits = false, overflow = false;
  u32 prev = 0;
  for (; i < n; ++i) {
    u32 c = get(i);
    if (c == '\'') {
      if (strict && prev == '\'') {
        *status = -1;
        return 0;
      }
    } else if (is_digit(c)) {
      digits = true;
      if (!overflow) {
        value = value * 10 + (c - '0');
        if (value > i64(0x80000000)) overflow = true;
      }
    } else {
      *status = -1;
      return 0;
    }
    prev = c;
  }
  if (!digits) {
    *status = -1;
    return 0;
  }
  if (negative) value = -value;
  if (overflow || value > std::numeric_limits<i32>::max() || value < std::numeric_limits<i32>::min()) {
    *status = -2;
    return 0;
  }
  *status = 0;
  return i32(value);
}

// Runs the float automaton over units; ',' counts as '.'.
template <class Get>
bool float_form_ok(u32 n, Get get) {
  u32 state = 0;
  for (u32 i = 0; i < n && state < 9; ++i) {
    u32 c = get(i);
    u32 col = (c == '+' || c == '-') ? 1 : is_digit(c) ? 2 : (c == 'e' || c == 'E') ? 3
            : (c == '.' || c == ',') ? 4 : c == '\'' ? 5 : 0;
    state = float_automaton[state][col];
  }
  if (state < 9) state = float_automaton[state][6];
  return state == 9;
}

// The double of a float text (at most 312 units), or false.
template <class Get>
bool parse_float(u32 n, Get get, int shift, double& out) {
  if (n == 0 || n > MAX_FLOAT_TEXT || !float_form_ok(n, get)) return false;
  char buf[MAX_FLOAT_TEXT + 1];
  u32 len = 0;
  for (u32 i = 0; i < n; ++i) {
    u32 c = get(i);
    if (c == '\'') continue;
    buf[len++] = c == ',' ? '.' : char(c);
  }
  std::size_t left = 0;
  out = float_text::text_to_float(buf, buf + len, shift, &left);
  return left == 0;
}

auto bytes_of(const u8* p) {
  return [p](u32 i) -> u32 { return p[i]; };
}

// ---- scan functions --------------------------------------------------------------------

// The end of the input, or a NUL byte, which the machine takes for it. NULs
// that only pad the end of the text end it; text after a NUL is refused (a
// bad character there) rather than silently dropped.
void scan_eof(State* s, const u8* start, const u8*, u32, bool) {
  const u8* rest = start;
  while (rest < s->end && *rest == 0) ++rest;
  if (rest < s->end) throw_error(s, start, start + 1, -1);
  set_position(s, s->end);
}

void scan_error(State* s, const u8* start, const u8* end, u32, bool) {
  i32 kind = state_error_types[s->last_state];
  if (is_path_state(s->last_state)) start = marker_position(s);
  if (s->mstr_nest > 0) start = s->mstr_start;
  throw_error(s, start, end, kind);
}

void scan_open(State* s, const u8* start, const u8*, u32, bool) {
  if (*start == '(') {
    bool point = opens_point(s, start);
    if (point) {
      s->point_line = s->line;
      s->entry = S_POINT;
      return;
    }
    open_series(s, TYPE_PAREN, start);
  } else {
    open_series(s, TYPE_BLOCK, start);
  }
}

void scan_block_close(State* s, const u8* start, const u8*, u32, bool) {
  i32 t = close_series(s, start, TYPE_BLOCK, false);
  s->token_type = t > 0 ? t : 0;
}

void scan_paren_close(State* s, const u8* start, const u8*, u32, bool) {
  i32 t = close_series(s, start, TYPE_PAREN, false);
  s->token_type = t > 0 ? t : 0;
}

void scan_mstring_open(State* s, const u8* start, const u8* end, u32 flags, bool) {
  if (s->mstr_nest == 0) {
    if (wants(s, EV_OPEN)) fire_event(s, EV_OPEN, TYPE_STRING, nullptr, start, start + 1);
    s->mstr_start = start;
    s->mstr_nest = 1;
    s->mstr_flags = 0;
    s->mstr_lines = s->line_feeds;
    s->entry = S_MSTRING;
    return;
  }
  ++s->mstr_nest;
  s->mstr_flags |= flags | (s->line_feeds ? F_LINE_BREAK : 0);
}

void scan_mstring_close(State* s, const u8*, const u8* end, u32 flags, bool load) {
  s->mstr_flags |= flags | (s->line_feeds ? F_LINE_BREAK : 0);
  if (--s->mstr_nest > 0) return;
  const u8* open = s->mstr_start;
  if (wants(s, EV_CLOSE)) fire_event(s, EV_CLOSE, TYPE_STRING, nullptr, open, end + 1);
  load_multiline(s, open, end, load);
  s->mstr_nest = 0;
  s->mstr_flags = 0;
  s->mstr_start = nullptr;
  s->entry = S_START;
}

void scan_map_open(State* s, const u8* start, const u8*, u32, bool) {
  open_series(s, TYPE_MAP, start);
}

void scan_path(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  Type t = *start == '\'' ? TYPE_LIT_PATH : *start == ':' ? TYPE_GET_PATH : TYPE_PATH;
  const u8* first = (t == TYPE_PATH) ? start : start + 1;
  open_series(s, t, start);
  // The first element is a word.
  i32 lines = s->line_feeds;
  s->line_feeds = 0;
  s->target_type = TYPE_WORD;
  word_token(s, first, end, flags, false, TYPE_WORD);
  fire_event(s, EV_SCAN, TYPE_WORD, nullptr, first, end);
  if (load) {
    push_word(s, TYPE_WORD, first, end);
    if (wants(s, EV_LOAD)) {
      Cell value = cells.back();
      if (!fire_event(s, EV_LOAD, TYPE_WORD, &value, first, end)) cells.pop_back();
    }
  }
  s->target_type = -1;
  s->line_feeds = lines;
  s->entry = S_PATH_START;
}

void scan_construct(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* p = start + 2;
  u32 n = u32(end - p);
  Cell v;
  if (equal_no_case(p, n, "true")) {
    make_logic(&v, true);
  } else if (equal_no_case(p, n, "false")) {
    make_logic(&v, false);
  } else if (equal_no_case(p, n, "none")) {
    make_none(&v);
  } else if (equal_no_case(p, n, "unset")) {
    make_unset(&v);
  } else {
    Type found = TYPE_NO_TYPE;
    for (int t = 1; t <= TYPE_TOP && !found; ++t) {
      if (equal_no_case(p, n, types::name_of(Type(t)))) found = Type(t);
    }
    if (!found) throw_error(s, start, end + 1, -2);
    make_datatype(&v, found);
  }
  s->token_type = type_of(&v);
  if (load) {
    Cell* c = new_cell(s);
    v.header |= c->header & FLAG_NEW_LINE;
    *c = v;
  }
}

void scan_comment(State* s, const u8* start, const u8* end, u32, bool) {
  fire_event(s, EV_SCAN, -i32(K_COMMENT), nullptr, start, end);
}

void scan_comma(State* s, const u8* start, const u8*, u32, bool) {
  Type t = marker_type(s);
  if (t != TYPE_PAREN && t != TYPE_POINT2D && t != TYPE_POINT3D) {
    throw_error(s, start, start + 1, TYPE_POINT2D);
  }
  // The paren becomes a point; each comma adds one coordinate.
  Cell& marker = cells[s->series_start - 1];
  u32 commas = (marker_kind(&marker) >> 16) + 1;
  set_marker_kind(&marker, (commas << 16) | (commas >= 2 ? TYPE_POINT3D : TYPE_POINT2D));
}

void scan_string(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  string_value(s, start, end + 1, start + 1, end, flags & F_CARET, TYPE_STRING, load);
}

void scan_word(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  word_token(s, start, end, flags, load, TYPE_NO_TYPE);
}

void scan_issue(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* p = start + 1;
  if (p >= end || !valid_utf8(p, end)) invalid(s, start, end, TYPE_ISSUE);
  if (load) {
    std::string text(reinterpret_cast<const char*>(p), size_t(end - p));
    Cell* c = new_cell(s);
    u32 nl = c->header & FLAG_NEW_LINE;
    issue::make_at(c, text.c_str());
    c->header |= nl;
  }
}

// ---- loaders -----------------------------------------------------------------------------

void load_float(State* s, const u8* start, const u8* end, u32, bool load) {
  double d;
  if (!parse_float(u32(end - start), bytes_of(start), 0, d)) invalid(s, start, end, TYPE_FLOAT);
  if (load) float_::make_at(new_cell(s), d);
}

void load_integer(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  i32 status;
  i32 v = parse_integer(u32(end - start), bytes_of(start), true, &status);
  if (status == -2) return load_float(s, start, end, flags, load);  // too large: a float
  if (status != 0) invalid(s, start, end, TYPE_INTEGER);
  if (load) integer::make_at(new_cell(s), v);
}

void load_hex(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* last = end - 1;  // the 'h'
  u32 n = u32(last - start);
  if (n < 2 || n > 8) invalid(s, start, end, TYPE_INTEGER);
  u32 v = 0;
  for (const u8* p = start; p < last; ++p) {
    int h = hex_value(*p);
    if (h < 0) invalid(s, start, end, TYPE_INTEGER);
    v = (v << 4) | u32(h);
  }
  if (load) integer::make_at(new_cell(s), i32(v));
}

void load_special_float(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* p = start;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  double d;
  if (end - p != 6 || std::memcmp(p, "1.#", 3) != 0) invalid(s, start, end, TYPE_FLOAT);
  if (equal_no_case(p + 3, 3, "nan")) {
    d = std::numeric_limits<double>::quiet_NaN();
  } else if (equal_no_case(p + 3, 3, "inf")) {
    d = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
  } else {
    invalid(s, start, end, TYPE_FLOAT);
  }
  if (load) float_::make_at(new_cell(s), d);
}

void load_refinement(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* p = start + 1;
  if (p >= end || !valid_utf8(p, end)) invalid(s, start, end, TYPE_REFINEMENT);
  if (load) {
    u32 sym = intern(p, end);
    Cell* c = new_cell(s);
    c->header = TYPE_REFINEMENT | (c->header & FLAG_NEW_LINE);
    word::set_symbol(c, sym);
    word::set_binding(c, 0, -1);  // unbound
  }
}

void load_char(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  u32 max;
  if (!decode_text(start + 2, end, flags & F_CARET, max) || g_text.size() != 1) {
    invalid(s, start, end + 1, TYPE_CHAR);
  }
  if (load) {
    Cell* c = new_cell(s);
    u32 nl = c->header & FLAG_NEW_LINE;
    make_char(c, g_text[0]);
    c->header |= nl;
  }
}

void load_file(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  if (end - start > 1 && start[1] == '"') {
    string_value(s, start, end + 1, start + 2, end, flags & F_CARET, TYPE_FILE, load);
  } else {
    string_value(s, start, end, start + 1, end, flags & F_CARET, TYPE_FILE, load,
                 (flags & F_PERCENT) != 0);
  }
}

void load_url(State* s, const u8* start, const u8* end, u32 flags, bool load) {
  if (*start == ':') invalid(s, start, end, TYPE_GET_WORD);
  if (*start == '\'') invalid(s, start, end, TYPE_LIT_WORD);
  string_value(s, start, end, start, end, false, TYPE_URL, load, (flags & F_PERCENT) != 0);
}

void load_time(State* s, const u8* start, const u8* end, u32, bool load) {
  const u8* p = start;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  auto number_end = [&](const u8* q) {
    while (q < end && (is_digit(*q) || *q == '\'')) ++q;
    return q;
  };
  auto integer = [&](const u8* a, const u8* b) {
    i32 status;
    i32 v = parse_integer(u32(b - a), bytes_of(a), true, &status);
    if (status != 0 || a == b) invalid(s, start, end, TYPE_TIME);
    return v;
  };
  const u8* a_end = number_end(p);
  i32 first = integer(p, a_end);
  if (a_end >= end || *a_end != ':') invalid(s, start, end, TYPE_TIME);
  const u8* b = a_end + 1;
  const u8* b_end = number_end(b);
  i32 second = integer(b, b_end);
  double seconds;
  if (b_end == end) {
    seconds = double(first) * 3600.0 + double(second) * 60.0;
  } else if (*b_end == '.' || *b_end == ',') {
    // minutes:seconds with a fraction
    double sec;
    if (!parse_float(u32(end - b), bytes_of(b), 0, sec)) invalid(s, start, end, TYPE_TIME);
    seconds = double(first) * 60.0 + sec;
  } else if (*b_end == ':') {
    const u8* c = b_end + 1;
    const u8* c_end = number_end(c);
    if (c == c_end) invalid(s, start, end, TYPE_TIME);
    if (c_end < end && *c_end != '.' && *c_end != ',') invalid(s, start, end, TYPE_TIME);
    double sec;
    if (!parse_float(u32(end - c), bytes_of(c), 0, sec)) invalid(s, start, end, TYPE_TIME);
    for (const u8* q = c; q < end; ++q) {
      if (*q == 'e' || *q == 'E' || *q == '+' || *q == '-') invalid(s, start, end, TYPE_TIME);
    }
    seconds = double(first) * 3600.0 + double(second) * 60.0 + sec;
  } else {
    invalid(s, start, end, TYPE_TIME);
  }
  if (negative) seconds = -seconds;
  if (load) time::make_at(seconds, new_cell(s));
}

void load_rawstring(State* s, const u8* start, const u8* end, u32, bool load) {
  // n '%' and '{' open the text; the token ends after a '}' and a run of k
  // '%'. Fewer than n is an error; more means that '}' belongs to the text
  // and the string closes at the next '}' followed by exactly n signs.
  u32 n = 0;
  while (start + n < end && start[n] == '%') ++n;
  const u8* text = start + n + 1;
  u32 k = 0;
  while (end - k > text && end[-1 - i32(k)] == '%') ++k;
  const u8* close = end - 1 - k;
  if (k < n || close < text || *close != '}') invalid(s, start, end, TYPE_STRING);
  if (k > n) {
    close = nullptr;
    for (const u8* q = end; q < s->end && !close; ++q) {
      if (*q != '}') continue;
      u32 m = 0;
      while (q + 1 + m < s->end && q[1 + m] == '%') ++m;
      if (m == n) close = q;
    }
    if (!close) invalid(s, start, end, TYPE_STRING);
  }
  const u8* after = close + 1 + n;
  // Reading past the machine's token end: count the lines it did not see.
  for (const u8* q = end; q < after; ++q) s->line += *q == '\n';
  if (end < after) s->token_end = after;
  set_position(s, after);
  string_value(s, start, after, text, close, false, TYPE_STRING, load);
}

// The datatypes whose modules are not in the runtime yet.
void load_not_yet(State* s, const u8* start, const u8* end, u32, bool) {
  if (s->token_type == TYPE_POINT2D && start > s->input) --start;  // show its '('
  throw_error(s, start, end, s->token_type > 0 ? s->token_type : TYPE_ERROR);
}

}  // namespace

// ---- the token table ------------------------------------------------------------------------

void load_binary(State* s, const u8* start, const u8* end, u32 flags, bool load);

TokenFn scanners[KIND_COUNT] = {
    scan_eof,            // 1 end of input
    scan_error,          // 2 error
    scan_open,           // 3 [
    scan_block_close,    // 4 ]
    scan_open,           // 5 (
    scan_paren_close,    // 6 )
    scan_mstring_open,   // 7 {
    scan_mstring_close,  // 8 }
    scan_map_open,       // 9 #[
    scan_path,           // 10 / in a path
    scan_construct,      // 11 #(...)
    scan_comment,        // 12 ;
    scan_comma,          // 13 ,
    scan_string,         // 14
    scan_word,           // 15
    scan_issue,          // 16
};

TokenFn loaders[KIND_COUNT] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,  // 1-7
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,           // 8-13
    scan_string,         // 14 string!
    scan_word,           // 15 word!
    scan_issue,          // 16 issue!
    load_integer,        // 17 integer!
    load_refinement,     // 18 refinement!
    load_char,           // 19 char!
    load_file,           // 20 file!
    load_binary,         // 21 binary! (lexer_binary.cpp)
    load_not_yet,        // 22 percent!
    load_float,          // 23 float!
    load_special_float,  // 24 float! (1.#NaN, 1.#INF)
    load_not_yet,        // 25 tuple!
    load_not_yet,        // 26 date!
    load_not_yet,        // 27 pair!
    load_not_yet,        // 28 point2D!, point3D!
    load_time,           // 29 time!
    load_not_yet,        // 30 money!
    load_not_yet,        // 31 tag!
    load_url,            // 32 url!
    load_not_yet,        // 33 email!
    load_hex,            // 34 integer! (hex)
    load_rawstring,      // 35 string! (raw)
    load_not_yet,        // 36 ref!
};

void set_loader(Kind kind, Loader fn) {
  if (kind >= K_STRING && kind <= KIND_COUNT && fn) loaders[kind - 1] = fn;
}

void load_plain_text(State* s, const u8* start, const u8* end, const u8* text,
                     const u8* text_end, Type t, bool load) {
  string_value(s, start, end, text, text_end, false, t, load);
}

// ---- multi-line strings and paths ------------------------------------------------------------

void load_multiline(State* s, const u8* open, const u8* close, bool load) {
  bool escapes = s->mstr_flags & F_CARET;
  string_value(s, open, close + 1, open + 1, close, escapes, TYPE_STRING, false);
  fire_event(s, EV_SCAN, TYPE_STRING, nullptr, open, close + 1);
  if (!load) return;
  u32 max = 0;
  for (u32 cp : g_text) max = cp > max ? cp : max;
  push_text(s, TYPE_STRING, max);
  Cell& c = cells.back();
  bool line = s->mstr_lines > 0 || (s->mstr_flags & F_LINE_BREAK);
  c.header = (c.header & ~FLAG_NEW_LINE) | (line ? FLAG_NEW_LINE : 0);
  if (wants(s, EV_LOAD)) {
    Cell value = c;
    if (!fire_event(s, EV_LOAD, TYPE_STRING, &value, open, close + 1)) cells.pop_back();
  }
}

void path_element_rule(State* s) {
  const u8* p = s->pos;
  if (p >= s->end || path_end_class[class_of(*p)]) {
    if (p < s->end && *p == ':') {
      if (p + 1 < s->end && p[1] == '/') throw_error(s, marker_position(s), p + 2, TYPE_PATH);
      s->token_type = close_series(s, p, TYPE_SET_PATH, false);
      set_position(s, p + 1);
    } else {
      s->token_type = close_series(s, p, -1, false);
    }
    if (s->token_type < 0) s->token_type = 0;
    return;
  }
  if (*p != '/') throw_error(s, marker_position(s), p + 1, TYPE_PATH);
  set_position(s, p + 1);
}

// ---- text to numbers -------------------------------------------------------------------------

namespace {
auto units_of(const u8* text, u32 unit) {
  return [text, unit](u32 i) -> u32 { return string::get_char(text + i * unit, unit); };
}
}  // namespace

i32 text_to_integer(const u8* text, u32 length, u32 unit, i32* status) {
  i32 st;
  i32 v = parse_integer(length, units_of(text, unit), false, &st);
  if (status) *status = st;
  return v;
}

double text_to_float(const u8* text, u32 length, u32 unit, i32* status) {
  double d;
  bool ok = parse_float(length, units_of(text, unit), 0, d);
  if (status) *status = ok ? 0 : -1;
  return ok ? d : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace qel::lexer
