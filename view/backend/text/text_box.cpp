#include "view/backend/text/text_box.hpp"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>

#include "datatypes/block.hpp"
#include "datatypes/float.hpp"
#include "datatypes/handle.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/tuple.hpp"
#include "runtime/api.hpp"
#include "runtime/memory.hpp"
#include "runtime/resources.hpp"
#include "runtime/unicode.hpp"
#include "view/backend/draw/graphics.hpp"
#include "view/backend/text/format.hpp"
#include "view/backend/text/styles.hpp"
#include "view/backend/draw/arguments.hpp"
#include "view/backend/draw/words.hpp"
#include "view/backend/text/fonts.hpp"
#include "view/backend/text/names.hpp"
#include "view/face.hpp"
#include "view/module.hpp"

namespace qel::view::backend::text {

namespace {

namespace face = view::face;

constexpr double S = PANGO_SCALE;
constexpr u32 HANDLES_LENGTH = 4;

int box_kind() {
  static int kind = text_resource_kind("text-box", [](void* p) { delete static_cast<TextBoxRef*>(p); });
  return kind;
}

// ---- attributes ---------------------------------------------------------------------------

// Sets the attribute over the bytes, replacing what the same kind of
// attribute said there before: the last style given for a range wins.
void change(PangoAttrList* list, PangoAttribute* a, u32 start, u32 end) {
  a->start_index = start;
  a->end_index = end;
  pango_attr_list_change(list, a);
}

void colour_attrs(PangoAttrList* list, u32 colour, u32 start, u32 end) {
  draw::Rgba c = draw::rgba_of(colour);
  auto u16 = [](double v) { return guint16(std::lround(v * 65535)); };
  change(list, pango_attr_foreground_new(u16(c.r), u16(c.g), u16(c.b)), start, end);
  change(list, pango_attr_foreground_alpha_new(u16(c.a)), start, end);
}

// The style block's attributes, as the walker hands them over.
class AttrSink : public RangeStyleSink {
 public:
  AttrSink(PangoAttrList* list, TextBox& box) : list_(list), box_(box) {}
  void colour(const TextRange& r, u32 c) override { colour_attrs(list_, c, begin(r), end(r)); }
  void font_name(const TextRange& r, const std::string& name) override {
    change(list_, pango_attr_family_new(name.c_str()), begin(r), end(r));
  }
  void font_size(const TextRange& r, double points) override {
    // Points at the layout's 96 DPI; sizes no font takes are left out.
    if (points > 0 && points <= 10000) change(list_, pango_attr_size_new(int(points * S)), begin(r), end(r));
  }
  void bold(const TextRange& r) override {
    change(list_, pango_attr_weight_new(PANGO_WEIGHT_BOLD), begin(r), end(r));
  }
  void italic(const TextRange& r) override {
    change(list_, pango_attr_style_new(PANGO_STYLE_ITALIC), begin(r), end(r));
  }
  // The colour and style given after underline, strike and border are
  // accepted and not drawn; a border draws nothing.
  void line(const TextRange& r, Line kind, bool, u32, u32) override {
    if (kind == Line::underline) change(list_, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE), begin(r), end(r));
    if (kind == Line::strike) change(list_, pango_attr_strikethrough_new(TRUE), begin(r), end(r));
  }
  void backdrop(const TextRange& r, u32 c) override {
    box_.backdrops.push_back({{r.byte_start, r.byte_length}, c});
  }

 private:
  static u32 begin(const TextRange& r) { return r.byte_start; }
  static u32 end(const TextRange& r) { return r.byte_start + r.byte_length; }
  PangoAttrList* list_;
  TextBox& box_;
};

// ---- laying out --------------------------------------------------------------------------

// The paragraph bits of a text box (the base layout of para-style-flags):
// from the face's para, or the defaults of text boxes without one.
u32 box_flags(bool rich, const Cell* para) {
  if (para && type_of(para) == TYPE_OBJECT) return fonts::para_style_flags(rich ? N_RICH_TEXT : N_BASE, para);
  return rich ? PARA_WRAP : PARA_CENTRE | PARA_MIDDLE;
}

bool is_number(const Cell* c) { return c && (type_of(c) == TYPE_INTEGER || type_of(c) == TYPE_FLOAT); }
double number(const Cell* c) { return type_of(c) == TYPE_INTEGER ? double(int_of(c)) : draw::finite(float_of(c)); }

// A size coordinate in whole units (each + 0.5, truncated); 0 for none.
double box_length(const Cell* size, u32 i) {
  double v = 0;
  if (size && type_of(size) == TYPE_PAIR) v = i ? pair::y(size) : pair::x(size);
  else if (size && type_of(size) == TYPE_POINT2D) v = std::trunc(draw::finite(point::coord(size, i)) + 0.5);
  return v > 0 ? v : 0;
}

// One text box in the making: the format from the face's font and para, the
// layout of the text, its attributes; finish() applies them and places the
// layout in its box.
class Builder {
 public:
  // face and text are rooted by the caller; bounded: the face's size is the
  // box (else it is unbounded).
  Builder(Cell* face, const Cell* text, bool rich, bool bounded) : box_(std::make_shared<TextBox>()) {
    Cell* font = face::facet(face, face::FONT);
    api::Values v(1);
    if (font && type_of(font) == TYPE_OBJECT) {
      copy_cell(font, v[0]);
      fonts::font_handle(face, v[0]);
    }
    FormatRef shared = format_of(v[0]);
    // A format of its own: the font's is shared by every face that uses it.
    format_.desc = pango_font_description_copy(shared->desc);
    set_paragraph(format_, box_flags(rich, face::facet(face, face::PARA)));
    if (rich) {
      const Cell* tabs = field(face, N_TABS);
      if (is_number(tabs)) set_tab_width(format_, number(tabs));
      const Cell* spacing = field(face, N_LINE_SPACING);
      if (is_number(spacing)) set_uniform_line_height(format_, number(spacing));
    }
    if (bounded) {
      width_ = box_length(face::facet(face, face::SIZE), 0);
      height_ = box_length(face::facet(face, face::SIZE), 1);
    }
    box_->index = CharIndex(text);
    box_->layout = layout(box_->index.utf8(), format_, width_, 0);
    PangoAttrList* given = pango_layout_get_attributes(box_->layout);
    attrs_ = given ? pango_attr_list_copy(given) : pango_attr_list_new();
    // The font's colour and its underline and strike cover the whole text.
    if (type_of(v[0]) == TYPE_OBJECT) {
      u32 all = box_->index.bytes();
      const Cell* colour = field(v[0], N_COLOR);
      if (colour && type_of(colour) == TYPE_TUPLE) colour_attrs(attrs_, draw::colour_of_tuple(colour), 0, all);
      if (fonts::has_style(field(v[0], N_STYLE), "underline"))
        change(attrs_, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE), 0, all);
      if (fonts::has_style(field(v[0], N_STYLE), "strike"))
        change(attrs_, pango_attr_strikethrough_new(TRUE), 0, all);
    }
  }
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;
  ~Builder() {
    if (attrs_) pango_attr_list_unref(attrs_);
  }

  // Walks the style block (a block of more than one value) into the
  // attributes and backdrops.
  void styles(const Cell* data, bool catch_errors) {
    if (!data || type_of(data) != TYPE_BLOCK || block::length_from_index(data) < 2) return;
    AttrSink sink(attrs_, *box_);
    parse_text_styles(sink, data, box_->index, catch_errors);
  }

  TextBoxRef finish() {
    pango_layout_set_attributes(box_->layout, attrs_);
    PangoRectangle logical;
    pango_layout_get_extents(box_->layout, nullptr, &logical);
    double w = logical.width / S, h = logical.height / S;
    // Lines that do not wrap are aligned by the layout among themselves;
    // their block is placed in the box here. So is the text in a box of
    // known height.
    if (!format_.wrap && width_ > 0) {
      if (format_.align == PANGO_ALIGN_CENTER) box_->dx = (width_ - w) / 2;
      if (format_.align == PANGO_ALIGN_RIGHT) box_->dx = width_ - w;
    }
    if (height_ > 0) {
      if (format_.valign == VAlign::middle) box_->dy = (height_ - h) / 2;
      if (format_.valign == VAlign::far) box_->dy = height_ - h;
    }
    return box_;
  }
  TextBox& box() { return *box_; }

 private:
  TextBoxRef box_;
  Format format_;
  PangoAttrList* attrs_ = nullptr;
  double width_ = 0, height_ = 0;
};

// ---- the cache in `handles` ---------------------------------------------------------------

// The box a handle! names, or null.
TextBoxRef box_in(const Cell* h) {
  if (type_of(h) != TYPE_HANDLE || handle::kind_of(h) != u32(box_kind())) return nullptr;
  auto* ref = static_cast<TextBoxRef*>(handle::pointer_of(h));
  return ref ? *ref : nullptr;
}

// The face's handles block into out (rooted), when it is a block of at
// least four values.
bool cache_block(const Cell* face, Cell* out) {
  const Cell* handles = field(face, N_HANDLES);
  if (!handles || type_of(handles) != TYPE_BLOCK || block::length_from_index(handles) < i32(HANDLES_LENGTH)) return false;
  copy_cell(handles, out);
  return true;
}

Cell* cache_cell(Cell* handles, u32 i) { return block::head_cell(handles) + i; }
Cell* stale_cell(Cell* handles) { return block::tail_cell(handles) - 1; }

// Keeps the box in the face's handles block (made when it is not one):
// the box, none, a copy of the text, the stale flag.
void store(Cell* face, const TextBoxRef& box, const Cell* text, bool stale) {
  api::Values v(2);
  Cell* handles = field(face, N_HANDLES);
  if (!handles) return;  // a face without the word keeps nothing
  if (type_of(handles) == TYPE_BLOCK) {
    copy_cell(handles, v[0]);
  } else {
    block::make_at(v[0], HANDLES_LENGTH);
    if ((handles = field(face, N_HANDLES))) copy_cell(v[0], handles);
  }
  Cell none;
  make_none(&none);
  while (block::length_from_index(v[0]) < i32(HANDLES_LENGTH)) block::append_copy(v[0], &none);
  // The text copy first: it allocates.
  if (text && type_of(text) == TYPE_STRING) {
    const mem::Buffer* b = mem::buffer_of(series_node(text));
    u32 unit = b->unit(), total = b->used() / unit;
    u32 from = u32(std::clamp<i64>(series_index(text), 0, total));
    make_series(v[1], TYPE_STRING, mem::copy_series_part(series_node(text), from, total - from));
  }
  copy_cell(v[1], cache_cell(v[0], 2));
  // The box takes the slot of the one it replaces, when there is one.
  Cell* h = cache_cell(v[0], 0);
  if (box_in(h)) {
    resources::replace(handle::slot_of(h), new TextBoxRef(box));
  } else {
    Cell made;
    handle::make_at(&made, new TextBoxRef(box), u32(box_kind()));
    copy_cell(&made, cache_cell(v[0], 0));
  }
  make_none(cache_cell(v[0], 1));
  make_logic(stale_cell(v[0]), stale);
}

TextBoxRef cached(Cell* face, bool current_only) {
  api::Values v(1);
  if (!cache_block(face, v[0])) return nullptr;
  TextBoxRef box = box_in(cache_cell(v[0], 0));
  if (!box || !current_only) return box;
  const Cell* stale = stale_cell(v[0]);
  if (type_of(stale) != TYPE_LOGIC || logic_of(stale)) return nullptr;
  return box->index.same_text(face::facet(face, face::TEXT)) ? box : nullptr;
}

// How many boxes of other texts a rich-text face keeps (a tall console's
// visible lines, and then some).
constexpr std::size_t RECENT_BOXES = 160;

// Whether the face has no styles (its data block, when it is one, holds
// fewer than two values: the styles walk takes nothing from it).
bool plain(const Cell* face) {
  const Cell* d = face::facet(face, face::DATA);
  return !d || type_of(d) != TYPE_BLOCK || block::length_from_index(d) < 2;
}

// The face's box that is not stale, whatever its text; null for none.
TextBoxRef fresh(Cell* face) {
  api::Values v(1);
  if (!cache_block(face, v[0])) return nullptr;
  const Cell* stale = stale_cell(v[0]);
  if (type_of(stale) != TYPE_LOGIC || logic_of(stale)) return nullptr;
  return box_in(cache_cell(v[0], 0));
}

// `made` becomes the face's box in place of `old`, which joins the recent
// boxes that `made` takes over (the oldest go beyond the limit).
void keep_recent(const TextBoxRef& made, const TextBoxRef& old) {
  made->recent = std::move(old->recent);
  old->recent.clear();
  made->recent.push_back(old);
  if (made->recent.size() > RECENT_BOXES) made->recent.erase(made->recent.begin());
}

}  // namespace

TextBoxRef layout_face(const Cell* face_in, bool catch_errors) {
  init_names();
  draw::init_words();
  api::Values v(3);  // the face, its text, its style block
  Cell* face = copy_cell(face_in, v[0]);
  bool rich = face_type(face) == N_RICH_TEXT;
  if (const Cell* t = face::facet(face, face::TEXT)) copy_cell(t, v[1]);
  if (const Cell* d = face::facet(face, face::DATA)) copy_cell(d, v[2]);
  Builder b(face, v[1], rich, true);
  try {
    b.styles(v[2], catch_errors);
  } catch (...) {
    // What the walk set before it stopped stays; its backdrops go, and the
    // box is laid out again next time.
    b.box().backdrops.clear();
    TextBoxRef box = b.finish();
    if (rich) store(face, box, v[1], true);
    throw;
  }
  TextBoxRef box = b.finish();
  if (rich) {
    box->text_hash = text_hash(v[1]);
    store(face, box, v[1], false);
  }
  return box;
}

TextBoxRef box_of(const Cell* face_in, bool catch_errors) {
  init_names();
  api::Values v(1);
  Cell* face = copy_cell(face_in, v[0]);
  if (face_type(face) != N_RICH_TEXT) return layout_face(face, catch_errors);
  if (TextBoxRef box = cached(face, true)) return box;
  // Another text of a face that did not change otherwise: a box laid out
  // for it before, else a new one; the box it replaces is kept.
  TextBoxRef old = plain(face) ? fresh(face) : nullptr;
  if (!old || !old->backdrops.empty()) return layout_face(face, catch_errors);
  const Cell* text = face::facet(face, face::TEXT);
  const u64 hash = text_hash(text);
  TextBoxRef box;
  for (auto it = old->recent.begin(); it != old->recent.end(); ++it)
    if ((*it)->text_hash == hash && (*it)->index.same_text(text)) {
      box = *it;
      old->recent.erase(it);
      break;
    }
  if (box) {
    api::Values t(1);
    if (text) copy_cell(text, t[0]);
    store(face, box, t[0], false);
  } else {
    box = layout_face(face, catch_errors);
  }
  if (box != old) keep_recent(box, old);
  return box;
}

u64 text_hash(const Cell* text) {
  if (!text || type_of(text) != TYPE_STRING) return 0;
  const mem::Buffer* b = mem::buffer_of(series_node(text));
  u32 unit = unicode::unit_of(b);
  u32 total = b->used() / unit;
  u32 from = u32(std::clamp<i64>(series_index(text), 0, total));
  const u8* p = b->head_ptr() + u64(from) * unit;
  u64 h = 14695981039346656037ull;  // FNV-1a over the code points
  for (u32 i = from; i < total; ++i, p += unit) {
    h ^= unicode::get_char(p, unit);
    h *= 1099511628211ull;
  }
  return h;
}

void mark_stale(const Cell* face) {
  init_names();
  if (face_type(face) != N_RICH_TEXT) return;
  Cell* handles = field(face, N_HANDLES);
  if (!handles || type_of(handles) != TYPE_BLOCK || block::length_from_index(handles) < 1) return;
  Cell* last = block::tail_cell(handles) - 1;
  if (type_of(last) == TYPE_LOGIC) make_logic(last, true);
}

// ---- metrics ----------------------------------------------------------------------------

Point caret(const TextBox& box, i64 index, bool lower) {
  PangoRectangle r;
  pango_layout_index_to_pos(box.layout, int(box.index.byte_of(index - 1)), &r);
  Point p{r.x / S + box.dx, std::max(0, r.y) / S + box.dy};
  if (lower) {
    p.x += r.width / S;
    p.y += r.height / S;
  }
  return p;
}

i64 index_at(const TextBox& box, double x, double y, bool caret) {
  auto units = [](double v) { return int(std::clamp(std::lround(draw::finite(v) * S), -(1L << 30), 1L << 30)); };
  int byte = 0, trailing = 0;
  pango_layout_xy_to_index(box.layout, units(x - box.dx), units(y - box.dy), &byte, &trailing);
  // trailing: on the trailing half of a character, the number of characters
  // of its cluster (a base and its combining marks go together).
  i64 i = box.index.char_of(byte);
  if (caret) i += trailing;
  return std::min<i64>(i, box.index.chars()) + 1;
}

double line_height(const TextBox& box, i64 index) {
  int line = 0, x = 0;
  pango_layout_index_to_line_x(box.layout, int(box.index.byte_of(index - 1)), FALSE, &line, &x);
  PangoLayoutIter* it = pango_layout_get_iter(box.layout);
  for (int i = 0; i < line && pango_layout_iter_next_line(it); ++i) {
  }
  int y0 = 0, y1 = 0;
  pango_layout_iter_get_line_yrange(it, &y0, &y1);
  pango_layout_iter_free(it);
  return (y1 - y0) / S;
}

Point extent(const TextBox& box) {
  PangoRectangle logical;
  pango_layout_get_extents(box.layout, nullptr, &logical);
  return {logical.width / S, logical.height / S};
}

u32 line_count(const TextBox& box) { return u32(pango_layout_get_line_count(box.layout)); }

std::vector<Rect> range_rects(const TextBox& box, ByteRange bytes) {
  std::vector<Rect> out;
  int start = int(bytes.start), end = int(bytes.start + bytes.length);
  if (start >= end) return out;
  PangoLayoutIter* it = pango_layout_get_iter(box.layout);
  do {
    PangoLayoutLine* line = pango_layout_iter_get_line_readonly(it);
    int ls = line->start_index, le = line->start_index + line->length;
    if (ls >= end) break;
    int s = std::max(ls, start), e = std::min(le, end);
    if (s >= e) continue;
    int* ranges = nullptr;
    int n = 0;
    pango_layout_line_get_x_ranges(line, s, e, &ranges, &n);
    int y0 = 0, y1 = 0;
    pango_layout_iter_get_line_yrange(it, &y0, &y1);
    for (int k = 0; k < n; ++k)
      out.push_back({ranges[2 * k] / S + box.dx, y0 / S + box.dy, (ranges[2 * k + 1] - ranges[2 * k]) / S, (y1 - y0) / S});
    g_free(ranges);
  } while (pango_layout_iter_next_line(it));
  pango_layout_iter_free(it);
  return out;
}

void draw(cairo_t* cr, const TextBox& box, double x, double y) {
  if (!box.backdrops.empty()) {
    cairo_pattern_t* source = cairo_pattern_reference(cairo_get_source(cr));
    auto whole = [](double v) { return std::floor(v + 0.5); };
    for (const Backdrop& b : box.backdrops) {
      draw::set_source_colour(cr, b.colour);
      for (const Rect& r : range_rects(box, b.bytes))
        cairo_rectangle(cr, whole(x + r.x), whole(y + r.y), whole(r.width), whole(r.height));
      cairo_fill(cr);
    }
    cairo_set_source(cr, source);
    cairo_pattern_destroy(source);
  }
  cairo_move_to(cr, x + box.dx, y + box.dy);
  pango_cairo_show_layout(cr, box.layout);
}

// ---- routine bodies ----------------------------------------------------------------------

namespace {

// A face's point answer.
void answer_point(const Point& p) {
  point::make_2d_at(api::result(), float(p.x), float(p.y));
  api::keep_result();
}

i64 index_arg(const Cell* c) {
  if (type_of(c) == TYPE_INTEGER) return int_of(c);
  float_::raise_with_type(Err::script_invalid_type, type_of(c));
}

}  // namespace

void size_text_routine() {
  init_names();
  draw::init_words();
  api::Values v(2);
  Cell* face = copy_cell(api::arg(0), v[0]);
  // The routine's checks left a string! to measure: the value, or the text.
  const Cell* value = api::arg(1);
  copy_cell(type_of(value) == TYPE_STRING ? value : face::facet(face, face::TEXT), v[1]);
  Name type = face_type(face);
  // Faces whose text the backend draws itself measure it in their box, as
  // it is drawn; the others measure it on one line per line of the text.
  bool boxed = type == N_BASE || type == N_RICH_TEXT || type == N_WINDOW || type == N_PANEL;
  Builder b(face, v[1], type == N_RICH_TEXT, boxed);
  answer_point(extent(*b.finish()));
}

void text_box_metrics_routine() {
  init_names();
  api::Values v(1);
  Cell* face = copy_cell(api::arg(0), v[0]);
  i32 selector = int_of(api::arg(2));
  // The argument is checked before anything is laid out.
  i64 index = 0;
  Point at{0, 0};
  if (selector == 0 || selector == 2 || selector == 6) {
    index = index_arg(api::arg(1));
  } else if (selector == 1 || selector == 5) {
    const Cell* p = api::arg(1);
    if (type_of(p) == TYPE_PAIR) at = {double(pair::x(p)), double(pair::y(p))};
    else if (type_of(p) == TYPE_POINT2D) at = {point::coord(p, 0), point::coord(p, 1)};
    else float_::raise_with_type(Err::script_invalid_type, type_of(p));
  }
  TextBoxRef box;
  try {
    box = box_of(face, false);
  } catch (const draw::SilentStop&) {
    // Silent mode stopped the style walk: the box keeps what came before.
    box = cached(face, false);
  }
  if (!box) {
    api::answer_none();
    return;
  }
  switch (selector) {
    case 0:
    case 6:
      answer_point(caret(*box, index, selector == 6));
      break;
    case 1:
    case 5:
      make_integer(api::result(), i32(index_at(*box, at.x, at.y, selector == 1)));
      api::keep_result();
      break;
    case 2:
      make_float(api::result(), line_height(*box, index));
      api::keep_result();
      break;
    case 3:
      answer_point(extent(*box));
      break;
    default:
      make_integer(api::result(), i32(line_count(*box)));
      api::keep_result();
      break;
  }
}

}  // namespace qel::view::backend::text
