#include "runtime/words.hpp"

#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"

namespace qel {

namespace words {

namespace {

const char* const kSpellings[] = {
#define QEL_X(member, text) text,
    QEL_WELL_KNOWN_WORDS(QEL_X)
#undef QEL_X
};
static_assert(sizeof(kSpellings) / sizeof(kSpellings[0]) == W_COUNT_);

const char* const kRefinements[] = {
#define QEL_X(member, text) text,
    QEL_REFINEMENT_WORDS(QEL_X)
#undef QEL_X
};

// Copies of the word cells: their context (the global one) is always kept
// and their slots never move, so a copy stays valid.
Cell g_words[W_COUNT_] = {};
Cell g_refinements[R_COUNT_] = {};

}  // namespace

const char* spelling(Id id) { return kSpellings[id]; }
u32 symbol(Id id) { return word::symbol_of(&g_words[id]); }
const Cell* cell(Id id) { return &g_words[id]; }
const Cell* refinement(RefinementId id) { return &g_refinements[id]; }

}  // namespace words

void init_type_name_words() {
  for (int id = 1; id <= TYPE_TOP; ++id) {
    const char* name = types::names[id].name;
    if (name) types::names[id].symbol = word::symbol_of(intern_word(name));
  }
}

void init_well_known_words() {
  for (int i = 0; i < words::W_COUNT_; ++i) {
    words::g_words[i] = *intern_word(words::kSpellings[i]);
  }
  context::self_symbol = words::symbol(words::W_SELF);
  stack::body_symbol = words::symbol(words::W_BODY_TAG);
  stack::anon_symbol = symbol::make("<anon>");
  stack::not_found_symbol = symbol::make("<not-found>");
}

void init_refinement_words() {
  for (int i = 0; i < words::R_COUNT_; ++i) {
    words::g_refinements[i] = *refinement::load(words::kRefinements[i]);
  }
}

// ---------------------------------------------------------------------------------
// Slots for compiled code

namespace {

[[noreturn]] void raise_naming_word(Err e, u32 ctx, u32 i) {
  Cell w = *context::symbol_cell(ctx, i);
  fire(e, &w);
}

void drop_frame() { stack::reset(); }

}  // namespace

void set_word_from_top(Cell* w) {
  Cell* top = stack::last();
  if (is_unset(top)) fire(Err::script_need_value, w);
  word::set(w, top);
}

void set_word_from_top_drop(Cell* w) {
  set_word_from_top(w);
  drop_frame();
}

void set_slot_from_top(u32 ctx, u32 i) {
  if (is_unset(stack::last())) raise_naming_word(Err::script_need_value, ctx, i);
  copy_cell(stack::last(), context::writable_slot(ctx, i));
}

void set_slot_from_top_drop(u32 ctx, u32 i) {
  set_slot_from_top(ctx, i);
  drop_frame();
}

void set_slot_from_top_any(u32 ctx, u32 i) {
  context::store_slot(ctx, i);
  drop_frame();
}

Cell* context_slot(u32 ctx, u32 i) { return context::writable_slot(ctx, i); }

Cell* get_path_value(u32 ctx, const Cell* word_in) {
  Cell w = *word_in;
  i32 i = (word::context_of(&w) == ctx && word::index_of(&w) >= 0) ? word::index_of(&w)
                                                                   : context::find_word(ctx, word::symbol_of(&w), true);
  if (i < 0) fire(Err::script_no_value, &w);
  Cell* v = context_slot(ctx, u32(i));
  if (is_unset(v)) fire(Err::script_no_value, &w);
  return v;
}

}  // namespace qel
