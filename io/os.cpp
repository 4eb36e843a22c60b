#include "io/os.hpp"

#include <string>

#include "datatypes/block.hpp"
#include "datatypes/map.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/tuple.hpp"
#include "datatypes/word.hpp"
#include "platform/os.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

namespace qel::io::os {

namespace {

void append_text(Cell* block, const std::string& text) {
  string::load_in(reinterpret_cast<const u8*>(text.data()), u32(text.size()), series_node(block),
                  string::Encoding::utf8);
}

void append_word(Cell* block, const std::string& name, Type t) {
  stack::Mark mark;
  Cell* w = word::push(symbol::make_from_string(name.data(), u32(name.size())));
  set_type(w, t);
  block::append_copy(block, w);
}

}  // namespace

Cell* os_info() {
  platform::OsInfo info = platform::os_info();
  stack::Mark mark;
  Cell* spec = make_none(stack::push());
  block::make_at(spec, 8);
  append_word(spec, "name", TYPE_SET_WORD);
  append_text(spec, info.name);
  append_word(spec, "arch", TYPE_SET_WORD);
  append_word(spec, info.arch, TYPE_WORD);
  append_word(spec, "version", TYPE_SET_WORD);
  Cell version;
  make_none(&version);
  tuple::make_at(&version, 3, info.version);
  block::append_copy(spec, &version);
  append_word(spec, "build", TYPE_SET_WORD);
  Cell build;
  make_integer(&build, info.build);
  block::append_copy(spec, &build);
  return mark.keep(object::construct(spec, nullptr, true));
}

Cell* env_map() {
  std::vector<std::pair<std::string, std::string>> vars = platform::environment();
  Cell* block = make_none(stack::push());
  block::make_at(block, i32(vars.size() * 2) + 1);
  for (const auto& [name, value] : vars) {
    // Names and values are taken as UTF-8; a byte that is not is kept as
    // the character of its value, so no variable is lost.
    for (const std::string* text : {&name, &value}) {
      stack::Mark mark;
      Cell* s = make_none(stack::push());
      string::make_at(s, u32(text->size()) + 1, 1);
      string::append_utf8(s, reinterpret_cast<const u8*>(text->data()),
                          reinterpret_cast<const u8*>(text->data()) + text->size());
      block::append_copy(block, s);
    }
  }
  Cell* map = make_none(stack::push());
  map::make_at(map, series_node(block), 0);
  return map;
}

Cell* command_line() {
  std::string line = platform::command_line();
  return string::load(reinterpret_cast<const u8*>(line.data()), u32(line.size()),
                      string::Encoding::utf8);
}

void check_type(const Cell* value, Type type) {
  if (type_of(value) != type) fire(Err::script_invalid_arg, value);
}

}  // namespace qel::io::os
