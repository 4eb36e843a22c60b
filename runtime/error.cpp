#include "runtime/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "datatypes/context.hpp"
#include "datatypes/error.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "eval/interpreter.hpp"
#include "platform/console.hpp"
#include "runtime/errors.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel {

namespace {

// Each category's codes are category * 100 + 0..98, so a category holds at
// most 99 ids (field indexes 2..100).
inline constexpr u32 MAX_FIELDS = 101;

struct Catalogue {
  ErrInfo info[size_t(Err::count_)];
  Err by_field[ERR_CATEGORY_COUNT][MAX_FIELDS];
  u32 field_count[ERR_CATEGORY_COUNT];  // code, type and the ids
  Catalogue() {
    for (auto& row : by_field) for (Err& e : row) e = Err::count_;
    for (u32& n : field_count) n = 2;
    size_t i = 0;
#define QEL_X(cat, member, word, message)                                          \
  info[i] = ErrInfo{u8(ERR_CAT_##cat), u8(field_count[ERR_CAT_##cat]++), word, message}; \
  by_field[ERR_CAT_##cat][info[i].field] = Err(i);                                 \
  ++i;
    QEL_ERRORS(QEL_X)
#undef QEL_X
  }
};

constexpr u32 category_size(int c) {
  u32 n = 0;
#define QEL_X(cat, member, word, message) n += (ERR_CAT_##cat == c) ? 1 : 0;
  QEL_ERRORS(QEL_X)
#undef QEL_X
  return n;
}
constexpr bool categories_fit() {
  for (int c = 0; c < ERR_CATEGORY_COUNT; ++c) {
    if (category_size(c) > MAX_FIELDS - 2) return false;
  }
  return true;
}
static_assert(categories_fit(), "a category holds at most 99 ids");

const Catalogue& catalogue() {
  static const Catalogue c;
  return c;
}

const char* const kCategoryWords[] = {
#define QEL_X(index, member, word, title) word,
    QEL_ERROR_CATEGORIES(QEL_X)
#undef QEL_X
};
const char* const kCategoryTitles[] = {
#define QEL_X(index, member, word, title) title,
    QEL_ERROR_CATEGORIES(QEL_X)
#undef QEL_X
};

}  // namespace

const ErrInfo& err_info(Err e) { return catalogue().info[size_t(e)]; }
i32 err_code(Err e) {
  const ErrInfo& i = err_info(e);
  return i32(i.category) * 100 + i32(i.field) - 2;
}
const char* category_word(int c) { return (c >= 0 && c < ERR_CATEGORY_COUNT) ? kCategoryWords[c] : ""; }
const char* category_title(int c) { return (c >= 0 && c < ERR_CATEGORY_COUNT) ? kCategoryTitles[c] : ""; }
Err err_at(int c, u32 field) {
  if (c < 0 || c >= ERR_CATEGORY_COUNT || field >= MAX_FIELDS) return Err::count_;
  return catalogue().by_field[c][field];
}

void raise_memory_error(MemoryError e) {
  fire(e == MemoryError::no_memory ? Err::internal_no_memory : Err::internal_wrong_mem);
}

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
u32 g_category_symbols[ERR_CATEGORY_COUNT] = {};  // canonical symbols of the category words

// Class ids that start-up gives the catalogue objects and the standard error.
inline constexpr u32 ERRORS_CLASS = 184;
inline constexpr u32 FIRST_CATEGORY_CLASS = 186;  // then every second id
inline constexpr u32 STANDARD_ERROR_CLASS = 245;

Cell plain_word(Type t, const char* name, std::size_t n) {
  Cell w;
  w.header = t;
  w.w1 = 0;
  w.w2 = symbol::make_from_string(name, u32(n));
  w.w3 = u32(-1);
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
  out->header = t;
  out->w1 = ctx;
  out->w2 = class_id;
  out->w3 = 0;
  copy_cell(out, context::self_slot(ctx));
}

void add_field(u32 ctx, const char* name, const Cell* value) {
  Cell w = plain_word(TYPE_WORD, name, std::strlen(name));
  context::add_word(ctx, &w, value);
}

void build_category(int c, Cell* out) {
  u32 ctx = context::make(catalogue().field_count[c], false, true, 0, context::KIND_OBJECT);
  roots::NodeRoot hold(&ctx);
  roots::LocalCell value;
  make_integer(value.get(), c * 100);
  add_field(ctx, "code", value.get());
  const char* title = kCategoryTitles[c];
  string::load_at(reinterpret_cast<const u8*>(title), u32(std::strlen(title)), value.get(),
                  string::Encoding::utf8);
  add_field(ctx, "type", value.get());
  for (u32 f = 2; f < catalogue().field_count[c]; ++f) {
    const ErrInfo& info = err_info(catalogue().by_field[c][f]);
    read_template(info.message, value.get());
    add_field(ctx, info.word, value.get());
  }
  make_object(out, ctx, FIRST_CATEGORY_CLASS + 2 * u32(c));
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
  make_object(g_catalog, errors, ERRORS_CLASS);  // the root block keeps it from here on
  for (int c = 0; c < ERR_CATEGORY_COUNT; ++c) {
    roots::LocalCell category;
    build_category(c, category.get());
    add_field(errors, kCategoryWords[c], category.get());
    g_category_symbols[c] = symbol::resolve(symbol::make(kCategoryWords[c]));
  }

  static const char* const kFields[FIELD_COUNT] = {"code", "type",  "id",    "arg1",  "arg2",
                                                   "arg3", "near",  "where", "stack", "files"};
  u32 standard = context::make(FIELD_COUNT, false, true, 0, context::KIND_OBJECT);
  make_object(g_standard, standard, STANDARD_ERROR_CLASS);
  Cell none;
  make_none(&none);
  for (const char* name : kFields) add_field(standard, name, &none);
}

const Cell* catalog() { return g_catalog; }
const Cell* standard() { return g_standard; }

u32 state_context = 0;

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
  if (!is_any_word_type(type_of(word)) || !symbol::valid(word->w2)) return -1;
  u32 sym = symbol::resolve(word->w2);
  for (int c = 0; c < ERR_CATEGORY_COUNT; ++c) {
    if (g_category_symbols[c] == sym) return c;
  }
  return -1;
}

u32 category_context(int c) { return context::slot(g_catalog->w1, u32(c))->w1; }

i32 id_field(int c, const Cell* word) {
  if (c < 0 || !is_any_word_type(type_of(word)) || !symbol::valid(word->w2)) return -1;
  i32 f = context::find_word(category_context(c), word->w2, true);
  return f >= 2 ? f : -1;  // code and type are no ids
}

void set_entry(Cell* err, int c, u32 f) {
  u32 errors = g_catalog->w1;
  Cell type = *context::symbol_cell(errors, u32(c));
  Cell id = *context::symbol_cell(category_context(c), f);
  make_integer(field(err, F_CODE), c * 100 + i32(f) - 2);
  copy_cell(&type, field(err, F_TYPE));
  copy_cell(&id, field(err, F_ID));
}

void new_error(Cell* out) {
  copy_cell(g_standard, out);
  context::clone(out, context::KIND_OBJECT);  // out now holds the copy's context
  make_object(out, out->w1, CLASS_ID, TYPE_ERROR);
}

void fill_near(Cell* err) {
  const Cell* code = interp::current_code();
  if (code && !is_unset(code)) copy_cell(code, field(err, F_NEAR));
}

// ---- error values -----------------------------------------------------------------

Cell* field(const Cell* err, Field f) { return context::slot(err->w1, f); }

u32 get_type(const Cell* err) {
  const Cell* t = field(err, F_TYPE);
  return is_any_word_type(type_of(t)) ? t->w2 : 0;
}
u32 get_id(const Cell* err) {
  const Cell* i = field(err, F_ID);
  return is_any_word_type(type_of(i)) ? i->w2 : 0;
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
  Cell* saved = stack::top;
  Cell* err = stack::push_cell(err_in);
  Cell* text = make_none(stack::push());
  string::make_at(text, 64, 1);
  form_report(err, text, 0x7FFFFFFF);
  std::string r = string::to_utf8(text);
  stack::top = saved;
  return r;
}

namespace {

void default_uncaught(Cell* err) {
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
  error::create(err, e, a1, a2, a3);
  if (interp::trace) {
    // A trace callback that catches and clears a transfer of its own must
    // not disturb this one.
    u32 thrown = runtime::rt.thrown;
    runtime::rt.thrown = 0;
    interp::fire_event(interp::EV_ERROR, nullptr, 0, nullptr, err);
    runtime::rt.thrown = thrown;
  }
  stack::throw_error(err);
}

// ---------------------------------------------------------------------------
// Transfers

namespace stack {

namespace {

[[noreturn]] void transfer(u32 code) {
  runtime::rt.thrown = code;
  throw Transfer{code};
}

// The base of a frame that stays open: the prev_base of the record opened
// just above it, or the current base when there is none.
Cell* own_base(Frame* found, Frame* saved_ctop) {
  return (found + 1 < saved_ctop) ? bottom + (found + 1)->prev_base : base;
}

// Restores the contexts of the function frames between the top and `to`.
void restore_contexts_above(Frame* to) {
  for (Frame* f = ctop; f > to + 1;) {
    --f;
    if ((f->header & 0x0F000000) == FRAME_FUNCTION && f->fctx) restore_context(f);
  }
}

}  // namespace

void throw_error(Cell* err) {
  bool caught = false;
  if (ctop > cbottom) {
    if (is_none(error::field(err, error::F_WHERE))) {
      Cell w;
      get_call(&w);
      copy_cell(&w, error::field(err, error::F_WHERE));
    }
    Cell* st = error::field(err, error::F_STACK);
    if (type_of(st) != TYPE_BLOCK) make_integer(st, i32(position()));
    Cell* saved_top = top;
    unroll_to(FRAME_CATCH, false);
    --ctop;
    top = saved_top;
    // The unroll stops only at a catch or try frame, or at the bottom record.
    caught = ctop->kind() == FRAME_CATCH || ctop->kind() == FRAME_TRY;
  }
  if (!caught) {
    base = top = bottom;
    push_cell(err);
    error::uncaught(bottom);
    std::_Exit(254);
  }
  push_cell(err);
  transfer(THROW_ERROR);
}

void throw_loop(bool with_value, bool cont) {
  Frame* saved_ctop = ctop;
  Frame* f = loop_target(ctop - 1);
  if (!f) fire(cont ? Err::throw_continue : Err::throw_break);
  Cell value;
  copy_cell(base, &value);
  restore_contexts_above(f);
  base = own_base(f, saved_ctop);
  ctop = f + 1;
  top = base;
  if (with_value && !cont) copy_cell(&value, base); else make_unset(base);
  transfer(cont ? THROW_CONTINUE : THROW_BREAK);
}

void throw_value(bool with_value, bool from_top) {
  Frame* saved_ctop = ctop;
  Frame* f = return_target(ctop > cbottom && !from_top ? ctop - 2 : ctop - 1);
  if (!f) fire(Err::throw_return);
  Cell value;
  copy_cell(base, &value);
  restore_contexts_above(f);
  base = own_base(f, saved_ctop);
  ctop = f + 1;
  top = base;
  if (with_value) {
    copy_cell(&value, base);
    transfer(THROW_RETURN);
  }
  make_unset(base);
  transfer(THROW_EXIT);
}

void throw_return(u32 code) {
  Frame* saved_ctop = ctop;
  Frame* from = ctop > cbottom ? ctop - 2 : ctop - 1;
  if (!last_throw_frame) last_throw_frame = from + 1;
  Cell thrown, name;
  copy_cell(base, &thrown);
  copy_cell(base + 1, &name);
  Frame* f = throw_target(from);
  if (!f) fire(Err::throw_throw, &thrown);
  restore_contexts_above(f);
  base = own_base(f, saved_ctop);
  ctop = f + 1;
  top = base;
  push_cell(&thrown);
  push_cell(&name);
  transfer(code);
}

}  // namespace stack

}  // namespace qel
