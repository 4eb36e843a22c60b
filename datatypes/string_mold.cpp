// form and mold of string!: form writes the text as it is; mold writes it in
// source notation, so that loading the molded text gives the string back.
//
// Molded strings are written between double quotes, with ^ escapes for the
// control characters, the double quote and the caret; or between braces
// when the text holds a double quote, more than two line feeds, or 50 code
// points or more. In braces a double quote stays as it is, a brace that
// has its partner stays too, and a brace without one is escaped (^{ ^}).
#include <algorithm>
#include <vector>

#include "datatypes/string.hpp"
#include "runtime/memory.hpp"
#include "runtime/unicode.hpp"

namespace qel::string {

namespace {

using mem::Buffer;
using mem::buffer_of;
using unicode::unit_of;

// The letter written after "^" for code points 0-94 (0: no escape).
constexpr char kEscapes[95] = {
    '@', 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', '-', '/', 'K', 'L', 'M', 'N', 'O',
    'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z', '[', '\\', ']', '^', '_',
    0,   0,   '"', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
    0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   0,   '^'};

// Appends the source notation of one code point to a run of code points.
// A lone surrogate (a string can hold one, from a ^(D800) escape) has no
// UTF-8 form the lexer accepts: it is written as its escape.
void mold_char_to(std::vector<u32>& out, u32 cp, u32 mode, bool all) {
  if (cp == 30 || (cp >= 128 && cp <= 159) || (all && cp > 127) || (cp >= 0xD800 && cp <= 0xDFFF)) {
    out.push_back('^');
    out.push_back('(');
    for (const char* h = to_hex(i32(cp), true); *h; ++h) out.push_back(u8(*h));
    out.push_back(')');
  } else if (mode == MOLD_ESCAPES && cp < 95 && kEscapes[cp]) {
    out.push_back('^');
    out.push_back(u8(kEscapes[cp]));
  } else if (mode == MOLD_ESCAPES && cp == 127) {
    out.push_back('^');
    out.push_back('~');
  } else {
    out.push_back(cp);
  }
}

// Writes the run to the output string; answers the code points written.
i32 flush(Cell* out, const std::vector<u32>& text) {
  append_code_points(out, text.data(), text.size());
  return i32(std::min<std::size_t>(text.size(), 0x7FFFFFFF));
}

}  // namespace

void mold_char(Cell* out, u32 cp, u32 mode, bool all) {
  std::vector<u32> text;
  mold_char_to(text, cp, mode, all);
  flush(out, text);
}

i32 form(Cell* str, Cell* out, Cell* arg, i32 limit) {
  i32 part = arg ? std::max(limit, 0) : -1;
  u32 n = concatenate(out, str, part);
  return limit - i32(n);
}

i32 mold(Cell* str, Cell* out, bool, bool all, bool, Cell* arg, i32 limit, i32) {
  // The range: from the index to the tail, or limit units with a /part limit.
  Buffer* b = buffer_of(series_node(str));
  u32 unit = unit_of(b);
  u32 total = b->used() / unit;
  u32 index = u32(std::clamp<i32>(series_index(str), 0, i32(total)));
  u32 rest = total - index;
  u32 n = arg ? std::min<u32>(rest, u32(std::max(limit, 0))) : rest;
  std::vector<u32> text(n);
  const u8* p = b->head_ptr() + u64(index) * unit;
  for (u32 i = 0; i < n; ++i) text[i] = get_char(p + u64(i) * unit, unit);

  u32 quotes = 0, line_feeds = 0;
  for (u32 cp : text) {
    quotes += cp == '"';
    line_feeds += cp == '\n';
  }
  std::vector<u32> mold;
  mold.reserve(std::size_t(n) + 2);
  if (line_feeds <= 2 && quotes == 0 && rest < 50) {
    mold.push_back('"');
    for (u32 cp : text) mold_char_to(mold, cp, MOLD_ESCAPES, all);
    mold.push_back('"');
    return limit - flush(out, mold);
  }

  // An opening brace is kept when its partner follows within the range:
  // the brace depth after it comes back to the depth before it. With the
  // depth before each unit as a running sum, that is a later depth (after a
  // unit) at or below it; suffix minima answer it for every brace at once.
  std::vector<i64> depth_after(n);
  i64 d = 0;
  for (u32 i = 0; i < n; ++i) {
    d += text[i] == '{' ? 1 : text[i] == '}' ? -1 : 0;
    depth_after[i] = d;
  }
  std::vector<i64> lowest_from(n + 1, INT64_MAX);
  for (u32 i = n; i-- > 0;) lowest_from[i] = std::min(lowest_from[i + 1], depth_after[i]);

  mold.push_back('{');
  bool balanced = true;
  i64 open = 0;
  for (u32 i = 0; i < n; ++i) {
    u32 cp = text[i];
    if (cp == '{') {
      i64 before = depth_after[i] - 1;
      if (balanced && lowest_from[i + 1] <= before) {
        ++open;
        mold.push_back('{');
      } else {
        balanced = false;
        mold.push_back('^');
        mold.push_back('{');
      }
    } else if (cp == '}') {
      if (open == 0) {
        mold.push_back('^');
        mold.push_back('}');
      } else {
        --open;
        mold.push_back('}');
      }
    } else if (cp == '"') {
      mold.push_back('"');
    } else if (cp == '^') {
      mold.push_back('^');
      mold.push_back('^');
    } else {
      mold_char_to(mold, cp, MOLD_ESCAPES, all);
    }
  }
  mold.push_back('}');
  return limit - flush(out, mold);
}

}  // namespace qel::string
