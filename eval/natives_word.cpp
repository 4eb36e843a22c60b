// Word, context and value natives: bind, in, value?, unset, context?,
// construct, uppercase, lowercase, as, new-line, new-line?, extend.
//
// These natives check their arguments and hand the work to the datatype
// modules (context binding, object construction, case folding). The ones
// that touch cells of a block in place (bind, new-line) allocate nothing
// while they hold a cell pointer into the block's buffer.
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/map.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "datatypes/string.hpp"
#include "runtime/api.hpp"
#include "eval/natives.hpp"
#include "runtime/casefold.hpp"
#include "runtime/error.hpp"
#include "runtime/code_epoch.hpp"
#include "runtime/memory.hpp"

namespace qel::natives {

using interp::Status;
using mem::buffer_of;

namespace {

bool is_word_type(Type t) {
  return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD ||
         t == TYPE_REFINEMENT;
}

bool is_list_type(Type t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_PATH || t == TYPE_LIT_PATH ||
         t == TYPE_SET_PATH || t == TYPE_GET_PATH;
}

bool is_self_word(const Cell* w) {
  return context::self_symbol && symbol::resolve(word::symbol_of(w)) == symbol::resolve(context::self_symbol);
}

bool has_self(u32 ctx) { return (context::record_of(ctx)->header & context::HAS_SELF) != 0; }

// The context a value names for bind and in: an object-like or
// function-like value's own, or the context a word is bound to. Anything
// else, or a word bound to nothing, raises script invalid-arg with it.
u32 context_of(const Cell* v) {
  Type t = type_of(v);
  u32 ctx = 0;
  if (t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT) {
    ctx = object::context_of(v);
  } else if (t == TYPE_FUNCTION || t == TYPE_ROUTINE) {
    ctx = function::context_of(v);
  } else if (is_word_type(t)) {
    ctx = word::context_of(v);
  }
  if (!ctx || !context::is_context(ctx)) fire(Err::script_invalid_arg, v);
  return ctx;
}

// Binds the word cell to the context: by symbol (ignoring case), or, for
// `self` in a context with a self slot, to that slot. Answers whether it
// was bound.
bool bind_one(u32 ctx, Cell* word) {
  if (context::bind_word(ctx, word) >= 0) return true;
  if (type_of(word) == TYPE_WORD && has_self(ctx) && is_self_word(word)) {
    word::set_binding(word, ctx, -1);
    return true;
  }
  return false;
}

// Whether the word names a set value, without raising: an unbound word, a
// word of a function context outside its call, or a word its context does
// not hold has no value.
bool word_has_value(const Cell* w) {
  u32 ctx = word::context_of(w);
  if (!ctx || !context::is_context(ctx)) return false;
  i32 index = word::index_of(w);
  if (index < 0 || u32(index) >= context::word_count(ctx)) {
    if (index < 0 && is_self_word(w) && has_self(ctx)) return !is_unset(context::self_slot(ctx));
    index = context::find_word(ctx, word::symbol_of(w), true);
    if (index < 0) return false;
  }
  const Cell* v = context::slot(ctx, u32(index));
  return v && !is_unset(v);
}

void unset_word(const Cell* w_in) {
  Cell w = *w_in;
  Cell none;
  make_unset(&none);
  word::set(&w, &none);
}

}  // namespace

// ---- binding -------------------------------------------------------------------

Status bind(const i32* refs) {
  u32 ctx = context_of(api::arg(1));
  bool self = has_self(ctx) && context::kind_of(ctx) == context::KIND_OBJECT;
  Cell* target = api::result();
  if (type_of(target) == TYPE_BLOCK) {
    if (ref(refs, 0)) {
      // A deep copy is bound and answered; the original keeps its bindings.
      Cell* copy = block::clone(target, true, true);
      api::set_result(copy);
    }
    context::bind_block(ctx, api::result(), self);
    return api::done();
  }
  // A word not found in the context stays as it was.
  bind_one(ctx, target);
  return api::done();
}

Status in(const i32*) {
  u32 ctx = context_of(api::result());
  Cell word = *api::arg(1);
  // A word the context does not hold comes back as it was.
  bind_one(ctx, &word);
  return api::answer(&word);
}

Status value_q(const i32*) {
  const Cell* v = api::result();
  bool set = is_word_type(type_of(v)) ? word_has_value(v) : true;
  return api::answer_logic(set);
}

Status unset(const i32*) {
  Cell target = *api::arg(0);
  if (type_of(&target) == TYPE_BLOCK) {
    u32 node = series_node(&target);
    i32 from = series_index(&target) < 0 ? 0 : series_index(&target);
    // Setting a word may run an object's on-change*, which may change the
    // block: its length is read again at every step.
    for (u32 i = u32(from); i < buffer_of(node)->used() / sizeof(Cell); ++i) {
      Cell c = buffer_of(node)->cells()[i];
      if (type_of(&c) == TYPE_WORD) unset_word(&c);
    }
  } else {
    unset_word(&target);
  }
  return api::answer_unset();
}

Status context_q(const i32*) {
  Cell w = *api::arg(0);
  u32 ctx = word::context_of(&w);
  Cell r;
  make_none(&r);
  if (ctx && context::is_context(ctx)) {
    if (ctx == context::global) {
      // The global context answers as an object over it, as system/words does.
      r = Cell{TYPE_OBJECT, context::global, u32(-1), 0};
    } else {
      const Cell* self = context::self_slot(ctx);
      Type st = type_of(self);
      if (st == TYPE_OBJECT || st == TYPE_ERROR || st == TYPE_PORT || st == TYPE_FUNCTION ||
          st == TYPE_ROUTINE) {
        r = *self;
        clear_new_line(&r);
      }
    }
  }
  return api::answer(&r);
}

// ---- values ----------------------------------------------------------------------

Status construct(const i32* refs) {
  Cell* spec = api::result();
  Cell* proto = ref_arg(refs, 0);
  Cell* obj = object::construct(spec, proto, ref(refs, 1));
  return api::answer(obj);
}

namespace {

Status change_case(const i32* refs, bool upper) {
  Cell* part = ref_arg(refs, 0);
  string::change_case(api::result(), part, upper);
  return api::done();
}

}  // namespace

Status uppercase(const i32* refs) { return change_case(refs, true); }
Status lowercase(const i32* refs) { return change_case(refs, false); }

Status as(const i32*) {
  const Cell* type_arg = api::result();
  Cell spec = *api::arg(1);
  Type to = type_of(type_arg) == TYPE_DATATYPE ? datatype_of(type_arg) : type_of(type_arg);
  Type from = type_of(&spec);
  bool lists = is_list_type(to) && is_list_type(from);
  bool strings = is_any_string_type(to) && is_any_string_type(from);
  if (!lists && !strings) {
    Cell to_type, from_type;
    make_datatype(&to_type, to);
    make_datatype(&from_type, from);
    fire(Err::script_not_related, &to_type, &from_type);
  }
  // The same series and index under the new type.
  set_type(&spec, to);
  set_series_extra(&spec, 0);
  return api::answer(&spec);
}

// ---- new-line markers ------------------------------------------------------------

Status new_line(const i32* refs) {
  Cell pos = *api::arg(0);
  bool on = !logic::is_false(api::arg(1));
  bool all = ref(refs, 0);
  u32 step = 0;  // 0: the cell at the position only
  if (ref(refs, 1)) {
    const Cell* size = ref_arg(refs, 1);
    if (int_of(size) < 1) fire(Err::script_out_of_range, size);
    step = u32(int_of(size));
  } else if (all) {
    step = 1;
  }
  u32 node = series_node(&pos);
  u32 n = buffer_of(node)->used() / sizeof(Cell);
  u32 i = series_index(&pos) < 0 ? 0 : u32(series_index(&pos));
  code::changed(node);  // the markers are part of the cells (runtime/code_epoch.hpp)
  // Nothing below allocates: the cells stay where they are.
  Cell* cells = buffer_of(node)->cells();
  if (step == 0) {
    if (i < n) set_new_line(cells + i, on);
  } else {
    for (; i < n; i += step) {
      set_new_line(cells + i, on);
      if (n - i <= step) break;  // the next step would pass the tail
    }
  }
  return api::answer(&pos);
}

Status new_line_q(const i32*) {
  Cell pos = *api::arg(0);
  u32 node = series_node(&pos);
  u32 n = buffer_of(node)->used() / sizeof(Cell);
  i32 i = series_index(&pos) < 0 ? 0 : series_index(&pos);
  bool marked = u32(i) < n && has_new_line(buffer_of(node)->cells() + i);
  return api::answer_logic(marked);
}

// ---- extend ------------------------------------------------------------------------

Status extend(const i32* refs) {
  api::Args args(refs);  // obj, spec, /case
  // Extending an object is not supported.
  if (type_of(args.arg(0)) != TYPE_MAP) fire(Err::internal_not_done);
  map::extend(args.arg(0), args.arg(1), args.ref(0));
  return args.answer(args.arg(0));
}

}  // namespace qel::natives
