#include "datatypes/function.hpp"

#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/collector.hpp"
#include "runtime/actions.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"
#include "platform/image_state.hpp"

namespace qel {

namespace {

using mem::buffer_of;

inline u32 cell_count(u32 node) { return buffer_of(node)->used() / sizeof(Cell); }
inline Cell* cell_at(u32 node, u32 i) { return buffer_of(node)->cells() + i; }

inline u32 canon(u32 sym) { return symbol::resolve(sym); }
inline bool is_word_id(u32 sym, words::Id id) { return canon(sym) == canon(words::symbol(id)); }
inline bool is_refinement_id(u32 sym, words::RefinementId id) {
  return canon(sym) == canon(word::symbol_of(words::refinement(id)));
}

// The first index a block value reads from: negative counts as 0, past the
// tail as the tail.
u32 start_of(const Cell* block) {
  i32 i = series_index(block);
  u32 n = cell_count(series_node(block));
  if (i < 0) return 0;
  return u32(i) > n ? n : u32(i);
}

// A new cell series holding copies of the cells of node from `from`.
u32 copy_cells(u32 node, u32 from) {
  u32 n = cell_count(node);
  if (from > n) from = n;
  if (from == n) return mem::alloc_cells(1);
  return mem::copy_series_part(node, from, n - from);
}


// ---- spec checks ------------------------------------------------------------------

[[noreturn]] void bad_spec(const Cell* spec) { fire(Err::script_bad_func_def, spec); }

void check_type_block(const Cell* block_in) {
  Cell block = *block_in;
  u32 n = cell_count(series_node(&block));
  for (u32 i = start_of(&block); i < n; ++i) {
    Cell v = *cell_at(series_node(&block), i);
    bool ok = false;
    if (type_of(&v) == TYPE_WORD) {
      u32 ctx = word::context_of(&v) && context::is_context(word::context_of(&v)) ? word::context_of(&v) : context::global;
      const Cell* value = context::word_cell(word::symbol_of(&v), ctx);
      ok = value && (type_of(value) == TYPE_DATATYPE || type_of(value) == TYPE_TYPESET);
    }
    if (!ok) fire(Err::script_invalid_type_spec, &v);
  }
}

bool may_follow_refinement(Type t) {
  return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_REFINEMENT ||
         t == TYPE_SET_WORD || t == TYPE_STRING;
}

// ---- locals of the function constructor -------------------------------------------

struct Collector {
  std::vector<u32> excluded;   // canonical symbols
  std::vector<u32> collected;  // canonical symbols, in order
  std::vector<u32> spellings;  // the symbols as first met

  bool known(u32 s) const {
    for (u32 e : excluded) if (e == s) return true;
    for (u32 c : collected) if (c == s) return true;
    return false;
  }
  void add(u32 sym) {
    u32 s = canon(sym);
    if (known(s)) return;
    collected.push_back(s);
    spellings.push_back(sym);
  }
  void walk(u32 node, u32 from) {
    if (cycles::find(node)) return;
    cycles::Scope mark(node);
    u32 n = cell_count(node);
    for (u32 i = from; i < n; ++i) {
      Cell c = *cell_at(node, i);
      Type t = type_of(&c);
      if (t == TYPE_SET_WORD) {
        add(word::symbol_of(&c));
      } else if (t == TYPE_WORD && i + 1 < n &&
                 (is_word_id(word::symbol_of(&c), words::W_FOREACH) ||
                  is_word_id(word::symbol_of(&c), words::W_REMOVE_EACH) ||
                  is_word_id(word::symbol_of(&c), words::W_REPEAT))) {
        Cell next = *cell_at(node, i + 1);
        if (type_of(&next) == TYPE_WORD) {
          add(word::symbol_of(&next));
        } else if (type_of(&next) == TYPE_BLOCK) {
          u32 m = cell_count(series_node(&next));
          for (u32 k = start_of(&next); k < m; ++k) {
            const Cell* w = cell_at(series_node(&next), k);
            if (type_of(w) == TYPE_WORD) add(word::symbol_of(w));
          }
        }
      } else if ((t == TYPE_BLOCK || t == TYPE_PAREN) && series_node(&c)) {
        walk(series_node(&c), start_of(&c));
      }
    }
  }
};

// ---- actions ----------------------------------------------------------------------

Cell* function_make(Cell*, Cell* spec, Type) {
  Cell parts[2];
  bool ok = type_of(spec) == TYPE_BLOCK;
  if (ok) {
    u32 from = start_of(spec);
    ok = cell_count(series_node(spec)) >= from + 2;
    if (ok) {
      parts[0] = *cell_at(series_node(spec), from);
      parts[1] = *cell_at(series_node(spec), from + 1);
      ok = type_of(&parts[0]) == TYPE_BLOCK && type_of(&parts[1]) == TYPE_BLOCK;
    }
  }
  if (!ok) bad_spec(spec);
  u32 flags = function::validate(&parts[0]);
  // Both blocks stay reachable from the argument while the function is made.
  function::push(&parts[0], &parts[1], 0, 0, 0, flags);
  return stack::last();
}

Cell* function_reflect(Cell* value, u32 field) {
  u32 f = canon(field);
  if (f == canon(words::symbol(words::W_SPEC))) {
    return make_series(stack::push(), TYPE_BLOCK, function::spec_of(value));
  }
  if (f == canon(words::symbol(words::W_BODY))) {
    return stack::push_cell(function::more_cell(value, function::MORE_BODY));
  }
  if (f == canon(words::symbol(words::W_WORDS))) {
    u32 ctx = function::context_of(value);
    u32 block = mem::copy_series_buffer(context::words_of(ctx));
    Cell* out = make_series(stack::push(), TYPE_BLOCK, block);
    // The copies are plain words bound to the function context.
    for (u32 i = 0; i < cell_count(block); ++i) {
      Cell* w = cell_at(block, i);
      w->header = TYPE_WORD;
      word::set_context(w, ctx);
    }
    return out;
  }
  fire(Err::internal_not_done);
}

i32 mold_block(u32 node, Cell* buffer, bool all, bool flat, Cell* arg, i32 limit, i32 indent) {
  Cell* block = make_series(stack::push(), TYPE_BLOCK, node);
  i32 left = actions::mold(block, buffer, false, all, flat, arg, limit, indent);
  stack::pop(1);
  return left;
}

i32 function_form(Cell* value, Cell* buffer, Cell*, i32 limit) {
  return string::write_ascii(buffer, type_of(value) == TYPE_ROUTINE ? "?routine?" : "?function?", limit);
}

i32 function_mold(Cell* value, Cell* buffer, bool, bool all, bool flat, Cell* arg, i32 limit,
                  i32 indent) {
  bool routine = type_of(value) == TYPE_ROUTINE;
  limit = string::write_ascii(buffer, routine ? "routine " : "func ", limit);
  limit = mold_block(function::spec_of(value), buffer, all, flat, arg, limit, indent);
  Cell* body = stack::push_cell(function::more_cell(value, function::MORE_BODY));
  if (type_of(body) == TYPE_BLOCK) {
    limit = actions::mold(body, buffer, false, all, flat, arg, limit, indent);
  } else if (routine) {
    limit = string::write_ascii(buffer, " ", limit);
    limit = actions::mold(body, buffer, false, all, flat, arg, limit, indent);
  } else {
    limit = string::write_ascii(buffer, " none", limit);
  }
  stack::pop(1);
  return limit;
}

i32 function_compare(Cell* v1, Cell* v2, i32 op) {
  if (type_of(v2) != type_of(v1)) return COMPARE_INCOMPARABLE;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT:
    case COMP_CASE_SORT: case COMP_SAME: case COMP_EQUAL_NO_CASE: break;
    default: return COMPARE_INCOMPARABLE;
  }
  if (function::more_of(v1) == function::more_of(v2)) return 0;
  return function::more_of(v1) < function::more_of(v2) ? -1 : 1;
}

// ---- the routines table -----------------------------------------------------------

struct RoutineEntry {
  std::string name;  // its own copy: callers may pass a name made for the call
  routines::Entry fn;
};
// Constant-initialised, so that it is there before any registration and a
// call reads it without a guard.
constinit std::vector<RoutineEntry> g_routine_table;
inline std::vector<RoutineEntry>& routine_table() { return g_routine_table; }

// The routine! values start-up makes hold their indexes: the boot image
// keeps the table, each entry's code as its place in the executable.
void save_routine_table(image_state::Writer& w) {
  w.value(u32(g_routine_table.size()));
  for (const RoutineEntry& e : g_routine_table) {
    w.text(e.name);
    w.pointer(reinterpret_cast<const void*>(e.fn));
  }
}

void load_routine_table(image_state::Reader& r) {
  u32 n = r.value<u32>();
  g_routine_table.clear();
  for (u32 i = 0; i < n && r.good(); ++i) {
    std::string name = r.text();
    auto fn = reinterpret_cast<routines::Entry>(const_cast<void*>(r.pointer()));
    g_routine_table.push_back({std::move(name), fn});
  }
}
QEL_IMAGE_KEEP_WITH(g_routine_table, save_routine_table, load_routine_table);

}  // namespace

namespace function {



void rebase(Cell* block) {
  u32 from = start_of(block);
  if (from == 0) {
    set_series_index(block, 0);
    return;
  }
  set_series_node(block, copy_cells(series_node(block), from));
  set_series_index(block, 0);
}

namespace {

// function::push; a made context's body is bound to it and then, for the
// words it does not hold, to object_ctx (when not 0) with `self` naming the
// object, in one pass.
u32 push_function(const Cell* spec_in, const Cell* body_in, u32 ctx, u32 native, i32 boot,
                  u32 flags, u32 object_ctx) {
  roots::LocalCell spec, body;
  copy_cell(spec_in, spec.get());
  if (body_in) copy_cell(body_in, body.get());
  else make_none(body.get());
  rebase(spec.get());
  roots::NodeRoot hold_ctx(&ctx);
  bool made = ctx == 0;
  if (made) ctx = context::make_from_spec(spec.get(), true, false, context::KIND_FUNCTION);
  u32 more = mem::alloc_cells(MORE_CELLS);
  roots::NodeRoot hold_more(&more);
  {
    mem::Buffer* b = buffer_of(more);
    for (u32 i = 0; i < MORE_CELLS; ++i) make_unset(b->cells() + i);
    b->tail = b->head + MORE_CELLS * sizeof(Cell);
  }
  if (is_any_block_type(type_of(body.get()))) {
    Cell* copy = block::clone(body.get(), true, true);
    if (made) {
      u32 order[2] = {ctx, object_ctx};
      context::bind_block_first(order, object_ctx ? 2 : 1, object_ctx, copy);
    }
    copy_cell(copy, cell_at(more, MORE_BODY));
    stack::pop(1);
  } else {
    make_none(cell_at(more, MORE_BODY));
  }
  if (native) {
    make_integer(cell_at(more, MORE_NATIVE), i32(native));
    make_integer(cell_at(more, MORE_BOOT), boot);
  }
  Cell* out = stack::push();
  out->header = TYPE_FUNCTION | (flags & (FLAG_TRACE | FLAG_NO_TRACE));
  set_payload(out, ctx, series_node(spec.get()), more);
  copy_cell(out, context::self_slot(ctx));
  return ctx;
}

}  // namespace

u32 push(const Cell* spec, const Cell* body, u32 ctx, u32 native, i32 boot, u32 flags) {
  return push_function(spec, body, ctx, native, boot, flags, 0);
}

i32 attribute_flags(const Cell* block) {
  u32 flags = 0;
  u32 n = cell_count(series_node(block));
  for (u32 i = start_of(block); i < n; ++i) {
    const Cell* c = cell_at(series_node(block), i);
    if (type_of(c) != TYPE_WORD) return -1;
    if (is_word_id(word::symbol_of(c), words::W_TRACE)) flags |= FLAG_TRACE;
    else if (is_word_id(word::symbol_of(c), words::W_NO_TRACE)) flags |= FLAG_NO_TRACE;
  }
  return i32(flags);
}

u32 validate(const Cell* spec_in) {
  Cell spec = *spec_in;
  u32 node = series_node(&spec);
  u32 n = cell_count(node);
  u32 i = start_of(&spec);
  u32 flags = 0;
  if (i < n && type_of(cell_at(node, i)) == TYPE_BLOCK) {
    i32 f = attribute_flags(cell_at(node, i));
    if (f < 0) bad_spec(&spec);
    flags = u32(f);
    ++i;
  }
  bool locals = false;    // after /local
  bool returns = false;   // after return:
  std::vector<u32> names;  // canonical symbols of the slots so far
  auto note = [&](const Cell* w) {
    u32 s = canon(word::symbol_of(w));
    for (u32 k : names) {
      if (k == s) {
        Cell dup = *w;
        fire(Err::script_dup_vars, &dup);
      }
    }
    names.push_back(s);
  };
  while (i < n) {
    Cell v = *cell_at(node, i);
    Type t = type_of(&v);
    switch (t) {
      case TYPE_WORD: case TYPE_GET_WORD: case TYPE_LIT_WORD:
        if ((locals && t != TYPE_WORD) || (returns && !locals)) bad_spec(&spec);
        note(&v);
        ++i;
        if (!locals && i < n && type_of(cell_at(node, i)) == TYPE_BLOCK) {
          check_type_block(cell_at(node, i));
          ++i;
        }
        // The type block comes before the doc string, never after it.
        if (i + 1 < n && type_of(cell_at(node, i)) == TYPE_STRING &&
            type_of(cell_at(node, i + 1)) == TYPE_BLOCK) {
          bad_spec(&spec);
        }
        break;
      case TYPE_SET_WORD:
        if (!is_word_id(word::symbol_of(&v), words::W_RETURN) || returns || locals) bad_spec(&spec);
        returns = true;
        ++i;
        if (i >= n || type_of(cell_at(node, i)) != TYPE_BLOCK) bad_spec(&spec);
        check_type_block(cell_at(node, i));
        ++i;
        break;
      case TYPE_REFINEMENT:
        if (is_refinement_id(word::symbol_of(&v), words::R_LOCAL)) locals = true;
        else if (locals || returns) bad_spec(&spec);
        note(&v);
        ++i;
        if (i < n && !may_follow_refinement(type_of(cell_at(node, i)))) bad_spec(&spec);
        break;
      case TYPE_STRING:
        ++i;
        break;
      default:
        bad_spec(&spec);
    }
  }
  return flags;
}

i32 count_locals(u32 spec_node, u32 start, bool must_have) {
  bool locals = false;
  i32 count = 0;
  u32 n = cell_count(spec_node);
  for (u32 i = start; i < n; ++i) {
    const Cell* c = cell_at(spec_node, i);
    if (!locals) {
      if (type_of(c) == TYPE_REFINEMENT && is_refinement_id(word::symbol_of(c), words::R_LOCAL)) {
        locals = true;
        count = 1;
      }
    } else if (type_of(c) == TYPE_WORD) {
      ++count;
    }
  }
  if (!locals) return must_have ? -1 : 0;
  return count;
}

void init_locals(i32 n) {
  if (n <= 0) return;
  make_logic(stack::push(), false);
  for (i32 i = 1; i < n; ++i) make_none(stack::push());
}

void fill_frame(const Cell* fn, u32 pushed) {
  // The slots are the spec's words, get-words, lit-words and refinements, in
  // order (the words block does not tell a refinement from a word).
  u32 slots = context::word_count(context_of(fn));
  u32 spec = spec_of(fn);
  u32 n = cell_count(spec);
  u32 slot = 0;
  for (u32 i = 0; i < n && slot < slots; ++i) {
    Type t = type_of(cell_at(spec, i));
    bool slot_cell =
        t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT;
    if (!slot_cell) continue;
    if (slot++ < pushed) continue;
    if (t == TYPE_REFINEMENT) make_logic(stack::push(), false);
    else make_none(stack::push());
  }
  for (; slot < slots; ++slot) {
    if (slot >= pushed) make_none(stack::push());
  }
}

Cell* collect_locals(const Cell* spec_in, const Cell* body_in, const Cell* externs) {
  Cell* spec = stack::push_cell(spec_in);
  Cell* body = stack::push_cell(body_in);
  rebase(spec);
  Collector col;
  if (externs) {
    // The words of the /extern block are left out too; it holds words only.
    u32 xnode = series_node(externs);
    for (u32 i = u32(std::max(series_index(externs), 0)); i < cell_count(xnode); ++i) {
      Cell c = *cell_at(xnode, i);
      if (type_of(&c) != TYPE_WORD) fire(Err::script_bad_func_extern, &c);
      col.excluded.push_back(canon(word::symbol_of(&c)));
    }
  }
  // The spec's own names are never collected, nor the words after /extern.
  u32 node = series_node(spec);
  u32 n = cell_count(node);
  bool in_extern = false;
  std::vector<bool> keep(n, true);
  bool has_local = false;
  for (u32 i = 0; i < n; ++i) {
    Cell c = *cell_at(node, i);
    Type t = type_of(&c);
    if (t == TYPE_REFINEMENT) {
      in_extern = is_refinement_id(word::symbol_of(&c), words::R_EXTERN);
      if (is_refinement_id(word::symbol_of(&c), words::R_LOCAL)) has_local = true;
    } else if (in_extern && t != TYPE_WORD) {
      fire(Err::script_bad_func_extern, &c);
    }
    if (in_extern) keep[i] = false;
    if (t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD ||
        t == TYPE_REFINEMENT) {
      col.excluded.push_back(canon(word::symbol_of(&c)));
    }
  }
  if (is_any_block_type(type_of(body)) && series_node(body)) col.walk(series_node(body), start_of(body));
  // The new spec: the kept cells, then the collected words.
  u32 extra = u32(col.collected.size());
  u32 total = extra + (extra && !has_local ? 1 : 0);
  for (u32 i = 0; i < n; ++i) total += keep[i] ? 1 : 0;
  u32 out = mem::alloc_cells(total ? total : 1);
  mem::Buffer* src = buffer_of(node);
  mem::Buffer* dst = buffer_of(out);
  Cell* d = dst->cells();
  for (u32 i = 0; i < n; ++i) {
    if (keep[i]) *d++ = src->cells()[i];
  }
  if (extra && !has_local) *d++ = *words::refinement(words::R_LOCAL);
  for (u32 sym : col.spellings) *d++ = Cell{TYPE_WORD, 0, sym, u32(-1)};
  dst->tail = dst->head + total * sizeof(Cell);
  make_series(spec, TYPE_BLOCK, out);
  stack::pop(1);  // the body
  return spec;
}

Cell* remake(const Cell* fn_in, u32 object_ctx) {
  Cell* fn = stack::push_cell(fn_in);
  Cell body = *more_cell(fn, MORE_BODY);
  if (!is_any_block_type(type_of(&body))) fire(Err::script_bad_func_def, fn);
  Cell spec;
  make_series(&spec, TYPE_BLOCK, spec_of(fn));
  // Compiled code reads the context it was built with: the new function is
  // run from its body.
  push_function(&spec, &body, 0, 0, 0, fn->header & (FLAG_TRACE | FLAG_NO_TRACE), object_ctx);
  copy_cell(stack::last(), fn);
  stack::pop(1);
  return fn;
}

// A function keeps its context, its spec and its more series alive.
void mark_function(const Cell* fn) {
  if (context_of(fn)) gc::mark_context_at(context_slot(fn));
  gc::mark_series_at(spec_slot(fn));
  gc::mark_series_at(more_slot(fn));
}

void init() {
  gc::set_mark_rule(TYPE_FUNCTION, mark_function);
  gc::set_mark_rule(TYPE_ROUTINE, mark_function);
  types::register_datatype({TYPE_FUNCTION, TYPE_CONTEXT, "function!",
                            {.make = function_make, .reflect = function_reflect,
                             .form = function_form, .mold = function_mold,
                             .compare = function_compare}});
}

}  // namespace function

namespace routine {

u32 push(const Cell* spec_in, const Cell* body_in, u32 native, i32 boot) {
  roots::LocalCell spec, body;
  copy_cell(spec_in, spec.get());
  if (body_in) copy_cell(body_in, body.get());
  else make_none(body.get());
  function::rebase(spec.get());
  u32 ctx = context::make_from_spec(spec.get(), true, false, context::KIND_FUNCTION);
  roots::NodeRoot hold_ctx(&ctx);
  u32 more = mem::alloc_cells(function::MORE_CELLS);
  mem::Buffer* b = buffer_of(more);
  for (u32 i = 0; i < function::MORE_CELLS; ++i) make_unset(b->cells() + i);
  b->tail = b->head + function::MORE_CELLS * sizeof(Cell);
  copy_cell(body.get(), b->cells() + function::MORE_BODY);
  make_integer(b->cells() + function::MORE_NATIVE, i32(native));
  make_integer(b->cells() + function::MORE_BOOT, boot);
  Cell* out = stack::push();
  out->header = TYPE_ROUTINE;
  function::set_payload(out, ctx, series_node(spec.get()), more);
  set_arity(out);
  copy_cell(out, context::self_slot(ctx));
  return ctx;
}

void set_arity(Cell* r) {
  u32 count = 0;
  u32 n = cell_count(function::spec_of(r));
  for (u32 i = 0; i < n; ++i) count += type_of(cell_at(function::spec_of(r), i)) == TYPE_WORD ? 1 : 0;
  if (count > 31) count = 31;  // five bits: more would spill into the flags above
  r->header = (r->header & ~ARITY_MASK) | (count << ARITY_SHIFT);
}

void init() {
  types::register_datatype({TYPE_ROUTINE, TYPE_FUNCTION, "routine!",
                            {.make = nullptr, .form = function_form, .mold = function_mold,
                             .compare = function_compare}});
}

}  // namespace routine

namespace routines {

u32 register_routine(const char* name, Entry fn) {
  routine_table().push_back({name ? name : "", fn});
  return u32(routine_table().size());
}

Entry entry(u32 index) {
  if (index == 0 || index > routine_table().size()) return nullptr;
  return routine_table()[index - 1].fn;
}

const char* name(u32 index) {
  if (index == 0 || index > routine_table().size()) return "";
  return routine_table()[index - 1].name.c_str();
}

u32 count() { return u32(routine_table().size()); }

}  // namespace routines

}  // namespace qel
