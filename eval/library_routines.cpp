// Making the library's routines: routine! values over C++ entries, set as
// global words or object fields, or put into the bodies of the library
// functions that call them (wire); and the preprocessor's expansion that `do`
// runs. The routines' bodies live in library/native/.
#include "eval/library_routines.hpp"

#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/lexer.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

namespace qel::library {

namespace {

// Replaces each word of the symbol in the block (and the blocks in it) by
// the value; answers how many it replaced. Nothing here allocates.
u32 replace_word(u32 node, u32 sym, const Cell* value, int depth) {
  if (depth > 64) return 0;
  u32 replaced = 0;
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 i = 0; i < n; ++i) {
    Cell* c = mem::buffer_of(node)->cells() + i;
    Type t = type_of(c);
    if (t == TYPE_WORD && symbol::resolve(word::symbol_of(c)) == sym) {
      copy_cell(value, c);
      ++replaced;
    } else if (t == TYPE_BLOCK || t == TYPE_PAREN) {
      replaced += replace_word(series_node(c), sym, value, depth + 1);
    }
  }
  return replaced;
}

// A wiring that finds no function, or no placeholder in its body, is a
// library and C++ code out of step: it stops start-up with the path.
[[noreturn]] void wire_target_missing(const char* fn_path, const char* placeholder) {
  std::string what = std::string(fn_path) + " " + placeholder;
  Cell* text = string::load(reinterpret_cast<const u8*>(what.data()), u32(what.size()),
                            string::Encoding::utf8);
  fire(Err::internal_bad_path, text);
}

}  // namespace

void make_routine(const char* name, const char* spec, routines::Entry fn, Cell* out) {
  roots::LocalCell spec_cell;
  lexer::load_source(spec_cell.get(), spec, std::strlen(spec));
  Cell s = *mem::buffer_of(series_node(spec_cell.get()))->cells();
  u32 index = routines::register_routine(name, fn);
  api::Values scope;  // drops the routine pushed
  routine::push(&s, nullptr, index, -1);
  Cell* r = stack::last();
  r->header |= routine::FLAG_VALUES;
  copy_cell(r, out);
}

void define_global_routine(const char* name, const char* spec, routines::Entry fn) {
  roots::LocalCell r;
  make_routine(name, spec, fn, r.get());
  Cell w = *intern_word(name);
  Cell v = *r.get();
  word::set(&w, &v);
}

void define_field_routine(Cell* obj, const char* name, const char* spec, routines::Entry fn) {
  // obj may be a slot of a context: read it before making the routine
  // allocates (which may move that context's values).
  u32 ctx = object::context_of(obj);
  roots::NodeRoot hold(&ctx);
  roots::LocalCell r;
  make_routine(name, spec, fn, r.get());
  i32 i = context::find_word(ctx, symbol::make(name), true);
  if (i < 0) return;
  Cell v = *r.get();
  copy_cell(&v, context::slot(ctx, u32(i)));
}

void wire(const char* fn_path, const char* placeholder, const char* spec, routines::Entry e) {
  roots::LocalCell r;
  make_routine(placeholder, spec, e, r.get());
  std::string p = fn_path;
  const Cell* v = nullptr;
  size_t start = 0;
  while (start < p.size()) {
    size_t end = p.find(' ', start);
    if (end == std::string::npos) end = p.size();
    std::string name = p.substr(start, end - start);
    if (!v) {
      v = word::get_value_cell(intern_word(name.c_str()));
    } else {
      if (type_of(v) != TYPE_OBJECT) wire_target_missing(fn_path, placeholder);
      i32 i = context::find_word(object::context_of(v), symbol::make(name.c_str()), true);
      if (i < 0) wire_target_missing(fn_path, placeholder);
      v = context::slot(object::context_of(v), u32(i));
    }
    start = end + 1;
  }
  if (!v || type_of(v) != TYPE_FUNCTION) wire_target_missing(fn_path, placeholder);
  Cell body = *function::more_cell(v, function::MORE_BODY);
  if (type_of(&body) != TYPE_BLOCK ||
      replace_word(series_node(&body), symbol::resolve(symbol::make(placeholder)), r.get(), 0) == 0) {
    wire_target_missing(fn_path, placeholder);
  }
}

void expand_directives(const Cell* code) {
  Cell* pp = word::get_value_cell(intern_word("preprocessor"));
  if (type_of(pp) != TYPE_OBJECT) return;
  i32 i = context::find_word(object::context_of(pp), symbol::make("expand"), true);
  if (i < 0) return;
  api::Values v(3);  // the function, the code, the job
  copy_cell(context::slot(object::context_of(pp), u32(i)), v[0]);
  copy_cell(code, v[1]);
  make_none(v[2]);
  api::Status st = api::invoke(v[0], v[1], 2, v[1]);
  if (st) api::send(st);
}

}  // namespace qel::library
