#include "datatypes/issue.hpp"
#include "datatypes/word.hpp"

#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/unicode.hpp"
#include "runtime/api.hpp"

namespace qel::issue {

namespace {

Cell* fill(Cell* target, u32 sym) {
  target->header = TYPE_ISSUE;
  word::set_symbol(target, sym);
  word::set_binding(target, context::global, -1);
  return target;
}

}  // namespace

Cell* make_from_symbol(Cell* target, u32 sym) { return fill(target, sym); }

namespace {

// An issue of the text, which must be one the lexer reads back as that
// issue ("#" and the text loads as it): a text holding a blank, a
// delimiter or a character that ends the token raises invalid-chars, since
// the issue could not be molded and loaded again.
Cell* issue_of_text(Cell* out, const std::string& text) {
  std::string literal = "#" + text;
  Cell* source = string::load(reinterpret_cast<const u8*>(literal.data()), u32(literal.size()),
                              string::Encoding::utf8);
  Cell* loaded = make_none(stack::push());
  if (!api::services.load_first(source, loaded) || type_of(loaded) != TYPE_ISSUE ||
      symbol::name(word::symbol_of(loaded)) != text) {
    fire(Err::script_invalid_chars);
  }
  u32 sym = word::symbol_of(loaded);
  stack::pop(2);
  return fill(out, sym);
}

Cell* issue_make(Cell* proto, Cell* spec, Type type) {
  Cell* out = make_none(stack::push());
  Type st = type_of(spec);
  if (st == TYPE_STRING) return issue_of_text(out, string::to_utf8(spec));  // from the index
  if (st == TYPE_CHAR) {
    u8 bytes[4];
    u32 n = unicode::encode_utf8_char(char_of(spec), bytes);
    return issue_of_text(out, std::string(reinterpret_cast<const char*>(bytes), n));
  }
  if (st >= TYPE_WORD && st <= TYPE_ISSUE) {
    copy_cell(spec, out);
    return set_type(out, TYPE_ISSUE);
  }
  // Anything else converts as to word! does, then becomes an issue.
  auto word_to = reinterpret_cast<act::Make>(types::table[TYPE_WORD][ACT_to]);
  if (!word_to) {
    Cell t;
    make_datatype(&t, TYPE_ISSUE);
    fire(Err::script_bad_to_arg, &t, spec);
  }
  Cell* w = word_to(proto, spec, TYPE_ISSUE);
  copy_cell(w, out);
  return set_type(out, TYPE_ISSUE);
}

i32 issue_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell* arg, i32 limit, i32) {
  string::append_ascii(buffer, "#");
  auto word_form = reinterpret_cast<act::Form>(types::table[TYPE_WORD][ACT_form]);
  return word_form(v, buffer, arg, limit - 1);
}

i32 issue_compare(Cell* a, Cell* b, i32 op) {
  if (type_of(b) != TYPE_ISSUE) return COMPARE_INCOMPARABLE;
  return reinterpret_cast<act::Compare>(types::table[TYPE_WORD][ACT_compare])(a, b, op);
}

}  // namespace

void init() {
  ActionTable t = no_actions();
  t.make = issue_make;
  t.to = issue_make;
  t.form = {};  // word!'s: the spelling without "#"
  t.mold = issue_mold;
  t.compare = issue_compare;
  types::register_datatype({TYPE_ISSUE, TYPE_WORD, "issue!", t});
}

Cell* make_at(Cell* target, const char* text) { return fill(target, symbol::make(text)); }

Cell* load(const char* text, u32 block, bool in_block) {
  u32 sym = symbol::make(text);
  Cell* c = in_block ? mem::alloc_tail_cell(block) : stack::push();
  return fill(c, sym);
}

Cell* push(const Cell* cell) { return set_type(stack::push_cell(cell), TYPE_ISSUE); }

}  // namespace qel::issue
