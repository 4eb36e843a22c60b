#include "datatypes/image.hpp"
#include "datatypes/word.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "datatypes/binary.hpp"
#include "datatypes/context.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/float.hpp"
#include "datatypes/integer.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/series.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "platform/files.hpp"
#include "platform/image_codecs.hpp"
#include "runtime/api.hpp"
#include "runtime/io_services.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::image {

namespace {

using series::Event;

inline u32 size_word(u32 w, u32 h) { return h << 16 | w; }
inline u32 record_width(u32 rec) { return mem::buffer_of(rec)->spare & 0xFFFF; }

[[noreturn]] void raise_size(i64 w, i64 h) {
  Cell size;
  make_none(&size);
  pair::make_at(&size, i32(std::clamp<i64>(w, INT32_MIN, INT32_MAX)), i32(std::clamp<i64>(h, INT32_MIN, INT32_MAX)));
  fire(Err::script_invalid_arg, &size);
}

// Pushes an empty image! (no record).
Cell* push_empty() { return make_at(stack::push(), 0); }

// Pushes a new image! holding the w x h rectangle of the image at (x, y),
// which the caller clipped to the image.
Cell* push_rect(const Cell* img, u32 x, u32 y, u32 w, u32 h) {
  if (!w || !h) return push_empty();
  u32 src_node = record(img);
  u32 src_width = width(img);
  roots::LocalCell keep;
  copy_cell(img, keep.get());
  u32 rec = new_record(w, h);
  const u32* src = pixels(src_node);
  u32* dst = pixels(rec);
  for (u32 row = 0; row < h; ++row) {
    std::memcpy(dst + u64(row) * w, src + u64(y + row) * src_width + x, u64(w) * 4);
  }
  return make_at(stack::push(), rec);
}

bool word_is(const Cell* c, const char* name) {
  if (type_of(c) != TYPE_WORD) return false;
  std::string_view n = symbol::name(word::symbol_of(c));
  if (n.size() != std::strlen(name)) return false;
  for (std::size_t i = 0; i < n.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(n[i])) != name[i]) return false;
  }
  return true;
}

// ---- make, to, copy ------------------------------------------------------------

Cell* copy_whole(const Cell* img) {
  if (!record(img)) return push_empty();
  return push_rect(img, 0, 0, width(img), height(img));
}

Cell* h_copy(Cell* img, Cell*, Cell* part, bool, Cell*) {
  u32 w = width(img), h = height(img);
  i64 index = series_index(img);
  if (!record(img) || index >= i64(w) * h) return push_empty();
  if (index < 0) index = 0;
  i64 x = index % w, y = index / w;
  if (!part) return push_rect(img, u32(x), u32(y), u32(w - x), u32(h - y));
  switch (type_of(part)) {
    case TYPE_INTEGER: fire(Err::internal_not_done);
    case TYPE_PAIR: {
      i64 pw = pair::x(part), ph = pair::y(part);
      if (pw >= 1 && ph >= 1) {
        return push_rect(img, u32(x), u32(y), u32(std::min<i64>(pw, w - x)), u32(std::min<i64>(ph, h - y)));
      }
      if (pw < 0 && ph < 0 && index > 0) {
        i64 end_col = x == 0 ? w : x;
        i64 cols = -pw, rows = -ph;
        i64 start_col = cols > end_col ? 0 : end_col - cols;
        i64 width_ = end_col - start_col;
        i64 row_end = y + 1;
        i64 start_row = rows > row_end ? 0 : row_end - rows;
        if (row_end > h) row_end = h;
        return push_rect(img, u32(start_col), u32(start_row), u32(width_), u32(std::max<i64>(0, row_end - start_row)));
      }
      return push_empty();
    }
    case TYPE_IMAGE: {
      if (record(part) != record(img)) {
        fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::part), part);
      }
      i64 a = index, b = std::clamp<i64>(series_index(part), 0, i64(w) * h);
      if (b < a) std::swap(a, b);
      i64 ax = a % w, ay = a / w, bx = b % w, by = b / w;
      i64 cw = bx - ax, ch = by - ay;
      if (cw < 1 || ch < 1) return push_empty();
      return push_rect(img, u32(ax), u32(ay), u32(std::min<i64>(cw, w - ax)), u32(std::min<i64>(ch, h - ay)));
    }
    default:
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::part), part);
  }
}

// Fills the new record: a colour, or rgb triples (missing ones white) and
// transparency bytes (missing ones opaque) from the binaries' indexes.
Cell* make_image(i64 w, i64 h, Cell* rgb, Cell* alpha, Cell* colour) {
  if (w < 0) w = 0;
  if (h < 0) h = 0;
  if (w > MAX_SIDE || h > MAX_SIDE) raise_size(w, h);
  if (!w || !h) {
    Cell* out = push_empty();
    set_size_word(out, size_word(u32(w), u32(h)));
    return out;
  }
  std::vector<u8> rgb_bytes, alpha_bytes;
  if (rgb) rgb_bytes = binary::bytes_from_index(rgb);
  if (alpha) alpha_bytes = binary::bytes_from_index(alpha);
  u32 fill = colour ? pixel_of_tuple(colour) : 0;
  u32 rec = new_record(u32(w), u32(h));
  u32* px = pixels(rec);
  u64 n = u64(w) * u64(h), triples = rgb_bytes.size() / 3;
  for (u64 i = 0; i < n; ++i) {
    if (colour) {
      px[i] = fill;
      continue;
    }
    u32 p = i < triples ? u32(rgb_bytes[i * 3]) << 16 | u32(rgb_bytes[i * 3 + 1]) << 8 | rgb_bytes[i * 3 + 2]
                        : 0xFFFFFF;
    u32 a = i < alpha_bytes.size() ? 255u - alpha_bytes[i] : 255u;
    px[i] = a << 24 | p;
  }
  return make_at(stack::push(), rec);
}

// Whether the object is a face: it has the words the GUI reads of one.
bool is_face(const Cell* obj) {
  u32 ctx = object::context_of(obj);
  for (const char* w : {"type", "offset", "size", "parent", "pane", "state", "para", "font", "actors"})
    if (context::find_word(ctx, symbol::make(w), true) < 0) return false;
  return true;
}

Cell* h_to(Cell* proto, Cell* spec, Type) {
  if (type_of(spec) == TYPE_IMAGE) return copy_whole(spec);
  // A face gives its window's pixels (none without a window).
  if (type_of(spec) == TYPE_OBJECT && is_face(spec))
    return io_services::services.face_to_image ? io_services::services.face_to_image(spec) : make_none(stack::push());
  float_::raise_bad_to(TYPE_IMAGE, spec);
}

Cell* h_make(Cell* proto, Cell* spec, Type type) {
  if (type_of(spec) == TYPE_PAIR) return make_image(pair::x(spec), pair::y(spec), nullptr, nullptr, nullptr);
  if (type_of(spec) != TYPE_BLOCK) return h_to(proto, spec, type);
  i32 index = std::max(0, series_index(spec));
  i32 n = series::total(spec) - index;
  if (n <= 0) {
    if (type_of(proto) == TYPE_IMAGE) return copy_whole(proto);
    fire(Err::script_invalid_arg, spec);
  }
  // The block's values are copied to rooted cells first: the block's buffer
  // may move when the record is made.
  Cell result;
  {
    api::Values v(3);
    for (i32 i = 0; i < 3; ++i) {
      if (i < n) copy_cell(mem::buffer_of(series_node(spec))->cells() + index + i, v[i]);
    }
    if (type_of(v[0]) != TYPE_PAIR) fire(Err::script_invalid_arg, v[0]);
    Cell *rgb = nullptr, *alpha = nullptr, *colour = nullptr;
    if (n >= 2) {
      if (type_of(v[1]) == TYPE_BINARY) rgb = v[1];
      else if (type_of(v[1]) == TYPE_TUPLE) colour = v[1];
      else fire(Err::script_invalid_arg, v[1]);
    }
    if (n >= 3) {
      if (type_of(v[2]) != TYPE_BINARY) fire(Err::script_invalid_arg, v[2]);
      alpha = v[2];
    }
    result = *make_image(pair::x(v[0]), pair::y(v[0]), rgb, alpha, colour);
  }  // the scratch cells and the pushed image are dropped: nothing allocates until the push
  return copy_cell(&result, stack::push());
}

// ---- text ----------------------------------------------------------------------

const char kHex[] = "0123456789ABCDEF";

i32 h_mold(Cell* img, Cell* buffer, bool only, bool, bool flat, Cell* arg, i32 limit, i32 indent) {
  u32 w = width(img), h = height(img);
  auto text = [&](const std::string& s) { limit = string::write_ascii_n(buffer, s.data(), u32(s.size()), limit); };
  auto newline = [&](i32 level) {
    std::string s = "\n";
    for (i32 i = 0; i < level; ++i) s += "    ";
    text(s);
  };
  auto stop = [&] { return arg && limit <= 0; };
  if (!only) text("make image! [");
  text(std::to_string(w) + "x" + std::to_string(h));
  if (!record(img)) {
    text(" #{}");
    if (!only) text("]");
    return limit;
  }
  u32 rec = record(img);
  u32 count = w * h;
  u32 from = u32(std::clamp<i32>(series_index(img), 0, i32(count)));
  u32 covered = (count - from) * 3;
  text(" #{");
  if (!flat && covered >= 31) newline(indent + 1);
  bool transparent = false;
  std::string chunk;
  for (u32 i = from; i < count; ++i) {
    u32 p = pixels(rec)[i];  // mold allocates: the buffer is asked for again each pixel
    if ((p >> 24) != 0xFF) transparent = true;
    chunk.clear();
    for (int shift = 20; shift >= 0; shift -= 4) chunk.push_back(kHex[p >> shift & 0xF]);
    text(chunk);
    if (stop()) return limit;
    if (!flat && (i - from + 1) % 10 == 0 && i + 1 < count) newline(indent + 1);
  }
  if (!flat && covered > 30 && (count - from) % 10 != 0) newline(indent);
  else if (!flat && covered > 30) newline(indent);
  text("}");
  if (transparent) {
    text(" #{");
    if (!flat) newline(indent + 1);
    // From the index, like the colours: loading the text gives back the
    // same pixels.
    for (u32 i = from; i < count; ++i) {
      u32 t = 255 - (pixels(rec)[i] >> 24);
      chunk.assign({kHex[t >> 4], kHex[t & 0xF]});
      text(chunk);
      if (stop()) return limit;
      if (!flat && (i - from + 1) % 10 == 0 && i + 1 < count) newline(indent + 1);
    }
    if (!flat) newline(indent);
    text("}");
  }
  if (!only) text("]");
  return limit;
}

i32 h_form(Cell* img, Cell* buffer, Cell* arg, i32 limit) {
  return h_mold(img, buffer, false, false, false, arg, limit, 0);
}

// ---- positions -------------------------------------------------------------------

void h_at() {
  bool out = false;
  set_series_index(stack::base, get_position(stack::base, stack::base + 1, 1, &out));
}
void h_skip() {
  bool out = false;
  set_series_index(stack::base, get_position(stack::base, stack::base + 1, 0, &out));
}
void h_back() {
  if (series_index(stack::base) > 0) set_series_index(stack::base, series_index(stack::base) - 1);
}
void h_head() { set_series_index(stack::base, 0); }
void h_head_q() { make_logic(stack::base, series_index(stack::base) <= 0); }
void h_index_q() { make_integer(stack::base, series_index(stack::base) + 1); }
void h_next() {
  if (i64(series_index(stack::base)) + 1 <= i64(pixel_count(stack::base))) {
    set_series_index(stack::base, series_index(stack::base) + 1);
  }
}
void h_tail() { set_series_index(stack::base, i32(pixel_count(stack::base))); }
void h_tail_q() { make_logic(stack::base, i64(series_index(stack::base)) >= i64(pixel_count(stack::base))); }
i32 h_length(Cell* img) { return i32(pixel_count(img)); }

// The pixel a pick or poke names by an integer or pair index (by `index`
// when no index cell is given, then made in `given`); false when it lies
// outside the image. script invalid-arg for any other index.
bool pixel_at(Cell* img, i32 index, Cell*& index_cell, Cell* given, u32* at) {
  if (!index_cell) index_cell = make_integer(given, index);
  if (type_of(index_cell) != TYPE_INTEGER && type_of(index_cell) != TYPE_PAIR) {
    fire(Err::script_invalid_arg, index_cell);
  }
  bool out = false;
  i32 p = get_position(img, index_cell, 1, &out);
  if (out || !record(img) || u32(p) >= pixel_count(img)) return false;
  *at = u32(p);
  return true;
}

Cell* h_pick(Cell* img, i32 index, Cell* index_cell) {
  Cell given;
  u32 p;
  if (!pixel_at(img, index, index_cell, &given, &p)) return make_none(stack::push());
  return tuple_of_pixel(stack::push(), pixels(record(img))[p]);
}

Cell* h_poke(Cell* img, i32 index, Cell* index_cell, Cell* value) {
  Cell given;
  u32 p;
  if (!pixel_at(img, index, index_cell, &given, &p)) fire(Err::script_out_of_range, index_cell);
  if (type_of(value) != TYPE_TUPLE) fire(Err::script_invalid_arg, value);
  pixels(record(img))[p] = pixel_of_tuple(value);
  series::notify(img, Event::poke, value, p, 1);
  return value;
}

// ---- change ----------------------------------------------------------------------

Cell* h_change(Cell* img, Cell* value, i32 part, bool, i32 dup) {
  if (part >= 0 || dup != 1) fire(Err::internal_not_done);
  i32 index = std::max(0, series_index(img));
  u32 count = pixel_count(img);
  if (type_of(value) == TYPE_TUPLE) {
    series::notify(img, Event::change, value, index, 1);
    if (record(img) && u32(index) < count) pixels(record(img))[index] = pixel_of_tuple(value);
    if (u32(index) < count) set_series_index(img, index + 1);
    series::notify(img, Event::changed, value, index, 1);
    return img;
  }
  if (type_of(value) != TYPE_IMAGE) {
    Cell t;
    make_datatype(&t, type_of(value));
    fire(Err::script_invalid_type, &t);
  }
  if (!record(img) || u32(index) >= count) return img;
  series::notify(img, Event::change, value, index, 1);
  u32 w = width(img);
  count = pixel_count(img);
  if (!record(img) || u32(index) >= count) return img;  // the owner's handler changed it
  u32 x = u32(index) % w, y = u32(index) / w;
  u32 sw = width(value), sh = height(value);
  u32 cols = std::min(sw, w - x), rows = std::min(sh, height(img) - y);
  u32 written = 0;
  if (record(value) && cols && rows) {
    // Copied out first: the source may be this very image.
    std::vector<u32> src(pixels(record(value)), pixels(record(value)) + u64(sw) * sh);
    u32* dst = pixels(record(img));
    for (u32 r = 0; r < rows; ++r) std::memcpy(dst + u64(y + r) * w + x, src.data() + u64(r) * sw, u64(cols) * 4);
    written = cols * rows;
    set_series_index(img, i32((y + rows - 1) * w + std::min(x + sw, w)));
  }
  series::notify(img, Event::changed, value, index, i32(written));
  return img;
}

// ---- compare ---------------------------------------------------------------------

i32 h_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_IMAGE) return COMPARE_INCOMPARABLE;
  if (op == COMP_SAME) return record(a) == record(b) && series_index(a) == series_index(b) ? 0 : 1;
  if (op >= COMP_LESSER && op <= COMP_GREATER_EQUAL) return COMPARE_INCOMPARABLE;
  if ((op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL) && record(a) == record(b) &&
      series_index(a) == series_index(b)) {
    return 0;
  }
  u32 na = record(a) ? pixel_count(a) : 0, nb = record(b) ? pixel_count(b) : 0;
  if (na != nb) return na < nb ? -1 : 1;
  if (!na) return 0;
  int c = std::memcmp(pixels(record(a)), pixels(record(b)), u64(na) * 4);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

// ---- paths -----------------------------------------------------------------------

Cell* h_eval_path(Cell* img, Cell* element, Cell* value, const PathStep& step) {
  Type t = type_of(element);
  if (t == TYPE_INTEGER || t == TYPE_PAIR) {
    if (!value) return h_pick(img, 0, element);
    return h_poke(img, 0, element, value);
  }
  auto bad = [&]() {
    Cell path;
    if (step.path) copy_cell(step.path, &path); else make_none(&path);
    fire(Err::script_invalid_path, element, &path);
  };
  if (word_is(element, "size")) {
    if (value) bad();
    return pair::push(i32(width(img)), i32(height(img)));
  }
  int mode = word_is(element, "alpha") ? 0 : word_is(element, "rgb") ? 1 : word_is(element, "argb") ? 2 : -1;
  if (mode < 0) bad();
  if (!value) return extract_data(img, mode);
  set_data(img, value, mode);
  return value;
}

}  // namespace

// ---- pixels and records -------------------------------------------------------------

u32 pixel_of_tuple(const Cell* t) {
  u32 p = u32(tuple::byte(t, 0)) << 16 | u32(tuple::byte(t, 1)) << 8 | tuple::byte(t, 2);
  u32 a = tuple::count(t) >= 4 ? 255u - tuple::byte(t, 3) : 255u;
  return a << 24 | p;
}

Cell* tuple_of_pixel(Cell* out, u32 p) {
  u8 bytes[4] = {u8(p >> 16), u8(p >> 8), u8(p), u8(255 - (p >> 24))};
  make_none(out);
  return tuple::make_at(out, 4, bytes);
}

u32 new_record(u32 w, u32 h) {
  if (w > MAX_SIDE || h > MAX_SIDE) raise_size(w, h);
  if (!w || !h) return 0;
  u64 bytes = u64(w) * h * 4;
  if (bytes > 0x7FFFFFF0u) fire(Err::internal_no_memory);
  u32 node = mem::alloc_series(w * h, 4, 0);
  mem::Buffer* b = mem::buffer_of(node);
  std::memset(b->head_ptr(), 0, bytes);
  b->tail = b->head + u32(bytes);
  b->spare = size_word(w, h);
  return node;
}

u32* pixels(u32 rec) { return reinterpret_cast<u32*>(mem::buffer_of(rec)->head_ptr()); }

Cell* make_at(Cell* cell, u32 rec) {
  cell->header = (cell->header & FLAG_NEW_LINE) | TYPE_IMAGE;
  return set_record(cell, rec, rec ? mem::buffer_of(rec)->spare : 0);
}

Cell* push_from_pixels(u32 w, u32 h, const u32* words) {
  u32 rec = new_record(w, h);
  if (rec && words) std::memcpy(pixels(rec), words, u64(w) * h * 4);
  return make_at(stack::push(), rec);
}

i32 get_position(const Cell* img, const Cell* arg, i32 base, bool* out) {
  i64 w = width(img), h = height(img), count = w * h;
  i64 e;
  *out = false;
  if (type_of(arg) == TYPE_PAIR) {
    i64 x = pair::x(arg), y = pair::y(arg);
    e = base == 1 && y > 0 ? x + w * (y - 1) : x + w * y;
    if (base == 1) *out = x > w || x <= 0 || y > h || y <= 0;
    else *out = x >= w || x < 0 || y >= h || y < 0;
  } else if (type_of(arg) == TYPE_INTEGER) {
    e = int_of(arg);
  } else {
    fire(Err::script_invalid_arg, arg);
  }
  i64 p = i64(series_index(img)) + e - base;
  if (base == 1 && e <= 0) p += 1;
  if (e == 0 || p < 0 || p >= count) *out = true;
  return i32(std::clamp<i64>(p, 0, count));
}

Cell* extract_data(const Cell* img, int mode) {
  u32 n = record(img) ? pixel_count(img) : 0;
  u32 rec = record(img);
  std::vector<u8> out;
  if (n) {
    const u32* px = pixels(rec);
    if (mode == 2) {
      out.resize(u64(n) * 4);
      std::memcpy(out.data(), px, out.size());
    } else if (mode == 1) {
      out.resize(u64(n) * 3);
      for (u32 i = 0; i < n; ++i) {
        out[u64(i) * 3] = u8(px[i] >> 16), out[u64(i) * 3 + 1] = u8(px[i] >> 8), out[u64(i) * 3 + 2] = u8(px[i]);
      }
    } else {
      out.resize(n);
      for (u32 i = 0; i < n; ++i) out[i] = u8(255 - (px[i] >> 24));
    }
  }
  return binary::load(out);
}

void set_data(Cell* img, Cell* value, int mode) {
  Type t = type_of(value);
  if (t != TYPE_BINARY && t != TYPE_TUPLE && t != TYPE_INTEGER) fire(Err::script_invalid_arg, value);
  u32 n = record(img) ? pixel_count(img) : 0;
  if (n) {
    if (t == TYPE_BINARY) {
      std::vector<u8> bytes = binary::bytes_from_index(value);
      u32* px = pixels(record(img));
      if (mode == 2) {
        std::memcpy(px, bytes.data(), std::min<u64>(bytes.size(), u64(n) * 4) & ~u64(3));
      } else if (mode == 1) {
        u64 k = std::min<u64>(bytes.size() / 3, n);
        for (u64 i = 0; i < k; ++i) {
          px[i] = (px[i] & 0xFF000000u) | u32(bytes[i * 3]) << 16 | u32(bytes[i * 3 + 1]) << 8 | bytes[i * 3 + 2];
        }
      } else {
        u64 k = std::min<u64>(bytes.size(), n);
        for (u64 i = 0; i < k; ++i) px[i] = (px[i] & 0xFFFFFFu) | u32(255 - bytes[i]) << 24;
      }
    } else {
      u32 colour = t == TYPE_TUPLE ? pixel_of_tuple(value) : 0;
      u32 low = t == TYPE_TUPLE ? tuple::byte(value, 2) : u32(int_of(value)) & 0xFF;
      u32 rgb = t == TYPE_TUPLE ? colour & 0xFFFFFF : u32(int_of(value)) & 0xFFFFFF;
      u32* px = pixels(record(img));
      for (u32 i = 0; i < n; ++i) {
        if (mode == 2) px[i] = t == TYPE_TUPLE ? colour : u32(int_of(value));
        else if (mode == 1) px[i] = (px[i] & 0xFF000000u) | rgb;
        else px[i] = (px[i] & 0xFFFFFFu) | (255 - low) << 24;
      }
    }
  }
  series::notify(img, Event::poke, value, 0, i32(n));
}

Cell* resize(const Cell* img, u32 w, u32 h) {
  if (!record(img) || !pixel_count(img) || !w || !h) return push_empty();
  roots::LocalCell keep;
  copy_cell(img, keep.get());
  u32 sw = width(img), sh = height(img);
  u32 rec = new_record(w, h);
  const u32* src = pixels(record(keep.get()));
  u32* dst = pixels(rec);
  for (u32 y = 0; y < h; ++y) {
    const u32* row = src + u64(u64(y) * sh / h) * sw;
    for (u32 x = 0; x < w; ++x) dst[u64(y) * w + x] = row[u64(x) * sw / w];
  }
  return make_at(stack::push(), rec);
}

Cell* flip_vertical(const Cell* img) {
  Cell* out = copy_whole(img);
  if (!record(out)) return out;
  u32 w = width(out), h = height(out);
  u32* px = pixels(record(out));
  for (u32 y = 0; y < h / 2; ++y) std::swap_ranges(px + u64(y) * w, px + u64(y + 1) * w, px + u64(h - 1 - y) * w);
  return out;
}

// ---- codecs ---------------------------------------------------------------------------

bool known_format(const u8* bytes, std::size_t length) { return platform::imaging::sniff(bytes, length) >= 0; }

Cell* encode(const Cell* img, int format) {
  if (!record(img) || !pixel_count(img)) fire(Err::access_bad_media);
  std::vector<u8> out;
  bool ok;
  {
    mem::NoAlloc no_alloc;  // the encoder reads the pixels in place
    ok = platform::imaging::encode(pixels(record(img)), width(img), height(img), format, out);
  }
  if (!ok) fire(Err::access_bad_media);
  return binary::load(out);
}

namespace {

// The decoder's destination: a new record, made before the decoder writes
// into it. The decoder allocates nothing in the collected region, so the
// pixels stay where they are until it returns. Errors do not cross the
// decoder's frames: a failure is noted and raised after it returns.
struct Destination {
  u32 record;
  bool failed;
};

u32* allocate_destination(void* context, u32 w, u32 h) noexcept {
  auto* d = static_cast<Destination*>(context);
  try {
    d->record = new_record(w, h);
    return pixels(d->record);
  } catch (...) {
    d->failed = true;
    return nullptr;
  }
}

}  // namespace

Cell* decode(const Cell* data) {
  std::vector<u8> bytes;
  if (type_of(data) == TYPE_FILE) {
    // A file that cannot be read, or that holds no image, cannot be opened
    // as an image.
    std::string path = file::to_local_path(data);
    if (platform::read_file(path, -1, -1, bytes) != platform::ReadResult::ok ||
        !known_format(bytes.data(), bytes.size())) {
      fire(Err::access_cannot_open, data);
    }
  } else if (type_of(data) == TYPE_BINARY) {
    bytes = binary::bytes_from_index(data);
    if (!known_format(bytes.data(), bytes.size())) return make_none(stack::push());
  } else {
    fire(Err::script_invalid_arg, data);
  }
  Destination dest{0, false};
  u32 w = 0, h = 0;
  bool ok = platform::imaging::decode_into(bytes.data(), bytes.size(), allocate_destination, &dest, &w, &h);
  if (dest.failed) fire(Err::internal_no_memory);
  if (!ok || !dest.record) fire(Err::access_bad_media);
  return make_at(stack::push(), dest.record);
}

void init() {
  ActionTable t = no_actions();
  t.make = h_make;
  t.to = h_to;
  t.form = h_form;
  t.mold = h_mold;
  t.eval_path = h_eval_path;
  t.compare = h_compare;
  t.at = h_at;
  t.skip = h_skip;
  t.back = h_back;
  t.head = h_head;
  t.head_q = h_head_q;
  t.index_q = h_index_q;
  t.modify = Slot<act::Modify>{};
  t.change = h_change;
  t.copy = h_copy;
  t.length_q = h_length;
  t.next = h_next;
  t.pick = h_pick;
  t.poke = h_poke;
  t.tail = h_tail;
  t.tail_q = h_tail_q;
  types::register_datatype({TYPE_IMAGE, TYPE_SERIES, "image!", t});
}

}  // namespace qel::image
