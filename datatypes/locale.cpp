#include "datatypes/locale.hpp"
#include "datatypes/object.hpp"

#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"

namespace qel::locale {

namespace {

Cell* object_field(Cell* obj, const char* name) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol::make(name), true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

}  // namespace

Cell* field(const char* name) {
  // Interned first: interning may allocate, the cells below must not move.
  symbol::make(name);
  symbol::make("locale");
  Cell* sys = word::get_value_cell(intern_word("system"));
  return object_field(object_field(sys, "locale"), name);
}

Cell* currency_list() {
  symbol::make("list");
  Cell* cur = field("currencies");
  return object_field(cur, "list");
}

Cell* option(const char* name) {
  symbol::make(name);
  symbol::make("options");
  Cell* sys = word::get_value_cell(intern_word("system"));
  return object_field(object_field(sys, "options"), name);
}

}  // namespace qel::locale
