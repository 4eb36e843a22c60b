#include "runtime/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/console.hpp"
#include "runtime/errors.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"

namespace qel {

namespace {

struct Catalogue {
  ErrInfo info[size_t(Err::count_)];
  Catalogue() {
    u8 next_field[ERR_CATEGORY_COUNT] = {};
    size_t i = 0;
#define QEL_X(cat, member, word, message)                                         \
  info[i] = ErrInfo{u8(ERR_CAT_##cat), u8(next_field[ERR_CAT_##cat]++ + 2), word, message}; \
  ++i;
    QEL_ERRORS(QEL_X)
#undef QEL_X
  }
};

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

void raise_memory_error(MemoryError e) {
  fire(e == MemoryError::no_memory ? Err::internal_no_memory : Err::internal_wrong_mem);
}

// ---------------------------------------------------------------------------
// Error values

namespace error {

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

// A short text for a value in a report; the datatype modules give the full
// form once they exist.
std::string brief(const Cell* v) {
  switch (type_of(v)) {
    case TYPE_NONE: return "none";
    case TYPE_UNSET: return "unset";
    case TYPE_LOGIC: return v->w1 ? "true" : "false";
    case TYPE_INTEGER: return std::to_string(int_of(v));
    case TYPE_DATATYPE: return std::string("datatype #") + std::to_string(v->w1);
    default: return std::string("<type ") + std::to_string(int(type_of(v))) + ">";
  }
}

}  // namespace

UncaughtHandler uncaught = default_uncaught;

Cell* field(const Cell* err, Field f) { return mem::buffer_of(err->w1)->cells() + f; }

Err id_of(const Cell* err) { return Err(field(err, F_ID)->w3); }

Cell* create(Cell* out, Err e, const Cell* a1, const Cell* a2, const Cell* a3) {
  // The arguments may lie in buffers that the allocation below can move.
  roots::LocalCell args[3];
  const Cell* given[3] = {a1, a2, a3};
  for (int i = 0; i < 3; ++i) {
    if (given[i]) copy_cell(given[i], args[i].get()); else make_none(args[i].get());
  }
  u32 node = mem::alloc_cells(FIELD_COUNT);
  out->header = TYPE_ERROR;
  out->w1 = node;
  out->w2 = 1;  // class id of errors
  out->w3 = 0;
  mem::Buffer* b = mem::buffer_of(node);
  Cell* f = b->cells();
  for (u32 i = 0; i < FIELD_COUNT; ++i) make_none(f + i);
  b->tail = b->head + FIELD_COUNT * sizeof(Cell);
  const ErrInfo& info = err_info(e);
  make_integer(f + F_CODE, err_code(e));
  make_integer(f + F_TYPE, info.category);
  make_integer(f + F_ID, info.field);
  f[F_ID].w3 = u32(e);
  for (int i = 0; i < 3; ++i) copy_cell(args[i].get(), f + F_ARG1 + i);
  return out;
}

std::string report(const Cell* err) {
  const ErrInfo& info = err_info(id_of(err));
  std::string r = "*** ";
  r += category_title(info.category);
  r += ": ";
  r += info.word;
  for (int i = 0; i < 3; ++i) {
    Cell* a = field(err, Field(F_ARG1 + i));
    if (!is_none(a)) r += " " + brief(a);
  }
  r += "\n*** Where: ";
  Cell* w = field(err, F_WHERE);
  r += is_none(w) ? std::string("???") : brief(w);
  r += "\n*** Near : ";
  r += brief(field(err, F_NEAR));
  return r;
}

}  // namespace error

[[noreturn]] void fire(Err e, const Cell* a1, const Cell* a2, const Cell* a3) {
  Cell* err = stack::push();
  make_none(err);
  error::create(err, e, a1, a2, a3);
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
    Cell* where = error::field(err, error::F_WHERE);
    if (is_none(where)) {
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
  Cell* saved_base = base;
  Cell* saved_top = top;
  Frame* saved_ctop = ctop;
  Frame* f = ctop - 1;
  for (; f >= cbottom; --f) {
    if (f->kind() == FRAME_TRY) {
      ctop = saved_ctop;
      fire(cont ? Err::throw_continue : Err::throw_break);
    }
    if (f->kind() == FRAME_LOOP) break;
  }
  if (f < cbottom) {
    base = saved_base;
    top = saved_top;
    ctop = saved_ctop;
    fire(cont ? Err::throw_continue : Err::throw_break);
  }
  Cell value;
  copy_cell(saved_base, &value);
  restore_contexts_above(f);
  base = own_base(f, saved_ctop);
  ctop = f + 1;
  top = base;
  if (with_value && !cont) copy_cell(&value, base); else make_unset(base);
  transfer(cont ? THROW_CONTINUE : THROW_BREAK);
}

void throw_value(bool with_value, bool from_top) {
  Cell* saved_base = base;
  Cell* saved_top = top;
  Frame* saved_ctop = ctop;
  Frame* f = ctop - 1;
  if (ctop > cbottom && !from_top) --f;
  for (; f >= cbottom; --f) {
    if (f->kind() == FRAME_TRY) {
      ctop = saved_ctop;
      fire(Err::throw_return);
    }
    if (f->header & FRAME_FLAG_CTX) break;
  }
  if (f < cbottom) {
    base = saved_base;
    top = saved_top;
    ctop = saved_ctop;
    fire(Err::throw_return);
  }
  Cell value;
  copy_cell(saved_base, &value);
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
  Cell* saved_base = base;
  Cell* saved_top = top;
  Frame* saved_ctop = ctop;
  Frame* f = ctop - 1;
  if (ctop > cbottom) --f;
  if (!last_throw_frame) last_throw_frame = f + 1;
  Cell thrown, name;
  copy_cell(saved_base, &thrown);
  copy_cell(saved_base + 1, &name);
  for (; f >= cbottom; --f) {
    if (f->kind() == FRAME_TRY) {
      ctop = saved_ctop;
      fire(Err::throw_throw, &thrown);
    }
    if (f->kind() == FRAME_THROW) break;
  }
  if (f < cbottom) {
    base = saved_base;
    top = saved_top;
    ctop = saved_ctop;
    fire(Err::throw_throw, &thrown);
  }
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
