#include "console/boot/boot.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console/boot/image.hpp"
#include "console/terminal_routines.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/native.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "platform/os.hpp"
#include "platform/pages.hpp"
#include "runtime/error.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "eval/action_specs.hpp"
#include "eval/codec_objects.hpp"
#include "eval/interpreter.hpp"
#include "eval/interpreter_compiled.hpp"
#include "eval/lexer.hpp"
#include "eval/library_code.hpp"
#include "eval/natives.hpp"
#include "io/qelbin.hpp"
#include "library/native/routines.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/typeset_list.hpp"
#include "view/desktop.hpp"
#include "view/platform_routines.hpp"

namespace qel::console::boot {

namespace {

// Sets the global word `name` to the value.
void define(const char* name, const Cell* value) {
  Cell v = *value;
  Cell w = *intern_word(name);
  word::set(&w, &v);
}

// A command-line argument (or the program's path) as a value of type t in
// out. Bytes that are not UTF-8 (a legal file name may hold them) are kept as
// a directory's listing keeps them in a name, so that the script runs and
// such a name reaches the file system unchanged.
void load_os_text(const std::string& text, Type t, Cell* out) {
  stack::Mark mark;
  Cell* v = file::load_os_name(reinterpret_cast<const u8*>(text.data()), u32(text.size()));
  set_type(v, t);
  copy_cell(v, out);
}

// The spec text and the word of each native and action, in the order their
// values are made.
struct SpecText {
  const char* text;
  const char* word;
  Type type;
  u32 id;  // the native's id, or the action's slot
};

std::vector<SpecText> spec_texts() {
  std::vector<SpecText> out;
  for (u32 id = 1; id <= natives::COUNT; ++id)
    out.push_back({natives::spec_of(id), natives::word_of(id), TYPE_NATIVE, id});
#define QEL_X(slot, word, text) out.push_back({text, word, TYPE_ACTION, slot});
  QEL_ACTION_SPECS(QEL_X)
#undef QEL_X
  return out;
}

bool from_boot_data();
void decode_boot_stream(const unsigned char* data, unsigned long size, u32 count, qelbin::Mode mode,
                        Cell* out);

}  // namespace

void load_native_specs(Cell* out) {
  std::vector<SpecText> texts = spec_texts();
  block::make_at(out, i32(2 * texts.size()));
  roots::LocalCell spec;
  for (const SpecText& t : texts) {
    lexer::load_source(spec.get(), t.text, std::strlen(t.text));
    Cell loaded = *mem::buffer_of(series_node(spec.get()))->cells();  // the one block loaded
    block::append_copy(out, &loaded);
    Cell w = *intern_word(t.word);
    block::append_copy(out, &w);
    stack::reset();
  }
}

// The specs of the natives and actions, loaded at build time and encoded
// beside the boot data (compact QELBIN, plain): a spec block and the word
// that names it, for each in the order their values are made. Absent (null)
// where the boot data is absent.
extern "C" {
extern const unsigned char qel_boot_specs[] __attribute__((weak));
extern const unsigned long qel_boot_specs_size __attribute__((weak));
}

namespace {

// Makes the native! and action! values from their specs: decoded from the
// encoded specs when the executable has them, else loaded from their text.
// Either way the symbols and global words come in the same order.
void make_function_values() {
  std::vector<SpecText> texts = spec_texts();
  roots::LocalCell specs;
  if (qel_boot_specs && &qel_boot_specs_size && from_boot_data())
    decode_boot_stream(qel_boot_specs, qel_boot_specs_size, u32(2 * texts.size()), qelbin::MODE_SOURCE,
                       specs.get());
  else
    load_native_specs(specs.get());
  for (u32 i = 0; i < texts.size(); ++i) {
    Cell s = *block::cell_at(specs.get(), 2 * i);
    Cell* v = native::push(&s, texts[i].id, texts[i].type);
    define(texts[i].word, v);
    stack::reset();
  }
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

// The typesets of the language (runtime/typeset_list.hpp).
struct TypesetDef {
  const char* name;
  const char* members;  // datatype and typeset words, space-separated
};
const TypesetDef kTypesets[] = {
#define QEL_X(name, members) {name, members},
    QEL_TYPESETS(QEL_X)
#undef QEL_X
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

void fill_build();

// Sets the field of system (a path as system_field takes it) to the text,
// made as load_os_text makes it. The field's slot is found once the text is
// made: making it allocates, which may move the object's values.
void set_os_text(const char* path, const std::string& text, Type t) {
  roots::LocalCell v;
  load_os_text(text, t, v.get());
  copy_cell(v.get(), system_field(path));
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
  library::native::fill_gc_object(system_field("state GC"));
  fill_build();
  library::native::wire_internal_routines();
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
}

// The command line, as one string: the program and its arguments, each
// holding a blank or a tab or being empty put in double quotes.
void fill_command_line() {
  std::string line;
  for (size_t i = 0; i < runtime::args.size(); ++i) {
    const std::string& a = runtime::args[i];
    if (i > 0) line += ' ';
    if (a.empty() || a.find_first_of(" \t") != std::string::npos) line += '"' + a + '"';
    else line += a;
  }
  set_os_text("script args", line, TYPE_STRING);
  if (!runtime::args.empty()) set_os_text("build config build-basename", runtime::args[0], TYPE_FILE);
}

// Sets the field to the first value of the text, when the text is not empty.
void set_loaded(const char* path, const std::string& text) {
  if (text.empty()) return;
  roots::LocalCell v;
  lexer::load_source(v.get(), text.data(), text.size());
  mem::Buffer* b = mem::buffer_of(series_node(v.get()));
  if (b->used() < sizeof(Cell)) return;
  Cell first = *b->cells();
  copy_cell(&first, system_field(path));
}

// The build record: the build date, the source revision when the build knew
// it, and what this build is.
void fill_build() {
  set_loaded("build date", record::date);
  std::string commit = record::commit;
  if (!commit.empty()) set_loaded("build git commit", "#" + commit);
  std::string branch = record::branch;
  if (!branch.empty() && branch != "HEAD") set_loaded("build git branch", "\"" + branch + "\"");
  if (!commit.empty()) {
    set_loaded("build git date", record::commit_date);
    std::string message = record::message;
    string::load_at(reinterpret_cast<const u8*>(message.data()), u32(message.size()),
                    system_field("build git message"), string::Encoding::utf8);
  }
}

// system/options/boot and system/options/args straight from the process's
// arguments: no quoting round trip can change them.
void fill_boot_args() {
  if (runtime::args.empty()) return;
  Cell* sys = word::get_value_cell(intern_word("system"));
  if (type_of(sys) != TYPE_OBJECT) return;
  set_os_text("options boot", runtime::args[0], TYPE_STRING);
  roots::LocalCell list, item;
  block::make_at(list.get(), i32(runtime::args.size()));
  for (size_t i = 1; i < runtime::args.size(); ++i) {
    load_os_text(runtime::args[i], TYPE_STRING, item.get());
    copy_cell(item.get(), mem::alloc_tail_cell(series_node(list.get())));
  }
  copy_cell(list.get(), system_field("options args"));
}

}  // namespace

// The boot data: the library, loaded and encoded at build time (compact
// QELBIN, plain; a stream sent through the LZ stream decodes too), but its
// last file, start.qel, encoded alone. Linked into the executables that
// start from it; absent (null) elsewhere, which then load the sources.
extern "C" {
extern const unsigned char qel_boot_data[] __attribute__((weak));
extern const unsigned long qel_boot_data_size __attribute__((weak));
extern const unsigned char qel_boot_start[] __attribute__((weak));
extern const unsigned long qel_boot_start_size __attribute__((weak));
}

namespace {

bool from_boot_data() {
  if (!qel_boot_data || !&qel_boot_data_size) return false;
  const char* dev = std::getenv("QEL_BOOT_SOURCE");  // development: run the sources
  return !(dev && *dev && std::strcmp(dev, "0") != 0);
}

// Decodes an encoded stream of the build (the boot data, the specs) into
// out, a block of `count` values. Data that does not decode ends the process
// with its message and status 1.
void decode_boot_stream(const unsigned char* data, unsigned long size, u32 count, qelbin::Mode mode,
                        Cell* out) {
  block::make_at(out, 4);
  const char* message = nullptr;
  const stack::Snapshot entry;
  stack::mark(1, 0, stack::FRAME_CATCH);
  try {
    qelbin::decode(data, size, series_node(out), mode);
  } catch (const Transfer&) {
    runtime::rt.thrown = 0;
    if (size < 8 || std::memcmp(data, "QELBIN", 6) != 0)
      message = "Error: Not a Qelbin file!";
    else if (data[7] & qelbin::FLAG_LZ)
      message = "Error: Qelbin compressed data corrupted!";
    else
      message = "Error: Qelbin boot data corrupted!";
  }
  entry.restore();
  mem::Buffer* b = mem::buffer_of(series_node(out));
  if (!message && (b->used() != sizeof(Cell) || type_of(b->cells()) != TYPE_BLOCK ||
                   u32(block::length_from_index(b->cells())) != count))
    message = "Error: Qelbin boot data corrupted!";
  if (message) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", message);
    std::fflush(stderr);
    std::_Exit(1);
  }
  *out = *b->cells();
}

// The library's files but the last, which takes what comes from the
// process.
unsigned library_files() { return kLibraryCount - 1; }

// Decodes the boot data into out, a block of one block per library file.
void load_boot_data(Cell* out) {
  decode_boot_stream(qel_boot_data, qel_boot_data_size, library_files(), qelbin::MODE_BOOT, out);
}

// Runs the library: the boot program as far as it takes nothing from the
// process. What it leaves is what the boot image holds.
void run_library() {
  stack::reset();
  make_function_values();
  define_type_words();
  library::native::define_routines();
  view::desktop::define_routines();
  library::native::define_predicates();
  library::native::define_math_routines();
  gc::enabled = true;
  runtime::boot_flag = false;
  library::native::define_text_routines();
  interp::compiled::set_starting(true);
  roots::LocalCell code, files;
  bool system_done = false;
  bool boot_data = from_boot_data();
  if (boot_data) load_boot_data(files.get());
  for (unsigned i = 0; i < library_files(); ++i) {
    if (boot_data)
      *code.get() = *block::cell_at(files.get(), i);
    else
      lexer::load_source(code.get(), kLibrary[i].text, kLibrary[i].size);
    lexer::skip_header(code.get());
    interp::eval_block_or_throw(code.get(), false);
    stack::reset();
    // The sources after the system object's own may use all of it.
    if (!system_done && type_of(word::get_value_cell(intern_word("system"))) == TYPE_OBJECT) {
      finish_system();
      system_done = true;
      // The built-in codecs come first in the registry, before those the
      // library's sources register.
      image_codecs::install();
      qelbin::make_codec_object();
    }
    // Stage 14 follows the settings: event! and its routines. Stage 15's
    // platform object gets the backend's routines as soon as it exists.
    if (std::strcmp(kLibrary[i].name, "settings.qel") == 0) view::routines::define_event_routines();
    if (system_done) view::routines::fill_platform();
  }
  view::routines::define_event_routines();  // when no settings ran (a reduced library)
  library::native::wire_tool_routines();
  library::native::wire_codec_routines();
  library::native::wire_series_routines();
  console::wire_terminal_routines();
  library::mark_library_code();
  interp::compiled::set_starting(false);
}

// Takes what comes from the process, at every start: the command line into
// the system object, then the library's last file (the current directory,
// the cache's place, the arguments), then the arguments as given.
void take_process() {
  interp::compiled::set_starting(true);
  if (type_of(word::get_value_cell(intern_word("system"))) == TYPE_OBJECT) fill_command_line();
  roots::LocalCell code, file;
  if (from_boot_data() && qel_boot_start && &qel_boot_start_size) {
    decode_boot_stream(qel_boot_start, qel_boot_start_size, 1, qelbin::MODE_BOOT, file.get());
    *code.get() = *block::cell_at(file.get(), 0);
  } else {
    const Source& start = kLibrary[kLibraryCount - 1];
    lexer::load_source(code.get(), start.text, start.size);
  }
  lexer::skip_header(code.get());
  interp::eval_block_or_throw(code.get(), false);
  stack::reset();
  fill_boot_args();
  interp::compiled::set_starting(false);
}

}  // namespace

void define_type_words() {
  set_datatype_words();
  define_typesets();
}

void run() {
  gc::boot_started();
  const bool taken = image::load();
  // The frames runtime-init made: their pages came from the image, or are
  // backed now for the library's run.
  platform::end_deferred_populating(!taken);
  if (!taken) {
    if (image::making()) image::note_start();
    run_library();
    if (image::making()) image::make_and_exit();
  }
  take_process();
  gc::startup_done(symbol::count());
}

}  // namespace qel::console::boot

namespace qel::runtime {

void boot() { console::boot::run(); }

}  // namespace qel::runtime
