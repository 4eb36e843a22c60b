#include "io/os.hpp"

#include <string>

#include "datatypes/block.hpp"
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
  Cell* w = word::push(symbol::make_from_string(name.data(), u32(name.size())));
  set_type(w, t);
  block::append_copy(block, w);
  stack::top = w;
}

}  // namespace

Cell* os_info() {
  platform::OsInfo info = platform::os_info();
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
  Cell* object = object::construct(spec, nullptr, true);
  copy_cell(object, spec);
  stack::top = spec + 1;
  return spec;
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
