// The binary! datatype: byte images of values, conversion, mold, comparison,
// insertion and change, trimming and the bitwise actions.
#include "datatypes/binary.hpp"

#include <algorithm>
#include <cstring>

#include "datatypes/bitset.hpp"
#include "datatypes/image.hpp"
#include "datatypes/string.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "runtime/codecs/base.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::binary {

using mem::Buffer;
using mem::buffer_of;

namespace {

// The largest binary: indexes are signed 32-bit numbers, and the memory
// region caps a buffer below 4 GiB.
constexpr u64 MAX_BYTES = 0x7FFFFFF0ull;

struct Span {
  u32 total;
  u32 index;
  u32 rest() const { return total - index; }
};
Span span_of(const Cell* s) {
  Buffer* b = buffer_of(series_node(s));
  u32 total = b->used();
  i32 i = series_index(s);
  return {total, i < 0 ? 0 : std::min(u32(i), total)};
}

inline bool is_block_like(Type t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

[[noreturn]] void not_done() { fire(Err::internal_not_done); }

// Makes room for more bytes after the used part of the node's buffer.
Buffer* make_room(u32 node, u64 more) {
  if (u64(buffer_of(node)->used()) + more > MAX_BYTES) fire(Err::internal_no_memory);
  return string::make_room(node, more);
}

// Appends the UTF-8 of a string-like value from its index.
void append_utf8_of_text(const Cell* text, std::vector<u8>& out) {
  Buffer* b = buffer_of(series_node(text));
  u32 unit = unicode::unit_of(b);
  u32 total = b->used() / unit;
  i32 i = series_index(text);
  u32 index = i < 0 ? 0 : std::min(u32(i), total);
  const u8* p = b->head_ptr();
  u8 seq[4];
  for (u32 k = index; k < total; ++k) {
    u32 cp = string::get_char(p + u64(k) * unit, unit);
    u32 n = unicode::encode_utf8_char(cp, seq);
    out.insert(out.end(), seq, seq + n);
  }
}

void append_char_utf8(u32 cp, std::vector<u8>& out) {
  u8 seq[4];
  u32 n = unicode::encode_utf8_char(cp, seq);  // raises above 0x10FFFF
  out.insert(out.end(), seq, seq + n);
}

void bytes_worker(Cell* value, std::vector<u8>& out, i64 limit, bool only, Mode mode, int depth) {
  Type t = type_of(value);
  switch (t) {
    case TYPE_CHAR:
      if (char_of(value) > 0x10FFFF) unicode::raise_invalid_char(char_of(value));
      append_char_utf8(char_of(value), out);
      return;
    case TYPE_INTEGER: {
      i32 v = int_of(value);
      if (v > 255 || v < -128) fire(Err::script_invalid_arg, value);
      out.push_back(u8(v));
      return;
    }
    case TYPE_BINARY: {
      Span sp = span_of(value);
      const u8* p = buffer_of(series_node(value))->head_ptr() + sp.index;
      out.insert(out.end(), p, p + sp.rest());
      return;
    }
    case TYPE_TUPLE:
      for (u32 i = 0; i < tuple::count(value); ++i) out.push_back(tuple::byte(value, i));
      return;
    default: break;
  }
  if (is_block_like(t)) {
    if (depth > 512) fire(Err::internal_no_cycle);  // a block that holds itself
    u32 node = series_node(value);
    i32 start = std::max(series_index(value), 0);
    Cell* element = make_none(stack::push());
    i64 values = 0;
    for (u32 i = u32(start);; ++i) {
      Buffer* b = buffer_of(node);  // fetched again: forming allocates
      if (i >= b->used() / sizeof(Cell)) break;
      if (limit >= 0 && (only ? i64(out.size()) : values) >= limit) break;
      copy_cell(b->cells() + i, element);
      bytes_worker(element, out, -1, only, mode, depth + 1);
      ++values;
    }
    stack::pop(1);
    return;
  }
  if (is_any_string_type(t)) {
    // A tag's characters, without the brackets that only its text shows.
    append_utf8_of_text(value, out);
    return;
  }
  if (mode == Mode::convert) {
    Cell dt;
    fire(Err::script_bad_to_arg, make_datatype(&dt, TYPE_BINARY), value);
  }
  stack::Mark mark;
  Cell* text = make_none(stack::push());
  string::make_at(text, 16);
  actions::form(value, text, nullptr, 0x7FFFFFFF);
  append_utf8_of_text(text, out);
}

// ---- handlers ----------------------------------------------------------------------------

Cell* to_h(Cell* proto, Cell* spec, Type type) {
  Type st = type_of(spec);
  std::vector<u8> bytes;
  switch (st) {
    case TYPE_INTEGER: {
      u32 v = u32(int_of(spec));
      bytes = {u8(v >> 24), u8(v >> 16), u8(v >> 8), u8(v)};
      break;
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      u64 v;
      double d = float_of(spec);
      std::memcpy(&v, &d, sizeof v);
      for (int i = 7; i >= 0; --i) bytes.push_back(u8(v >> (i * 8)));
      break;
    }
    case TYPE_ISSUE: {
      std::string text = string::to_utf8(word::to_string(spec));
      auto decoded = codecs::base::decode_16(reinterpret_cast<const u8*>(text.data()), 1, u32(text.size()));
      if (!decoded) fire(Err::script_invalid_data, spec);
      bytes = std::move(*decoded);
      break;
    }
    case TYPE_BITSET: {
      Buffer* b = buffer_of(series_node(spec));
      u32 n = std::min(bitset::byte_length(spec), b->used());
      bytes.assign(b->head_ptr(), b->head_ptr() + n);
      break;
    }
    case TYPE_IMAGE:
      return image::extract_data(spec, 2);  // the raw pixel words
    default:
      if (is_block_like(st)) {
        bytes_worker(spec, bytes, -1, false, Mode::insert, 0);
      } else {
        bytes_worker(spec, bytes, -1, false, Mode::convert, 0);
      }
  }
  return load(bytes);
}

// The writer of both form and mold: "#{", two hex digits a byte, "}"; not
// flat, a value of 31 bytes or more puts its bytes on lines of 32 of their
// own, one level deeper than the braces.
i32 write(Cell* value, Cell* out, bool only, bool flat, Cell* arg, i32 limit, i32 indent) {
  std::vector<u8> bytes = bytes_from_index(value);
  u32 n = u32(bytes.size());
  bool lines = !flat && n > 30;
  auto newline = [&](i32 level) {
    string::append_char(out, '\n');
    --limit;
    for (i32 i = 0; i < level; ++i) limit = string::write_ascii(out, "    ", limit);
  };
  auto stop = [&] { return arg && limit <= 0; };
  if (!only) limit = string::write_ascii(out, "#{", limit);
  if (lines) newline(indent + 1);
  for (u32 i = 0; i < n && !stop(); ++i) {
    limit = string::write_ascii_n(out, string::byte_to_hex(bytes[i]), 2, limit);
    if (lines && (i + 1) % 32 == 0 && i + 1 < n) newline(indent + 1);
  }
  if (stop()) return limit;
  if (lines) newline(indent);
  if (!only) limit = string::write_ascii(out, "}", limit);
  return limit;
}

i32 form_h(Cell* value, Cell* out, Cell* arg, i32 limit) {
  return write(value, out, false, false, arg, limit, 0);
}

i32 mold_h(Cell* value, Cell* out, bool only, bool, bool flat, Cell* arg, i32 limit, i32 indent) {
  return write(value, out, only, flat, arg, limit, indent);
}

i32 compare_h(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_BINARY) return COMPARE_INCOMPARABLE;
  return compare(a, b, op);
}

// and~, or~, xor~ of the two binaries at the frame base.
void bitwise(i32 op) {
  Cell* a = stack::base;
  Cell* b = stack::base + 1;
  if (type_of(b) != TYPE_BINARY) fire(Err::script_invalid_arg, b);
  std::vector<u8> x = bytes_from_index(a), y = bytes_from_index(b);
  if (x.size() < y.size()) std::swap(x, y);  // x the longer
  std::vector<u8> r(x.size(), 0);
  for (std::size_t i = 0; i < y.size(); ++i) {
    r[i] = op == OP_AND ? (x[i] & y[i]) : op == OP_OR ? (x[i] | y[i]) : (x[i] ^ y[i]);
  }
  if (op != OP_AND) std::copy(x.begin() + std::ptrdiff_t(y.size()), x.end(), r.begin() + std::ptrdiff_t(y.size()));
  Cell* result = load(r);
  copy_cell(result, stack::base);
  stack::keep();
}
void and_h() { bitwise(OP_AND); }
void or_h() { bitwise(OP_OR); }
void xor_h() { bitwise(OP_XOR); }

Cell* complement_h(Cell* value) {
  Span sp = span_of(value);
  u8* p = buffer_of(series_node(value))->head_ptr();
  for (u32 i = sp.index; i < sp.total; ++i) p[i] = u8(~p[i]);
  return value;
}

// Writes dup copies of the image at byte position pos, replacing cut bytes;
// answers the position after the written run.
u32 splice(Cell* series, u32 pos, u32 cut, const std::vector<u8>& image, u32 dup) {
  u32 node = series_node(series);
  Span sp = span_of(series);
  pos = std::min(pos, sp.total);
  cut = std::min(cut, sp.total - pos);
  u64 run = u64(image.size()) * dup;
  if (run > MAX_BYTES || u64(sp.total) - cut + run > MAX_BYTES) fire(Err::internal_no_memory);
  if (run > cut) make_room(node, run - cut);
  Buffer* b = buffer_of(node);
  u8* h = b->head_ptr();
  std::memmove(h + pos + run, h + pos + cut, sp.total - pos - cut);
  if (run) {
    std::memcpy(h + pos, image.data(), image.size());
    mem::copy_repeat(h + pos, u32(image.size()), dup);
  }
  b->tail = b->head + u32(u64(sp.total) - cut + run);
  return pos + u32(run);
}

Cell* insert_h(Cell* series, Cell* value, i32 part, bool only, i32 dup, bool append) {
  if (dup < 1) return series;
  std::vector<u8> image;
  bytes_of(value, image, part, only, Mode::insert);
  Span sp = span_of(series);
  u32 pos = append ? sp.total : sp.index;
  u64 run = u64(image.size()) * u32(dup);
  if (run > MAX_BYTES) fire(Err::internal_no_memory);
  series::Event before = append ? series::Event::append : series::Event::insert;
  series::Event after = append ? series::Event::appended : series::Event::inserted;
  string::OwnerNotice notice(series, before, after, value, i32(pos), i32(run));
  u32 end = splice(series, pos, 0, image, u32(dup));
  if (!append) set_series_index(series, i32(end));
  notice.done(i32(pos), i32(run));
  return series;
}

Cell* change_h(Cell* series, Cell* value, i32 part, bool only, i32 dup) {
  if (dup < 1) return series;
  std::vector<u8> image;
  bytes_of(value, image, -1, only, Mode::insert);
  Span sp = span_of(series);
  u64 run = u64(image.size()) * u32(dup);
  if (run > MAX_BYTES) fire(Err::internal_no_memory);
  u32 cut = part >= 0 ? std::min(u32(part), sp.rest()) : u32(std::min<u64>(run, sp.rest()));
  string::OwnerNotice notice(series, series::Event::change, series::Event::changed, value, i32(sp.index), i32(run));
  u32 end = splice(series, sp.index, cut, image, u32(dup));
  set_series_index(series, i32(std::min(end, span_of(series).total)));
  notice.done(i32(sp.index), i32(run));
  return series;
}

Cell* trim_h(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
  if (auto_ || lines) not_done();
  Span sp = span_of(series);
  string::OwnerNotice notice(series, series::Event::trim, series::Event::trimmed, nullptr, i32(sp.index), i32(sp.rest()));
  if (with) {
    string::trim_with(series, with);
  } else {
    sp = span_of(series);  // the owner's handler may have changed the series
    Buffer* b = buffer_of(series_node(series));
    u8* p = b->head_ptr() + sp.index;
    u32 n = sp.rest();
    u32 kept;
    if (all) {
      kept = u32(std::remove(p, p + n, u8(0)) - p);
    } else {
      bool both = head == tail;
      u32 first = 0, last = n;
      if (head || both) while (first < n && p[first] == 0) ++first;
      if (tail || both) while (last > first && p[last - 1] == 0) --last;
      kept = last - first;
      std::memmove(p, p + first, kept);
    }
    b->tail = b->head + sp.index + kept;
  }
  notice.done(i32(sp.index), i32(span_of(series).rest()));
  return series;
}

}  // namespace

// ---------------------------------------------------------------------------
// Making and reading

Cell* make_at(Cell* out, u32 capacity) {
  return string::make_at(out, std::max<u32>(capacity, 1), 1, TYPE_BINARY);
}

Cell* load_at(const u8* bytes, u32 length, Cell* out) {
  if (!out) make_none(out = stack::push());
  make_at(out, length);
  Buffer* b = buffer_of(series_node(out));
  if (length) std::memcpy(b->head_ptr(), bytes, length);
  b->tail = b->head + length;
  return out;
}

void load_in(const u8* bytes, u32 length, u32 block_node) {
  Cell* c = load(bytes, length);
  copy_cell(c, mem::alloc_tail_cell(block_node));  // c is on the stack: it stays valid
  stack::pop(1);
}

u32 rs_length(const Cell* bin) { return span_of(bin).rest(); }

u8* rs_head(Cell* bin) {
  Span sp = span_of(bin);
  set_series_index(bin, i32(sp.index));
  return buffer_of(series_node(bin))->head_ptr() + sp.index;
}

std::vector<u8> bytes_from_index(const Cell* bin, i64 limit) {
  Span sp = span_of(bin);
  u32 n = sp.rest();
  if (limit >= 0 && u64(limit) < n) n = u32(limit);
  const u8* p = buffer_of(series_node(bin))->head_ptr() + sp.index;
  return std::vector<u8>(p, p + n);
}

void append_bytes(Cell* bin, const u8* bytes, u32 length) {
  if (!length) return;
  u32 node = series_node(bin);
  Buffer* b = make_room(node, length);
  std::memcpy(b->tail_ptr(), bytes, length);
  b->tail += length;
}

void insert_bytes(Cell* bin, u32 offset, const u8* bytes, u32 length) {
  std::vector<u8> image(bytes, bytes + length);
  Span sp = span_of(bin);
  splice(bin, u32(std::min<u64>(u64(sp.index) + offset, sp.total)), 0, image, 1);
}

void append_int32_be(i32 value, Cell* bin) {
  u32 v = u32(value);
  u8 b[4] = {u8(v >> 24), u8(v >> 16), u8(v >> 8), u8(v)};
  append_bytes(bin, b, 4);
}

u8 byte_of(const Cell* value) {
  Type t = type_of(value);
  if (t != TYPE_INTEGER && t != TYPE_CHAR) fire(Err::script_invalid_arg, value);
  return u8(t == TYPE_CHAR ? char_of(value) : u32(int_of(value)));
}

void bytes_of(Cell* value, std::vector<u8>& out, i32 part, bool only, Mode mode) {
  std::size_t start = out.size();
  Type t = type_of(value);
  bool counts_values = is_block_like(t) && !only;
  bytes_worker(value, out, part >= 1 && counts_values ? part : -1, only, mode, 0);
  if (part >= 1 && !counts_values && out.size() - start > u32(part)) out.resize(start + u32(part));
  if (part == 0 && !counts_values) out.resize(start);
}

// ---------------------------------------------------------------------------
// Matching

namespace {

// The bytes a rule value stands for (nullopt for a bitset or an unknown type).
bool rule_bytes(const Cell* rule, std::vector<u8>& out) {
  Type t = type_of(rule);
  if (t == TYPE_BINARY) {
    out = bytes_from_index(rule);
    return true;
  }
  if (t == TYPE_CHAR || t == TYPE_INTEGER) {
    u32 v = t == TYPE_CHAR ? char_of(rule) : u32(int_of(rule));
    if (v > 0xFF) return false;
    out.assign(1, u8(v));
    return true;
  }
  if (is_any_string_type(t)) {
    if (t == TYPE_TAG) out.push_back('<');
    append_utf8_of_text(rule, out);
    if (t == TYPE_TAG) out.push_back('>');
    return true;
  }
  return false;
}

inline u8 fold(u8 c) { return (c >= 'a' && c <= 'z') ? u8(c - 32) : c; }

bool bytes_equal(const u8* p, const std::vector<u8>& pat, bool case_sensitive) {
  if (case_sensitive) return std::memcmp(p, pat.data(), pat.size()) == 0;
  for (std::size_t i = 0; i < pat.size(); ++i) {
    if (fold(p[i]) != fold(pat[i])) return false;
  }
  return true;
}

}  // namespace

i32 match_length(const Cell* bin, const Cell* rule, bool case_sensitive) {
  Span sp = span_of(bin);
  const u8* p = buffer_of(series_node(bin))->head_ptr() + sp.index;
  if (type_of(rule) == TYPE_BITSET) {
    if (!sp.rest()) return -1;
    return bitset::member(rule, p[0]) ? 1 : -1;
  }
  std::vector<u8> pat;
  if (!rule_bytes(rule, pat)) return -1;
  bool exact = case_sensitive;
  if (pat.size() > sp.rest()) return -1;
  p = buffer_of(series_node(bin))->head_ptr() + sp.index;  // forming may have allocated
  return bytes_equal(p, pat, exact) ? i32(pat.size()) : -1;
}

i32 find_match(const Cell* bin, const Cell* rule, bool case_sensitive, i32* length) {
  Span sp = span_of(bin);
  if (type_of(rule) == TYPE_BITSET) {
    const u8* p = buffer_of(series_node(bin))->head_ptr() + sp.index;
    for (u32 i = 0; i < sp.rest(); ++i) {
      if (bitset::member(rule, p[i])) {
        *length = 1;
        return i32(i);
      }
    }
    return -1;
  }
  std::vector<u8> pat;
  if (!rule_bytes(rule, pat)) return -1;
  bool exact = case_sensitive;
  const u8* p = buffer_of(series_node(bin))->head_ptr() + sp.index;
  if (pat.size() > sp.rest()) return -1;
  for (u32 i = 0; i + pat.size() <= sp.rest(); ++i) {
    if (bytes_equal(p + i, pat, exact)) {
      *length = i32(pat.size());
      return i32(i);
    }
  }
  return -1;
}

i32 compare(const Cell* a, const Cell* b, i32 op) {
  bool same = series_node(a) == series_node(b) && span_of(a).index == span_of(b).index;
  if (op == COMP_SAME) return same ? 0 : -1;
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                  op == COMP_EQUAL_NO_CASE;
  if (same && equality) return 0;
  Span x = span_of(a), y = span_of(b);
  if (equality && x.rest() != y.rest()) return 1;
  const u8* p = buffer_of(series_node(a))->head_ptr() + x.index;
  const u8* q = buffer_of(series_node(b))->head_ptr() + y.index;
  u32 n = std::min(x.rest(), y.rest());
  if (n) {
    int c = std::memcmp(p, q, n);
    if (c) return c < 0 ? -1 : 1;
  }
  if (x.rest() == y.rest()) return 0;
  return x.rest() < y.rest() ? -1 : 1;
}

void init() {
  DatatypeDef def{TYPE_BINARY, TYPE_STRING, "binary!", {}};
  ActionTable& t = def.actions;
  t.to = to_h;
  t.form = form_h;
  t.mold = mold_h;
  t.compare = compare_h;
  t.and_t = and_h;
  t.or_t = or_h;
  t.xor_t = xor_h;
  t.complement = complement_h;
  t.append = insert_h;
  t.insert = insert_h;
  t.change = change_h;
  t.trim = trim_h;
  t.set_path = nullptr;
  t.absolute = nullptr;
  t.add = nullptr;
  t.divide = nullptr;
  t.multiply = nullptr;
  t.negate = nullptr;
  t.power = nullptr;
  t.remainder = nullptr;
  t.round = nullptr;
  t.subtract = nullptr;
  t.even_q = nullptr;
  t.odd_q = nullptr;
  t.put = nullptr;
  // No port actions (open .. write), nor create, close, delete.
  t.create = nullptr;
  t.close = nullptr;
  t.delete_ = nullptr;
  t.open = nullptr;
  t.open_q = nullptr;
  t.query = nullptr;
  t.read = nullptr;
  t.rename = nullptr;
  t.update = nullptr;
  t.write = nullptr;
  types::register_datatype(def);
}

}  // namespace qel::binary
