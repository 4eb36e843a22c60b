#include "runtime/error.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
u32 category_field_count(int c) {
  return (c >= 0 && c < ERR_CATEGORY_COUNT) ? catalogue().field_count[c] : 0;
}
Err err_at(int c, u32 field) {
  if (c < 0 || c >= ERR_CATEGORY_COUNT || field >= MAX_FIELDS) return Err::count_;
  return catalogue().by_field[c][field];
}

void raise_memory_error(MemoryError e) {
  fire(e == MemoryError::no_memory ? Err::internal_no_memory : Err::internal_wrong_mem);
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
    if (type_of(st) != TYPE_BLOCK) {
      make_integer(st, i32(position()));
      keep_calls(error::node_of(err));
    }
    Cell* saved_top = top;
    unroll_to(FRAME_CATCH, false);
    --ctop;
    top = saved_top;
    // The unroll stops only at a catch or try frame, or at the bottom record.
    caught = ctop->kind() == FRAME_CATCH || ctop->kind() == FRAME_TRY;
  }
  if (!caught) {
    // The error may lie in the bottom cell, which the push below makes
    // unset before copying: take it out first.
    Cell e = *err;
    base = top = bottom;
    push_cell(&e);
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

void throw_to(u32 code, Frame* f, const Cell* value) {
  Frame* saved_ctop = ctop;
  Cell carried;
  if (code == THROW_BREAK || code == THROW_RETURN) copy_cell(value, &carried);
  else make_unset(&carried);
  restore_contexts_above(f);
  base = own_base(f, saved_ctop);
  ctop = f + 1;
  top = base;
  copy_cell(&carried, base);
  transfer(code);
}

void send_throw(const Cell* value, const Cell* name) {
  Cell v = *value, n = *name;
  base[0] = v;
  base[1] = n;
  top = base + 2;
  throw_return(THROW_THROW);
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
