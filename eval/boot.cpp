#include "eval/boot.hpp"

#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "platform/os.hpp"
#include "runtime/error.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "eval/action_specs.hpp"
#include "eval/interpreter.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "io/image_codec_objects.hpp"
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
      Cell v = *word::get_value_cell(intern_word(m.c_str()));
      typeset::set_type(&ts, &v);
    }
    define(d.name, &ts);
  }
}

// The value cell of field `name` of the object in cell obj.
Cell* field_of(const Cell* obj, const char* name) {
  u32 ctx = object::context_of(obj);
  i32 i = context::find_word(ctx, symbol::make(name), true);
  if (i < 0) fire(Err::internal_not_done);
  return context::slot(ctx, u32(i));
}

// Objects of the system object keep fixed class ids: scripts and the library
// recognise them by these.
struct ClassId {
  const char* path;  // fields from system, space-separated; "" for system itself
  i32 id;
};
const ClassId kClassIds[] = {
    {"build", 176}, {"build git", 178}, {"build config", 180}, {"catalog", 182},
    {"catalog errors", object::CLASS_ERRORS}, {"state", 206}, {"state callbacks", 209}, {"state GC", 212},
    {"ports", 214}, {"locale", 216}, {"locale currencies", 218}, {"options", 222},
    {"options float", 224}, {"script", 229}, {"standard", 231}, {"standard header", 233},
    {"standard port", 243}, {"standard error", object::CLASS_STANDARD_ERROR}, {"standard file-info", 247},
    {"standard url-parts", 250}, {"standard scheme", 252}, {"lexer", 254},
};

Cell* system_field(const std::string& path) {
  Cell* v = word::get_value_cell(intern_word("system"));
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find(' ', start);
    if (end == std::string::npos) end = path.size();
    v = field_of(v, path.substr(start, end - start).c_str());
    start = end + 1;
  }
  return v;
}

// Fills the members of `system` that come from the runtime, and gives its
// objects their class ids.
void finish_system() {
  Cell* sys = word::get_value_cell(intern_word("system"));
  if (type_of(sys) != TYPE_OBJECT) return;
  object::set_class(sys, object::CLASS_SYSTEM);
  Cell words{TYPE_OBJECT, context::global, u32(-1), 0};
  copy_cell(&words, field_of(sys, "words"));
  copy_cell(error::catalog(), system_field("catalog errors"));
  copy_cell(error::standard(), system_field("standard error"));
  copy_cell(lexer::exit_states(), system_field("lexer exit-states"));
  // Error reports and the tracer read their settings from system/state.
  error::state_context = object::context_of(system_field("state"));
  for (const ClassId& c : kClassIds) {
    Cell* v = system_field(c.path);
    if (type_of(v) == TYPE_OBJECT || type_of(v) == TYPE_ERROR) object::set_class(v, c.id);
  }
  // The categories of the error catalogue: every second id from the first.
  Cell* errors = system_field("catalog errors");
  for (int cat = 0; cat < ERR_CATEGORY_COUNT; ++cat) {
    Cell* c = field_of(errors, category_word(cat));
    if (type_of(c) == TYPE_OBJECT) object::set_class(c, object::CLASS_FIRST_CATEGORY + 2 * cat);
  }
  // The command line, as one string.
  std::string line;
  for (size_t i = 1; i < runtime::args.size(); ++i) {
    if (i > 1) line += ' ';
    line += runtime::args[i];
  }
  string::load_at(reinterpret_cast<const u8*>(line.data()), u32(line.size()),
                  system_field("script args"), string::Encoding::utf8);
  // The current directory, as a directory file!.
  std::string dir = platform::get_current_dir();
  if (dir.empty() || dir.back() != '/') dir += '/';
  Cell* path = system_field("options path");
  string::load_at(reinterpret_cast<const u8*>(dir.data()), u32(dir.size()), path,
                  string::Encoding::utf8);
  set_type(path, TYPE_FILE);
}

}  // namespace

bool skip_header(Cell* code) {
  mem::Buffer* b = mem::buffer_of(series_node(code));
  u32 i = u32(series_index(code));
  if (b->used() / sizeof(Cell) < i + 2) return false;
  Cell* first = b->cells() + i;
  if (type_of(first) != TYPE_WORD || type_of(first + 1) != TYPE_BLOCK) return false;
  if (symbol::resolve(word::symbol_of(first)) != symbol::resolve(symbol::make("Qel"))) return false;
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
  finish_system();
  image_codecs::install();
}

}  // namespace qel::boot
