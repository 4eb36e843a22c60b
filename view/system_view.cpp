#include "view/system_view.hpp"

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "datatypes/context.hpp"
#include "datatypes/map.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/stack.hpp"
#include "view/units.hpp"
#include "platform/image_state.hpp"

namespace qel::view::system_view {

namespace {

Cell* member(Cell* obj, u32 sym) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, sym, true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

// The symbols of a path's words ("system", "view" and the path's own),
// interned at the path's first use: the backend asks for some paths at every
// event, and interning a name costs far more than the look-ups.
struct Path {
  std::string text;
  std::vector<u32> symbols;
};

std::deque<Path> g_paths;  // a handful of paths; references stay valid
QEL_IMAGE_SKIP(g_paths);   // interned again at first use

const std::vector<u32>& symbols_of(const char* path) {
  std::deque<Path>& known = g_paths;
  for (const Path& k : known)
    if (k.text == path) return k.symbols;
  Path k{path, {symbol::make("system"), symbol::make("view")}};
  std::string p = path;
  for (std::size_t s = 0; s < p.size();) {
    std::size_t e = p.find(' ', s);
    if (e == std::string::npos) e = p.size();
    k.symbols.push_back(symbol::make(p.substr(s, e - s).c_str()));
    s = e + 1;
  }
  known.push_back(std::move(k));
  return known.back().symbols;
}

// The screen list is made at its first read: start-up leaves
// system/view/screens unset (the display's screens are the backend's to
// tell, and opening it costs as much as the rest of start-up), and a path
// that reads the field while it is unset starts the GUI there, as its first
// use (the platform object's init/start), then reads the list it made. When
// the GUI cannot start the field is none, as init leaves it, and the next
// window raises the reason.
bool screens_first_read(u32 ctx, u32 index) {
  Cell* screens = field("screens");
  if (!screens || screens != context::slot(ctx, index)) return false;
  static constexpr char kStart[] = "try [system/view/platform/init/start]";
  stack::Mark mark;
  api::Values code(1);
  api::services.load_text(code[0], kStart, sizeof kStart - 1);
  api::services.do_block(code[0]);
  screens = field("screens");
  if (screens && type_of(screens) == TYPE_UNSET) make_none(screens);
  return screens != nullptr;
}

[[maybe_unused]] const bool g_screens_hook_set = (object::set_unset_field_hook(screens_first_read), true);

}  // namespace

Cell* field(const char* path) {
  // Every name is interned before the look-ups, which then allocate nothing.
  const std::vector<u32>& symbols = symbols_of(path);
  Cell* v = word::get_value_cell(context::find_or_add(symbols[0], true, true));
  for (std::size_t i = 1; v && i < symbols.size(); ++i) v = member(v, symbols[i]);
  return v;
}

void set(const char* path, const Cell* value) {
  Cell v = *value;
  api::Values keep(1);  // a series value stays rooted while the path is walked
  copy_cell(&v, keep[0]);
  if (Cell* f = field(path)) copy_cell(keep[0], f);
}

void put(const char* path, const char* key, const Cell* value) {
  api::Values v(3);
  copy_cell(value, v[2]);
  Cell* m = field(path);
  if (!m || type_of(m) != TYPE_MAP) return;
  copy_cell(m, v[0]);
  word::make_at(symbol::make(key), v[1]);
  map::set(v[0], v[1], v[2], false);
}

void set_string(const char* path, const char* text) {
  api::Values v(1);
  string::load_at(reinterpret_cast<const u8*>(text), u32(std::strlen(text)), v[0], string::Encoding::utf8);
  set(path, v[0]);
}

void set_integer(const char* path, i32 n) {
  Cell c;
  make_integer(&c, n);
  set(path, &c);
}

void put_colour(const char* key, const u8 rgb[3]) {
  Cell t;
  tuple::make_at(&t, 3, rgb);
  put("metrics colors", key, &t);
}

void put_tab_header(i32 per_tab, i32 row) {
  Cell p;
  pair::make_at(make_none(&p), per_tab, row);
  put("metrics misc", "tab-header", &p);
}

void put_scroller(i32 vertical, i32 horizontal) {
  Cell p;
  pair::make_at(make_none(&p), vertical, horizontal);
  put("metrics misc", "scroller", &p);
}

void fill_defaults() {
  const Defaults& d = kDefaults;
  Cell v;
  tuple::make_at(&v, 3, d.version);
  set("platform version", &v);
  set_integer("platform build", d.build);
  set_integer("platform product", d.product);
  units::set_dpi(d.dpi);
  set_integer("metrics dpi", d.dpi);
  set_string("fonts system", d.font);
  set_integer("fonts size", d.font_size);
  put_scroller(d.scroller, d.scroller);
  put_tab_header(d.tab_room, d.tab_row);
  put_colour("text", d.text);
  put_colour("window", d.window);
  put_colour("panel", d.panel);
}

}  // namespace qel::view::system_view
