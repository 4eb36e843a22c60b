// The JSON codec's routines: a decoder and an encoder in C++ that the
// library's load-json and to-json run first.
//
// The library's own grammar (library/json.qel) stays the definition: the
// decoder answers a value only for text that the grammar matches, and then
// the very value the grammar's actions build (names made words by the
// decoder's own name-of, numbers read as the lexer reads them, the same
// escapes); for anything else (malformed text, a bad escape, a lone
// surrogate, nesting deeper than it goes, a number text too long for the
// lexer) it answers none and load-json runs the grammar, which also makes
// its error. The encoder writes what qel-to-json-value writes for the types
// it knows and calls qel-to-json-value for the others. Under the evaluator's
// reference switch (QEL_EVAL_REFERENCE=1) both stand aside, so that the
// differential passes check the library code.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/float.hpp"
#include "datatypes/map.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"
#include "eval/library_routines.hpp"
#include "library/native/routines.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/errors.hpp"
#include "runtime/float_text.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::library::native {

namespace {

using mem::Buffer;
using mem::buffer_of;

constexpr int MAX_DEPTH = 512;          // deeper text goes to the grammar
constexpr u32 MAX_NUMBER_TEXT = 300;    // longer numbers too (the lexer's limit)

inline bool json_ws(u32 c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
inline int hex_digit(u32 c) {
  if (c >= '0' && c <= '9') return int(c - '0');
  if (c >= 'a' && c <= 'f') return int(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return int(c - 'A' + 10);
  return -1;
}

}  // namespace

Cell codec_string(const std::u32string& text, u32 widest) {
  u32 n = u32(text.size());
  u32 unit = unicode::unit_for(widest);
  Cell s;
  string::make_at(&s, std::max<u32>(n, 1), unit);
  Buffer* b = buffer_of(series_node(&s));
  u8* p = b->head_ptr();
  for (u32 k = 0; k < n; ++k) unicode::put_char(p + u64(k) * unit, unit, text[k]);
  b->tail = b->head + n * unit;
  return s;
}

namespace {

struct U32Hash {
  using is_transparent = void;
  std::size_t operator()(std::u32string_view s) const { return std::hash<std::u32string_view>{}(s); }
};

// The values of the containers being decoded, waiting for their container
// to be made at its final size; the collector marks them.
std::vector<Cell> g_pending;

void mark_pending() {
  for (const Cell& c : g_pending) gc::mark_cell(&c);
}

// One decoding. The input is read through its node at every token, since
// the values made meanwhile allocate (and the collector moves buffers).
// Each value decoded is pushed on g_pending; a container takes its values
// from there once it is complete, so that it is made at its size.
class Decoder {
 public:
  Decoder(const Cell* input, const Cell* name_of) : name_of_(name_of), base_(g_pending.size()) {
    node_ = series_node(input);
    Buffer* b = buffer_of(node_);
    unit_ = b->unit();
    end_ = b->used() / unit_;
    pos_ = u32(std::clamp<i32>(series_index(input), 0, i32(end_)));
    names_ = stack::push();
    block::make_at(names_, 16);
  }
  ~Decoder() {
    g_pending.resize(base_);
    if (base_ == 0) std::vector<Cell>().swap(g_pending);  // the memory of a long array goes back
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;

  // The decoded value into out (a stack cell); false when the grammar must
  // decide.
  bool run(Cell* out) {
    skip_ws();
    if (!value(0)) return false;
    skip_ws();
    if (pos_ != end_) return false;
    copy_cell(&g_pending.back(), out);
    return true;
  }

 private:
  u32 at(u32 i) const {
    const u8* p = buffer_of(node_)->head_ptr() + u64(i) * unit_;
    return unit_ == 1 ? *p : unit_ == 2 ? u32(p[0] | (p[1] << 8)) : unicode::get_char(p, 4);
  }
  bool peek(u32 c) const { return pos_ < end_ && at(pos_) == c; }
  void skip_ws() {
    if (unit_ == 1) {
      const u8* p = buffer_of(node_)->head_ptr();
      while (pos_ < end_ && json_ws(p[pos_])) ++pos_;
    } else {
      while (pos_ < end_ && json_ws(at(pos_))) ++pos_;
    }
  }
  bool literal(const char* word) {
    u32 n = u32(std::strlen(word));
    if (end_ - pos_ < n) return false;
    for (u32 k = 0; k < n; ++k) {
      if (at(pos_ + k) != u8(word[k])) return false;
    }
    pos_ += n;
    return true;
  }
  Cell* pushed() { return &g_pending.emplace_back(); }

  // One value, pushed on g_pending.
  bool value(int depth) {
    if (pos_ >= end_) return false;
    switch (at(pos_)) {
      case '"': return string();
      case '{': return object(depth + 1);
      case '[': return array(depth + 1);
      case 't': if (!literal("true")) return false; make_logic(pushed(), true); return true;
      case 'f': if (!literal("false")) return false; make_logic(pushed(), false); return true;
      case 'n': if (!literal("null")) return false; make_none(pushed()); return true;
      default: return number();
    }
  }

  // A string literal's text, its escapes decoded, into text_; false when
  // the grammar would not take it or unescape would refuse it.
  bool string_text() {
    ++pos_;  // the opening quote
    text_.clear();
    widest_ = 0;
    for (;;) {
      if (pos_ >= end_) return false;
      u32 c = at(pos_++);
      if (c == '"') return true;
      if (c < 32) return false;
      if (c != '\\') {
        text_.push_back(c);
        widest_ = std::max(widest_, c);
        continue;
      }
      if (pos_ >= end_) return false;
      u32 e = at(pos_++);
      u32 v;
      switch (e) {
        case '"': case '\\': case '/': v = e; break;
        case 'b': v = 8; break;
        case 'f': v = 12; break;
        case 'n': v = 10; break;
        case 'r': v = 13; break;
        case 't': v = 9; break;
        case 'u': {
          i32 hi = hex4();
          if (hi < 0) return false;
          v = u32(hi);
          if (v >= 0xDC00 && v <= 0xDFFF) return false;  // a lone low surrogate
          if (v >= 0xD800 && v <= 0xDBFF) {
            if (end_ - pos_ < 2 || at(pos_) != '\\' || at(pos_ + 1) != 'u') return false;
            pos_ += 2;
            i32 lo = hex4();
            if (lo < 0xDC00 || lo > 0xDFFF) return false;
            v = 0x10000 + (v - 0xD800) * 1024 + (u32(lo) - 0xDC00);
          }
          break;
        }
        default:
          return false;
      }
      text_.push_back(v);
      widest_ = std::max(widest_, v);
    }
  }
  i32 hex4() {
    if (end_ - pos_ < 4) return -1;
    i32 v = 0;
    for (u32 k = 0; k < 4; ++k) {
      int h = hex_digit(at(pos_ + k));
      if (h < 0) return -1;
      v = v * 16 + h;
    }
    pos_ += 4;
    return v;
  }
  // text_ as a new string in out (a cell nothing else writes meanwhile).
  void make_text(Cell* out) {
    Cell s = codec_string(text_, widest_);
    copy_cell(&s, out);
  }
  bool string() {
    if (!string_text()) return false;
    g_pending.push_back(codec_string(text_, widest_));
    return true;
  }

  // numeric-literal: opt "-", int, opt frac, opt exp; read as the lexer
  // reads the text (an integer when it fits 32 bits, else a float).
  bool number() {
    u32 start = pos_;
    char buf[MAX_NUMBER_TEXT + 1];
    u32 len = 0;
    auto take = [&](u32 c) {
      if (len < MAX_NUMBER_TEXT) buf[len] = char(c);
      ++len;
      ++pos_;
    };
    auto digit = [&](u32 c) { return c >= '0' && c <= '9'; };
    auto next = [&]() { return pos_ < end_ ? at(pos_) : 0u; };
    if (next() == '-') take('-');
    if (!digit(next())) return false;
    if (next() == '0') {
      take('0');
    } else {
      while (digit(next())) take(next());
    }
    bool integer = true;
    if (next() == '.' && pos_ + 1 < end_ && digit(at(pos_ + 1))) {
      integer = false;
      take('.');
      while (digit(next())) take(next());
    }
    if (next() == 'e' || next() == 'E') {
      u32 mark = pos_, mark_len = len;
      take(next());
      if (next() == '+' || next() == '-') take(next());
      if (digit(next())) {
        integer = false;
        while (digit(next())) take(next());
      } else {
        pos_ = mark;  // no exponent: opt exp matched nothing
        len = mark_len;
      }
    }
    if (len > MAX_NUMBER_TEXT) {
      pos_ = start;
      return false;
    }
    if (integer) {
      i64 v = 0;
      u32 k = buf[0] == '-' ? 1 : 0;
      bool fits = len - k <= 10;
      for (; fits && k < len; ++k) v = v * 10 + (buf[k] - '0');
      if (buf[0] == '-') v = -v;
      if (fits && v >= INT32_MIN && v <= INT32_MAX) {
        make_integer(pushed(), i32(v));
        return true;
      }
    }
    make_float(pushed(), float_text::text_to_float(buf, buf + len));
    return true;
  }

  // The values pushed from `from` on, taken into a new block at their count.
  void take_block(std::size_t from) {
    u32 n = u32(g_pending.size() - from);
    Cell blk;
    block::make_at(&blk, i32(std::max<u32>(n, 1)));
    u32 node = series_node(&blk);
    for (u32 k = 0; k < n; ++k) copy_cell(&g_pending[from + k], mem::alloc_tail_cell(node));
    g_pending.resize(from);
    g_pending.push_back(blk);
  }

  bool array(int depth) {
    if (depth > MAX_DEPTH) return false;
    ++pos_;
    std::size_t from = g_pending.size();
    skip_ws();
    if (!peek(']')) {
      for (;;) {
        if (!value(depth)) return false;
        skip_ws();
        if (!peek(',')) break;
        ++pos_;
        skip_ws();
      }
      if (!peek(']')) return false;
    }
    ++pos_;
    take_block(from);
    return true;
  }

  // A property's name as its key: the word or string name-of answers,
  // asked once per name.
  bool name() {
    if (!string_text()) return false;
    Cell* k = stack::push();
    auto it = keys_.find(std::u32string_view(text_));
    if (it != keys_.end()) {
      copy_cell(block::cell_at(names_, it->second), k);
      if (type_of(k) == TYPE_STRING) make_text(k);  // a string key is a string of its own
    } else {
      make_text(k);
      api::Status st = api::invoke(name_of_, k, 1, k);
      if (st) api::send(st);
      keys_.emplace(text_, u32(buffer_of(series_node(names_))->used() / sizeof(Cell)));
      block::append_copy(names_, k);
    }
    g_pending.push_back(*k);
    stack::pop(1);
    return true;
  }

  bool object(int depth) {
    if (depth > MAX_DEPTH) return false;
    ++pos_;
    std::size_t from = g_pending.size();
    skip_ws();
    if (!peek('}')) {
      for (;;) {
        if (!peek('"') || !name()) return false;
        skip_ws();
        if (!peek(':')) return false;
        ++pos_;
        skip_ws();
        if (!value(depth)) return false;
        skip_ws();
        if (!peek(',')) break;
        ++pos_;
        skip_ws();
      }
      if (!peek('}')) return false;
    }
    ++pos_;
    // extend/case make map! 8 pairs, the map made at the size of its pairs
    u32 n = u32(g_pending.size() - from);
    Cell* m = stack::push();
    map::make_at(m, 0, std::max<u32>(n, 2));
    for (u32 k = 0; k < n; k += 2) map::set(m, &g_pending[from + k], &g_pending[from + k + 1], true);
    g_pending.resize(from);
    g_pending.push_back(*m);
    stack::pop(1);
    return true;
  }

  const Cell* name_of_;
  std::size_t base_;
  u32 node_, unit_, end_, pos_;
  Cell* names_;                      // the keys name-of answered, by their order
  std::u32string text_;              // the last string literal's text
  u32 widest_ = 0;
  std::unordered_map<std::u32string, u32, U32Hash, std::equal_to<>> keys_;
};

// _json-decode input name-of: the decoded value in a block of one, or none.
void json_decode() {
  if (interp::reference) {
    make_none(stack::base);
    return;
  }
  const stack::Mark mark;
  Cell* out = make_none(stack::push());
  Decoder d(api::arg(0), api::arg(1));
  bool ok = d.run(out);
  Cell* result = stack::push();
  if (ok) {
    block::make_at(result, 1);
    block::append_copy(result, out);
  } else {
    make_none(result);
  }
  copy_cell(result, stack::base);
}


// ---- encoding -------------------------------------------------------------------------

// The field of an object by name, or null.
const Cell* field(const Cell* obj, const char* name) {
  i32 i = context::find_word(object::context_of(obj), symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(object::context_of(obj), u32(i));
}

// One encoding into `out`, without indentation, as qel-to-json-value writes.
// A first pass counts the characters (when every value is of a type written
// here), so that out is made room for once, at its final size; the second
// writes them, gathered in pieces that are appended to out.
class Encoder {
 public:
  Encoder(Cell* out, const Cell* encoder) : out_(out) {
    encode_fn_ = stack::push_cell(field(encoder, "qel-to-json-value"));
    normal_ = stack::push_cell(field(encoder, "normal-chars"));
    for (u32 c = 0; c < 256; ++c) normal_byte_[c] = bitset::test_bit(series_node(normal_), c);
    // The escapes map, character to text.
    const Cell* esc = field(encoder, "escapes");
    u32 node = map::block_of(esc);
    u32 n = buffer_of(node)->used() / sizeof(Cell);
    for (u32 k = 0; k + 1 < n; k += 2) {
      const Cell* key = buffer_of(node)->cells() + k;
      const Cell* text = key + 1;
      if (type_of(key) != TYPE_CHAR || type_of(text) != TYPE_STRING || char_of(key) >= 128) continue;
      std::u32string t;
      for (u32 i = u32(std::max(series_index(text), 0)); i < string::length_from_head(text); ++i) {
        t.push_back(string::char_at(text, i));
      }
      escape_[char_of(key)] = t;
      has_escape_[char_of(key)] = true;
    }
  }

  void run(const Cell* data) {
    counting_ = true;
    value(data, 0);
    counting_ = false;
    if (!uncountable_) {
      u32 node = series_node(out_);
      u32 unit = std::max(unicode::unit_of(buffer_of(node)), widest_ < 0x100 ? 1u : unicode::unit_for(widest_));
      unicode::widen(node, unit);
      Buffer* b = buffer_of(node);
      u64 need = u64(b->used()) + count_ * unit;
      if (need > 0xF0000000ull) raise_memory_error(MemoryError::no_memory);
      if (need > b->end_offset() - b->head) mem::expand_series_copy(node, u32(need));
    }
    value(data, 0);
    flush();
  }

 private:
  static constexpr std::size_t PIECE = 1 << 16;

  void value(const Cell* v, int depth) {
    switch (type_of(v)) {
      case TYPE_NONE: ascii("null"); return;
      case TYPE_LOGIC: ascii(logic_of(v) ? "true" : "false"); return;
      case TYPE_INTEGER: {
        char buf[16];
        auto r = std::to_chars(buf, buf + sizeof buf, int_of(v));
        ascii(buf, u32(r.ptr - buf));
        return;
      }
      case TYPE_FLOAT: {
        float_text::Text t = float_::form(float_of(v), float_text::FORM_FLOAT);
        if (t.view().find('#') != std::string_view::npos) ascii("null");
        else ascii(t.chars, t.length);
        return;
      }
      case TYPE_STRING: string(v); return;
      case TYPE_BLOCK:
        if (depth < MAX_DEPTH) return block(v, depth + 1);
        break;
      case TYPE_MAP:
        if (depth < MAX_DEPTH) return map(v, depth + 1);
        break;
      default:
        break;
    }
    // Any other value: qel-to-json-value itself (its text is not counted).
    if (counting_) {
      uncountable_ = true;
      return;
    }
    flush();
    Cell args[2] = {*out_, *v};
    api::Status st = api::invoke(encode_fn_, args, 2, stack::push());
    stack::pop(1);
    if (st) api::send(st);
  }

  void flush() {
    if (!bytes_.empty()) {
      string::append_ascii(out_, bytes_.data(), bytes_.size());
      bytes_.clear();
    }
    if (!wide_.empty()) {
      // Characters up to U+00FF go in as bytes: a string of 1-byte units holds them.
      if (*std::max_element(wide_.begin(), wide_.end()) <= 0xFF) {
        bytes_.assign(wide_.begin(), wide_.end());
        string::append_ascii(out_, bytes_.data(), bytes_.size());
        bytes_.clear();
      } else {
        string::append_code_points(out_, wide_.data(), wide_.size());
      }
      wide_.clear();
    }
  }

  void put(u32 c) {
    if (counting_) {
      ++count_;
      widest_ = std::max(widest_, c);
      return;
    }
    if (c < 128 && wide_.empty()) {
      bytes_.push_back(char(c));
      if (bytes_.size() >= PIECE) flush();
      return;
    }
    if (!bytes_.empty()) {
      for (char b : bytes_) wide_.push_back(u8(b));
      bytes_.clear();
    }
    wide_.push_back(c);
    if (wide_.size() >= PIECE) flush();
  }
  void ascii(const char* text, u32 n) {
    if (counting_) {
      count_ += n;
    } else if (wide_.empty()) {
      bytes_.append(text, n);
      if (bytes_.size() >= PIECE) flush();
    } else {
      for (u32 k = 0; k < n; ++k) put(u8(text[k]));
    }
  }
  void ascii(const char* text) { ascii(text, u32(std::strlen(text))); }

  bool normal(u32 c) const { return c < 256 ? normal_byte_[c] : bitset::test_bit(series_node(normal_), c); }

  // emit-string: the characters of normal-chars as they are, the others as
  // their escape, or \u and four upper-case hex digits (a pair of them
  // above U+FFFF).
  template <class Put>
  void escaped(u32 c, Put&& put_c) {
    if (normal(c)) {
      put_c(c);
    } else if (c < 128 && has_escape_[c]) {
      for (u32 e : escape_[c]) put_c(e);
    } else if (c <= 0xFFFF) {
      hex4(c, put_c);
    } else {
      hex4(((c - 0x10000) >> 10) + 0xD800, put_c);
      hex4(((c - 0x10000) & 1023) + 0xDC00, put_c);
    }
  }
  template <class Put>
  static void hex4(u32 n, Put&& put_c) {
    static const char digits[] = "0123456789ABCDEF";
    put_c('\\');
    put_c('u');
    for (int shift = 12; shift >= 0; shift -= 4) put_c(u8(digits[(n >> shift) & 15]));
  }
  void string(const Cell* str) {
    put('"');
    u32 node = series_node(str);
    u32 unit = buffer_of(node)->unit();
    u32 total = buffer_of(node)->used() / unit;
    auto put_c = [this](u32 c) { put(c); };
    for (u32 i = u32(std::clamp<i32>(series_index(str), 0, i32(total))); i < total; ++i) {
      escaped(unicode::get_char(buffer_of(node)->head_ptr() + u64(i) * unit, unit), put_c);
    }
    put('"');
  }

  void block(const Cell* blk, int depth) {
    u32 node = series_node(blk);
    u32 from = u32(std::max(series_index(blk), 0));
    if (from >= buffer_of(node)->used() / sizeof(Cell)) {
      ascii("[]");
      return;
    }
    put('[');
    Cell* item = stack::push();
    for (u32 i = from; i < buffer_of(node)->used() / sizeof(Cell); ++i) {
      if (i > from) put(',');
      copy_cell(buffer_of(node)->cells() + i, item);
      value(item, depth);
    }
    stack::pop(1);
    put(']');
  }

  // A map's live entries: the key (a word formed, a string as it is,
  // anything else molded) as a JSON string, a colon, the value.
  void map(const Cell* m, int depth) {
    u32 node = map::block_of(m);
    bool first = true;
    Cell* item = stack::push();
    for (u32 i = 0; i + 1 < buffer_of(node)->used() / sizeof(Cell); i += 2) {
      const Cell* val = buffer_of(node)->cells() + i + 1;
      if (val->header == 0) continue;  // a removed entry
      put(first ? '{' : ',');
      first = false;
      copy_cell(buffer_of(node)->cells() + i, item);
      key(item);
      put(':');
      copy_cell(buffer_of(node)->cells() + i + 1, item);
      value(item, depth);
    }
    stack::pop(1);
    if (first) ascii("{}");
    else put('}');
  }
  void key(const Cell* k) {
    Type t = type_of(k);
    if (is_any_word_type(t)) {
      // The spelling, escaped once for all its uses.
      u32 sym = word::symbol_of(k);
      auto it = word_keys_.find(sym);
      if (it == word_keys_.end()) {
        std::string_view name = symbol::name(sym);
        const u8* p = reinterpret_cast<const u8*>(name.data());
        const u8* end = p + name.size();
        std::u32string text;
        auto add = [&text](u32 c) { text.push_back(c); };
        add('"');
        while (p < end) escaped(unicode::decode_lenient(p, end), add);
        add('"');
        it = word_keys_.emplace(sym, std::move(text)).first;
      }
      for (u32 c : it->second) put(c);
      return;
    }
    if (t == TYPE_STRING) {
      string(k);
      return;
    }
    Cell* s = stack::push();
    string::make_at(s, 16);
    actions::mold(const_cast<Cell*>(k), s, false, false, false, nullptr, 0x7FFFFFFF, 0);
    string(s);
    stack::pop(1);
  }

  Cell* out_;
  Cell* encode_fn_;
  Cell* normal_;
  bool normal_byte_[256];
  bool has_escape_[128] = {};
  std::u32string escape_[128];
  bool counting_ = false;
  bool uncountable_ = false;  // a value is written by qel-to-json-value
  u64 count_ = 0;             // characters counted
  u32 widest_ = 0;            // the widest of them
  std::string bytes_;
  std::vector<u32> wide_;
  std::unordered_map<u32, std::u32string> word_keys_;
};

// _json-encode out data encoder: appends data's JSON text to out, as
// qel-to-json-value of the encoder (set up by init-state, no indent) would.
void json_encode() {
  Cell* out = api::arg(0);
  const Cell* encoder = api::arg(2);
  if (interp::reference) {
    Cell args[2] = {*out, *api::arg(1)};
    Cell* r = stack::push();
    api::Status st = api::invoke(field(encoder, "qel-to-json-value"), args, 2, r);
    if (st) api::send(st);
  } else {
    const stack::Mark mark;
    Encoder e(out, encoder);
    e.run(api::arg(1));
  }
  copy_cell(out, stack::base);
}

// _json-name-word text: the first value of the text when it is a word (as
// `to word!` would read it), else none. Loading the text as `to word!` does
// would add every fresh name to the global context for good: the word is
// read with no context and belongs to none, whatever words the program has.
void json_name_word() {
  std::string text = string::to_utf8(api::arg(0));
  Cell* loaded = make_none(stack::push());
  const u8* src = reinterpret_cast<const u8*>(text.data());
  lexer::ScanFlags flags;
  flags.one = true;
  flags.unbound = true;
  flags.load = false;  // checked first: a syntax error raises only while loading
  Type t = lexer::scan(loaded, src, u32(text.size()), flags, nullptr, nullptr, nullptr, nullptr);
  if (t == TYPE_WORD) {
    flags.load = true;
    t = lexer::scan(loaded, src, u32(text.size()), flags, nullptr, nullptr, nullptr, nullptr);
  }
  if (t != TYPE_WORD || type_of(loaded) != TYPE_WORD) {
    api::answer_none();
    return;
  }
  Cell w;
  word::make_data_word(word::symbol_of(loaded), &w);
  api::set_result(&w);
}

}  // namespace

void wire_codec_routines() {
  wire_csv_routines();
  gc::add_mark_callback(mark_pending);
  wire("load-json", "_json-decode", "[input [string!] name-of [function!]]", json_decode);
  wire("json-decoder name-of", "_json-name-word", "[text [string!]]", json_name_word);
  wire("to-json", "_json-encode", "[out [string!] data [any-type!] encoder [object!]]", json_encode);
}

}  // namespace qel::library::native
