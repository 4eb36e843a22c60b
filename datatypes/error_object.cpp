// Error values: the catalogue as Qel values, making and reading error
// objects, the report, and raising (fire). The transfers that carry an error
// and the catalogue tables are the runtime's (runtime/error.cpp).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "platform/console.hpp"
#include "runtime/error.hpp"
#include "runtime/errors.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "platform/image_state.hpp"

namespace qel {

// ---------------------------------------------------------------------------
// The catalogue as Qel values

namespace error {

namespace {

// Root-block cells: the `errors` object, the standard error object and the
// default settings (pinned, so these pointers stay valid).
Cell* g_catalog = nullptr;
Cell* g_standard = nullptr;
Cell* g_stack_trace = nullptr;
Cell* g_source_files = nullptr;
// A no-memory error made at start-up: raised when making a new one fails for
// want of memory itself, which would otherwise raise again without end.
Cell* g_no_memory = nullptr;
bool g_making_no_memory = false;
u32 g_category_symbols[ERR_CATEGORY_COUNT] = {};  // canonical symbols of the category words

// Class ids that start-up gives the catalogue objects and the standard error.

Cell plain_word(Type t, const char* name, std::size_t n) {
  Cell w;
  word::fill(&w, t, symbol::make_from_string(name, u32(n)));
  return w;
}

// Reads one message template (see error_list.hpp) into out, a rooted cell.
// The templates are fixed texts of this file, so the reader only knows
// their small grammar: a string without escapes, a word, a get-word, or a
// block of those.
void read_template(const char* text, Cell* out) {
  const char* p = text;
  auto skip_space = [&] { while (*p == ' ') ++p; };
  auto read_item = [&](Cell* item) {
    skip_space();
    if (*p == '"') {
      const char* end = std::strchr(p + 1, '"');
      string::load_at(reinterpret_cast<const u8*>(p + 1), u32(end - p - 1), item,
                      string::Encoding::utf8);
      p = end + 1;
      return;
    }
    Type t = TYPE_WORD;
    if (*p == ':') {
      t = TYPE_GET_WORD;
      ++p;
    }
    const char* start = p;
    while (*p && *p != ' ' && *p != ']') ++p;
    *item = plain_word(t, start, std::size_t(p - start));
  };
  skip_space();
  if (*p != '[') {
    read_item(out);
    return;
  }
  ++p;
  u32 node = mem::alloc_cells(4);
  make_series(out, TYPE_BLOCK, node);  // out is rooted: so is the block
  for (;;) {
    skip_space();
    if (*p == ']' || !*p) break;
    roots::LocalCell item;
    read_item(item.get());
    copy_cell(item.get(), mem::alloc_tail_cell(node));
  }
}

// An object cell over the context, with its copy in the self slot.
void make_object(Cell* out, u32 ctx, u32 class_id, Type t = TYPE_OBJECT) {
  object::fill(out, t, ctx, i32(class_id), 0);
  copy_cell(out, context::self_slot(ctx));
}

void add_field(u32 ctx, const char* name, const Cell* value) {
  Cell w = plain_word(TYPE_WORD, name, std::strlen(name));
  context::add_word(ctx, &w, value);
}

void build_category(int c, Cell* out) {
  u32 ctx = context::make(category_field_count(c), false, true, 0, context::KIND_OBJECT);
  roots::NodeRoot hold(&ctx);
  roots::LocalCell value;
  make_integer(value.get(), c * 100);
  add_field(ctx, "code", value.get());
  const char* title = category_title(c);
  string::load_at(reinterpret_cast<const u8*>(title), u32(std::strlen(title)), value.get(),
                  string::Encoding::utf8);
  add_field(ctx, "type", value.get());
  for (u32 f = 2; f < category_field_count(c); ++f) {
    const ErrInfo& info = err_info(err_at(c, f));
    read_template(info.message, value.get());
    add_field(ctx, info.word, value.get());
  }
  make_object(out, ctx, u32(object::CLASS_FIRST_CATEGORY) + 2 * u32(c));
}

}  // namespace

void init_catalog() {
  g_catalog = runtime::root_append();
  g_standard = runtime::root_append();
  g_stack_trace = runtime::root_append();
  g_source_files = runtime::root_append();
  make_integer(g_stack_trace, 1);
  make_none(g_source_files);

  u32 errors = context::make(ERR_CATEGORY_COUNT, false, true, 0, context::KIND_OBJECT);
  make_object(g_catalog, errors, u32(object::CLASS_ERRORS));  // the root block keeps it from here on
  for (int c = 0; c < ERR_CATEGORY_COUNT; ++c) {
    roots::LocalCell category;
    build_category(c, category.get());
    add_field(errors, category_word(c), category.get());
    g_category_symbols[c] = symbol::resolve(symbol::make(category_word(c)));
  }

  static const char* const kFields[FIELD_COUNT] = {"code", "type",  "id",    "arg1",  "arg2",
                                                   "arg3", "near",  "where", "stack", "files"};
  u32 standard = context::make(FIELD_COUNT, false, true, 0, context::KIND_OBJECT);
  make_object(g_standard, standard, u32(object::CLASS_STANDARD_ERROR));
  Cell none;
  make_none(&none);
  for (const char* name : kFields) add_field(standard, name, &none);

  g_no_memory = runtime::root_append();
  create(g_no_memory, Err::internal_no_memory, nullptr, nullptr, nullptr);
}

const Cell* catalog() { return g_catalog; }
const Cell* standard() { return g_standard; }

u32 state_context = 0;
QEL_IMAGE_KEEP(state_context);

Cell* stack_trace_setting() {
  Cell* c = state_context ? context::slot(state_context, 2) : nullptr;
  return c ? c : g_stack_trace;
}
Cell* source_files_setting() {
  Cell* c = state_context ? context::slot(state_context, 3) : nullptr;
  return c ? c : g_source_files;
}

// ---- catalogue lookups (shared with the error! datatype) ----------------------

int category_index(const Cell* word) {
  if (!is_any_word_type(type_of(word)) || !symbol::valid(word::symbol_of(word))) return -1;
  u32 sym = symbol::resolve(word::symbol_of(word));
  for (int c = 0; c < ERR_CATEGORY_COUNT; ++c) {
    if (g_category_symbols[c] == sym) return c;
  }
  return -1;
}

u32 category_context(int c) { return object::context_of(context::slot(object::context_of(g_catalog), u32(c))); }

i32 id_field(int c, const Cell* word) {
  if (c < 0 || !is_any_word_type(type_of(word)) || !symbol::valid(word::symbol_of(word))) return -1;
  i32 f = context::find_word(category_context(c), word::symbol_of(word), true);
  return f >= 2 ? f : -1;  // code and type are no ids
}

void set_entry(Cell* err, int c, u32 f) {
  u32 errors = object::context_of(g_catalog);
  Cell type = *context::symbol_cell(errors, u32(c));
  Cell id = *context::symbol_cell(category_context(c), f);
  make_integer(field(err, F_CODE), c * 100 + i32(f) - 2);
  copy_cell(&type, field(err, F_TYPE));
  copy_cell(&id, field(err, F_ID));
}

void new_error(Cell* out) {
  copy_cell(g_standard, out);
  context::clone(out, context::KIND_OBJECT);  // out now holds the copy's context
  make_object(out, object::context_of(out), u32(object::CLASS_ERROR), TYPE_ERROR);
}

void fill_near(Cell* err) {
  const Cell* code = api::services.current_code();
  if (code && !is_unset(code)) copy_cell(code, field(err, F_NEAR));
}

// ---- error values -----------------------------------------------------------------

Cell* field(const Cell* err, Field f) { return context::slot(object::context_of(err), f); }
u32 node_of(const Cell* err) { return object::context_of(err); }

u32 get_type(const Cell* err) {
  const Cell* t = field(err, F_TYPE);
  return is_any_word_type(type_of(t)) ? word::symbol_of(t) : 0;
}
u32 get_id(const Cell* err) {
  const Cell* i = field(err, F_ID);
  return is_any_word_type(type_of(i)) ? word::symbol_of(i) : 0;
}

Err id_of(const Cell* err) {
  int c = category_index(field(err, F_TYPE));
  Cell id = *field(err, F_ID);
  i32 f = id_field(c, &id);
  return f < 0 ? Err::count_ : err_at(c, u32(f));
}

void get_where(Cell* err, const Cell* word) {
  Cell* w = field(err, F_WHERE);
  if (is_none(w)) copy_cell(word, w);
}

Cell* create(Cell* out, Err e, const Cell* a1, const Cell* a2, const Cell* a3) {
  // The arguments may lie in buffers that the allocation below can move.
  roots::LocalCell args[3];
  const Cell* given[3] = {a1, a2, a3};
  for (int i = 0; i < 3; ++i) {
    if (given[i]) copy_cell(given[i], args[i].get()); else make_none(args[i].get());
  }
  new_error(out);
  const ErrInfo& info = err_info(e);
  set_entry(out, info.category, info.field);
  for (int i = 0; i < 3; ++i) copy_cell(args[i].get(), field(out, Field(F_ARG1 + i)));
  fill_near(out);
  return out;
}

std::string report(const Cell* err_in) {
  stack::Mark mark;
  Cell* err = stack::push_cell(err_in);
  Cell* text = make_none(stack::push());
  string::make_at(text, 64, 1);
  form_report(err, text, 0x7FFFFFFF);
  return string::to_utf8(text);
}

namespace {

void default_uncaught(Cell* err) {
  static bool reporting = false;
  if (reporting) {
    // Forming the report raised again: with the region full, that is the
    // report's own text failing for want of memory. Say so without forming.
    std::fputs("*** Internal Error: not enough memory\n", stderr);
    std::fflush(stderr);
    std::_Exit(254);
  }
  reporting = true;
  platform::console::flush();
  std::fflush(stdout);
  std::string text = report(err);
  text += "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
  std::_Exit(254);
}

}  // namespace

UncaughtHandler uncaught = default_uncaught;
bool report_only = false;

}  // namespace error

[[noreturn]] void fire(Err e, const Cell* a1, const Cell* a2, const Cell* a3) {
  if (!error::catalog()) {
    // Raised before start-up has made the catalogue: nothing can catch it.
    const ErrInfo& info = err_info(e);
    std::fprintf(stderr, "*** %s: %s (during start-up)\n", category_title(info.category), info.word);
    std::fflush(stderr);
    std::_Exit(254);
  }
  Cell* err = make_none(stack::push());
  bool no_memory = e == Err::internal_no_memory;
  if (no_memory && error::g_making_no_memory && error::g_no_memory) {
    // Making the error ran out of memory too: raise the one made at
    // start-up, with the position fields of its last use cleared.
    copy_cell(error::g_no_memory, err);
    for (error::Field f : {error::F_NEAR, error::F_WHERE, error::F_STACK}) make_none(error::field(err, f));
    stack::throw_error(err);
  }
  {
    // Set while a no-memory error is being made; cleared however that ends.
    struct Making {
      bool on;
      explicit Making(bool o) : on(o) { if (on) error::g_making_no_memory = true; }
      ~Making() { if (on) error::g_making_no_memory = false; }
    } making(no_memory);
    error::create(err, e, a1, a2, a3);
  }
  {
    // A trace callback that catches and clears a transfer of its own must
    // not disturb this one.
    u32 thrown = runtime::rt.thrown;
    runtime::rt.thrown = 0;
    api::services.error_raised(err);
    runtime::rt.thrown = thrown;
  }
  stack::throw_error(err);
}

}  // namespace qel
