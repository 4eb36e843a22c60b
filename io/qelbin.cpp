#include "io/qelbin.hpp"

#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>

#include "datatypes/binary.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/date.hpp"
#include "datatypes/function.hpp"
#include "datatypes/hash_block.hpp"
#include "datatypes/image.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/stack.hpp"
#include "datatypes/issue.hpp"
#include "datatypes/word.hpp"
#include "datatypes/map.hpp"
#include "datatypes/money.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/percent.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/time.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/vector.hpp"
#include "runtime/api.hpp"
#include "runtime/codecs/lz.hpp"
#include "io/qelbin_internal.hpp"
#include "io/qelbin_walk.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"

namespace qel::qelbin {

using namespace detail;

namespace detail {

[[noreturn]] void no_codec(Type t) {
  Cell d;
  make_datatype(&d, t);
  fire(Err::access_no_codec, &d);
}

}  // namespace detail

namespace {

// ---- encoder --------------------------------------------------------------------------

// The compact layout: a record is a header byte (the datatype, HEADER_FLAG
// for a variant) followed by varints and raw bytes.
class Compact {
 public:
  std::vector<u8> out;
  SymbolTable symbols{.align = 1};

  void begin(const Cell* c) {
    if (has_new_line(c)) out.push_back(CODE_NEW_LINE);
  }

  void scalar(const Cell* c, Type t) {
    switch (t) {
      case TYPE_DATATYPE:
        header(t, false);
        varint(u32(datatype_of(c)));
        break;
      case TYPE_LOGIC:
        out.push_back(logic_of(c) ? CODE_TRUE : CODE_FALSE);
        break;
      case TYPE_CHAR:
        header(t, false);
        varint(u32(int_of(c)));
        break;
      case TYPE_INTEGER: {
        i32 n = int_of(c);
        if (n >= 0 && n < 64) {
          out.push_back(u8(CODE_SMALL_INT + n));
        } else {
          header(t, false);
          zigzag(n);
        }
        break;
      }
      case TYPE_PAIR:
        header(t, false);
        zigzag(pair::x(c));
        zigzag(pair::y(c));
        break;
      case TYPE_POINT2D:
      case TYPE_POINT3D:
        header(t, false);
        for (u32 i = 0; i < point::dimensions(c); ++i) {
          float f = point::coord(c, i);
          u32 bits;
          std::memcpy(&bits, &f, 4);
          raw32(bits);
        }
        break;
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT:
        emit_float(t, float_of(c));
        break;
      case TYPE_DATE: {
        u32 packed = date::packed(c);
        header(t, date::has_time(packed));
        raw32(packed);
        if (date::has_time(packed)) raw64(date::stored_time(c));
        break;
      }
      case TYPE_TYPESET: {
        const u8* bits = typeset::bits(c);
        u32 n = 12;
        while (n > 0 && bits[n - 1] == 0) --n;
        header(t, false);
        out.push_back(u8(n));
        out.insert(out.end(), bits, bits + n);
        break;
      }
      case TYPE_TUPLE: {
        u32 n = tuple::count(c);
        header(t, n != 3);
        if (n != 3) out.push_back(u8(n));
        for (u32 i = 0; i < n; ++i) out.push_back(tuple::byte(c, i));
        break;
      }
      case TYPE_MONEY: {
        header(t, money::negative_bit(c));
        out.push_back(u8(money::currency(c)));
        u8 digits[11];
        money::bcd_bytes(c, digits);
        out.insert(out.end(), digits, digits + 11);
        break;
      }
      case TYPE_ISSUE:
        header(t, false);
        varint(symbols.index(word::symbol_of(c)));
        break;
      default:  // unset, none
        header(t, false);
    }
  }

  void reference(Type t, const Path& p) {
    out.push_back(CODE_REFERENCE);
    header(t, false);
    path(p);
  }

  // A bound word carries its index, and a reference to its owner or the
  // owner's record after it.
  void word(const Cell* c, Type t, u32 sym, bool bound, const Path* owner) {
    if (owner) out.push_back(CODE_REFERENCE);
    header(t, bound);
    varint(sym);
    if (!bound) return;
    zigzag(word::index_of(c));
    if (owner) path(*owner);
  }

  void object_head(const Cell*, i32 cls, bool handlers, i32 change, i32 deep_change, bool) {
    header(TYPE_OBJECT, handlers);
    zigzag(cls);
    if (handlers) {
      zigzag(change);
      zigzag(deep_change);
    }
  }

  void function_head(u32 spec, u32 body, bool) {
    header(TYPE_FUNCTION, false);
    varint(spec);
    varint(body);
  }

  void context_head(u32 ctx, bool values) {
    header(TYPE_CONTEXT, false);
    u32 n = context::word_count(ctx);
    bool stacked = context::on_stack(ctx);
    out.push_back(u8((context::kind_of(ctx) & 3) | (stacked ? 4 : 0) | (values ? 0x10 : 0)));
    varint(n);
    for (u32 i = 0; i < n; ++i) varint(symbols.index(word::symbol_of(context::symbol_cell(ctx, i))));
  }

  void error_head(u32 code) {
    header(TYPE_ERROR, false);
    varint(code);
  }

  void native_head(Type t, u32 index) {
    header(t, false);
    varint(index);
  }

  void op_head(Type) { header(TYPE_OP, false); }

  void spec_block_head() { header(TYPE_BLOCK, false); }

  void count(u32 n) { varint(n); }

  Follow series(const Cell* c, Type t, u32 node, const Path* ref) {
    i32 index = series_index(c);
    bool has_index = t != TYPE_MAP && t != TYPE_BITSET && index != 0;
    if (t == TYPE_IMAGE && node == 0) {
      header(t, has_index);
      if (has_index) varint(u32(index));
      varint(0);
      varint(0);
      return Follow::nothing;
    }
    if (ref) {
      out.push_back(CODE_REFERENCE);
      header(t, has_index);
      if (has_index) varint(u32(index));
      path(*ref);
      return Follow::nothing;
    }
    mem::Buffer* b = mem::buffer_of(node);
    if (t == TYPE_BITSET) {
      header(t, (b->flags & mem::SERIES_BITS_NOT) != 0);
      varint(b->used());
      out.insert(out.end(), b->head_ptr(), b->head_ptr() + b->used());
      return Follow::nothing;
    }
    header(t, has_index);
    if (has_index) varint(u32(index));
    if (t == TYPE_IMAGE) {
      // The pixels in the ARGB data mode: the pixel words as they lie.
      varint(image::width(c));
      varint(image::height(c));
      const u8* px = reinterpret_cast<const u8*>(image::pixels(node));
      out.insert(out.end(), px, px + std::size_t(image::pixel_count(c)) * 4);
    } else if (t == TYPE_BINARY) {
      varint(b->used());
      out.insert(out.end(), b->head_ptr(), b->head_ptr() + b->used());
    } else if (is_any_string_type(t)) {
      u32 unit = b->unit();
      u32 code = unit == 1 ? 0 : unit == 2 ? 1 : 2;
      varint(((b->used() / unit) << 2) | code);
      out.insert(out.end(), b->head_ptr(), b->head_ptr() + b->used());
    } else if (t == TYPE_VECTOR) {
      u32 unit = b->unit();
      u32 code = unit == 1 ? 0 : unit == 2 ? 1 : unit == 4 ? 2 : 3;
      out.push_back(u8((u32(vector::element_type(c)) << 2) | code));
      varint(b->used() / unit);
      out.insert(out.end(), b->head_ptr(), b->head_ptr() + b->used());
    } else {
      return t == TYPE_MAP ? Follow::map_cells : Follow::cells;
    }
    return Follow::nothing;
  }

 private:
  void header(Type t, bool flag) {
    u8 f = flag ? HEADER_FLAG : 0;
    if (u32(t) < 63) {
      out.push_back(u8(f | u32(t)));
    } else {
      out.push_back(u8(f | 63));
      varint(u32(t));
    }
  }
  void varint(u32 v) { put_varint(out, v); }
  void zigzag(i32 a) { varint((u32(a) << 1) ^ u32(a >> 31)); }
  void raw32(u32 v) {
    for (int i = 0; i < 4; ++i) out.push_back(u8(v >> (8 * i)));
  }
  void raw64(double d) {
    u64 bits;
    std::memcpy(&bits, &d, 8);
    raw32(u32(bits));
    raw32(u32(bits >> 32));
  }

  void emit_float(Type t, double v) {
    bool negative_zero = v == 0.0 && std::signbit(v);
    if (t == TYPE_PERCENT) {
      if (v >= -21474836.0 && v <= 21474836.0 && !negative_zero) {
        i32 n = i32(std::round(v * 100.0));
        if (n / 100.0 == v) {
          header(t, true);
          zigzag(n);
          return;
        }
      }
    } else if (v >= -2147483000.0 && v <= 2147483000.0 && !negative_zero) {
      i32 n = i32(v);
      if (double(n) == v) {
        header(t, true);
        zigzag(n);
        return;
      }
    }
    header(t, false);
    raw64(v);
  }

  void path(const Path& p) {
    varint(u32(p.size()));
    for (u32 i : p) varint(i);
  }
};

// ---- decoder ---------------------------------------------------------------------------

class Decoder {
 public:
  Decoder(const u8* data, std::size_t size, u32 target, Mode mode)
      : data_(data), end_(data + size), target_(target), mode_(mode) {}

  void run(u8 flags) {
    const u8* pos = data_ + 8;
    // Root count and records size, within 20 bytes of where they start.
    const u8* limit = pos + std::min<std::ptrdiff_t>(20, end_ - pos);
    varint(pos, limit);
    u32 records = varint(pos, limit);
    if (flags & FLAG_SYMBOLS) {
      limit = pos + std::min<std::ptrdiff_t>(20, end_ - pos);
      u32 count = varint(pos, limit);
      u32 area = varint(pos, limit);
      if (count > u32(end_ - pos) / 4) invalid(pos);
      const u8* table = pos;
      pos += std::size_t(count) * 4;
      if (area > u32(end_ - pos) || (count > 0 && area == 0)) invalid(pos);
      names_ = pos;
      names_size_ = area;
      if (area > 0 && pos[area - 1] != 0) invalid(pos + area - 1);
      offsets_.resize(count);
      for (u32 i = 0; i < count; ++i) {
        u32 off = u32(table[4 * i]) | u32(table[4 * i + 1]) << 8 | u32(table[4 * i + 2]) << 16 |
                  u32(table[4 * i + 3]) << 24;
        if (off >= area) invalid(table + 4 * i);
        offsets_[i] = off;
      }
      ids_.assign(count, 0);
      words_.assign(count, Cell{});
      pos += area;
    }
    if (records > u32(end_ - pos)) invalid(pos);
    const u8* stop = pos + records;
    base_ = mem::buffer_of(target_)->used() / sizeof(Cell);
    while (pos < stop) pos = value(pos, stop, target_, 0);
  }

 private:
  const u8* data_;
  const u8* end_;
  u32 target_;
  Mode mode_;
  u32 base_ = 0;
  const u8* names_ = nullptr;
  u32 names_size_ = 0;
  std::vector<u32> offsets_;
  std::vector<u32> ids_;
  std::vector<Cell> words_;  // entry i's word in the global context, once made
  std::unordered_map<u32, u32> pending_;  // object context -> block of its values read so far
  // A map! or hash! whose values are being read is a plain block until they
  // are all in: a reference to it from inside itself is appended as that
  // block and patched into the finished value afterwards.
  std::unordered_map<u32, Type> building_;  // block node -> map! or hash!
  struct Patch {
    u32 into, position, node, index;
  };
  std::vector<Patch> patches_;

  [[noreturn]] void invalid(const u8* at) {
    Cell n;
    make_integer(&n, i32(std::min<std::ptrdiff_t>(at - data_, 0x7FFFFFFE)) + 1);
    fire(Err::script_qb_invalid_record, &n);
  }

  u32 varint(const u8*& pos, const u8* stop) {
    u32 v = 0;
    for (int i = 0; i < 5; ++i) {
      if (pos >= stop) invalid(pos);
      u8 b = *pos++;
      if (i == 4 && (b & 0xF0)) invalid(pos - 1);
      v |= u32(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return v;
    }
    return v;
  }
  i32 zigzag(const u8*& pos, const u8* stop) {
    u32 u = varint(pos, stop);
    return i32((u >> 1) ^ (0u - (u & 1)));
  }
  u32 raw32(const u8*& pos, const u8* stop) {
    if (stop - pos < 4) invalid(pos);
    u32 v = u32(pos[0]) | u32(pos[1]) << 8 | u32(pos[2]) << 16 | u32(pos[3]) << 24;
    pos += 4;
    return v;
  }
  double raw64(const u8*& pos, const u8* stop) {
    u64 lo = raw32(pos, stop);
    u64 hi = raw32(pos, stop);
    u64 bits = lo | hi << 32;
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }
  const u8* bytes(const u8*& pos, const u8* stop, u64 n) {
    if (u64(stop - pos) < n) invalid(pos);
    const u8* at = pos;
    pos += n;
    return at;
  }

  // The symbol of table entry i, interned on first use.
  u32 symbol_at(const u8* at, u32 i) {
    if (i >= ids_.size()) invalid(at);
    if (ids_[i] == 0) {
      const char* name = reinterpret_cast<const char*>(names_ + offsets_[i]);
      std::size_t len = std::strlen(name);  // the area ends with a NUL
      if (len == 0) invalid(at);
      ids_[i] = symbol::make_from_string(name, u32(len));
    }
    return ids_[i];
  }

  // The word of table entry i in the global context, as word::make_in makes
  // it, looked up once an entry: a library's code names the same words
  // again and again. (Nodes do not move while the decoder runs.)
  const Cell& global_word_of(u32 i, u32 sym) {
    Cell& w = words_[i];
    if (type_of(&w) != TYPE_WORD) word::make_at(sym, &w);
    return w;
  }

  // Appends a copy of the cell to the block node.
  static Cell* append(u32 node, const Cell* c) {
    Cell v = *c;
    Cell* slot = mem::alloc_tail_cell(node);
    *slot = v;
    return slot;
  }

  // The cell a reference path designates (a copy).
  Cell resolve(const u8*& pos, const u8* stop) {
    const u8* at = pos;
    u32 n = varint(pos, stop);
    if (n == 0 || n > PATH_MAX_LENGTH || n > u32(stop - pos)) invalid(at);
    u32 node = target_;
    u32 first = base_;
    Cell current;
    for (u32 k = 0; k < n; ++k) {
      u32 i = varint(pos, stop);
      if (k > 0) {
        Type t = type_of(&current);
        bool object_word = is_word_type(t) && bound_to_owner(&current) &&
                           type_of(context::self_slot(word::context_of(&current))) == TYPE_OBJECT;
        if (t == TYPE_OBJECT || t == TYPE_ERROR || object_word) {
          u32 ctx = t == TYPE_OBJECT || t == TYPE_ERROR ? object::context_of(&current)
                                                        : word::context_of(&current);
          u32 from = t == TYPE_ERROR ? u32(error::F_ARG1) : 0;
          u32 count = context::word_count(ctx);
          if (t == TYPE_ERROR) count = u32(error::F_STACK) + 1;
          if (u64(from) + i >= count) invalid(at);
          auto pending = pending_.find(ctx);
          if (pending != pending_.end()) {
            // An object whose values are being read: they are in its holder.
            mem::Buffer* hb = mem::buffer_of(pending->second);
            if (i >= hb->used() / sizeof(Cell)) invalid(at);
            current = hb->cells()[i];
            continue;
          }
          Cell* v = context::slot(ctx, from + i);
          if (!v) invalid(at);
          current = *v;
          continue;
        }
        if (t == TYPE_FUNCTION || (t == TYPE_OP && op::source_type(&current) == TYPE_FUNCTION) ||
            (is_word_type(t) && bound_to_owner(&current))) {
          Cell fn = owner(current, at, TYPE_FUNCTION);
          if (i == 0) make_series(&current, TYPE_BLOCK, series_node(&fn));
          else if (i == 1) current = *function::more_cell(&fn, function::MORE_BODY);
          else invalid(at);
          continue;
        }
        if (!is_any_block_type(t) && t != TYPE_MAP) invalid(at);
        node = series_node(&current);
        first = 0;
      }
      mem::Buffer* b = mem::buffer_of(node);
      u32 cells = b->used() / sizeof(Cell);
      if (u64(first) + i >= cells) invalid(at);
      current = b->cells()[first + i];
    }
    return current;
  }

  static bool is_word_type(Type t) {
    return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD ||
           t == TYPE_REFINEMENT;
  }
  static bool bound_to_owner(const Cell* w) { return word_owner_type(word::context_of(w)) != TYPE_NONE; }
  // The object or function a reference designates: the value itself, a word
  // of its context, or an operator made from the function.
  Cell owner(Cell c, const u8* at, Type want) {
    if (is_word_type(type_of(&c)) && bound_to_owner(&c)) c = *context::self_slot(word::context_of(&c));
    if (type_of(&c) == TYPE_OP && op::source_type(&c) == TYPE_FUNCTION)
      c = *function::more_cell(&c, function::MORE_OP);
    if (type_of(&c) != want && want != TYPE_NONE) invalid(at);
    if (type_of(&c) != TYPE_OBJECT && type_of(&c) != TYPE_FUNCTION) invalid(at);
    return c;
  }
  static u32 owner_context(const Cell* c) {
    return type_of(c) == TYPE_OBJECT ? object::context_of(c) : function::context_of(c);
  }
  // A word of type `t` bound to the owner's context; invalid-data at
  // `start` when the owner has no such word.
  Cell owner_word(u32 sym, const Cell* owner, Type t, bool new_line, const u8* start) {
    Cell w;
    word::make_at(sym, &w);
    if (context::bind_word(owner_context(owner), &w) < 0) invalid(start);
    set_type(&w, t);
    set_new_line(&w, new_line);
    return w;
  }

  // An object (or context!) record after its header: appends the object to
  // `into` first, so that records inside it may refer to it.
  const u8* object(const u8* start, const u8* pos, const u8* stop, u32 into, u32 depth,
                   bool bare, bool handlers) {
    i32 class_id = -1;
    if (!bare) {
      zigzag(pos, stop);  // a decoded object is a class of its own
      if (handlers) {
        zigzag(pos, stop);
        zigzag(pos, stop);
      }
      if (pos >= stop || *pos != TYPE_CONTEXT) invalid(pos);
      ++pos;
    }
    if (pos >= stop) invalid(pos);
    u8 flags = *pos++;
    if (flags & 4) invalid(pos - 1);  // an object's values never live on the stack
    const u8* at = pos;
    u32 n = varint(pos, stop);
    if (n > u32(stop - pos)) invalid(at);
    u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
    api::Values s(3);
    object::make_at(s[0], n);
    object::set_class(s[0], class_id);
    append(into, s[0]);
    u32 ctx = object::context_of(s[0]);
    make_unset(s[1]);
    for (u32 i = 0; i < n; ++i) {
      const u8* here = pos;
      u32 sym = symbol_at(here, varint(pos, stop));
      word::make_at(sym, s[2]);
      if (!context::add_word(ctx, s[2], s[1])) invalid(here);
    }
    if (flags & 0x10) {
      block::make_at(s[1], i32(n));
      u32 holder = series_node(s[1]);
      pending_[ctx] = holder;
      for (u32 i = 0; i < n; ++i) pos = value(pos, stop, holder, depth + 1);
      pending_.erase(ctx);
      for (u32 i = 0; i < n; ++i) {
        Cell v = mem::buffer_of(holder)->cells()[i];
        clear_new_line(&v);
        *context::slot(ctx, i) = v;
      }
    }
    *s[0] = mem::buffer_of(into)->cells()[position];
    object::finish(s[0]);
    mem::buffer_of(into)->cells()[position] = *s[0];
    (void)start;
    return pos;
  }

  // A function record after its header: appends the function to `into`
  // (with an empty body) before its body is read, so that the words of the
  // body can refer to it.
  const u8* function(const u8* pos, const u8* stop, u32 into, u32 depth) {
    varint(pos, stop);  // the spec's and the body's lengths, told again by their records
    varint(pos, stop);
    if (pos >= stop || *pos != TYPE_CONTEXT) invalid(pos);
    ++pos;
    if (pos >= stop) invalid(pos);
    u8 flags = *pos++;
    const u8* at = pos;
    u32 n = varint(pos, stop);
    if (n > u32(stop - pos)) invalid(at);
    for (u32 i = 0; i < n; ++i) {
      const u8* here = pos;
      symbol_at(here, varint(pos, stop));
    }
    api::Values s(3);
    block::make_at(s[0], 4);
    if ((flags & 0x10) && !(flags & 4)) {
      for (u32 i = 0; i < n; ++i) pos = value(pos, stop, series_node(s[0]), depth + 1);
    }
    // The spec: a block record.
    const u8* spec_at = pos;
    u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
    make_none(s[1]);
    append(into, s[1]);  // the function's place while its spec is read
    pos = value(pos, stop, series_node(s[0]), depth + 1);
    mem::Buffer* b = mem::buffer_of(series_node(s[0]));
    *s[1] = b->cells()[b->used() / sizeof(Cell) - 1];
    if (type_of(s[1]) != TYPE_BLOCK) invalid(spec_at);
    set_series_index(s[1], 0);
    clear_new_line(s[1]);
    u32 fn_flags = function::validate(s[1]);
    function::push(s[1], nullptr, 0, 0, -1, fn_flags);
    *s[2] = *stack::last();
    stack::pop(1);
    mem::buffer_of(into)->cells()[position] = *s[2];
    // The body: a block record, read into a new block that is the
    // function's body from the start.
    const u8* body_at = pos;
    bool ref = false;
    while (pos < stop && (*pos == CODE_NEW_LINE || *pos == CODE_REFERENCE)) ref |= *pos++ == CODE_REFERENCE;
    if (pos >= stop || (*pos & 0x3F) != TYPE_BLOCK) invalid(body_at);
    bool has_index = (*pos++ & HEADER_FLAG) != 0;
    if (has_index) varint(pos, stop);
    Cell body;
    if (ref) {
      body = resolve(pos, stop);
      if (type_of(&body) != TYPE_BLOCK) invalid(body_at);
      set_series_index(&body, 0);
      clear_new_line(&body);
      *function::more_cell(s[2], function::MORE_BODY) = body;
      return pos;
    }
    u32 count = varint(pos, stop);
    if (count > u32(stop - pos)) invalid(body_at);
    block::make_at(s[0], i32(count));
    body = *s[0];
    *function::more_cell(s[2], function::MORE_BODY) = body;
    for (u32 i = 0; i < count; ++i) pos = value(pos, stop, series_node(&body), depth + 1);
    return pos;
  }

  // A word bound to an object: its index, then the object (a reference path
  // with the reference prefix). The word is bound by its symbol.
  // Boot mode: a word and, in the next record, the value it is set to;
  // neither stays in the target block. Root records only.
  const u8* boot_word(const u8* start, const u8* pos, const u8* stop, u32 into, u32 depth) {
    if (mode_ != MODE_BOOT || depth != 0 || into != target_) invalid(pos - 1);
    u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
    if (pos >= stop || (*pos & 0x3F) < TYPE_WORD || (*pos & 0x3F) > TYPE_REFINEMENT) invalid(pos);
    pos = value(pos, stop, into, depth);
    pos = value(pos, stop, into, depth);
    api::Values s(2);
    *s[0] = mem::buffer_of(into)->cells()[position];
    *s[1] = mem::buffer_of(into)->cells()[position + 1];
    if (!is_any_word_type(type_of(s[0])) && type_of(s[0]) != TYPE_REFINEMENT) invalid(start);
    word::set(s[0], s[1]);
    Cell target;
    make_series(&target, TYPE_BLOCK, into);
    block::clear_at(&target, position);
    return pos;
  }

  const u8* bound_word(const u8* start, const u8* pos, const u8* stop, u32 into, u32 depth,
                       Type t, u32 sym, bool reference, bool new_line) {
    api::Values s(2);
    if (mode_ == MODE_BOOT) {
      // The context of root value R of this decode; the index is looked up
      // by the symbol.
      const u8* at = pos;
      u32 r = varint(pos, stop);
      zigzag(pos, stop);
      mem::Buffer* b = mem::buffer_of(target_);
      if (reference || u64(base_) + r >= b->used() / sizeof(Cell)) invalid(at);
      *s[0] = owner(b->cells()[base_ + r], at, TYPE_NONE);
      Cell w = owner_word(sym, s[0], t, new_line, start);
      append(into, &w);
      return pos;
    }
    zigzag(pos, stop);
    if (reference) {
      *s[0] = owner(resolve(pos, stop), start, TYPE_NONE);
    } else {
      if (pos >= stop || ((*pos & 0x3F) != TYPE_OBJECT && (*pos & 0x3F) != TYPE_FUNCTION))
        invalid(pos);
      bool handlers = (*pos & HEADER_FLAG) != 0;
      bool is_function = (*pos & 0x3F) == TYPE_FUNCTION;
      ++pos;
      // The object takes the word's place while its values are read (a
      // path to the word reaches the object's values either way); the word
      // replaces it afterwards.
      u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
      if (is_function) pos = function(pos, stop, into, depth + 1);
      else pos = object(start, pos, stop, into, depth + 1, false, handlers);
      *s[0] = mem::buffer_of(into)->cells()[position];
      Cell w = owner_word(sym, s[0], t, new_line, start);
      mem::buffer_of(into)->cells()[position] = w;
      return pos;
    }
    Cell w = owner_word(sym, s[0], t, new_line, start);
    append(into, &w);
    return pos;
  }

  // Reads one record at pos and appends its value to the block node `into`.
  const u8* value(const u8* pos, const u8* stop, u32 into, u32 depth) {
    if (depth > DEPTH_MAX) invalid(pos);
    const u8* start = pos;
    bool new_line = false, reference = false;
    u8 code;
    for (;;) {
      if (pos >= stop) invalid(pos);
      code = *pos++;
      if (code == CODE_NEW_LINE) new_line = true;
      else if (code == CODE_REFERENCE) reference = true;
      else if (code == CODE_BOOT_WORD) return boot_word(start, pos, stop, into, depth);
      else break;
    }
    if (code >= 0x80) {
      if (reference) invalid(pos - 1);
      Cell c;
      if (code < CODE_SMALL_INT + 64) make_integer(&c, code - CODE_SMALL_INT);
      else if (code == CODE_TRUE || code == CODE_FALSE) make_logic(&c, code == CODE_TRUE);
      else if (code == CODE_COPY) c = resolve(pos, stop);
      else invalid(pos - 1);
      set_new_line(append(into, &c), new_line);
      return pos;
    }
    bool flag = (code & HEADER_FLAG) != 0;
    u32 id = code & 63;
    if (id == 63) id = varint(pos, stop);
    if (id == 0 || id > u32(TYPE_TOP)) invalid(start);
    Type t = Type(id);
    Cell c;
    make_none(&c);
    bool is_series = is_any_block_type(t) || is_any_string_type(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
                     t == TYPE_BITSET || t == TYPE_MAP || t == TYPE_IMAGE;
    bool is_word = t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD ||
                   t == TYPE_GET_WORD || t == TYPE_REFINEMENT;
    if (reference && !is_series && t != TYPE_OBJECT && t != TYPE_FUNCTION && !(is_word && flag))
      invalid(start);
    switch (t) {
      case TYPE_UNSET: make_unset(&c); break;
      case TYPE_NONE: make_none(&c); break;
      case TYPE_DATATYPE: {
        u32 d = varint(pos, stop);
        if (d == 0 || d > u32(TYPE_TOP)) invalid(start);
        make_datatype(&c, Type(d));
        break;
      }
      case TYPE_CHAR: {
        u32 cp = varint(pos, stop);
        if (cp > 0x10FFFF) invalid(start);
        make_char(&c, cp);
        break;
      }
      case TYPE_INTEGER: make_integer(&c, zigzag(pos, stop)); break;
      case TYPE_PAIR: {
        i32 x = zigzag(pos, stop);
        i32 y = zigzag(pos, stop);
        pair::make_at(&c, x, y);
        break;
      }
      case TYPE_POINT2D:
      case TYPE_POINT3D: {
        float f[3] = {0, 0, 0};
        for (int i = 0; i < (t == TYPE_POINT3D ? 3 : 2); ++i) {
          u32 bits = raw32(pos, stop);
          std::memcpy(&f[i], &bits, 4);
        }
        if (t == TYPE_POINT2D) point::make_2d_at(&c, f[0], f[1]);
        else point::make_3d_at(&c, f[0], f[1], f[2]);
        break;
      }
      case TYPE_FLOAT:
      case TYPE_TIME:
      case TYPE_PERCENT: {
        double d;
        if (flag) d = t == TYPE_PERCENT ? zigzag(pos, stop) / 100.0 : double(zigzag(pos, stop));
        else d = raw64(pos, stop);
        if (t == TYPE_FLOAT) make_float(&c, d);
        else if (t == TYPE_TIME) time::make_at(d, &c);
        else percent::make_at(&c, d);
        break;
      }
      case TYPE_DATE: {
        u32 packed = raw32(pos, stop);
        if (flag != date::has_time(packed)) invalid(start);
        double tm = flag ? raw64(pos, stop) : 0.0;
        if (!(std::fabs(tm) < 1e6)) invalid(start);  // a time of day, around the zone
        i32 m = date::month(packed), d = date::day(packed);
        if (m < 1 || m > 12 || d < 1 || d > 31) invalid(start);
        Cell* slot = date::make_in(into, packed, tm);
        set_new_line(slot, new_line);
        return pos;
      }
      case TYPE_TYPESET: {
        const u8* at = pos;
        if (pos >= stop || *pos > 12) invalid(at);
        u32 n = *pos++;
        u8 bits[12] = {0};
        std::memcpy(bits, bytes(pos, stop, n), n);
        u32 w[3];
        std::memcpy(w, bits, 12);
        Cell* slot = typeset::append_bits(into, w[0], w[1], w[2]);
        set_new_line(slot, new_line);
        return pos;
      }
      case TYPE_TUPLE: {
        u32 n = 3;
        if (flag) {
          if (pos >= stop) invalid(pos);
          n = *pos++;
          if (n < tuple::MIN_BYTES || n > tuple::MAX_BYTES) invalid(pos - 1);
        }
        tuple::make_at(&c, n, bytes(pos, stop, n));
        break;
      }
      case TYPE_MONEY: {
        const u8* b = bytes(pos, stop, 12);
        for (int i = 1; i < 12; ++i)
          if ((b[i] >> 4) > 9 || (b[i] & 15) > 9) invalid(b + i);
        money::make_at_bcd(&c, flag, b[0], b + 1);
        break;
      }
      case TYPE_ISSUE:
      case TYPE_WORD:
      case TYPE_SET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
      case TYPE_REFINEMENT: {
        const u8* at = pos;
        u32 entry = varint(pos, stop);
        u32 sym = symbol_at(at, entry);
        if (t == TYPE_ISSUE) {
          if (flag) invalid(start);
          issue::make_from_symbol(&c, sym);
          break;
        }
        if (flag) return bound_word(start, pos, stop, into, depth, t, sym, reference, new_line);
        if (t == TYPE_REFINEMENT && mode_ == MODE_SOURCE) {
          c.header = TYPE_REFINEMENT;
          word::set_symbol(&c, sym);
          word::set_binding(&c, 0, -1);
          set_new_line(append(into, &c), new_line);
          return pos;
        }
        Cell* slot = append(into, &global_word_of(entry, sym));
        set_type(slot, t);
        set_new_line(slot, new_line);
        return pos;
      }
      case TYPE_OBJECT:
      case TYPE_CONTEXT:
      case TYPE_FUNCTION: {
        // An owner of words: a reference to one already read, or its record.
        bool fn = t == TYPE_FUNCTION;
        if (reference) {
          Cell o = owner(resolve(pos, stop), start, fn ? TYPE_FUNCTION : TYPE_OBJECT);
          clear_new_line(&o);
          set_new_line(append(into, &o), new_line);
          return pos;
        }
        u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
        pos = fn ? function(pos, stop, into, depth)
                 : object(start, pos, stop, into, depth, t == TYPE_CONTEXT, flag);
        set_new_line(mem::buffer_of(into)->cells() + position, new_line);
        return pos;
      }
      case TYPE_NATIVE:
      case TYPE_ACTION:
      case TYPE_OP: {
        Type source = t;
        if (t == TYPE_OP) {
          if (pos >= stop) invalid(pos);
          u8 h = *pos++;
          source = Type(h & 0x3F);
          if (h == TYPE_FUNCTION || h == (CODE_REFERENCE)) {
            // An operator made from a function: the function takes the
            // operator's place while it is read.
            bool ref = h == CODE_REFERENCE;
            if (ref && (pos >= stop || *pos++ != TYPE_FUNCTION)) invalid(pos - 1);
            u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
            if (ref) {
              Cell f = owner(resolve(pos, stop), start, TYPE_FUNCTION);
              append(into, &f);
            } else {
              pos = function(pos, stop, into, depth + 1);
            }
            api::Values fn(1);
            *fn[0] = mem::buffer_of(into)->cells()[position];
            Cell proto;
            make_datatype(&proto, TYPE_OP);
            Cell v = *actions::make(&proto, fn[0]);
            stack::pop(1);
            set_new_line(&v, new_line);
            mem::buffer_of(into)->cells()[position] = v;
            return pos;
          }
          if (source != TYPE_NATIVE && source != TYPE_ACTION) invalid(pos - 1);
        }
        const u8* at = pos;
        u32 index = varint(pos, stop);
        const char* text = api::services.entry_spec(Type(source), index);
        if (!text) invalid(at);
        api::Values holder(2);
        block::make_at(holder[0], 1);
        if (pos >= stop || (*pos & 63) != TYPE_BLOCK) invalid(pos);
        pos = value(pos, stop, series_node(holder[0]), depth + 1);
        // The entry reads its arguments as its own spec lists them: the
        // value is made with that spec, whatever the stream's says.
        if (!*text) invalid(at);
        api::services.load_text(holder[0], text, std::strlen(text));
        Cell spec = *mem::buffer_of(series_node(holder[0]))->cells();
        Cell* made = native::push(&spec, index, source);
        if (t == TYPE_OP) {
          Cell proto;
          make_datatype(&proto, TYPE_OP);
          *holder[1] = *made;
          stack::pop(1);
          made = actions::make(&proto, holder[1]);
        }
        Cell v = *made;
        stack::pop(1);
        set_new_line(append(into, &v), new_line);
        return pos;
      }
      case TYPE_ERROR: {
        const u8* at = pos;
        u32 code = varint(pos, stop);
        if (code > 0x7FFFFFFF || err_at(int(code / 100), code % 100 + 2) == Err::count_) invalid(at);
        Cell proto, spec;
        make_datatype(&proto, TYPE_ERROR);
        make_integer(&spec, i32(code));
        u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
        Cell e = *error::make(&proto, &spec, TYPE_ERROR);
        stack::pop(1);
        set_new_line(append(into, &e), new_line);
        api::Values holder(1);
        block::make_at(holder[0], 6);
        u32 node = series_node(holder[0]);
        for (u32 f = error::F_ARG1; f <= error::F_STACK; ++f) {
          pos = value(pos, stop, node, depth + 1);
          mem::Buffer* b = mem::buffer_of(node);
          Cell v = b->cells()[b->used() / sizeof(Cell) - 1];
          clear_new_line(&v);
          *error::field(mem::buffer_of(into)->cells() + position, error::Field(f)) = v;
        }
        return pos;
      }
      default:
        if (!is_series) no_codec(t);
        return series(start, pos, stop, into, depth, t, flag, reference, new_line);
    }
    set_new_line(append(into, &c), new_line);
    return pos;
  }

  const u8* series(const u8* start, const u8* pos, const u8* stop, u32 into, u32 depth, Type t,
                   bool flag, bool reference, bool new_line) {
    u32 index = 0;
    if (flag && t != TYPE_BITSET && t != TYPE_MAP) {
      index = varint(pos, stop);
      if (index > 0x7FFFFFFF) invalid(start);
    }
    if (flag && t == TYPE_MAP) invalid(start);
    if (reference) {
      Cell c = resolve(pos, stop);
      Type rt = type_of(&c);
      bool ok;
      auto building = building_.find(is_any_block_type(rt) ? series_node(&c) : 0);
      if (building != building_.end()) {
        // The map! or hash! being read: patched once it is made.
        if (building->second != t) invalid(start);
        u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
        clear_new_line(&c);
        set_new_line(append(into, &c), new_line);
        patches_.push_back({into, position, series_node(&c), index});
        return pos;
      }
      if (t == TYPE_HASH || t == TYPE_MAP || t == TYPE_VECTOR || t == TYPE_BITSET ||
          t == TYPE_BINARY || t == TYPE_IMAGE)
        ok = rt == t;
      else if (is_any_block_type(t)) ok = is_any_block_type(rt);
      else ok = is_any_string_type(rt);
      if (!ok) invalid(start);
      if (t == TYPE_VECTOR || t == TYPE_HASH || t == TYPE_MAP || t == TYPE_BITSET ||
          t == TYPE_IMAGE) {
        if (t != TYPE_MAP && t != TYPE_BITSET) set_series_index(&c, i32(index));
      } else {
        set_type(&c, t);
        set_series_index(&c, i32(index));
      }
      clear_new_line(&c);
      set_new_line(append(into, &c), new_line);
      return pos;
    }
    if (t == TYPE_IMAGE) {
      const u8* at = pos;
      u32 w = varint(pos, stop);
      u32 h = varint(pos, stop);
      if (w > image::MAX_SIDE || h > image::MAX_SIDE) invalid(at);
      u64 size = u64(w) * h * 4;
      const u8* b = bytes(pos, stop, size);
      u32 offset = u32(b - data_);
      api::Values scratch(1);
      u32 rec = image::new_record(w, h);
      if (rec) std::memcpy(image::pixels(rec), data_ + offset, size);
      image::make_at(scratch[0], rec);
      set_series_index(scratch[0], i32(index));
      set_new_line(append(into, scratch[0]), new_line);
      return pos;
    }
    if (t == TYPE_BITSET || t == TYPE_BINARY) {
      u32 n = varint(pos, stop);
      const u8* b = bytes(pos, stop, n);
      u32 offset = u32(b - data_);
      api::Values scratch(1);
      u32 node;
      if (t == TYPE_BINARY) {
        binary::make_at(scratch[0], n);
        node = series_node(scratch[0]);
      } else {
        node = mem::alloc_bytes(n);
        make_series(scratch[0], TYPE_BITSET, node);
        if (flag) mem::buffer_of(node)->flags |= mem::SERIES_BITS_NOT;
      }
      if (n) std::memcpy(mem::alloc_tail_bytes(node, n), data_ + offset, n);
      if (t == TYPE_BINARY) set_series_index(scratch[0], i32(index));
      set_new_line(append(into, scratch[0]), new_line);
      return pos;
    }
    if (is_any_string_type(t) || t == TYPE_VECTOR) {
      u32 unit, count;
      Type element = TYPE_NONE;
      if (t == TYPE_VECTOR) {
        if (pos >= stop) invalid(pos);
        u8 e = *pos++;
        unit = 1u << (e & 3);
        element = Type(e >> 2);
        bool ok = ((element == TYPE_CHAR || element == TYPE_INTEGER) && unit <= 4) ||
                  (element == TYPE_FLOAT && unit >= 4) || (element == TYPE_PERCENT && unit == 8);
        if (!ok) invalid(pos - 1);
        count = varint(pos, stop);
      } else {
        u32 l = varint(pos, stop);
        if ((l & 3) == 3) invalid(start);
        unit = 1u << (l & 3);
        count = l >> 2;
      }
      u64 size = u64(count) * unit;
      const u8* b = bytes(pos, stop, size);
      u32 offset = u32(b - data_);
      api::Values scratch(1);
      if (t == TYPE_VECTOR) vector::make_at(scratch[0], count, element, unit);
      else string::make_at(scratch[0], count, unit, t);
      if (unit == 4 && t != TYPE_VECTOR) {
        for (u64 k = 0; k < size; k += 4) {
          const u8* q = data_ + offset + k;
          if ((u32(q[0]) | u32(q[1]) << 8 | u32(q[2]) << 16 | u32(q[3]) << 24) > 0x10FFFF) invalid(q);
        }
      }
      u32 node = series_node(scratch[0]);
      if (size) std::memcpy(mem::alloc_tail_bytes(node, u32(size)), data_ + offset, size);
      set_series_index(scratch[0], i32(index));
      set_new_line(append(into, scratch[0]), new_line);
      return pos;
    }
    // Block-like and map!: the new block is appended first, so that the
    // records inside it are rooted by it and may refer to it.
    u32 n = varint(pos, stop);
    if (n > u32(stop - pos) || (t == TYPE_MAP && n % 2)) invalid(start);
    u32 position = mem::buffer_of(into)->used() / sizeof(Cell);
    Cell* fresh = block::make_in(into, i32(n));
    u32 node = series_node(fresh);
    if (t != TYPE_MAP && t != TYPE_HASH) set_type(fresh, t);
    set_new_line(fresh, new_line);
    if (t != TYPE_MAP) set_series_index(fresh, i32(index));
    if (t == TYPE_MAP || t == TYPE_HASH) building_[node] = t;
    for (u32 i = 0; i < n; ++i) {
      const u8* at = pos;
      pos = value(pos, stop, node, depth + 1);
      if (t == TYPE_MAP && i % 2 == 0) {
        mem::Buffer* b = mem::buffer_of(node);
        if (!map::valid_key(type_of(b->cells() + b->used() / sizeof(Cell) - 1))) invalid(at);
      }
    }
    if (t == TYPE_MAP || t == TYPE_HASH) {
      api::Values scratch(1);
      *scratch[0] = mem::buffer_of(into)->cells()[position];
      if (t == TYPE_MAP) {
        map::make_at(scratch[0], node, 0);
      } else {
        set_series_index(scratch[0], 0);
        hash_block::index_block(scratch[0]);
        set_series_index(scratch[0], i32(index));
      }
      set_new_line(scratch[0], new_line);
      mem::buffer_of(into)->cells()[position] = *scratch[0];
      building_.erase(node);
      // The references to it made while it was read become the value. (A
      // hostile stream may have moved them, cutting a repeated key out of a
      // map: a cell that no longer holds the block is left as it is.)
      for (std::size_t k = 0; k < patches_.size();) {
        Patch p = patches_[k];
        if (p.node != node) {
          ++k;
          continue;
        }
        patches_[k] = patches_.back();
        patches_.pop_back();
        mem::Buffer* b = mem::buffer_of(p.into);
        if (p.position >= b->used() / sizeof(Cell)) continue;
        Cell* slot = b->cells() + p.position;
        if (!is_any_block_type(type_of(slot)) || series_node(slot) != node) continue;
        bool line = has_new_line(slot);
        *slot = *scratch[0];
        set_new_line(slot, line);
        if (t == TYPE_HASH) set_series_index(slot, i32(p.index));
      }
    }
    return pos;
  }
};

}  // namespace

std::vector<u8> encode_compact(const Cell* value, bool lz, u8 version) {
  // The encoder knows values by node and symbol id in tables of its own.
  gc::MovingOff fixed;
  Compact enc;
  Walk<Compact>(enc).value(value);
  std::vector<u8> body;
  put_varint(body, 1);
  put_varint(body, u32(enc.out.size()));
  bool symbols = !enc.symbols.offsets.empty();
  if (symbols) {
    put_varint(body, u32(enc.symbols.offsets.size()));
    put_varint(body, u32(enc.symbols.names.size()));
    for (u32 off : enc.symbols.offsets)
      for (int i = 0; i < 4; ++i) body.push_back(u8(off >> (8 * i)));
    body.insert(body.end(), enc.symbols.names.begin(), enc.symbols.names.end());
  }
  body.insert(body.end(), enc.out.begin(), enc.out.end());
  u8 flags = FLAG_COMPACT | (symbols ? FLAG_SYMBOLS : 0);
  std::vector<u8> stream = {'Q', 'E', 'L', 'B', 'I', 'N', version, flags};
  if (lz) {
    if (auto packed = codecs::lz::compress_payload(body.data(), body.size())) {
      stream[7] |= FLAG_LZ;
      stream.insert(stream.end(), packed->begin(), packed->end());
      return stream;
    }
  }
  stream.insert(stream.end(), body.begin(), body.end());
  return stream;
}

void decode(const u8* data, std::size_t size, u32 target, Mode mode) {
  // The decoder keeps the stream's symbol ids and the nodes of objects and
  // maps being built in tables of its own.
  gc::MovingOff fixed;
  if (size < 8 || std::memcmp(data, "QELBIN", 6) != 0) fire(Err::script_invalid_data);
  u8 flags = data[7];
  // The boot streams are the executable's own bytes, which nothing moves:
  // read in place when they need no unpacking.
  if (mode != MODE_CODEC && (flags & FLAG_COMPACT) && !(flags & FLAG_LZ)) {
    Decoder(data, size, target, mode).run(flags);
    return;
  }
  // The stream is read from a private copy: the caller's bytes may live in a
  // series that the collector moves while values are made.
  std::vector<u8> copy;
  if (flags & FLAG_LZ) {
    auto body = codecs::lz::decompress_payload(data + 8, size - 8);
    if (!body) fire(Err::script_invalid_data);
    copy.assign(data, data + 8);
    copy.insert(copy.end(), body->begin(), body->end());
  } else {
    copy.assign(data, data + size);
  }
  if (!(flags & FLAG_COMPACT)) {
    std::vector<u8> compact = full_to_compact(copy.data(), copy.size(), flags);
    Decoder(compact.data(), compact.size(), target, mode).run(compact[7]);
    return;
  }
  Decoder(copy.data(), copy.size(), target, mode).run(flags);
}

}  // namespace qel::qelbin
