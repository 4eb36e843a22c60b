#include "datatypes/word.hpp"

#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/api.hpp"
#include "runtime/collector.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/unicode.hpp"

namespace qel {

Cell* intern_word(const char* name) {
  u32 sym = symbol::make(name);
  Cell* w = context::find_or_add(sym, true, true);
  if (!runtime::boot_flag) return w;
  Cell* c = runtime::root_append();
  copy_cell(w, c);
  return c;
}

namespace word {


namespace {

// A word! of the global context naming the symbol.
Cell global_word(u32 sym) {
  Cell w = *context::find_or_add(sym, true, true);
  w.header = TYPE_WORD;
  word::set_symbol(&w, sym);
  return w;
}

inline bool is_word_type(Type t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }

[[noreturn]] void bad_to_arg(Type target, const Cell* value) {
  Cell type, v = *value;
  make_datatype(&type, target);
  fire(Err::script_bad_to_arg, &type, &v);
}

// Loads the text into out; the first value must be of the word family.
void load_word(const Cell* text, Cell* out) {
  if (!api::services.load_first(text, out) || !is_word_type(type_of(out))) fire(Err::script_invalid_chars);
}

Cell* word_make(Cell*, Cell* spec, Type type) {
  Cell* out = stack::push();
  make_none(out);
  Type st = type_of(spec);
  switch (st) {
    case TYPE_DATATYPE: {
      Type id = datatype_of(spec) < TYPE_SLOTS ? datatype_of(spec) : Type(0);
      u32 sym = types::names[id].symbol;
      if (!sym) sym = symbol::make(types::name_of(id));
      *out = global_word(sym);
      break;
    }
    case TYPE_LOGIC:
      *out = global_word(symbol::make(logic_of(spec) ? "true" : "false"));
      break;
    case TYPE_STRING:
      load_word(spec, out);
      break;
    case TYPE_CHAR: {
      Cell* text = stack::push();
      string::make_at(text, 4, 1);
      string::append_char(text, char_of(spec));
      load_word(text, out);
      break;
    }
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
      copy_cell(spec, out);
      break;
    case TYPE_REFINEMENT: case TYPE_ISSUE: {
      // The spelling must scan as a plain word.
      Cell* text = to_string(spec);
      Cell* scanned = stack::push();
      Type t = api::services.load_first(text, scanned) ? type_of(scanned) : TYPE_NO_TYPE;
      if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) {
        bad_to_arg(type, spec);
      }
      context::bind_word(context::global, scanned);
      copy_cell(scanned, out);
      break;
    }
    default:
      bad_to_arg(type, spec);
  }
  set_type(out, type);
  return out;
}

// Appends the word's spelling and answers the limit less its length.
i32 append_spelling(const Cell* w, Cell* buffer, i32 limit) {
  std::string text(symbol::name(word::symbol_of(w)));  // appending may move the name
  const u8* p = reinterpret_cast<const u8*>(text.data());
  return limit - i32(string::append_utf8(buffer, p, p + text.size()));
}

i32 word_form(Cell* v, Cell* buffer, Cell*, i32 limit) { return append_spelling(v, buffer, limit); }

i32 word_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  return append_spelling(v, buffer, limit);
}

i32 mold_with(Cell* v, Cell* buffer, i32 limit, const char* before, const char* after) {
  if (*before) {
    string::append_ascii(buffer, before);
    --limit;
  }
  limit = append_spelling(v, buffer, limit);
  if (*after) {
    string::append_ascii(buffer, after);
    --limit;
  }
  return limit;
}
i32 set_word_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  return mold_with(v, buffer, limit, "", ":");
}
i32 lit_word_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  return mold_with(v, buffer, limit, "'", "");
}
i32 get_word_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  return mold_with(v, buffer, limit, ":", "");
}
i32 refinement_mold(Cell* v, Cell* buffer, bool, bool, bool, Cell*, i32 limit, i32) {
  return mold_with(v, buffer, limit, "/", "");
}

i32 word_compare(Cell* a, Cell* b, i32 op) {
  Type ta = type_of(a), tb = type_of(b);
  if (!is_word_type(tb)) return COMPARE_INCOMPARABLE;
  if ((ta == TYPE_ISSUE) != (tb == TYPE_ISSUE)) return COMPARE_INCOMPARABLE;
  u32 sa = word::symbol_of(a), sb = word::symbol_of(b);
  auto same_canonical = [&] { return sa == sb || symbol::resolve(sa) == symbol::resolve(sb); };
  bool word_and_lit = (ta == TYPE_WORD && tb == TYPE_LIT_WORD) || (ta == TYPE_LIT_WORD && tb == TYPE_WORD);
  bool equal;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_EQUAL_NO_CASE:
      equal = same_canonical();
      break;
    case COMP_STRICT_EQUAL:
      equal = ta == tb && sa == sb;
      break;
    case COMP_SAME:
      equal = ta == tb && sa == sb && word::context_of(a) == word::context_of(b);
      break;
    case COMP_STRICT_EQUAL_WORD:
      equal = (word_and_lit || ta == tb) && sa == sb;
      break;
    case COMP_FIND:
      equal = (word_and_lit || ta == tb) && same_canonical();
      break;
    default:
      return symbol::compare_names(sa, sb, op);
  }
  return equal ? 0 : 1;
}

// index?: the slot index plus 1, or none when the word was never looked up.
void word_index() {
  i32 i = word::index_of(stack::base);
  if (i < 0) make_none(stack::base);
  else make_integer(stack::base, i + 1);
}

}  // namespace

namespace {
// A word keeps its context and its symbol alive.
void mark_word(const Cell* w) {
  if (context_of(w)) gc::mark_context_at(context_slot(w));
  gc::mark_symbol(symbol_of(w));
}
}  // namespace

void init() {
  for (Type t : {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_REFINEMENT, TYPE_ISSUE}) {
    gc::set_mark_rule(t, mark_word);
  }
  types::register_datatype({TYPE_WORD, TYPE_SYMBOL, "word!",
                            {.make = word_make, .to = word_make, .form = word_form,
                             .mold = word_mold, .compare = word_compare,
                             .index_q = word_index}});
  types::register_datatype({TYPE_LIT_WORD, TYPE_WORD, "lit-word!", {.mold = lit_word_mold}});
  types::register_datatype({TYPE_SET_WORD, TYPE_WORD, "set-word!", {.mold = set_word_mold}});
  types::register_datatype({TYPE_GET_WORD, TYPE_WORD, "get-word!", {.mold = get_word_mold}});
  types::register_datatype(
      {TYPE_REFINEMENT, TYPE_WORD, "refinement!", {.mold = refinement_mold, .index_q = nullptr}});
}

Cell* make_at(u32 sym, Cell* target) {
  Cell w = global_word(sym);
  return copy_cell(&w, target);
}

Cell* make_data_word(u32 sym, Cell* target) {
  Cell w{TYPE_WORD, 0, sym, u32(-1)};  // no context, not looked up
  return copy_cell(&w, target);
}

Cell* make_in(u32 sym, u32 block) {
  Cell w = global_word(sym);
  return copy_cell(&w, mem::alloc_tail_cell(block));
}

Cell* make_from_name(const char* name, u32 block) { return make_in(symbol::make(name), block); }

Cell* push(u32 sym) {
  Cell w = global_word(sym);
  return stack::push_cell(&w);
}

Cell* push_local(u32 ctx, u32 i) { return stack::push_cell(context::symbol_cell(ctx, i)); }

Cell* local_cell(u32 ctx, u32 i) { return context::slot(ctx, i); }

Cell* get_value_cell(const Cell* word_in) {
  Cell w = *word_in;
  if (!context_of(&w)) fire(Err::script_no_value, &w);
  return context::value_cell(&w, context_of(&w));
}

Cell* get(const Cell* word_in) {
  Cell w = *word_in;
  Cell* v = get_value_cell(&w);
  if (is_unset(v)) fire(Err::script_no_value, &w);
  return stack::push_cell(v);
}

Cell* set(Cell* w, const Cell* value) {
  if (!context_of(w)) {
    Cell copy = *w;
    fire(Err::script_not_defined, &copy);
  }
  return context::set(w, value, context_of(w), true);
}

void set_args() {
  Cell* w = stack::base;
  Cell* v = stack::base + 1;
  if (is_unset(v)) fire(Err::script_need_value, w);
  set(w, v);
  copy_cell(stack::base + 1, stack::base);
  stack::keep();
}

Cell* to_string(const Cell* w) {
  u32 node = symbol::cache_string(symbol_of(w));
  return make_series(stack::push(), TYPE_STRING, node);
}

Cell* symbol_entry(const Cell* w) { return symbol::get(symbol_of(w)); }

}  // namespace word

namespace get_word {

Cell* get(const Cell* w) { return stack::push_cell(word::get_value_cell(w)); }

Cell* push(const Cell* c) { return set_type(stack::push_cell(c), TYPE_GET_WORD); }

Cell* push_local(u32 ctx, u32 i) {
  return set_type(stack::push_cell(context::symbol_cell(ctx, i)), TYPE_GET_WORD);
}

}  // namespace get_word

namespace refinement {

Cell* push(const Cell* c) { return set_type(stack::push_cell(c), TYPE_REFINEMENT); }

Cell* push_local(u32 ctx, u32 i) {
  return set_type(stack::push_cell(context::symbol_cell(ctx, i)), TYPE_REFINEMENT);
}

Cell* load(const char* name) {
  u32 sym = symbol::make(name);
  Cell* c = runtime::root_append();
  c->header = TYPE_REFINEMENT;
  word::set_symbol(c, sym);
  word::set_binding(c, 0, -1);
  return c;
}

}  // namespace refinement

}  // namespace qel
