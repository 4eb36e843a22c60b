// The full layout of QELBIN: records of 32-bit little-endian words. The
// encoder is a sink of the walk the compact one uses (io/qelbin_walk.hpp:
// same paths, same symbol table order); the reader turns full records into compact ones, so that one
// reader makes the values of both layouts.
#include <cstring>
#include <string>
#include <unordered_map>

#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/function.hpp"
#include "datatypes/image.hpp"
#include "datatypes/money.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/vector.hpp"
#include "datatypes/word.hpp"
#include "io/qelbin.hpp"
#include "io/qelbin_internal.hpp"
#include "io/qelbin_walk.hpp"
#include "runtime/error.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"

namespace qel::qelbin {

using namespace detail;

namespace {

// ---- full-layout encoder -------------------------------------------------------------

// Head-word bits of the full layout.
constexpr u32 HEAD_NEW_LINE = 0x80000000u;
constexpr u32 HEAD_REFERENCE = 0x80000u;
constexpr u32 HEAD_MONEY_NEGATIVE = 0x400000u;
constexpr u32 HEAD_BITSET_NEGATED = 0x800000u;
constexpr u32 HEAD_HANDLERS = 0x1000000u;
constexpr u32 HEAD_GLOBAL = 0x2000000u;
constexpr u32 HEAD_VALUES = 0x40000000u;
constexpr u32 HEAD_STACK = 0x20000000u;
constexpr u32 REFERENCE_WORD = 255;

// Writes records of 32-bit little-endian words: a head word (the datatype in
// the low byte, flags above), then payload words; raw bytes are padded to a
// word.
class Full {
 public:
  std::vector<u8> out;
  SymbolTable symbols{.align = 8};

  // The new-line marker goes into the head word of the value's first record.
  void begin(const Cell* c) { new_line_ = has_new_line(c) ? HEAD_NEW_LINE : 0; }

  void scalar(const Cell* c, Type t) {
    switch (t) {
      case TYPE_DATATYPE: head(t); word(u32(datatype_of(c))); break;
      case TYPE_LOGIC: head(t); word(logic_of(c) ? 1 : 0); break;
      case TYPE_CHAR:
      case TYPE_INTEGER: head(t); word(u32(int_of(c))); break;
      case TYPE_PAIR: head(t); word(u32(pair::x(c))); word(u32(pair::y(c))); break;
      case TYPE_POINT2D:
      case TYPE_POINT3D:
        head(t);
        for (u32 i = 0; i < point::dimensions(c); ++i) {
          float f = point::coord(c, i);
          u32 bits;
          std::memcpy(&bits, &f, 4);
          word(bits);
        }
        break;
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT: {
        while (out.size() % 8) word(0);
        head(t);
        double d = float_of(c);
        u64 bits;
        std::memcpy(&bits, &d, 8);
        word(u32(bits >> 32));
        word(u32(bits));
        break;
      }
      case TYPE_DATE: {
        head(t);
        u32 packed = date::packed(c);
        double tm = date::has_time(packed) ? date::stored_time(c) : 0.0;
        u64 bits;
        std::memcpy(&bits, &tm, 8);
        word(packed);
        word(u32(bits));
        word(u32(bits >> 32));
        break;
      }
      case TYPE_TYPESET: head(t); bytes12(typeset::bits(c)); break;
      case TYPE_TUPLE: {
        u8 b[12];
        for (u32 i = 0; i < 12; ++i) b[i] = i < tuple::count(c) ? tuple::byte(c, i) : 0;
        head(t | (tuple::count(c) << 8));
        bytes12(b);
        break;
      }
      case TYPE_MONEY: {
        u8 b[12];
        b[0] = u8(money::currency(c));
        money::bcd_bytes(c, b + 1);
        head(t | (money::negative_bit(c) ? HEAD_MONEY_NEGATIVE : 0));
        bytes12(b);
        break;
      }
      case TYPE_ISSUE: head(t); word(symbols.index(word::symbol_of(c))); break;
      default: head(t);  // unset, none
    }
  }

  void reference(Type t, const Path& p) {
    head(t | HEAD_REFERENCE);
    path(p);
  }

  // Every word carries its index; a bound one a reference to its owner, or
  // the owner's context (and a function's spec and body) after it.
  void word(const Cell* c, Type t, u32 sym, bool bound, const Path* owner) {
    head(t | (bound ? 0 : HEAD_GLOBAL) | (owner ? HEAD_REFERENCE : 0));
    word(sym);
    word(u32(word::index_of(c)));
    if (owner) path(*owner);
  }

  // A word's owner has no head of its own: the word's record stands for it.
  void object_head(const Cell*, i32 cls, bool handlers, i32 change, i32 deep_change, bool for_word) {
    if (for_word) return;
    head(TYPE_OBJECT | (handlers ? HEAD_HANDLERS : 0));
    word(u32(cls));
    if (handlers) {
      word(u32(change));
      word(u32(deep_change));
    }
  }

  void function_head(u32 spec, u32 body, bool for_word) {
    if (for_word) return;
    head(TYPE_FUNCTION);
    word(spec);
    word(body);
  }

  void context_head(u32 ctx, bool values) {
    u32 n = context::word_count(ctx);
    bool stacked = context::on_stack(ctx);
    head(TYPE_CONTEXT | ((context::kind_of(ctx) & 3) << 26) | (stacked ? HEAD_STACK : 0) |
         (values ? HEAD_VALUES : 0));
    word(n);
    for (u32 i = 0; i < n; ++i) word(symbols.index(word::symbol_of(context::symbol_cell(ctx, i))));
  }

  void error_head(u32 code) {
    head(TYPE_ERROR);
    word(code);
  }

  void native_head(Type t, u32 index) {
    head(t);
    word(index);
  }

  void op_head(Type source) { head(TYPE_OP | (u32(source) << 16)); }

  void spec_block_head() {
    head(TYPE_BLOCK);
    word(0);
  }

  void count(u32 n) { word(n); }

  Follow series(const Cell* c, Type t, u32 node, const Path* ref) {
    u32 ref_bit = ref ? HEAD_REFERENCE : 0;
    if (t == TYPE_IMAGE) {
      // head index; the size word and the pixels in the ARGB data mode (the
      // pixel words as they lie)
      head(TYPE_IMAGE | ref_bit);
      word(u32(series_index(c)));
      if (ref) {
        path(*ref);
        return Follow::nothing;
      }
      word(image::width(c) | image::height(c) << 16);
      if (node) {
        const u8* px = reinterpret_cast<const u8*>(image::pixels(node));
        out.insert(out.end(), px, px + std::size_t(image::pixel_count(c)) * 4);
      }
      return Follow::nothing;
    }
    mem::Buffer* b = mem::buffer_of(node);
    u32 bits = ref_bit;
    if (is_any_string_type(t) || t == TYPE_VECTOR) bits |= b->unit() << 8;
    if (t == TYPE_BINARY) bits |= 1u << 8;
    if (t == TYPE_BITSET && (b->flags & mem::SERIES_BITS_NOT)) bits |= HEAD_BITSET_NEGATED;
    head(t | bits);
    if (t != TYPE_MAP && t != TYPE_BITSET) word(u32(series_index(c)));
    if (ref) {
      path(*ref);
      return Follow::nothing;
    }
    b = mem::buffer_of(node);
    if (t == TYPE_BITSET || t == TYPE_BINARY) {
      word(b->used());
      raw(b->head_ptr(), b->used());
    } else if (is_any_string_type(t)) {
      word(b->used() / b->unit());
      raw(b->head_ptr(), b->used());
    } else if (t == TYPE_VECTOR) {
      word(b->used() / b->unit());
      word(u32(vector::element_type(c)));
      raw(b->head_ptr(), b->used());
    } else {
      return t == TYPE_MAP ? Follow::map_cells : Follow::cells;
    }
    return Follow::nothing;
  }

 private:
  u32 new_line_ = 0;

  void word(u32 v) {
    for (int i = 0; i < 4; ++i) out.push_back(u8(v >> (8 * i)));
  }
  void head(u32 v) {
    word(v | new_line_);
    new_line_ = 0;
  }
  void bytes12(const u8* b) { out.insert(out.end(), b, b + 12); }
  void raw(const u8* p, u32 n) {
    out.insert(out.end(), p, p + n);
    while (out.size() % 4) out.push_back(0);
  }
  void path(const Path& p) {
    word(REFERENCE_WORD);
    word(u32(p.size()));
    for (u32 i : p) word(i);
  }
};

// ---- full-layout reader ---------------------------------------------------------------

// Reads a full-layout stream and writes the same records in the compact
// layout, which the compact reader then turns into values: one reader makes
// values for both layouts. Every bound of the full layout is checked here
// (offsets are those of the full stream); what only values can tell (a
// path that leads nowhere, a function spec) is checked by the compact reader.
class FullReader {
 public:
  FullReader(const u8* data, std::size_t size) : data_(data), end_(data + size) {}

  std::vector<u8> compact(u8 flags) {
    const u8* pos = data_ + 8;
    if (end_ - pos < 8) fire(Err::script_invalid_data);
    word(pos, end_);  // root count: records are read until their area ends
    u32 records = word(pos, end_);
    std::vector<u8> names;
    std::vector<u32> offsets;
    if (flags & FLAG_SYMBOLS) {
      u32 count = word(pos, end_);
      u32 area = word(pos, end_);
      if (count > u32(end_ - pos) / 4) invalid(pos);
      const u8* table = pos;
      pos += std::size_t(count) * 4;
      if (area > u32(end_ - pos) || (count > 0 && area == 0)) invalid(pos);
      const u8* strings = pos;
      for (u32 i = 0; i < count; ++i) {
        const u8* at = table + 4 * i;
        u32 off = word(at, pos);
        if (off >= area) invalid(table + 4 * i);
        const void* nul = std::memchr(strings + off, 0, area - off);
        if (!nul) invalid(table + 4 * i);
        offsets.push_back(u32(names.size()));
        names.insert(names.end(), strings + off, static_cast<const u8*>(nul) + 1);
      }
      symbols_ = count;
      pos += area;
    }
    if (records > u32(end_ - pos)) invalid(pos);
    base_ = pos;
    const u8* stop = pos + records;
    while (pos < stop) {
      if (stop - pos >= 4 && pos[0] == 0 && pos[1] == 0 && pos[2] == 0 && pos[3] == 0) {
        pos += 4;  // padding
        continue;
      }
      pos = record(pos, stop, 0);
    }
    std::vector<u8> s = {'Q', 'E', 'L', 'B', 'I', 'N', 2,
                         u8(FLAG_COMPACT | (flags & FLAG_SYMBOLS))};
    put_varint(s, 1);
    put_varint(s, u32(out_.size()));
    if (flags & FLAG_SYMBOLS) {
      put_varint(s, u32(offsets.size()));
      put_varint(s, u32(names.size()));
      for (u32 off : offsets)
        for (int i = 0; i < 4; ++i) s.push_back(u8(off >> (8 * i)));
      s.insert(s.end(), names.begin(), names.end());
    }
    s.insert(s.end(), out_.begin(), out_.end());
    return s;
  }

 private:
  const u8* data_;
  const u8* end_;
  const u8* base_ = nullptr;
  u32 symbols_ = 0;
  std::vector<u8> out_;

  [[noreturn]] void invalid(const u8* at) {
    Cell n;
    make_integer(&n, i32(std::min<std::ptrdiff_t>(at - data_, 0x7FFFFFFE)) + 1);
    fire(Err::script_qb_invalid_record, &n);
  }
  u32 word(const u8*& pos, const u8* stop) {
    if (stop - pos < 4) invalid(pos);
    u32 v = u32(pos[0]) | u32(pos[1]) << 8 | u32(pos[2]) << 16 | u32(pos[3]) << 24;
    pos += 4;
    return v;
  }
  u32 symbol(const u8*& pos, const u8* stop) {
    const u8* at = pos;
    u32 i = word(pos, stop);
    if (i >= symbols_) invalid(at);
    return i;
  }
  void byte(u8 b) { out_.push_back(b); }
  void varint(u32 v) { put_varint(out_, v); }
  void zigzag(i32 a) { varint((u32(a) << 1) ^ u32(a >> 31)); }
  void raw(const u8* p, std::size_t n) { out_.insert(out_.end(), p, p + n); }
  void header(u32 t, bool flag) {
    u8 f = flag ? HEADER_FLAG : 0;
    if (t < 63) {
      byte(u8(f | t));
    } else {
      byte(u8(f | 63));
      varint(t);
    }
  }
  // n raw bytes and the padding after them to a multiple of 4.
  const u8* take(const u8*& pos, const u8* stop, u64 n) {
    u64 padded = (n + 3) & ~u64(3);
    if (u64(stop - pos) < padded) invalid(pos);
    const u8* at = pos;
    pos += padded;
    return at;
  }
  void path(const u8*& pos, const u8* stop) {
    const u8* at = pos;
    if (word(pos, stop) != REFERENCE_WORD) invalid(at);
    u32 n = word(pos, stop);
    if (n == 0 || n > PATH_MAX_LENGTH || n > u32(stop - pos) / 4) invalid(at);
    varint(n);
    for (u32 k = 0; k < n; ++k) varint(word(pos, stop));
  }

  // A context record (head word included), as the compact context payload
  // after its header byte.
  const u8* context(const u8* pos, const u8* stop, u32 depth) {
    const u8* at = pos;
    u32 h = word(pos, stop);
    if ((h & 0xFF) != TYPE_CONTEXT) invalid(at);
    u8 flags = u8(((h >> 26) & 3) | ((h >> 29) & 1) << 2 | ((h >> 28) & 1) << 3 | ((h >> 30) & 1) << 4);
    byte(flags);
    u32 n = word(pos, stop);
    if (n > u32(stop - pos) / 4) invalid(at);
    varint(n);
    for (u32 i = 0; i < n; ++i) varint(symbol(pos, stop));
    if ((flags & 0x10) && !(flags & 4))
      for (u32 i = 0; i < n; ++i) pos = record(pos, stop, depth + 1);
    return pos;
  }

  // The spec and body block records of a function after its context.
  const u8* blocks_after(const u8* pos, const u8* stop, u32 depth, int count) {
    for (int i = 0; i < count; ++i) {
      while (stop - pos >= 4 && word_at(pos) == 0) pos += 4;
      if (stop - pos < 4 || (word_at(pos) & 0xFF) != TYPE_BLOCK) invalid(pos);
      pos = record(pos, stop, depth + 1);
    }
    return pos;
  }
  static u32 word_at(const u8* p) {
    return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24;
  }

  const u8* record(const u8* pos, const u8* stop, u32 depth) {
    if (depth > DEPTH_MAX) invalid(pos);
    while (stop - pos >= 4 && word_at(pos) == 0) pos += 4;  // padding
    const u8* start = pos;
    u32 h = word(pos, stop);
    u32 t = h & 0xFF;
    // (An operator's head holds its source type in bits 16-23, over the
    // reference bit.)
    bool ref = (h & HEAD_REFERENCE) != 0 && t != TYPE_OP;
    if (h & HEAD_NEW_LINE) byte(CODE_NEW_LINE);
    bool is_series = is_any_block_type(Type(t)) || is_any_string_type(Type(t)) || t == TYPE_BINARY ||
                     t == TYPE_VECTOR || t == TYPE_BITSET || t == TYPE_MAP || t == TYPE_IMAGE;
    bool is_word = t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD ||
                   t == TYPE_GET_WORD || t == TYPE_REFINEMENT;
    if (ref) {
      if (!is_series && !is_word && t != TYPE_OBJECT && t != TYPE_FUNCTION) invalid(start);
      if (is_word && (h & HEAD_GLOBAL)) invalid(start);
      byte(CODE_REFERENCE);
    }
    if (t == 0 || t > u32(TYPE_TOP)) invalid(start);
    switch (t) {
      case TYPE_UNSET:
      case TYPE_NONE: header(t, false); break;
      case TYPE_DATATYPE: header(t, false); varint(word(pos, stop)); break;
      case TYPE_LOGIC: byte(word(pos, stop) ? CODE_TRUE : CODE_FALSE); break;
      case TYPE_CHAR: header(t, false); varint(word(pos, stop)); break;
      case TYPE_INTEGER: header(t, false); zigzag(i32(word(pos, stop))); break;
      case TYPE_PAIR: {
        i32 x = i32(word(pos, stop));
        i32 y = i32(word(pos, stop));
        header(t, false);
        zigzag(x);
        zigzag(y);
        break;
      }
      case TYPE_POINT2D:
      case TYPE_POINT3D:
        header(t, false);
        raw(take(pos, stop, t == TYPE_POINT3D ? 12 : 8), t == TYPE_POINT3D ? 12 : 8);
        break;
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT: {
        u64 hi = word(pos, stop);
        u64 lo = word(pos, stop);
        u64 bits = hi << 32 | lo;
        header(t, false);
        for (int i = 0; i < 8; ++i) byte(u8(bits >> (8 * i)));
        break;
      }
      case TYPE_DATE: {
        u32 packed = word(pos, stop);
        const u8* tm = take(pos, stop, 8);
        bool time = date::has_time(packed);
        header(t, time);
        for (int i = 0; i < 4; ++i) byte(u8(packed >> (8 * i)));
        if (time) raw(tm, 8);
        break;
      }
      case TYPE_TYPESET: {
        const u8* b = take(pos, stop, 12);
        u32 n = 12;
        while (n > 0 && b[n - 1] == 0) --n;
        header(t, false);
        byte(u8(n));
        raw(b, n);
        break;
      }
      case TYPE_TUPLE: {
        u32 n = (h >> 8) & 15;
        const u8* b = take(pos, stop, 12);
        if (n < tuple::MIN_BYTES || n > tuple::MAX_BYTES) invalid(start);
        header(t, n != 3);
        if (n != 3) byte(u8(n));
        raw(b, n);
        break;
      }
      case TYPE_MONEY:
        header(t, (h & HEAD_MONEY_NEGATIVE) != 0);
        raw(take(pos, stop, 12), 12);
        break;
      case TYPE_ISSUE: header(t, false); varint(symbol(pos, stop)); break;
      case TYPE_OBJECT:
        header(t, (h & HEAD_HANDLERS) != 0 && !ref);
        if (ref) {
          path(pos, stop);
          break;
        }
        zigzag(i32(word(pos, stop)));
        if (h & HEAD_HANDLERS) {
          zigzag(i32(word(pos, stop)));
          zigzag(i32(word(pos, stop)));
        }
        byte(TYPE_CONTEXT);
        pos = context(pos, stop, depth);
        break;
      case TYPE_CONTEXT:
        header(t, false);
        pos = context(start, stop, depth);
        break;
      case TYPE_FUNCTION:
        header(t, false);
        if (ref) {
          path(pos, stop);
          break;
        }
        varint(word(pos, stop));
        varint(word(pos, stop));
        byte(TYPE_CONTEXT);
        pos = context(pos, stop, depth);
        pos = blocks_after(pos, stop, depth, 2);
        break;
      case TYPE_NATIVE:
      case TYPE_ACTION:
        header(t, false);
        varint(word(pos, stop));
        pos = blocks_after(pos, stop, depth, 1);
        break;
      case TYPE_OP: {
        u32 source = (h >> 16) & 0xFF;
        if (source != TYPE_NATIVE && source != TYPE_ACTION && source != TYPE_FUNCTION) invalid(start);
        header(t, false);
        while (stop - pos >= 4 && word_at(pos) == 0) pos += 4;
        if (stop - pos < 4 || (word_at(pos) & 0xFF) != source || (word_at(pos) & HEAD_NEW_LINE))
          invalid(pos);
        pos = record(pos, stop, depth + 1);
        break;
      }
      case TYPE_ERROR:
        header(t, false);
        varint(word(pos, stop));
        for (int i = 0; i < 6; ++i) pos = record(pos, stop, depth + 1);
        break;
      default:
        if (is_word) {
          u32 sym = symbol(pos, stop);
          i32 index = i32(word(pos, stop));
          bool global = (h & HEAD_GLOBAL) != 0;
          header(t, !global);
          varint(sym);
          if (global) break;
          zigzag(index);
          if (ref) {
            path(pos, stop);
            break;
          }
          // The owner: its context record, and for a function its spec and
          // body; written as the owner's compact record.
          const u8* at = pos;
          u32 ch = word_at_checked(pos, stop);
          u32 kind = (ch >> 26) & 3;
          if (kind == context::KIND_FUNCTION) {
            header(TYPE_FUNCTION, false);
            varint(0);
            varint(0);
            byte(TYPE_CONTEXT);
            pos = context(pos, stop, depth);
            pos = blocks_after(pos, stop, depth, 2);
          } else if (kind == context::KIND_OBJECT) {
            header(TYPE_OBJECT, false);
            zigzag(-1);
            byte(TYPE_CONTEXT);
            pos = context(pos, stop, depth);
          } else {
            invalid(at);
          }
          break;
        }
        if (!is_series) no_codec(Type(t));
        series(h, Type(t), ref, pos, stop, depth, start);
    }
    return pos;
  }

  u32 word_at_checked(const u8* pos, const u8* stop) {
    if (stop - pos < 4) invalid(pos);
    return word_at(pos);
  }

  void series(u32 h, Type t, bool ref, const u8*& pos, const u8* stop, u32 depth,
              const u8* start) {
    u32 index = 0;
    if (t != TYPE_MAP && t != TYPE_BITSET) index = word(pos, stop);
    if (t == TYPE_BITSET) header(t, (h & HEAD_BITSET_NEGATED) != 0);
    else header(t, index != 0);
    if (index != 0) varint(index);
    if (ref) {
      path(pos, stop);
      return;
    }
    if (t == TYPE_IMAGE) {
      u32 size = word(pos, stop);
      u32 w = size & 0xFFFF, h = size >> 16;
      const u8* b = take(pos, stop, u64(w) * h * 4);
      varint(w);
      varint(h);
      raw(b, std::size_t(w) * h * 4);
    } else if (t == TYPE_BITSET || t == TYPE_BINARY) {
      u32 n = word(pos, stop);
      const u8* b = take(pos, stop, n);
      varint(n);
      raw(b, n);
    } else if (is_any_string_type(t) || t == TYPE_VECTOR) {
      u32 unit = (h >> 8) & 15;
      if (unit != 1 && unit != 2 && unit != 4 && !(t == TYPE_VECTOR && unit == 8)) invalid(start);
      u32 n = word(pos, stop);
      u32 element = 0;
      if (t == TYPE_VECTOR) {
        element = word(pos, stop);
        if (element > 63) invalid(start);
      }
      const u8* b = take(pos, stop, u64(n) * unit);
      u32 code = unit == 1 ? 0 : unit == 2 ? 1 : unit == 4 ? 2 : 3;
      if (t == TYPE_VECTOR) {
        byte(u8(element << 2 | code));
        varint(n);
      } else {
        if (n > 0x3FFFFFFF) invalid(start);
        varint(n << 2 | code);
      }
      raw(b, std::size_t(n) * unit);
    } else {
      u32 n = word(pos, stop);
      if (n > u32(stop - pos) / 4) invalid(start);
      varint(n);
      for (u32 i = 0; i < n; ++i) pos = record(pos, stop, depth + 1);
    }
  }
};

}  // namespace

std::vector<u8> detail::full_to_compact(const u8* data, std::size_t size, u8 flags) {
  return FullReader(data, size).compact(flags);
}

std::vector<u8> encode_full(const Cell* value) {
  // The encoder knows values by node and symbol id in tables of its own.
  gc::MovingOff fixed;
  Full enc;
  Walk<Full>(enc).value(value);
  bool symbols = !enc.symbols.offsets.empty();
  std::vector<u8> s = {'Q', 'E', 'L', 'B', 'I', 'N', 2, u8(symbols ? FLAG_SYMBOLS : 0)};
  auto word = [&](u32 v) {
    for (int i = 0; i < 4; ++i) s.push_back(u8(v >> (8 * i)));
  };
  word(1);
  word(u32(enc.out.size()));
  if (symbols) {
    word(u32(enc.symbols.offsets.size()));
    word(u32(enc.symbols.names.size()));
    for (u32 off : enc.symbols.offsets) word(off);
    s.insert(s.end(), enc.symbols.names.begin(), enc.symbols.names.end());
  }
  s.insert(s.end(), enc.out.begin(), enc.out.end());
  return s;
}

}  // namespace qel::qelbin
