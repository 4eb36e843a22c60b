#include "datatypes/file_url.hpp"

#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "datatypes/object.hpp"
#include "datatypes/port.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/io_services.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel {

namespace {

// Bit b of kUrlSet[b / 32] is set when byte b (below 128) is in the URL set:
// letters, digits and ! # $ & ' ( ) * + , - . / : = ? @ _ ~.
constexpr bool in_url_set(u32 b) {
  if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) return true;
  for (char c : "!#$&'()*+,-./:=?@_~") {
    if (c && u32(c) == b) return true;
  }
  return false;
}
constexpr bool in_unreserved_set(u32 b) {
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '-' ||
         b == '.' || b == '_' || b == '~';
}

struct Sets {
  bool url[128];
  bool unreserved[128];
  constexpr Sets() : url(), unreserved() {
    for (u32 b = 0; b < 128; ++b) {
      url[b] = in_url_set(b);
      unreserved[b] = in_unreserved_set(b);
    }
  }
};
constexpr Sets kSets;

i32 hex_value(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte of a "%XX" escape at p (with n bytes left), or -1.
i32 escape_at(const u8* p, std::size_t n) {
  if (n < 3 || p[0] != '%') return -1;
  i32 hi = hex_value(p[1]), lo = hex_value(p[2]);
  return (hi < 0 || lo < 0) ? -1 : hi * 16 + lo;
}

void decode_bytes(const u8* p, std::size_t n, Cell* out) {
  const u8* end = p + n;
  while (p < end) {
    i32 b = escape_at(p, std::size_t(end - p));
    if (b >= 0) {
      u32 len = b >= 0xC0 ? unicode::utf8_lead_length(u8(b)) : 0;
      if (len == 0) {
        // An ASCII or a continuation byte stands for itself.
        string::append_char(out, u32(b));
        p += 3;
        continue;
      }
      // A lead byte: its continuation bytes must be escapes too.
      u8 seq[4] = {u8(b), 0, 0, 0};
      bool complete = true;
      for (u32 k = 1; k < len; ++k) {
        i32 c = escape_at(p + 3 * k, p + 3 * k <= end ? std::size_t(end - (p + 3 * k)) : 0);
        if (c < 0x80 || c > 0xBF) {
          complete = false;
          break;
        }
        seq[k] = u8(c);
      }
      if (complete) {
        i32 cp;
        const u8* after = unicode::fast_decode_utf8_char(seq, seq + len, cp);
        if (cp >= 0 && after == seq + len) {
          string::append_char(out, u32(cp));
          p += 3 * len;
          continue;
        }
      }
      // Not a complete escape: the "%" is plain text.
    }
    string::append_char(out, unicode::decode_lenient(p, end));
  }
}

// Appends the value's form to out: the text of a string-like value, else the
// form of its type.
void form_into(const Cell* value_in, Cell* out) {
  stack::Mark mark;
  Cell* v = stack::push_cell(value_in);
  if (is_any_string_type(type_of(v))) string::concatenate(out, v);
  else actions::form(v, out, nullptr, 0x7FFFFFFF);
}

u32 last_char(const Cell* str) {
  u32 n = string::length_from_head(str);
  return n ? string::char_at(str, n - 1) : 0;
}

}  // namespace

namespace url {

bool kept(int mode, u8 byte) {
  if (byte >= 128) return false;
  return mode == MODE_UNRESERVED ? kSets.unreserved[byte] : kSets.url[byte];
}

u32 encode_byte(int mode, u8 byte, char out[3]) {
  if (kept(mode, byte)) {
    out[0] = char(byte);
    return 1;
  }
  const char* hex = string::byte_to_hex(byte);
  out[0] = '%';
  out[1] = hex[0];
  out[2] = hex[1];
  return 3;
}

void encode(const Cell* str, Cell* out, int mode) {
  std::string text = string::to_utf8(str);
  char esc[3];
  for (unsigned char b : text) {
    u32 n = encode_byte(mode, b, esc);
    string::append_ascii(out, esc, n);
  }
}

void decode(const Cell* str, Cell* out) {
  std::string text = string::to_utf8(str);
  decode_bytes(reinterpret_cast<const u8*>(text.data()), text.size(), out);
}

Cell* load(const u8* bytes, u32 length) {
  std::vector<u8> copy(bytes, bytes + length);  // the bytes may lie in a buffer that moves
  Cell* out = make_none(stack::push());
  string::make_at(out, length ? length : 1, 1, TYPE_URL);
  decode_bytes(copy.data(), copy.size(), out);
  return out;
}

Cell* push(const Cell* u) { return stack::push_cell(u); }

namespace {

// scheme://host[:port]/part/part#issue from a block.
Cell* compose(Cell* block) {
  Cell* out = make_none(stack::push());
  string::make_at(out, 32, 1, TYPE_URL);
  u32 node = series_node(block);
  u32 count = mem::buffer_of(node)->used() / sizeof(Cell);
  u32 i = series_index(block) < 0 ? 0 : u32(series_index(block));
  if (i >= count) {
    Cell t;
    make_datatype(&t, TYPE_URL);
    fire(Err::script_bad_to_arg, &t, block);
  }
  auto item = [&](u32 k) { return mem::buffer_of(node)->cells()[k]; };
  auto count_now = [&] { return mem::buffer_of(node)->used() / sizeof(Cell); };
  Cell scheme = item(i++);
  form_into(&scheme, out);
  string::append_ascii(out, "://");
  if (i < count_now()) {
    Cell host = item(i++);
    form_into(&host, out);
  }
  if (i < count_now() && type_of(mem::buffer_of(node)->cells() + i) == TYPE_INTEGER) {
    Cell port = item(i++);
    string::append_ascii(out, ":");
    string::append_ascii(out, std::to_string(int_of(&port)).c_str());
    if (i >= count_now()) return out;
  }
  string::append_ascii(out, "/");
  for (; i < count_now(); ++i) {
    Cell part = item(i);
    form_into(&part, out);
    if (i + 1 < count_now()) {
      string::append_ascii(out, type_of(mem::buffer_of(node)->cells() + i + 1) == TYPE_ISSUE ? "#" : "/");
    }
  }
  return out;
}

Cell* string_action(Action a, Cell* proto, Cell* spec, Type type) {
  auto h = reinterpret_cast<act::Make>(types::table[TYPE_STRING][a]);
  if (!h) {
    Cell t;
    make_datatype(&t, type);
    fire(a == ACT_make ? Err::script_bad_make_arg : Err::script_bad_to_arg, &t, spec);
  }
  return h(proto, spec, type);
}

Cell* url_make(Cell* proto, Cell* spec, Type type) {
  if (type == TYPE_URL && is_any_block_type(type_of(spec))) return compose(spec);
  return string_action(ACT_make, proto, spec, type);
}

Cell* url_to(Cell* proto, Cell* spec, Type type) {
  if (type == TYPE_URL && is_any_block_type(type_of(spec))) return compose(spec);
  return string_action(ACT_to, proto, spec, type);
}

i32 url_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  std::string text = string::to_utf8(v);
  char esc[3];
  for (unsigned char b : text) {
    if (arg && limit <= 0) break;
    u32 n = encode_byte(MODE_URL, b, esc);
    string::append_ascii(buffer, esc, n);
    limit -= i32(n);
  }
  return limit;
}

// parent/element: a new value of the parent's type, the parent's text and
// the element's form joined by exactly one "/". The parent never changes.
Cell* url_eval_path(Cell* parent, Cell* element, Cell* value, const PathStep&) {
  if (value) fire(Err::script_bad_path_set, element, value);
  stack::Mark mark;
  Cell* result = make_none(stack::push());
  u32 unit = mem::buffer_of(series_node(parent))->unit();
  string::make_at(result, string::length_from_index(parent) + 16, unit ? unit : 1,
                  type_of(parent));
  string::concatenate(result, parent);
  Cell* item = stack::push_cell(element);
  if (type_of(item) == TYPE_GET_WORD) copy_cell(word::get_value_cell(item), item);
  Cell* text = make_none(stack::push());
  string::make_at(text, 16, 1);
  form_into(item, text);
  bool parent_slash = last_char(result) == '/';
  bool element_slash = string::length_from_head(text) > 0 && string::char_at(text, 0) == '/';
  if (!parent_slash && !element_slash) string::append_char(result, '/');
  if (parent_slash && element_slash) set_series_index(text, 1);
  string::concatenate(result, text);
  return mark.keep(result);
}

// A URL of any scheme but the HTTP ones, as a port of the scheme that a
// script registered in system/schemes: the library's URL parser takes it
// apart (an answer that is no object is an invalid URL) and port! makes the
// port, which raises unknown-scheme when no such scheme is registered.
Cell* to_port(const Cell* url_in) {
  stack::Mark mark;
  Cell* url = stack::push_cell(url_in);
  Cell* parser = stack::push_cell(word::get_value_cell(intern_word("url-parser")));
  if (type_of(parser) != TYPE_OBJECT) fire(Err::internal_not_done);
  Cell* fn = stack::push_cell(object::get_word_cell(parser, intern_word("parse-url")));
  Cell* args = stack::push_cell(url);
  make_logic(stack::push(), false);  // no /throw-error
  Cell* parts = make_none(stack::push());
  api::CallOptions options;
  options.name = stack::push_cell(intern_word("parse-url"));
  api::check(api::invoke(fn, args, 2, parts, options));
  if (type_of(parts) != TYPE_OBJECT) fire(Err::script_invalid_arg, url);
  return mark.keep(port::make(parts));
}

bool http_scheme(const Cell* url) { return string::match_bytes(url, "http"); }

Cell* url_read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
  if (http_scheme(source)) return io_services::services.url_read(source, part, seek, binary, lines, info, as);
  stack::Mark mark;
  Cell* port = to_port(source);
  return mark.keep(port::read(port, part, seek, binary, lines, info, as));
}

Cell* url_write(Cell* dest, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
                Cell* seek, Cell* allow, Cell* as) {
  if (http_scheme(dest)) {
    return io_services::services.url_write(dest, data, binary, lines, info, append, part, seek, allow, as);
  }
  stack::Mark mark;
  Cell* port = to_port(dest);
  return mark.keep(port::write(port, data, binary, lines, info, append, part, seek, allow, as));
}

// open of a URL opens the port of its scheme (HTTP is no port scheme).
Cell* url_open(Cell* url, bool new_, bool read, bool write, bool seek, Cell* allow) {
  stack::Mark mark;
  Cell* port = to_port(url);
  return mark.keep(port::open(port, new_, read, write, seek, allow));
}

}  // namespace

void init() {
  ActionTable t = no_actions();
  t.make = url_make;
  t.to = url_to;
  t.form = {};
  t.mold = url_mold;
  t.eval_path = url_eval_path;
  t.read = url_read;
  t.write = url_write;
  t.open = url_open;
  t.compare = {};
  t.append = {}; t.at = {}; t.back = {}; t.change = {}; t.clear = {}; t.copy = {};
  t.find = {}; t.head = {}; t.head_q = {}; t.index_q = {}; t.insert = {}; t.length_q = {};
  t.move = {}; t.next = {}; t.pick = {}; t.poke = {};
  t.remove = {}; t.reverse = {}; t.select = {};
  t.skip = {}; t.swap = {}; t.tail = {}; t.tail_q = {}; t.take = {};
  t.modify = {};
  types::register_datatype({TYPE_URL, TYPE_STRING, "url!", t});
}

}  // namespace url

namespace file {

namespace {

i32 file_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  u32 start = u32(string::length_from_head(v) - string::length_from_index(v));
  u32 n = string::length_from_index(v);
  if (arg && limit >= 0 && u32(limit) < n) n = u32(limit);
  string::append_ascii(buffer, "%");
  if (n == 0) {
    string::append_ascii(buffer, "\"\"");
    return limit - 3;
  }
  // A path that the bare notation cannot hold is written in double quotes,
  // with the caret escapes the lexer reads there: control characters, DEL,
  // lone surrogates (the bytes of a name that is not UTF-8), the caret and
  // the double quote, so that the molded text loads back as the same file.
  auto escaped = [](u32 cp) {
    return cp < 32 || cp == '^' || cp == '"' || cp == 127 || (cp >= 128 && cp <= 159) ||
           (cp >= 0xD800 && cp <= 0xDFFF);
  };
  bool quote = false;
  for (u32 i = 0; i < n && !quote; ++i) {
    u32 cp = string::char_at(v, start + i);
    quote = (cp < 127 && !kSets.url[cp]) || escaped(cp);
  }
  u32 before = string::length_from_head(buffer);
  if (quote) string::append_ascii(buffer, "\"");
  for (u32 i = 0; i < n; ++i) {
    u32 cp = string::char_at(v, start + i);
    if (cp == '"') string::append_ascii(buffer, "^(22)");
    else if (cp == '^') string::append_ascii(buffer, "^^");
    else if (escaped(cp)) string::mold_char(buffer, cp, string::MOLD_ESCAPES, false);
    else string::append_char(buffer, cp);
  }
  if (quote) string::append_ascii(buffer, "\"");
  return limit - i32(string::length_from_head(buffer) - before) - 1;
}

}  // namespace

void init() {
  ActionTable t;  // everything from url! ...
  t.mold = file_mold;
  // ... but the file services.
  t.open = nullptr;
  t.read = io_services::services.file_read;
  t.write = io_services::services.file_write;
  t.delete_ = io_services::services.file_delete;
  t.query = io_services::services.file_query;
  t.rename = io_services::services.file_rename;
  types::register_datatype({TYPE_FILE, TYPE_URL, "file!", t});
}

Cell* get_current_dir(Cell* out) {
  std::vector<char> buf(256);
  while (!::getcwd(buf.data(), buf.size())) {
    if (errno != ERANGE) {
      buf.assign({'/', 0});
      break;
    }
    buf.resize(buf.size() * 2);
  }
  std::string dir(buf.data());
  if (dir.empty() || dir.back() != '/') dir += '/';
  return string::load_at(reinterpret_cast<const u8*>(dir.data()), u32(dir.size()), out,
                         string::Encoding::utf8);
}

void to_os_path(const Cell* file, Cell* out, bool full) {
  stack::Mark mark;
  Cell* f = stack::push_cell(file);
  bool relative = string::length_from_index(f) == 0 ||
                  string::char_at(f, u32(string::length_from_head(f) -
                                         string::length_from_index(f))) != '/';
  if (full && relative) {
    Cell* dir = make_none(stack::push());
    get_current_dir(dir);
    string::concatenate(out, dir);
  }
  string::concatenate(out, f);
}

std::string to_local_path(const Cell* file) {
  stack::Mark mark;
  Cell* f = stack::push_cell(file);
  Cell* out = make_none(stack::push());
  string::make_at(out, string::length_from_index(f) + 1, 1);
  to_os_path(f, out, false);
  std::string path;
  u32 n = string::length_from_head(out);
  path.reserve(n);
  for (u32 i = 0; i < n; ++i) {
    u32 cp = string::char_at(out, i);
    if (cp >= 0xDC80 && cp <= 0xDCFF) {
      path.push_back(char(cp - 0xDC00));
      continue;
    }
    u8 seq[4];
    path.append(reinterpret_cast<const char*>(seq), unicode::encode_utf8_char(cp, seq));
  }
  return path;
}

Cell* load_os_name(const u8* bytes, u32 length) {
  std::vector<u32> cps;
  cps.reserve(length);
  for (const u8* p = bytes; p < bytes + length;) {
    i32 cp;
    const u8* next = unicode::fast_decode_utf8_char(p, bytes + length, cp);
    if (cp < 0) {
      cps.push_back(0xDC00 + *p);  // only bytes 80 to FF break the encoding
      next = p + 1;
    }
    else cps.push_back(u32(cp));
    p = next;
  }
  Cell* f = make_none(stack::push());
  string::make_at(f, length ? length : 1, 1, TYPE_FILE);
  string::append_code_points(f, cps.data(), cps.size());
  return f;
}

Cell* load(const u8* bytes, u32 length, bool utf16) {
  Cell* f = string::load(bytes, length, utf16 ? string::Encoding::utf16le : string::Encoding::utf8);
  return set_type(f, TYPE_FILE);
}

Cell* push(const Cell* f) { return stack::push_cell(f); }

}  // namespace file

}  // namespace qel
