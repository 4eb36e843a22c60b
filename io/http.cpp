#include "io/http.hpp"

#include <cctype>
#include <cstdlib>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/map.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "io/files.hpp"
#include "platform/http.hpp"
#include "platform/os.hpp"
#include "runtime/actions.hpp"
#include "runtime/config.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::io::http {

namespace {

// Kept equal to system/version (a test compares them).
constexpr const char* VERSION = "0.1.0";

bool is_word_type(Type t) {
  return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD;
}

std::string formed(const Cell* value) {
  stack::Mark mark;
  Cell* v = stack::push_cell(value);
  Cell* text = make_none(stack::push());
  string::make_at(text, 32, 1);
  actions::form(v, text, nullptr, 0x7FFFFFFF);
  return string::to_utf8(text);
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// A header text that would end its line early, or split into another
// header, raises script invalid-arg with the value.
void check_header_text(const std::string& text, const Cell* value, bool name) {
  bool bad = name && (text.empty() || text.find_first_of(": \t") != std::string::npos);
  if (bad || text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
    fire(Err::script_invalid_arg, value);
  }
}

// The spelling of a word.
std::string spelling(const Cell* word) {
  stack::Mark mark;
  return string::to_utf8(word::to_string(word));
}

std::vector<std::pair<std::string, std::string>> header_pairs(const Cell* block_in) {
  std::vector<std::pair<std::string, std::string>> pairs;
  stack::Mark mark;
  Cell* b = stack::push_cell(block_in);
  u32 start = u32(std::max(series_index(b), 0));
  // The block is read anew at each step: forming a value allocates. A last
  // name without a value is not sent.
  for (u32 i = 0; i + 1 < u32(std::max(block::length_from_index(b), 0)); i += 2) {
    stack::Mark pair_mark;
    Cell* name_cell = stack::push_cell(block::cell_at(b, start + i));
    Cell* value_cell = stack::push_cell(block::cell_at(b, start + i + 1));
    std::string name = is_word_type(type_of(name_cell)) ? spelling(name_cell) : formed(name_cell);
    std::string value = type_of(value_cell) == TYPE_STRING ? string::to_utf8(value_cell) : formed(value_cell);
    check_header_text(name, name_cell, true);
    check_header_text(value, value_cell, false);
    pairs.emplace_back(std::move(name), std::move(value));
  }
  return pairs;
}

std::vector<u8> body_bytes(const Cell* data) {
  if (type_of(data) == TYPE_BINARY) return binary::bytes_from_index(data);
  std::string text = type_of(data) == TYPE_STRING ? string::to_utf8(data) : formed(data);
  return std::vector<u8>(text.begin(), text.end());
}

std::string request_url(const Cell* url_cell) {
  stack::Mark mark;
  Cell* u = stack::push_cell(url_cell);
  Cell* out = make_none(stack::push());
  string::make_at(out, string::length_from_index(u) + 16, 1);
  url::encode(u, out, url::MODE_URL);
  return string::to_utf8(out);
}

// Pushes a string! of header text: UTF-8 when the bytes are, else (header
// values are octets in HTTP) each byte as the Latin-1 character it names.
Cell* header_text(const std::string& bytes) {
  const u8* p = reinterpret_cast<const u8*>(bytes.data());
  const u8* end = p + bytes.size();
  bool utf8 = true;
  for (const u8* q = p; q < end && utf8;) {
    i32 cp;
    q = unicode::fast_decode_utf8_char(q, end, cp);
    utf8 = cp >= 0;
  }
  if (utf8) return string::load(p, u32(bytes.size()), string::Encoding::utf8);
  std::vector<u32> cps(p, end);
  Cell* out = make_none(stack::push());
  string::make_at(out, u32(bytes.size()) + 1, 1);
  string::append_code_points(out, cps.data(), cps.size());
  return out;
}

bool http_scheme(const Cell* url_cell) { return string::match_bytes(url_cell, "http"); }

// A URL is read or written only when the library's URL parser takes it
// apart; any other URL raises script invalid-arg with it.
void check_url(const Cell* url) {
  Cell parser = *word::get_value_cell(intern_word("url-parser"));
  if (type_of(&parser) != TYPE_OBJECT) return;  // before the library defines it
  u32 ctx = object::context_of(&parser);
  i32 i = context::find_word(ctx, symbol::make("parse-url"), true);
  if (i < 0) return;
  Cell fn = *context::slot(ctx, u32(i));
  if (type_of(&fn) != TYPE_FUNCTION) return;
  api::Values v(2);
  copy_cell(url, v[0]);
  api::check(api::invoke(&fn, v[0], 1, v[1]));
  if (type_of(v[1]) != TYPE_OBJECT) fire(Err::script_invalid_arg, v[0]);
}

}  // namespace

std::string user_agent() {
  return std::string("Qel/") + VERSION + " (Linux; " + platform::arch_name() + ")";
}

Headers parse_headers(const std::string& text) {
  Headers headers;
  std::size_t pos = 0, n = text.size();
  while (pos < n) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = n;
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) continue;
    std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) continue;
    std::string name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    std::size_t v = colon + 1;
    while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) ++v;
    std::string value = line.substr(v);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    std::string key = lower(name);
    auto it = headers.begin();
    while (it != headers.end() && lower(it->first) != key) ++it;
    if (it == headers.end()) headers.push_back({name, {value}});
    else it->second.push_back(value);
  }
  return headers;
}

Cell* headers_to_value(const Headers& headers) {
  Cell* block = make_none(stack::push());
  block::make_at(block, i32(headers.size() * 2) + 1);
  for (const auto& [name, values] : headers) {
    stack::Mark mark;
    // A name that is not UTF-8 is spelled as its Latin-1 characters.
    std::string utf8;
    {
      stack::Mark spelling;
      utf8 = string::to_utf8(header_text(name));
    }
    // (names from the server add no words to the global context)
    Cell* key = word::make_data_word(symbol::make_from_string(utf8.data(), u32(utf8.size())), stack::push());
    block::append_copy(block, key);
    if (values.size() == 1) {
      block::append_copy(block, header_text(values[0]));
    } else {
      Cell* list = make_none(stack::push());
      block::make_at(list, i32(values.size()));
      for (const std::string& v : values) {
        stack::Mark each;
        block::append_copy(list, header_text(v));
      }
      block::append_copy(block, list);
    }
  }
  Cell* map = make_none(stack::push());
  map::make_at(map, series_node(block), 0);
  return map;
}

Cell* request(const std::string& method, const Cell* url_cell, const Cell* headers, const Cell* data,
              bool binary, bool lines, bool info) {
  platform::HttpRequest req;
  req.method = method;
  req.url = request_url(url_cell);
  if (headers) {
    req.headers = header_pairs(headers);
  } else {
    req.headers = {{"Content-Type", "application/x-www-form-urlencoded"},
                   {"Accept-Charset", "UTF-8"},
                   {"User-Agent", user_agent()}};
  }
  if (data && !is_none(data) && method != "GET" && method != "HEAD") {
    req.has_body = true;
    req.body = body_bytes(data);
  }
  if (const char* t = std::getenv(config::HTTP_LOW_SPEED_SECONDS_ENV)) {
    long seconds = std::atol(t);
    if (seconds > 0) req.low_speed_seconds = seconds;
  }
  // An interrupt request (Ctrl+C) ends a transfer in progress and stops
  // the evaluation as it would at any safe point.
  req.cancel = api::services.interrupt_requested;
  platform::HttpResponse resp;
  if (!platform::http_request(req, resp)) {
    if (resp.cancelled) api::services.take_interrupt();
    if (resp.too_large) fire(Err::internal_no_memory);
    // libcurl's reason (a time-out, a short body, a redirect loop...) goes
    // into the error's message.
    Cell* reason = header_text(resp.error);
    fire(Err::access_no_connect, url_cell, reason);
  }
  if (!info) return files::bytes_to_value(resp.body, binary, lines);
  stack::Mark mark;
  Cell* result = make_none(stack::push());
  block::make_at(result, 3);
  Cell status;
  make_integer(&status, i32(resp.status));
  block::append_copy(result, &status);
  Cell* map = headers_to_value(parse_headers(resp.headers));
  block::append_copy(result, map);
  Cell* body = files::bytes_to_value(resp.body, binary, lines);
  block::append_copy(result, body);
  return mark.keep(result);
}

Cell* read(Cell* source, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
  check_url(source);
  if (part || seek || as || !http_scheme(source)) fire(Err::internal_not_done);
  Cell* r = request("GET", source, nullptr, nullptr, binary, lines, info);
  if (is_none(r)) fire(Err::access_no_connect, source);
  return r;
}

Cell* write(Cell* dest, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as) {
  check_url(dest);
  if (seek || allow || as || !http_scheme(dest)) fire(Err::internal_not_done);
  std::string method = "POST";
  // The parts of a request block, held where the collector sees them (the
  // action's entry drops what its handler pushed).
  Cell* held[2] = {make_none(stack::push()), make_none(stack::push())};
  Cell* headers = nullptr;
  Cell* body = data;
  if (type_of(data) == TYPE_BLOCK) {
    i32 n = std::max(block::length_from_index(data), 0);
    u32 at = u32(std::max(series_index(data), 0));
    body = nullptr;
    method = "GET";
    if (n >= 2) headers = copy_cell(block::cell_at(data, at + 1), held[0]);
    if (n >= 3) body = copy_cell(block::cell_at(data, at + 2), held[1]);
    if (n >= 1) {
      stack::Mark mark;
      Cell* m = stack::push_cell(block::cell_at(data, at));
      if (type_of(m) != TYPE_WORD) fire(Err::script_invalid_arg, m);
      method = spelling(m);
      for (char& c : method) c = char(std::toupper(static_cast<unsigned char>(c)));
    }
    if (headers && type_of(headers) != TYPE_BLOCK) fire(Err::script_invalid_arg, headers);
  }
  if (body) {
    Type t = type_of(body);
    if (t != TYPE_NONE && t != TYPE_BLOCK && t != TYPE_STRING && t != TYPE_BINARY) {
      fire(Err::script_invalid_arg, body);
    }
  }
  Cell* r = request(method, dest, headers, body, binary, lines, info);
  if (is_none(r)) fire(Err::access_no_connect, dest);
  return r;
}

}  // namespace qel::io::http
