#include "datatypes/native.hpp"

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/collector.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel {

namespace {

using mem::buffer_of;

inline u32 node_cells(u32 node) { return buffer_of(node)->used() / sizeof(Cell); }


i32 mold_spec(const Cell* fn, Cell* buffer, bool all, bool flat, Cell* arg, i32 limit, i32 indent) {
  Cell* spec = stack::push();
  make_series(spec, TYPE_BLOCK, function::spec_of(fn));
  i32 left = actions::mold(spec, buffer, false, all, flat, arg, limit, indent);
  stack::pop(1);
  return left;
}

bool is_function_like(Type t) {
  return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

// ---- make -------------------------------------------------------------------------

// The argument must be a block of exactly [spec-block index] with the index
// in 1..bound.
Cell* make_entry(Cell* proto, Cell* spec, Type type, i32 bound) {
  bool ok = type_of(spec) == TYPE_BLOCK;
  Cell parts[2];
  if (ok) {
    u32 node = series_node(spec);
    i32 index = series_index(spec);
    ok = index >= 0 && i32(node_cells(node)) - index == 2;
    if (ok) {
      parts[0] = buffer_of(node)->cells()[index];
      parts[1] = buffer_of(node)->cells()[index + 1];
      ok = type_of(&parts[0]) == TYPE_BLOCK && type_of(&parts[1]) == TYPE_INTEGER &&
           int_of(&parts[1]) >= 1 && int_of(&parts[1]) <= bound;
    }
  }
  if (!ok) fire(Err::script_bad_make_arg, proto, spec);
  return native::push(&parts[0], u32(int_of(&parts[1])), type);
}

Cell* native_make(Cell* proto, Cell* spec, Type) {
  return make_entry(proto, spec, TYPE_NATIVE, i32(native::TABLE_SIZE));
}

Cell* action_make(Cell* proto, Cell* spec, Type) {
  return make_entry(proto, spec, TYPE_ACTION, ACTION_COUNT);
}

Cell* op_make(Cell* proto, Cell* source, Type) {
  Type st = type_of(source);
  if (!is_function_like(st)) {
    Cell type;
    make_datatype(&type, st);
    fire(Err::script_invalid_type, &type);
  }
  if (!op::valid_spec(function::spec_of(source))) fire(Err::script_bad_op_spec);
  // The function keeps a copy of itself where an operator (which shares its
  // more series) finds the function it was made from.
  if (st == TYPE_FUNCTION || st == TYPE_ROUTINE) {
    copy_cell(source, function::more_cell(source, function::MORE_OP));
  }
  Cell* out = stack::push_cell(source);
  out->header = TYPE_OP | (u32(st) << op::SOURCE_SHIFT);
  return out;
}

// ---- reflect ----------------------------------------------------------------------

Cell* native_reflect(Cell* value, u32 field) {
  u32 f = symbol::resolve(field);
  if (f == symbol::resolve(words::symbol(words::W_SPEC))) {
    return make_series(stack::push(), TYPE_BLOCK, function::spec_of(value));
  }
  if (f == symbol::resolve(words::symbol(words::W_BODY))) {
    Type source = type_of(value) == TYPE_OP ? op::source_type(value) : type_of(value);
    if (source == TYPE_FUNCTION || source == TYPE_ROUTINE) {
      return stack::push_cell(function::more_cell(value, function::MORE_BODY));
    }
    return make_integer(stack::push(), i32(native::index_of(value)));
  }
  fire(Err::internal_not_done);
}

// ---- form and mold ----------------------------------------------------------------

const char* form_text(Type t) {
  switch (t) {
    case TYPE_NATIVE: return "?native?";
    case TYPE_ACTION: return "?action?";
    default: return "?op?";
  }
}

i32 native_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  return string::write_ascii(buffer, form_text(type_of(value)), limit);
}

i32 native_mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* arg, i32 limit,
                i32 indent) {
  limit = string::write_ascii(buffer, type_of(value) == TYPE_NATIVE ? "make native! [" : "make action! [", limit);
  limit = mold_spec(value, buffer, all, flat, arg, limit, indent);
  return string::write_ascii(buffer, "]", limit);
}

i32 op_mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* arg, i32 limit,
            i32 indent) {
  // The spec is molded in a frame of no name of its own.
  const stack::Snapshot entry;
  stack::mark(stack::anon_symbol, 0, stack::FRAME_NATIVE);
  limit = string::write_ascii(buffer, "make op! ", limit);
  if (op::source_type(value) == TYPE_FUNCTION) {
    limit = string::write_ascii(buffer, "func ", limit);
    limit = mold_spec(value, buffer, all, flat, arg, limit, indent);
    Cell* body = stack::push_cell(function::more_cell(value, function::MORE_BODY));
    if (type_of(body) == TYPE_BLOCK) {
      limit = actions::mold(body, buffer, false, all, flat, arg, limit, indent);
    }
  } else {
    limit = string::write_ascii(buffer, "[", limit);
    limit = mold_spec(value, buffer, all, flat, arg, limit, indent);
    limit = string::write_ascii(buffer, "]", limit);
  }
  entry.restore();
  return limit;
}

// ---- compare ----------------------------------------------------------------------

i32 native_compare(Cell* v1, Cell* v2, i32 op) {
  if (type_of(v2) != type_of(v1)) return COMPARE_INCOMPARABLE;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT:
    case COMP_CASE_SORT: case COMP_SAME: case COMP_EQUAL_NO_CASE: break;
    default: return COMPARE_INCOMPARABLE;
  }
  // An operator made from native 5 and one made from action 5 share the
  // index but run different code.
  if (type_of(v1) == TYPE_OP && op::source_type(v1) != op::source_type(v2)) {
    return op::source_type(v1) < op::source_type(v2) ? -1 : 1;
  }
  if (native::index_of(v1) == native::index_of(v2)) return 0;
  return native::index_of(v1) < native::index_of(v2) ? -1 : 1;
}

}  // namespace

namespace native {

Cell* push(const Cell* spec_in, u32 index, Type type) {
  roots::LocalCell spec;
  copy_cell(spec_in, spec.get());
  function::rebase(spec.get());
  u32 ctx = context::make_from_spec(spec.get(), true, false, context::KIND_FUNCTION);
  roots::NodeRoot hold_ctx(&ctx);
  u32 more = mem::alloc_cells(2);
  mem::Buffer* b = buffer_of(more);
  copy_cell(context::record_of(ctx), b->cells());
  make_none(b->cells() + 1);
  b->tail = b->head + 2 * sizeof(Cell);
  Cell* out = stack::push();
  out->header = type;
  set_payload(out, index, series_node(spec.get()), more);
  return out;
}

namespace {
// A native or action keeps its spec and more series alive.
void mark_native(const Cell* c) {
  gc::mark_series_at(function::spec_slot(c));
  gc::mark_series_at(function::more_slot(c));
}
}  // namespace

void init() {
  gc::set_mark_rule(TYPE_NATIVE, mark_native);
  gc::set_mark_rule(TYPE_ACTION, mark_native);
  types::register_datatype({TYPE_NATIVE, TYPE_NO_TYPE, "native!",
                            {.make = native_make, .reflect = native_reflect,
                             .form = native_form, .mold = native_mold,
                             .compare = native_compare}});
}

}  // namespace native

namespace action {
void init() {
  types::register_datatype({TYPE_ACTION, TYPE_NATIVE, "action!",
                            {.make = action_make, .form = native_form, .mold = native_mold,
                             .compare = native_compare}});
}
}  // namespace action

namespace op {

bool valid_spec(u32 spec_node) {
  if (!spec_node) return false;
  u32 local = symbol::resolve(word::symbol_of(words::refinement(words::R_LOCAL)));
  u32 ext = symbol::resolve(word::symbol_of(words::refinement(words::R_EXTERN)));
  u32 count = 0;
  bool word_seen = false;
  u32 n = node_cells(spec_node);
  for (u32 i = 0; i < n; ++i) {
    const Cell* c = buffer_of(spec_node)->cells() + i;
    switch (type_of(c)) {
      case TYPE_WORD:
        word_seen = true;
        ++count;
        break;
      case TYPE_LIT_WORD: case TYPE_GET_WORD:
        if (!word_seen) return false;  // the left argument cannot be quoted
        ++count;
        break;
      case TYPE_REFINEMENT: {
        u32 s = symbol::resolve(word::symbol_of(c));
        if (s == local || s == ext) return count == 2;
        return false;
      }
      default: break;
    }
  }
  return count == 2;
}

namespace {
// An operator keeps what its source keeps: the function's context too.
void mark_op(const Cell* c) {
  gc::mark_series_at(function::spec_slot(c));
  gc::mark_series_at(function::more_slot(c));
  Type source = source_type(c);
  if ((source == TYPE_FUNCTION || source == TYPE_ROUTINE) && function::context_of(c)) {
    gc::mark_context_at(function::context_slot(c));
  }
}
}  // namespace

void init() {
  gc::set_mark_rule(TYPE_OP, mark_op);
  types::register_datatype({TYPE_OP, TYPE_NATIVE, "op!",
                            {.make = op_make, .form = native_form, .mold = op_mold,
                             .compare = native_compare}});
}

}  // namespace op

}  // namespace qel
