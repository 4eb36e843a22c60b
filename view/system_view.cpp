#include "view/system_view.hpp"

#include <string>

#include "datatypes/context.hpp"
#include "datatypes/map.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/api.hpp"

namespace qel::view::system_view {

namespace {

Cell* member(Cell* obj, const std::string& name) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 sym = symbol::make(name.c_str());
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, sym, true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

}  // namespace

Cell* field(const char* path) {
  // Intern every name first: the look-ups below then allocate nothing.
  std::string p = std::string("view ") + path;
  for (std::size_t s = 0; s < p.size();) {
    std::size_t e = p.find(' ', s);
    if (e == std::string::npos) e = p.size();
    symbol::make(p.substr(s, e - s).c_str());
    s = e + 1;
  }
  Cell* v = word::get_value_cell(intern_word("system"));
  for (std::size_t s = 0; v && s < p.size();) {
    std::size_t e = p.find(' ', s);
    if (e == std::string::npos) e = p.size();
    v = member(v, p.substr(s, e - s));
    s = e + 1;
  }
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

}  // namespace qel::view::system_view
