// The native API's evaluator side (runtime/api.hpp): invoke, which calls any
// function value with given arguments as the interpreter would, the rooted
// scratch cells, and the sort comparators' call.
#include <exception>

#include "datatypes/native.hpp"
#include "datatypes/typeset.hpp"
#include "runtime/api.hpp"
#include "eval/entry_fit.hpp"
#include "eval/interpreter_internal.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/roots.hpp"

namespace qel::api {

using interp::detail::arg_kind;
using interp::detail::ARG_RETURN;
using interp::detail::g_anon_word;
using interp::detail::is_function_type;
using interp::detail::MAX_REFINEMENTS;

Status invoke(const Cell* fn_in, const Cell* args, u32 count, Cell* out, const CallOptions& o) {
  Cell* entry_top = stack::top;
  // Everything given is copied onto the stack first: nothing has allocated yet.
  Cell* fn = stack::push_cell(fn_in);
  Cell* values = stack::top;
  for (u32 i = 0; i < count; ++i) stack::push_cell(args + i);
  if (type_of(fn) == TYPE_OP) {
    set_type(fn, Type((fn->header >> 16) & 0xFF));
    fn->header &= 0xFF;
  }
  Type t = type_of(fn);
  if (!is_function_type(t)) {
    Cell bad = *fn;
    stack::top = entry_top;
    fire(Err::script_invalid_arg, &bad);
  }
  bool native_like = t == TYPE_NATIVE || t == TYPE_ACTION;
  u32 desc = interp::spec_arguments(fn);
  roots::NodeRoot hold(&desc);
  Cell name = o.name ? *o.name : g_anon_word;
  stack::mark(&name, t == TYPE_FUNCTION ? stack::FRAME_INTERP_FUNC : stack::FRAME_INTERP);
  // The given values are the leading arguments; the refinements are off.
  i32 refs[MAX_REFINEMENTS];
  u32 nrefs = 0, given = 0, word_index = 0;
  i32 locals = 0;
  bool in_refinement = false;
  u32 n = mem::buffer_of(desc)->used() / sizeof(Cell);
  for (u32 i = 0; i < n; ++i) {
    Cell d = *(mem::buffer_of(desc)->cells() + i);
    if (type_of(&d) == TYPE_TYPESET && arg_kind(&d) != ARG_RETURN) {
      u32 wi = word_index++;
      if (in_refinement) {
        if (!native_like) make_none(stack::push());
        continue;
      }
      Cell* v = stack::push();
      if (given < count) copy_cell(values + given, v); else make_none(v);
      ++given;
      // A native's or action's entry relies on the checked types, whatever the
      // caller asks.
      if ((o.check_types || native_like) && !typeset::has(&d, type_of(v))) {
        Cell type, w = interp::detail::spec_word_for(fn, wi);
        make_datatype(&type, type_of(v));
        fire(Err::script_expect_arg, &name, &type, &w);
      }
    } else if (type_of(&d) == TYPE_TYPESET) {
      ++word_index;
    } else if (type_of(&d) == TYPE_REFINEMENT) {
      ++word_index;
      in_refinement = true;
      if (nrefs >= u32(MAX_REFINEMENTS)) fire(Err::internal_not_done);
      if (native_like) refs[nrefs] = -1; else make_logic(stack::push(), false);
      ++nrefs;
    } else if (type_of(&d) == TYPE_INTEGER && !native_like) {
      locals = int_of(&d);
    } else if (entry_fit::is_mark(&d)) {
      entry_fit::refuse(fn);
    }
  }
  if (!native_like && locals > 0) {
    make_logic(stack::push(), false);
    for (i32 l = 1; l < locals; ++l) make_none(stack::push());
  }
  Status st = 0;
  switch (t) {
    case TYPE_NATIVE: st = natives::entry(native::index_of(fn))(refs); break;
    case TYPE_ACTION: actions::entry(Action(native::index_of(fn)))(refs); break;
    case TYPE_FUNCTION: st = interp::call_function(fn, 0, &name, o.callback); break;
    case TYPE_ROUTINE: interp::call_routine(fn); break;
    default: fire(Err::internal_not_done);
  }
  st = interp::detail::take_return(st);
  if (st) {
    stack::unwind();
    stack::top = entry_top;
    return st;
  }
  if (o.args_after) {
    for (u32 i = 0; i < count; ++i) copy_cell(stack::base + i, o.args_after + i);
  }
  Cell r = *stack::base;
  stack::unwind();
  stack::top = entry_top;
  copy_cell(&r, out);
  return 0;
}

void send(Status st) { interp::rethrow_status(st); }

Values::Values(u32 n) : at_(stack::top), n_(n), exceptions_(std::uncaught_exceptions()) {
  for (u32 i = 0; i < n; ++i) make_none(stack::push());
}

Values::~Values() {
  if (std::uncaught_exceptions() == exceptions_ && stack::top > at_) stack::top = at_;
}

Cell compare(const Cell* fn, const Cell* first, const Cell* second) {
  static Cell name{TYPE_WORD, 0, 0, 0};
  if (!word::symbol_of(&name)) name = *intern_word("<compare-callback>");
  Cell pair[2] = {*first, *second};
  Cell* out = stack::push();
  CallOptions o;
  o.name = &name;
  o.callback = CALLBACK_SORT;
  Status st = invoke(fn, pair, 2, out, o);
  Cell r = *out;
  stack::pop(1);
  check(st);
  return r;
}

}  // namespace qel::api
