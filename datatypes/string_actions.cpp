// The string! datatype: registration, make and to, comparison, path access,
// append, insert, change, swap, take, trim and the set operations.
//
// The handlers serve every type that shares the string layout (string!,
// file!, url!, tag!, email!, ref!) and what binary! and vector! inherit.
// Series and values reach them on the arguments stack; buffers are held by
// node and fetched again after anything that can allocate (forming a value,
// widening, growing), so a collection in between moves nothing under them.
#include <algorithm>
#include <unordered_set>
#include <vector>

#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/collector.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"

namespace qel::string {

namespace {

using mem::Buffer;
using mem::buffer_of;
using unicode::unit_of;

// The largest string, in units: indexes are signed 32-bit numbers.
constexpr u64 MAX_UNITS = 0x7FFFFFFF;

inline bool is_block_like(Type t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

// The units of a series and its index kept between 0 and the tail.
struct Span {
  u32 total;
  u32 index;
  u32 rest() const { return total - index; }
};
Span span_of(const Cell* s) {
  Buffer* b = buffer_of(series_node(s));
  u32 total = b->used() / unit_of(b);
  i32 i = series_index(s);
  return {total, i < 0 ? 0 : std::min(u32(i), total)};
}

void copy_units(u8* dst, u32 du, const u8* src, u32 su, u32 n) {
  if (du == su) {
    u64 bytes = u64(n) * du;
    if (bytes <= 16) {  // the short runs of field text: no library call
      for (u64 i = 0; i < bytes; ++i) dst[i] = src[i];
    } else {
      std::memcpy(dst, src, bytes);
    }
    return;
  }
  for (u32 i = 0; i < n; ++i) put_char(dst + u64(i) * du, du, get_char(src + u64(i) * su, su));
}

[[noreturn]] void not_done() { fire(Err::internal_not_done); }

// ---------------------------------------------------------------------------
// The material of append, insert and change

// n code points of the string-like cell src from its index, or the single
// code point cp when src is null; unit is the least unit the target needs.
struct Material {
  const Cell* src = nullptr;
  u32 cp = 0;
  u32 n = 0;
  u32 unit = 1;
};

// The string types whose form is exactly their characters from the index
// (a tag! adds its angle brackets).
inline bool forms_as_own_text(Type t) { return is_any_string_type(t) && t != TYPE_TAG; }

// The unit a string appended to needs for the code point cp: appending keeps
// 1-byte strings ASCII, so 128 and above widen them.
inline u32 unit_needed(u32 cp) { return cp < 128 ? 1 : unicode::unit_for(std::max<u32>(cp, 0x100)); }

// Appends the form of a block's element (held on the stack) to out: a
// string whose form is its own text is copied without dispatch.
void form_element(Cell* element, Cell* out) {
  if (forms_as_own_text(type_of(element))) concatenate(out, element);
  else actions::form(element, out, nullptr, 0x7FFFFFFF);
}

// A new string on the stack holding the value's form (a block: each
// element's form, nothing between; a tag!: "<text>"), cut to part code
// points (part < 0: all).
Cell* formed_material(Cell* value, i32 part) {
  Cell* out = make_none(stack::push());
  make_at(out, 16);
  Type t = type_of(value);
  if (t == TYPE_TAG) {
    append_ascii(out, "<");
    concatenate(out, value);
    append_ascii(out, ">");
  } else if (is_block_like(t)) {
    u32 node = series_node(value);
    i32 start = std::max(series_index(value), 0);
    for (u32 i = u32(start);; ++i) {
      Buffer* b = buffer_of(node);  // fetched again: forming allocates
      if (i >= b->used() / sizeof(Cell)) break;
      if (part >= 0 && length_from_head(out) >= u32(part)) break;
      const Cell* at = b->cells() + i;
      Type et = type_of(at);
      if (et == TYPE_CHAR) {  // a char forms as itself: no dispatch
        append_char(out, char_of(at));
        continue;
      }
      Cell* element = stack::push_cell(at);
      form_element(element, out);
      stack::pop(1);
    }
  } else {
    actions::form(value, out, nullptr, 0x7FFFFFFF);
  }
  if (part >= 0) truncate_buffer(series_node(out), u32(part));
  return out;
}

Material material_of(Cell* value, i32 part) {
  Material m;
  Type t = type_of(value);
  if (t == TYPE_CHAR) {
    m.cp = char_of(value);
    m.n = part == 0 ? 0 : 1;
    m.unit = unit_needed(m.cp);
    return m;
  }
  m.src = (is_any_string_type(t) && t != TYPE_TAG) ? value : formed_material(value, part);
  m.n = length_from_index(m.src);
  if (part >= 0 && u32(part) < m.n) m.n = u32(part);
  m.unit = unit_of(buffer_of(series_node(m.src)));
  return m;
}

// Replaces `cut` units at unit position pos of the target by dup copies of
// the material, widening and growing the buffer once; answers the position
// just after the written run.
u32 splice(Cell* target, u32 pos, u32 cut, const Material& m, u32 dup) {
  u32 node = series_node(target);
  Buffer* b = buffer_of(node);
  u32 tu = unit_of(b);
  u32 total = b->used() / tu;
  pos = std::min(pos, total);
  cut = std::min(cut, total - pos);
  u64 run = u64(m.n) * dup;
  u32 nu = std::max(tu, m.unit);
  u64 new_total = u64(total) - cut + run;
  if (new_total > MAX_UNITS || new_total * nu > 0xF0000000ull) fire(Err::internal_no_memory);
  if (!run && !cut) return pos;

  // A run taken from the target's own buffer is set aside before anything moves.
  std::vector<u8> aside;
  u32 snode = 0, su = nu, sidx = 0;
  if (m.src && m.n) {
    snode = series_node(m.src);
    Buffer* sb = buffer_of(snode);
    su = unit_of(sb);
    sidx = span_of(m.src).index;
    if (snode == node) {
      const u8* from = sb->head_ptr() + u64(sidx) * su;
      aside.assign(from, from + u64(m.n) * su);
    }
  }
  if (nu > tu) unicode::widen(node, nu);
  b = buffer_of(node);
  if (new_total * nu > b->used()) b = make_room(node, new_total * nu - b->used());

  u8* h = b->head_ptr();
  std::memmove(h + (pos + run) * nu, h + u64(pos + cut) * nu, u64(total - pos - cut) * nu);
  if (run) {
    u8* dst = h + u64(pos) * nu;
    if (!m.src) {
      put_char(dst, nu, m.cp);
    } else {
      // The source buffer may have moved while the target grew.
      const u8* src = aside.empty() ? buffer_of(snode)->head_ptr() + u64(sidx) * su : aside.data();
      copy_units(dst, nu, src, su, m.n);
    }
    mem::copy_repeat(dst, m.n * nu, dup);
  }
  b->tail = b->head + u32(new_total * nu);
  return pos + u32(run);
}

inline i32 clamp_i32(u64 v) { return v > MAX_UNITS ? i32(MAX_UNITS) : i32(v); }

// Writes dup copies of the text a block forms to (from its index, up to
// part code points; part < 0: all) at unit position pos of a target that
// has no owner to tell, without a temporary string for the whole text:
// chars and strings whose form is their own text are copied straight from
// the elements; only the other elements (and a string sharing the target's
// buffer, read before anything changes) are formed, into one scratch string.
// The target widens to the unit the general path would give it. Answers
// false, having changed nothing, for an owned target; end receives the
// position after the run.
bool splice_block(Cell* target, u32 pos, const Cell* block, i32 part, u32 dup, u32& end) {
  u32 node = series_node(target);
  if (buffer_of(node)->flags & mem::SERIES_OWNED) return false;
  u32 bnode = series_node(block);
  u32 start = u32(std::max(series_index(block), 0));

  // Measure: the code points and the widest unit of the text, the elements
  // that give it, and the length each formed element left in the scratch.
  Cell* scratch = nullptr;
  std::vector<u32> formed;
  u64 n = 0;
  u32 unit = 1, stop = start;
  for (;; ++stop) {
    Buffer* bb = buffer_of(bnode);  // fetched again: forming allocates
    if (stop >= bb->used() / sizeof(Cell)) break;
    if (part >= 0 && n >= u64(part)) break;
    const Cell* e = bb->cells() + stop;
    Type t = type_of(e);
    if (t == TYPE_CHAR) {
      unit = std::max(unit, unit_needed(char_of(e)));
      ++n;
    } else if (forms_as_own_text(t) && series_node(e) != node) {
      u32 len = length_from_index(e);
      if (len) unit = std::max(unit, unit_of(buffer_of(series_node(e))));
      n += len;
    } else {
      Cell* element = stack::push_cell(e);  // before anything allocates
      if (!scratch) {
        // Made under the element, which moves up one cell.
        scratch = element;
        element = stack::push_cell(scratch);
        make_at(scratch, 16);
      }
      u32 before = length_from_head(scratch);
      form_element(element, scratch);
      stack::pop(1);
      u32 len = length_from_head(scratch) - before;
      formed.push_back(len);
      n += len;
    }
  }
  u32 snode = scratch ? series_node(scratch) : 0;
  if (snode) unit = std::max(unit, unit_of(buffer_of(snode)));
  if (part >= 0 && n > u64(part)) n = u64(part);

  Buffer* b = buffer_of(node);
  u32 tu = unit_of(b);
  u32 total = b->used() / tu;
  pos = std::min(pos, total);
  u64 run = n * dup;
  u32 nu = std::max(tu, unit);
  u64 new_total = u64(total) + run;
  if (new_total > MAX_UNITS || new_total * nu > 0xF0000000ull) fire(Err::internal_no_memory);
  end = pos + u32(run);
  if (run) {
    if (nu > tu) unicode::widen(node, nu);
    b = buffer_of(node);
    if (new_total * nu > b->end_offset() - b->head) b = make_room(node, new_total * nu - b->used());

    // Nothing allocates from here on: the buffers are read once more and
    // written straight, in the order the elements were measured.
    u8* h = b->head_ptr();
    if (pos < total) std::memmove(h + (pos + run) * nu, h + u64(pos) * nu, u64(total - pos) * nu);
    u8* dst = h + u64(pos) * nu;
    u8* at = dst;
    u64 left = n;
    const Cell* cells = buffer_of(bnode)->cells();
    stop = std::min<u32>(stop, buffer_of(bnode)->used() / sizeof(Cell));  // as the block is now
    const u8* sp = snode ? buffer_of(snode)->head_ptr() : nullptr;
    u32 ssu = snode ? unit_of(buffer_of(snode)) : 1;
    std::size_t next_formed = 0;
    for (u32 i = start; i < stop && left; ++i) {
      const Cell* e = cells + i;
      Type t = type_of(e);
      const u8* from;
      u32 su, k;
      if (t == TYPE_CHAR) {
        put_char(at, nu, char_of(e));
        at += nu;
        --left;
        continue;
      }
      if (forms_as_own_text(t) && series_node(e) != node) {
        Buffer* sb = buffer_of(series_node(e));
        su = unit_of(sb);
        Span s = span_of(e);
        from = sb->head_ptr() + u64(s.index) * su;
        k = s.rest();
      } else {
        if (next_formed >= formed.size()) break;
        su = ssu;
        from = sp;
        k = formed[next_formed++];
        sp += u64(k) * su;
      }
      k = u32(std::min<u64>(k, left));
      copy_units(at, nu, from, su, k);
      at += u64(k) * nu;
      left -= k;
    }
    if (left) std::memset(at, 0, left * nu);  // only if the block changed under the forming
    if (dup > 1) mem::copy_repeat(dst, u32(n * nu), dup);
    b->tail = b->head + u32(new_total * nu);
  }
  if (scratch) stack::pop(1);
  return true;
}

// ---------------------------------------------------------------------------
// Handlers

// The common appends: a char that needs no wider unit, or a whole string of
// the target's unit from another buffer, onto an unowned target that has
// room at its tail. Nothing moves and no handler runs, so the units are
// written straight in; answers false for anything else.
inline bool append_in_place(Cell* series, const Cell* value) {
  Type vt = type_of(value);
  if (vt == TYPE_CHAR) {
    u32 node = series_node(series);
    if (!node) return false;
    Buffer* b = buffer_of(node);
    u32 unit = unit_of(b);
    u32 cp = char_of(value);
    // The unit the general path would widen to for this code point.
    u32 needs = cp < 128 ? 1 : unicode::unit_for(std::max<u32>(cp, 0x100));
    if ((b->flags & mem::SERIES_OWNED) || needs > unit || unit > b->end_offset() - b->tail ||
        (b->used() >> (unit >> 1)) + 1 > MAX_UNITS) {
      return false;
    }
    put_char(b->tail_ptr(), unit, cp);
    b->tail += unit;
    return true;
  }
  if (!is_any_string_type(vt) || vt == TYPE_TAG) return false;
  u32 node = series_node(series), snode = series_node(value);
  if (node == snode || !node || !snode) return false;
  Buffer* b = buffer_of(node);
  Buffer* sb = buffer_of(snode);
  u32 unit = unit_of(b);
  if ((b->flags & mem::SERIES_OWNED) || unit_of(sb) != unit) return false;
  u32 shift = unit >> 1;  // units of 1, 2 and 4 bytes
  u32 from = std::min(u32(std::max(series_index(value), 0)), sb->used() >> shift) << shift;
  u32 bytes = sb->used() - from;
  if (bytes > b->end_offset() - b->tail || (u64(b->used()) + bytes) >> shift > MAX_UNITS) return false;
  u8* to = b->tail_ptr();
  const u8* src = sb->head_ptr() + from;
  if (bytes <= 16) {
    for (u32 i = 0; i < bytes; ++i) to[i] = src[i];
  } else {
    std::memcpy(to, src, bytes);
  }
  b->tail += bytes;
  return true;
}

[[gnu::noinline]] Cell* append_general(Cell* series, Cell* value, i32 part, i32 dup) {
  if (dup < 1) return series;
  Material m = material_of(value, part);
  u32 total = span_of(series).total;
  OwnerNotice notice(series, series::Event::append, series::Event::appended, value, i32(total), clamp_i32(u64(m.n) * u32(dup)));
  splice(series, total, 0, m, u32(dup));
  notice.done(i32(total), clamp_i32(u64(m.n) * u32(dup)));
  set_series_index(series, 0);
  return series;
}

Cell* append_h(Cell* series, Cell* value, i32 part, bool, i32 dup, bool) {
  if (dup == 1 && part < 0 && append_in_place(series, value)) {
    set_series_index(series, 0);
    return series;
  }
  u32 end;
  if (dup >= 1 && is_block_like(type_of(value)) &&
      splice_block(series, span_of(series).total, value, part, u32(dup), end)) {
    set_series_index(series, 0);
    return series;
  }
  return append_general(series, value, part, dup);
}

Cell* insert_h(Cell* series, Cell* value, i32 part, bool, i32 dup, bool) {
  if (dup < 1) return series;
  u32 done;
  if (is_block_like(type_of(value)) && splice_block(series, span_of(series).index, value, part, u32(dup), done)) {
    set_series_index(series, i32(done));
    return series;
  }
  Material m = material_of(value, part);
  u32 pos = span_of(series).index;
  i32 run = clamp_i32(u64(m.n) * u32(dup));
  OwnerNotice notice(series, series::Event::insert, series::Event::inserted, value, i32(pos), run);
  u32 end = splice(series, pos, 0, m, u32(dup));
  set_series_index(series, i32(end));
  notice.done(i32(pos), run);
  return series;
}

Cell* change_h(Cell* series, Cell* value, i32 part, bool, i32 dup) {
  if (dup < 1) return series;
  Material m = material_of(value, -1);
  Span sp = span_of(series);
  u64 run = u64(m.n) * u32(dup);
  u32 cut = part >= 0 ? std::min(u32(part), sp.rest()) : u32(std::min<u64>(run, sp.rest()));
  OwnerNotice notice(series, series::Event::change, series::Event::changed, value, i32(sp.index), clamp_i32(run));
  u32 end = splice(series, sp.index, cut, m, u32(dup));
  set_series_index(series, i32(end));
  notice.done(i32(sp.index), clamp_i32(run));
  return series;
}

Cell* to_h(Cell* proto, Cell* spec, Type type) {
  // Conversions to binary! and vector! belong to those modules.
  if (type == TYPE_BINARY || type == TYPE_VECTOR) not_done();
  Type st = type_of(spec);
  Cell* out = make_none(stack::push());
  if (st == TYPE_NONE) {
    Cell dt;
    fire(Err::script_bad_to_arg, make_datatype(&dt, type), spec);
  } else if (is_block_like(st)) {
    make_at(out, 16);
    append_h(out, spec, -1, false, 1, true);
  } else if (is_any_string_type(st)) {
    Span sp = span_of(spec);
    make_series(out, type, mem::copy_series_part(series_node(spec), sp.index, sp.rest()));
  } else if (st == TYPE_REFINEMENT && type != TYPE_STRING) {
    Cell* name = word::to_string(spec);  // shared with the symbol: copied
    make_series(out, type, mem::copy_series_part(series_node(name), 0, length_from_head(name)));
  } else if (st == TYPE_BINARY) {
    Buffer* b = buffer_of(series_node(spec));
    u32 total = b->used();
    i32 i = std::clamp<i32>(series_index(spec), 0, i32(total));
    // The loader copies bytes that lie in a series aside before it allocates.
    u32 node = unicode::load_utf8(b->head_ptr() + i, total - u32(i), nullptr, nullptr, false);
    make_series(out, type, node);
  } else {
    make_at(out, 16);
    actions::form(spec, out, nullptr, 0x7FFFFFFF);
  }
  set_type(out, type);
  return out;
}

Cell* make_h(Cell* proto, Cell* spec, Type type) {
  Type st = type_of(spec);
  if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    i64 size;
    if (st == TYPE_INTEGER) {
      size = int_of(spec);
    } else {
      double d = float_of(spec);
      if (!(d > -2147483649.0 && d < 2147483648.0)) fire(Err::script_out_of_range, spec);
      size = i64(d);
    }
    if (size < 0) fire(Err::script_out_of_range, spec);
    Cell* out = make_none(stack::push());
    return make_at(out, u32(size), 1, type);
  }
  if (type == TYPE_BINARY) {
    if (st == TYPE_MONEY) {
      Cell dt;
      fire(Err::script_bad_make_arg, make_datatype(&dt, TYPE_BINARY), spec);
    }
    return actions::to(proto, spec);
  }
  return to_h(proto, spec, type);
}

i32 compare_h(Cell* a, Cell* b, i32 op) {
  Type tb = type_of(b);
  if (type_of(a) != tb &&
      !(is_any_string_type(tb) && (op == COMP_EQUAL || op == COMP_NOT_EQUAL))) {
    return COMPARE_INCOMPARABLE;
  }
  return compare(a, b, op, false);
}

Cell* eval_path_h(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  Type et = type_of(element);
  if (et == TYPE_INTEGER) {
    i32 n = int_of(element);
    return value ? series::poke(parent, n, element, value) : series::pick(parent, n, element);
  }
  Cell path;
  if (step.path) copy_cell(step.path, &path); else make_none(&path);
  if (et == TYPE_WORD) fire(Err::script_invalid_path, element, &path);
  if (!value) {
    return select(parent, element, {.case_ = step.case_});
  }
  // Setting writes where selecting reads: the unit just after the match.
  i32 pos = select_position(parent, element, step.case_);
  if (pos < 0 || u32(pos) >= span_of(parent).total) fire(Err::script_bad_path_set, element, &path);
  return series::poke(parent, pos - series_index(parent) + 1, element, value);
}

Cell* swap_h(Cell* s1, Cell* s2) {
  Type t1 = type_of(s1), t2 = type_of(s2);
  if (!is_any_string_type(t2) && t2 != TYPE_BINARY) fire(Err::script_invalid_arg, s2);
  if (t1 == TYPE_VECTOR) not_done();
  Span a = span_of(s1), b = span_of(s2);
  if (a.index >= a.total || b.index >= b.total) return s1;
  u32 ca = char_at(s1, a.index), cb = char_at(s2, b.index);
  // A binary! holds bytes: a code point above 255 has no place in it.
  Cell c;
  if (t1 == TYPE_BINARY && cb > 0xFF) fire(Err::script_out_of_range, make_char(&c, cb));
  if (t2 == TYPE_BINARY && ca > 0xFF) fire(Err::script_out_of_range, make_char(&c, ca));
  OwnerNotice n1(s1, series::Event::swap, series::Event::swaped, s2, i32(a.index), 1);
  OwnerNotice n2(s2, series::Event::swap, series::Event::swaped, s1, i32(b.index), 1);
  // An owner's handler may have shortened either series meanwhile.
  if (a.index < span_of(s1).total && b.index < span_of(s2).total) {
    poke_char_at(series_node(s1), a.index, cb);
    poke_char_at(series_node(s2), b.index, ca);
  }
  n2.done(i32(b.index), 1);
  n1.done(i32(a.index), 1);
  return s1;
}

Cell* take_h(Cell* series, Cell* part, bool deep, bool last) {
  Cell* taken = series::take(series, part, deep, last);
  if (part || type_of(taken) != type_of(series)) return taken;
  // One unit taken without /part: the unit itself.
  if (span_of(taken).rest() != 1) return taken;
  return series::pick(taken, 1, nullptr);
}

// ---- trim --------------------------------------------------------------------

// White space of trim /lines and of the ends.
bool is_space(u32 cp) {
  return (cp >= 1 && cp <= 32) || cp == 133 || cp == 160 || cp == 5760 || cp == 6158 ||
         (cp >= 8192 && cp <= 8202) || cp == 8232 || cp == 8233 || cp == 8239 || cp == 8287 ||
         cp == 12288;
}
// What is cleaned at the start and end of inner lines: spaces, tabs and the
// Unicode spaces, no other control codes.
bool is_line_space(u32 cp) { return cp == ' ' || cp == '\t' || (cp >= 128 && is_space(cp)); }

std::vector<u32> read_rest(const Cell* s) {
  Span sp = span_of(s);
  Buffer* b = buffer_of(series_node(s));
  u32 unit = unit_of(b);
  std::vector<u32> text(sp.rest());
  const u8* p = b->head_ptr() + u64(sp.index) * unit;
  for (u32 i = 0; i < text.size(); ++i) text[i] = get_char(p + u64(i) * unit, unit);
  return text;
}

// Writes the kept code points back from the index (they are never more
// than what was there, and fit the unit) and pulls the tail in.
void write_rest(const Cell* s, const std::vector<u32>& text) {
  Span sp = span_of(s);
  Buffer* b = buffer_of(series_node(s));
  u32 unit = unit_of(b);
  u8* p = b->head_ptr() + u64(sp.index) * unit;
  for (u32 i = 0; i < text.size(); ++i) put_char(p + u64(i) * unit, unit, text[i]);
  b->tail = b->head + (sp.index + u32(text.size())) * unit;
}

void trim_lines(Cell* s) {
  std::vector<u32> text = read_rest(s), out;
  bool gap = false;
  for (u32 cp : text) {
    if (is_space(cp)) {
      gap = !out.empty();
    } else {
      if (gap) out.push_back(' ');
      gap = false;
      out.push_back(cp);
    }
  }
  write_rest(s, out);
}

void trim_ends(Cell* s, bool head, bool tail) {
  std::vector<u32> text = read_rest(s);
  bool both = !head && !tail;
  std::size_t b = 0, e = text.size();
  if (head || both) {
    while (b < e && is_space(text[b])) ++b;
  }
  bool line_feed = false;
  if (tail || both) {
    while (e > b && is_space(text[e - 1])) line_feed |= text[--e] == '\n';
  }
  std::vector<u32> out;
  if (!both) {
    out.assign(text.begin() + i64(b), text.begin() + i64(e));
  } else {
    // Inner lines lose the spaces at their start and before their line feed.
    std::vector<u32> run;  // spaces not yet known to be inside a line
    bool line_start = true;
    for (std::size_t i = b; i < e; ++i) {
      u32 cp = text[i];
      if (cp == '\n') {
        run.clear();
        out.push_back(cp);
        line_start = true;
      } else if (is_line_space(cp)) {
        if (!line_start) run.push_back(cp);
      } else {
        out.insert(out.end(), run.begin(), run.end());
        run.clear();
        out.push_back(cp);
        line_start = false;
      }
    }
    if (line_feed) out.push_back('\n');
  }
  write_rest(s, out);
}

Cell* trim_h(Cell* series, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
  if (auto_) not_done();
  if (type_of(series) == TYPE_VECTOR) not_done();
  Span sp = span_of(series);
  OwnerNotice notice(series, series::Event::trim, series::Event::trimmed, nullptr, i32(sp.index), i32(sp.rest()));
  if (all || with) trim_with(series, with);
  else if (lines) trim_lines(series);
  else trim_ends(series, head, tail);
  notice.done(i32(sp.index), i32(sp.rest()));
  return series;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public workers

bool append_at_tail(Cell* series, const Cell* value) {
  if (!append_in_place(series, value)) return false;
  set_series_index(series, 0);
  return true;
}

i32 compare(const Cell* a, const Cell* b, i32 op, bool prefix) {
  bool symbols = type_of(a) == TYPE_SYMBOL || type_of(b) == TYPE_SYMBOL;
  bool same = !symbols && series_node(a) == series_node(b) && series_index(a) == series_index(b);
  if (op == COMP_SAME) return same ? 0 : -1;
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                  op == COMP_EQUAL_NO_CASE;
  if (same && equality) return 0;

  // A symbol! entry is read from its spelling, from the start.
  struct Text {
    const u8* p;
    u32 unit;
    u32 len;
  };
  auto text_of = [](const Cell* c) {
    if (type_of(c) == TYPE_SYMBOL) {
      if (!symbol::string_node(c)) return Text{nullptr, 1, 0};  // spelling not made yet
      Buffer* b = buffer_of(symbol::string_node(c));
      u32 unit = unit_of(b);
      return Text{b->head_ptr(), unit, b->used() / unit};
    }
    Buffer* b = buffer_of(series_node(c));
    u32 unit = unit_of(b);
    Span sp = span_of(c);
    return Text{b->head_ptr() + u64(sp.index) * unit, unit, sp.rest()};
  };
  Text x = text_of(a), y = text_of(b);
  u32 n;
  if (prefix) {
    if (y.len == 0) return op == COMP_EQUAL_NO_CASE ? 1 : 0;
    if (x.len < y.len) return 1;
    n = y.len;
  } else {
    if (equality && x.len != y.len) return 1;
    n = std::min(x.len, y.len);
  }
  bool fold = op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT;
  for (u32 i = 0; i < n; ++i) {
    u32 ca = get_char(x.p + u64(i) * x.unit, x.unit);
    u32 cb = get_char(y.p + u64(i) * y.unit, y.unit);
    if (fold) {
      ca = casefold::upper(ca);
      cb = casefold::upper(cb);
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (prefix || x.len == y.len) return 0;
  return x.len < y.len ? -1 : 1;
}

void trim_with(Cell* str, const Cell* with) {
  std::vector<u32> set;
  if (!with) {
    set = {'\t', '\n', '\r', ' '};
  } else {
    Type t = type_of(with);
    if (t == TYPE_CHAR || t == TYPE_INTEGER) {
      set.push_back(t == TYPE_CHAR ? char_of(with) : u32(int_of(with)));
    } else if (is_any_string_type(t) || t == TYPE_BINARY) {
      set = read_rest(with);
    } else {
      fire(Err::script_invalid_arg, with);
    }
  }
  if (set.empty()) return;
  std::sort(set.begin(), set.end());
  auto in_set = [&](u32 cp) {
    if (set.size() <= 4) return std::find(set.begin(), set.end(), cp) != set.end();
    return std::binary_search(set.begin(), set.end(), cp);
  };
  std::vector<u32> text = read_rest(str);
  std::erase_if(text, in_set);
  write_rest(str, text);
}

void do_set_op(i32 op, bool case_sensitive, const Cell* skip) {
  Cell* first = stack::base;
  Cell* second = stack::base + 1;
  u32 size = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER || int_of(skip) < 1) {
      fire(Err::script_invalid_refine_arg, series::arg_word(series::ArgWord::skip), skip);
    }
    size = u32(int_of(skip));
  }
  auto key = [&](u32 cp) { return case_sensitive ? cp : casefold::upper(cp); };
  // Visits the records of a series from its index: (first code point, position, units).
  auto records = [&](const Cell* s, auto&& visit) {
    Span sp = span_of(s);
    for (u64 i = sp.index; i < sp.total; i += size) {
      visit(key(char_at(s, u32(i))), u32(i), u32(std::min<u64>(size, sp.total - i)));
    }
  };
  auto keys_of = [&](const Cell* s) {
    std::unordered_set<u32> keys;
    records(s, [&](u32 k, u32, u32) { keys.insert(k); });
    return keys;
  };

  std::vector<u32> out;
  std::unordered_set<u32> seen;  // first code points of the records kept
  // One pass over a series: a record is kept when `against` is null or when
  // its first code point's presence there equals `wanted`, and only once.
  auto pass = [&](const Cell* s, const std::unordered_set<u32>* against, bool wanted) {
    records(s, [&](u32 k, u32 pos, u32 n) {
      if (against && (against->count(k) != 0) != wanted) return;
      if (!seen.insert(k).second) return;
      for (u32 j = 0; j < n; ++j) out.push_back(char_at(s, pos + j));
    });
  };
  switch (op) {
    case OP_UNIQUE: pass(first, nullptr, true); break;
    case OP_UNION:
      pass(first, nullptr, true);
      pass(second, nullptr, true);
      break;
    case OP_INTERSECT: {
      auto keys = keys_of(second);
      pass(first, &keys, true);
      break;
    }
    case OP_EXCLUDE: {
      auto keys = keys_of(second);
      pass(first, &keys, false);
      break;
    }
    case OP_DIFFERENCE: {
      auto keys2 = keys_of(second), keys1 = keys_of(first);
      pass(first, &keys2, false);
      pass(second, &keys1, false);
      break;
    }
    default: not_done();
  }
  u32 widest = out.empty() ? 0 : *std::max_element(out.begin(), out.end());
  u32 unit = unicode::unit_for(widest);
  Cell* result = make_none(stack::push());
  make_at(result, std::max<u32>(u32(out.size()), 1), unit, type_of(first));
  Buffer* b = buffer_of(series_node(result));
  for (u32 i = 0; i < out.size(); ++i) put_char(b->head_ptr() + u64(i) * unit, unit, out[i]);
  b->tail = b->head + u32(out.size()) * unit;
  copy_cell(result, stack::base);
  stack::keep();
}

// A string (file!, url!, tag!, email!, ref!, symbol! alike) keeps its bytes
// and its cache series alive; it holds no values.
void mark_string(const Cell* s) {
  gc::mark_node_at(series_node_slot(s));
  if (series_extra(s)) gc::mark_node_at(series_extra_slot(s));
}

void register_type() {
  for (Type t : {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF, TYPE_SYMBOL}) {
    gc::set_mark_rule(t, mark_string);
  }
  DatatypeDef def{TYPE_STRING,
                  TYPE_SERIES,
                  "string!",
                  {.make = make_h,
                   .to = to_h,
                   .form = form,
                   .mold = mold,
                   .eval_path = eval_path_h,
                   .set_path = nullptr,
                   .compare = compare_h,
                   .append = append_h,
                   .change = change_h,
                   .find = find,
                   .insert = insert_h,
                   .put = nullptr,
                   .select = select,
                   .sort = sort,
                   .swap = swap_h,
                   .take = take_h,
                   .trim = trim_h,
                   .create = nullptr,
                   .close = nullptr,
                   .delete_ = nullptr}};
  // No arithmetic (absolute .. xor~) and no port actions (open .. write).
#define QEL_X(slot, member, name, sig) \
  if ((slot >= ACT_absolute && slot <= ACT_xor_t) || slot >= ACT_open) def.actions.member = nullptr;
  QEL_ACTIONS(QEL_X)
#undef QEL_X
  types::register_datatype(def);
}

}  // namespace qel::string
