// Routines of the library's text tools: unescape, which decodes the
// backslash escapes of a JSON string literal's text in the string itself
// (the part from its index), answering the string.
#include "library/native/routines.hpp"

#include <vector>

#include "datatypes/string.hpp"
#include "eval/library_routines.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

namespace qel::library::native {

namespace {

int hex_value(u32 c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return -1;
}

// Reads "XXXX" at cps[i..]; answers the value or -1 when a digit is missing
// or not hexadecimal.
i32 read_hex4(const std::vector<u32>& cps, std::size_t i) {
  if (i + 4 > cps.size()) return -1;
  i32 v = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    int h = hex_value(cps[i + k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

void unescape_entry() {
  Cell* str = stack::base;
  if (type_of(str) != TYPE_STRING) fire(Err::script_invalid_arg, str);
  u32 start = u32(series_index(str));
  u32 len = string::length_from_head(str);
  if (start >= len) return;
  std::vector<u32> in;
  in.reserve(len - start);
  for (u32 p = start; p < len; ++p) in.push_back(string::char_at(str, p));
  std::vector<u32> out;
  out.reserve(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    u32 c = in[i];
    if (c != '\\' || i + 1 >= in.size()) {
      out.push_back(c);
      continue;
    }
    u32 e = in[i + 1];
    switch (e) {
      case '"': case '\\': case '/': out.push_back(e); ++i; break;
      case 'b': out.push_back(8); ++i; break;
      case 'f': out.push_back(12); ++i; break;
      case 'n': out.push_back(10); ++i; break;
      case 'r': out.push_back(13); ++i; break;
      case 't': out.push_back(9); ++i; break;
      case 'u': {
        i32 v = read_hex4(in, i + 2);
        if (v < 0) fire(Err::script_invalid_data, str);
        i += 5;
        // A low surrogate must follow a high one: alone it is no character.
        if (v >= 0xDC00 && v <= 0xDFFF) fire(Err::script_invalid_data, str);
        if (v >= 0xD800 && v <= 0xDBFF) {
          if (i + 2 >= in.size() || in[i + 1] != '\\' || in[i + 2] != 'u') fire(Err::script_invalid_data, str);
          i32 lo = read_hex4(in, i + 3);
          if (lo < 0xDC00 || lo > 0xDFFF) fire(Err::script_invalid_data, str);
          i += 6;
          v = 0x10000 + (v - 0xD800) * 1024 + (lo - 0xDC00);
        }
        out.push_back(u32(v));
        break;
      }
      default: out.push_back(c); break;  // kept with the next character
    }
  }
  string::truncate_buffer(series_node(str), start);
  string::append_code_points(str, out.data(), out.size());
}

}  // namespace

void define_text_routines() {
  define_global_routine("unescape", "[str [string!] \"(modified)\"]", unescape_entry);
}

}  // namespace qel::library::native
