#include "eval/boot.hpp"

#include <cstring>
#include <string>

#include "datatypes/native.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/action_specs.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel::boot {

void load_source(Cell* out, const char* text, std::size_t size) {
  lexer::ScanFlags flags;
  flags.keep_block = true;
  u32 consumed = 0;
  lexer::scan(out, reinterpret_cast<const u8*>(text), u32(size), flags, &consumed, nullptr, nullptr,
              nullptr);
}

namespace {

// Sets the global word `name` to the value.
void define(const char* name, const Cell* value) {
  Cell v = *value;
  Cell w = *intern_word(name);
  word::set(&w, &v);
}

void make_function_values() {
  roots::LocalCell spec;
  for (u32 id = 1; id <= natives::COUNT; ++id) {
    const char* text = natives::spec_of(id);
    load_source(spec.get(), text, std::strlen(text));
    Cell* spec_block = mem::buffer_of(series_node(spec.get()))->cells();  // the one block loaded
    Cell s = *spec_block;
    Cell* v = native::push(&s, id, TYPE_NATIVE);
    define(natives::word_of(id), v);
    stack::reset();
  }
#define QEL_X(slot, word, text)                                         \
  {                                                                     \
    load_source(spec.get(), text, std::strlen(text));                   \
    Cell s = *mem::buffer_of(series_node(spec.get()))->cells();         \
    Cell* v = native::push(&s, slot, TYPE_ACTION);                      \
    define(word, v);                                                    \
    stack::reset();                                                     \
  }
  QEL_ACTION_SPECS(QEL_X)
#undef QEL_X
}

void set_datatype_words() {
  for (int t = 1; t <= TYPE_TOP; ++t) {
    const char* name = types::name_of(Type(t));
    if (!*name) continue;
    Cell d;
    make_datatype(&d, Type(t));
    define(name, &d);
  }
}

// The typesets of the language, each a union of datatypes and earlier
// typesets, in the order they are defined.
struct TypesetDef {
  const char* name;
  const char* members;  // datatype and typeset words, space-separated
};
const TypesetDef kTypesets[] = {
    {"internal!", "unset!"},
    {"external!", "event!"},
    {"number!", "integer! float! percent!"},
    {"planar!", "pair! point2D!"},
    {"any-point!", "point2D! point3D!"},
    {"scalar!", "number! any-point! money! char! pair! tuple! time! date!"},
    {"any-word!", "word! set-word! lit-word! get-word!"},
    {"all-word!", "any-word! refinement! issue!"},
    {"any-list!", "block! paren! hash!"},
    {"any-path!", "path! lit-path! set-path! get-path!"},
    {"any-block!", "any-path! any-list!"},
    {"any-function!", "native! action! op! function! routine!"},
    {"any-object!", "object! error! port!"},
    {"any-string!", "string! file! url! tag! email! ref!"},
    {"series!", "binary! image! vector! any-block! any-string!"},
    {"immediate!", "scalar! all-word! none! logic! datatype! typeset! handle! date!"},
    {"default!", "series! immediate! any-object! external! any-function! map! bitset!"},
    {"any-type!", "default! internal!"},
};

void define_typesets() {
  for (const TypesetDef& d : kTypesets) {
    Cell ts{TYPE_TYPESET, 0, 0, 0};
    std::string members = d.members;
    size_t start = 0;
    while (start < members.size()) {
      size_t end = members.find(' ', start);
      if (end == std::string::npos) end = members.size();
      std::string m = members.substr(start, end - start);
      start = end + 1;
      Cell w = *intern_word(m.c_str());
      Cell v = *word::get_value_cell(&w);
      if (type_of(&v) == TYPE_DATATYPE) {
        u8* bytes = reinterpret_cast<u8*>(&ts.w1);
        bytes[v.w1 / 8] |= u8(0x80u >> (v.w1 % 8));
      } else if (type_of(&v) == TYPE_TYPESET) {
        ts.w1 |= v.w1;
        ts.w2 |= v.w2;
        ts.w3 |= v.w3;
      }
    }
    define(d.name, &ts);
  }
}

}  // namespace

bool skip_header(Cell* code) {
  mem::Buffer* b = mem::buffer_of(series_node(code));
  u32 i = u32(series_index(code));
  if (b->used() / sizeof(Cell) < i + 2) return false;
  Cell* first = b->cells() + i;
  if (type_of(first) != TYPE_WORD || type_of(first + 1) != TYPE_BLOCK) return false;
  if (symbol::resolve(first->w2) != symbol::resolve(symbol::make("Qel"))) return false;
  set_series_index(code, i32(i + 2));
  return true;
}

void run() {
  stack::reset();
  make_function_values();
  set_datatype_words();
  define_typesets();
  gc::enabled = true;
  runtime::boot_flag = false;
  roots::LocalCell code;
  for (unsigned i = 0; i < kLibraryCount; ++i) {
    load_source(code.get(), kLibrary[i].text, kLibrary[i].size);
    skip_header(code.get());
    interp::eval_block_or_throw(code.get(), false);
    stack::reset();
  }
}

}  // namespace qel::boot
