#include "datatypes/object.hpp"

#include <exception>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/collector.hpp"
#include "runtime/actions.hpp"
#include "runtime/cycles.hpp"
#include "runtime/error.hpp"
#include "runtime/hash.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"
#include "platform/image_state.hpp"

namespace qel {

namespace {

using mem::buffer_of;

// Objects made at run time take ids above those that start-up gives its own
// objects (system and its members keep fixed ids).
i32 g_class_counter = object::FIRST_FREE_CLASS;
QEL_IMAGE_KEEP(g_class_counter);
u32 g_on_change = 0;       // symbol of on-change*
u32 g_on_deep_change = 0;  // symbol of on-deep-change*
u32 g_changed = 0;         // symbol of changed

inline u32 canon_sym(u32 sym) { return symbol::resolve(sym); }
inline bool same_word(u32 a, u32 b) { return b && canon_sym(a) == canon_sym(b); }
inline bool is_word_of(u32 sym, words::Id id) { return canon_sym(sym) == canon_sym(words::symbol(id)); }
inline u32 node_cell_count(u32 node) { return buffer_of(node)->used() / sizeof(Cell); }

bool is_handler_word(u32 sym) {
  return same_word(sym, g_on_change) || same_word(sym, g_on_deep_change);
}

// Value i of an object context, or nullptr when the values series is short.
inline Cell* value_at(u32 ctx, u32 i) { return context::slot(ctx, i); }

object::UnsetFieldHook g_unset_field_hook = nullptr;

// A copy of word cell i, bound to the context, without the assigned flag.
Cell word_at(u32 ctx, u32 i) {
  Cell w = *context::symbol_cell(ctx, i);
  w.header = type_of(&w);
  word::set_binding(&w, ctx, i32(i));
  return w;
}


i32 write_spaces(Cell* buffer, i32 count, i32 limit) {
  for (i32 i = 0; i < count; ++i) string::append_ascii(buffer, " ", 1);
  return limit - count;
}

// The series types whose values an object made from a prototype does not share.
bool is_copied_series(Type t) {
  switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
    case TYPE_GET_PATH: case TYPE_HASH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
    case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_VECTOR:
    case TYPE_IMAGE:
      return true;
    default:
      return false;
  }
}

// The copy action on a value; pushes the copy and answers it.
Cell* copy_value(const Cell* value, bool deep) {
  stack::Mark mark;
  Cell* v = stack::push_cell(value);
  Cell* result = make_none(stack::push());
  return mark.keep(actions::handler<act::Copy>(v, ACT_copy)(v, result, nullptr, deep, nullptr));
}

// ---- on-set info ------------------------------------------------------------------

u32 packed_of(i32 index, i32 locals) {
  if (index < 0) return object::NO_HANDLER;
  return (u32(index) << 16) | (u32(locals) & 0xFFFF);
}

Cell* on_set_cell(u32 on_set, u32 which) { return buffer_of(on_set)->cells() + which; }

// The handler's slot index from a packed word, or -1.
i32 handler_index(u32 packed) { return packed >= object::NO_HANDLER ? -1 : i32(packed >> 16); }

u32 make_on_set_series(i32 ci, i32 cl, u32 cspec, i32 di, i32 dl, u32 dspec) {
  u32 node = mem::alloc_cells(2);
  mem::Buffer* b = buffer_of(node);
  Cell* c = b->cells();
  c[0] = Cell{TYPE_PAIR, 0, packed_of(ci, cl), ci < 0 ? 0 : cspec};
  c[1] = Cell{TYPE_PAIR, 0, packed_of(di, dl), di < 0 ? 0 : dspec};
  b->tail = b->head + 2 * sizeof(Cell);
  return node;
}

// Makes every series of the object's fields owned by it.
void own_series(Cell* obj) {
  u32 ctx = object::context_of(obj);
  u32 n = context::word_count(ctx);
  for (u32 i = 0; i < n; ++i) {
    Cell* v = value_at(ctx, i);
    if (!v) break;
    Cell w = word_at(ctx, i);
    ownership::bind_entry(v, obj, &w);
  }
  context::record_of(ctx)->header |= ownership::OWNER_FLAG;
}

// Packs the count again when the handler at `which` was replaced since the
// count was taken (its spec node differs from the one kept).
void recount(u32 on_set, u32 which, const Cell* handler) {
  Cell* info = on_set_cell(on_set, which);
  if (object::handler_spec(info) == function::spec_of(handler)) return;
  i32 index = handler_index(object::handler_packed(info));
  i32 locals = function::count_locals(function::spec_of(handler), 0, false);
  info = on_set_cell(on_set, which);
  object::set_handler(info, packed_of(index, locals), function::spec_of(handler));
}

// The current object cell of a context: its self slot when that holds one.
Cell current_object(const Cell* obj) {
  const Cell* self = context::self_slot(object::context_of(obj));
  if (type_of(self) == type_of(obj) && object::context_of(self) == object::context_of(obj)) return *self;
  return *obj;
}

// Runs the handler with the arguments (its result is not used). A return or
// exit inside it ends the handler; other transfers go on as exceptions.
void run_handler(const Cell* fn, const Cell* frame_word, const Cell* const* args, u32 count,
                 u32 kind) {
  Cell values[7];
  for (u32 i = 0; i < count; ++i) values[i] = *args[i];
  Cell ignored;
  api::CallOptions o;
  o.name = frame_word;
  o.check_types = false;
  o.callback = kind;
  api::check(api::invoke(fn, values, count, &ignored, o));
}

// ---- make and copy ----------------------------------------------------------------

// Remakes the function in slot i of the object for it.
void remake_slot(Cell* obj, u32 i) {
  Cell* v = value_at(object::context_of(obj), i);
  if (!v || type_of(v) != TYPE_FUNCTION) return;
  Cell fn = *v;
  Cell* made = function::remake(&fn, object::context_of(obj));
  copy_cell(made, value_at(object::context_of(obj), i));
  stack::pop(1);
}

// A copy of the object on the stack: a new context with the same words and
// values, functions remade; with deep, series and nested objects copied too.
// finish: also set its on-set info and ownership (else the self slot holds
// the cell without on-set info).
Cell* copy_object(const Cell* src, bool deep, bool finish) {
  Cell* out = stack::push_cell(src);
  u32 source = object::context_of(out);
  if (deep && cycles::find(source)) fire(Err::internal_no_cycle);
  cycles::Scope mark(source);
  u32 ctx = context::clone(out, context::KIND_OBJECT);
  object::set_on_set(out, 0);
  copy_cell(out, context::self_slot(ctx));
  u32 n = context::word_count(ctx);
  for (u32 i = 0; i < n; ++i) {
    Cell* v = value_at(ctx, i);
    if (!v) break;
    Type t = type_of(v);
    if (t == TYPE_FUNCTION) {
      remake_slot(out, i);
    } else if (deep && t == TYPE_OBJECT) {
      Cell inner = *v;
      Cell* c = copy_object(&inner, true, true);
      copy_cell(c, value_at(ctx, i));
      stack::pop(1);
    } else if (deep && is_copied_series(t)) {
      Cell inner = *v;
      Cell* c = copy_value(&inner, true);
      copy_cell(c, value_at(ctx, i));
      stack::pop(1);
    }
  }
  if (finish) object::finish(out);
  return out;
}

// Adds the words and values of the object `from` to `obj`; answers whether
// words were added.
bool merge_object(Cell* obj, const Cell* from_in) {
  Cell* from = stack::push_cell(from_in);
  u32 ctx = object::context_of(obj);
  u32 n = context::word_count(object::context_of(from));
  bool added = false;
  for (u32 i = 0; i < n; ++i) {
    Cell w = word_at(object::context_of(from), i);
    const Cell* src = value_at(object::context_of(from), i);
    Cell* v = stack::push_cell(src ? src : &values::unset_cell);
    if (is_copied_series(type_of(v))) {
      Cell c = *copy_value(v, false);
      stack::pop(1);
      copy_cell(&c, v);
    }
    if (context::find_word(ctx, word::symbol_of(&w), true) < 0) added = true;
    context::put(ctx, &w, v);
    stack::pop(1);
  }
  // Functions are bound once every word is there.
  for (u32 i = 0; i < n; ++i) {
    Cell w = word_at(object::context_of(from), i);
    i32 k = context::find_word(ctx, word::symbol_of(&w), true);
    if (k >= 0) remake_slot(obj, u32(k));
  }
  stack::pop(1);
  return added;
}

// Gives the object its own copies of the series it shares with its
// prototype. Blocks, parens and paths are copied with their nested blocks,
// so that binding them to the new context leaves the prototype's code bound
// to the prototype.
void unshare_series(Cell* obj) {
  u32 ctx = object::context_of(obj);
  u32 n = context::word_count(ctx);
  for (u32 i = 0; i < n; ++i) {
    Cell* v = value_at(ctx, i);
    if (!v || !is_copied_series(type_of(v))) continue;
    Cell value = *v;
    Type t = type_of(&value);
    Cell* c;
    if (is_any_block_type(t) && t != TYPE_HASH) {
      c = block::clone(&value, true, true);
    } else {
      c = copy_value(&value, false);
    }
    if (is_any_block_type(t)) context::bind_block(ctx, c, true);
    copy_cell(c, value_at(ctx, i));
    stack::pop(1);
  }
}

void clear_marks(u32 ctx) {
  u32 n = context::word_count(ctx);
  for (u32 i = 0; i < n; ++i) {
    context::symbol_cell(ctx, i)->header &= ~context::WORD_ASSIGNED;
    if (Cell* v = value_at(ctx, i)) clear_new_line(v);
  }
}

Cell* object_make(Cell* proto, Cell* spec, Type) { return object::make(proto, spec); }

Cell* object_copy(Cell* value, Cell*, Cell* part, bool deep, Cell*) {
  if (part) {
    Cell w;
    word::fill(&w, TYPE_WORD, word::symbol_of(words::refinement(words::R_PART)));
    fire(Err::script_invalid_refine_arg, &w, part);
  }
  return object::copy(value, deep);
}

// ---- reflect ----------------------------------------------------------------------

Cell* push_block(u32 capacity) {
  u32 node = mem::alloc_cells(capacity ? capacity : 1);
  return make_series(stack::push(), TYPE_BLOCK, node);
}

Cell* object_reflect(Cell* obj, u32 field) {
  u32 ctx = object::context_of(obj);
  u32 n = context::word_count(ctx);
  u32 f = canon_sym(field);
  if (f == canon_sym(words::symbol(words::W_CLASS))) return make_integer(stack::push(), i32(object::class_of(obj)));
  if (f == canon_sym(words::symbol(words::W_OWNER))) {
    return make_logic(stack::push(), context::record_of(ctx)->header & ownership::OWNER_FLAG);
  }
  if (f == canon_sym(words::symbol(words::W_EVENTS_Q))) return make_logic(stack::push(), object::on_set_of(obj) != 0);
  bool words_ = f == canon_sym(words::symbol(words::W_WORDS));
  bool values_ = f == canon_sym(words::symbol(words::W_VALUES));
  bool body = f == canon_sym(words::symbol(words::W_BODY));
  bool changed = same_word(field, g_changed);
  if (!words_ && !values_ && !body && !changed) fire(Err::internal_not_done);
  Cell* out = push_block(body ? 2 * n : n);
  u32 block = series_node(out);
  for (u32 i = 0; i < n; ++i) {
    bool assigned = context::symbol_cell(ctx, i)->header & context::WORD_ASSIGNED;
    Cell w = word_at(ctx, i);
    const Cell* v = value_at(ctx, i);
    Cell value = v ? *v : values::unset_cell;
    if (words_ || (changed && assigned)) {
      *mem::alloc_tail_cell(block) = w;
    } else if (values_) {
      *mem::alloc_tail_cell(block) = value;
    } else if (body) {
      set_type(&w, TYPE_SET_WORD);
      *mem::alloc_tail_cell(block) = w;
      if (type_of(&value) == TYPE_WORD) set_type(&value, TYPE_LIT_WORD);
      else if (type_of(&value) == TYPE_PATH) set_type(&value, TYPE_LIT_PATH);
      *mem::alloc_tail_cell(block) = value;
    }
  }
  return out;
}

// ---- form and mold ----------------------------------------------------------------

// The entries of the object: `word: value` per visible word. indent: the
// level of the entries when indenting, else -1.
i32 write_entries(Cell* obj, Cell* buffer, bool all, bool flat, Cell* arg, i32 limit,
                  i32 indent) {
  u32 ctx = object::context_of(obj);
  u32 n = context::word_count(ctx);
  u32 last = n;  // the last visible word
  for (u32 i = 0; i < n; ++i) {
    if (all || !is_handler_word(word::symbol_of(context::symbol_cell(ctx, i)))) last = i;
  }
  cycles::Scope mark(ctx);
  for (u32 i = 0; i < n && limit > 0; ++i) {
    Cell w = word_at(ctx, i);
    if (!all && is_handler_word(word::symbol_of(&w))) continue;
    if (indent >= 0) limit = write_spaces(buffer, 4 * indent, limit);
    set_type(&w, TYPE_SET_WORD);
    Cell* sw = stack::push_cell(&w);
    limit = actions::mold(sw, buffer, false, all, flat, arg, limit, 0);
    limit = string::write_ascii(buffer, " ", limit);
    const Cell* v = value_at(ctx, i);
    Cell* value = stack::push_cell(v ? v : &values::unset_cell);
    if (type_of(value) == TYPE_NO_TYPE) make_unset(value);
    if (type_of(value) == TYPE_WORD) set_type(value, TYPE_LIT_WORD);
    limit = actions::mold(value, buffer, false, all, flat, arg, limit, indent < 0 ? 0 : indent);
    stack::pop(2);
    if (i != last || indent >= 0) limit = string::write_ascii(buffer, flat ? " " : "\n", limit);
  }
  return limit;
}

bool has_visible_words(const Cell* obj, bool all) {
  u32 ctx = object::context_of(obj);
  u32 n = context::word_count(ctx);
  for (u32 i = 0; i < n; ++i) {
    if (all || !is_handler_word(word::symbol_of(context::symbol_cell(ctx, i)))) return true;
  }
  return false;
}

i32 object_form(Cell* obj, Cell* buffer, Cell* arg, i32 limit) {
  if (const char* m = cycles::marker(object::context_of(obj), TYPE_OBJECT, false)) return string::write_ascii(buffer, m, limit);
  return write_entries(obj, buffer, false, false, arg, limit, -1);
}

i32 object_mold(Cell* obj, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 limit,
                i32 indent) {
  if (const char* m = cycles::marker(object::context_of(obj), TYPE_OBJECT, true)) return string::write_ascii(buffer, m, limit);
  if (only) return write_entries(obj, buffer, all, flat, arg, limit, -1);
  limit = string::write_ascii(buffer, "make object! [", limit);
  // An object without (visible) words molds as the two brackets.
  if (!has_visible_words(obj, all)) return string::write_ascii(buffer, "]", limit);
  if (!flat) limit = string::write_ascii(buffer, "\n", limit);
  limit = write_entries(obj, buffer, all, flat, arg, limit, flat ? -1 : indent + 1);
  if (!flat && indent > 0) limit = write_spaces(buffer, 4 * indent, limit);
  return string::write_ascii(buffer, "]", limit);
}

// ---- path access, select, put -----------------------------------------------------

Cell* path_or_none(const PathStep* step, Cell* out) {
  if (step && step->path) return copy_cell(step->path, out);
  return make_none(out);
}

// The slot where a path last found each symbol (by its canonical symbol's
// low bits), tried before the look-up: objects made from one prototype keep
// their words in the same slots, so paths into faces of one kind find their
// fields there. A context holds one slot per canonical symbol, so a slot
// whose word has the element's canonical symbol is the one the look-up
// would answer.
constexpr u32 SLOT_HINTS = 256;
u32 g_slot_hints[SLOT_HINTS];
QEL_IMAGE_KEEP(g_slot_hints);

i32 find_slot(u32 ctx, u32 sym) {
  u32 canonical = canon_sym(sym);
  u32& hint = g_slot_hints[canonical & (SLOT_HINTS - 1)];
  if (hint < context::word_count(ctx) && canon_sym(word::symbol_of(context::symbol_cell(ctx, hint))) == canonical) {
    return i32(hint);
  }
  i32 i = context::find_word(ctx, sym, true);
  if (i >= 0) hint = u32(i);
  return i;
}

// The slot index of the element in the object, binding the element to it.
i32 find_element(Cell* obj, Cell* element, const PathStep* step) {
  Type et = type_of(element);
  u32 ctx = object::context_of(obj);
  i32 i = -1;
  if (et >= TYPE_WORD && et <= TYPE_REFINEMENT) {
    i32 bound = word::index_of(element);
    if (word::context_of(element) == ctx && bound >= 0 && u32(bound) < context::word_count(ctx)) {
      i = bound;
    } else {
      i = find_slot(ctx, word::symbol_of(element));
      if (i >= 0) word::set_binding(element, ctx, i);
    }
  }
  if (i < 0) {
    Cell path;
    path_or_none(step, &path);
    fire(Err::script_invalid_path, element, &path);
  }
  return i;
}

// Stores the value in slot i and fires on-change*; answers the value.
Cell* set_field(Cell* obj, const Cell* element, u32 i, Cell* value) {
  stack::Mark mark;
  u32 ctx = object::context_of(obj);
  Cell w = word_at(ctx, i);
  Cell* o = stack::push_cell(obj);
  Cell* nv = stack::push_cell(value);
  Cell* old = nullptr;
  if (object::on_set_of(o)) {
    const Cell* v = value_at(ctx, i);
    old = stack::push_cell(v ? v : &values::unset_cell);
  }
  context::set(&w, nv, ctx, false);
  if (old) {
    Cell* bound = stack::push_cell(element);
    object::fire_on_change(o, bound, old, nv);
  }
  return value;
}

Cell* object_eval_path(Cell* obj, Cell* element, Cell* value, const PathStep& step) {
  i32 i = find_element(obj, element, &step);
  if (value) return set_field(obj, element, u32(i), value);
  const Cell* v = value_at(object::context_of(obj), u32(i));
  if ((!v || type_of(v) == TYPE_UNSET) && g_unset_field_hook && g_unset_field_hook(object::context_of(obj), u32(i)))
    v = value_at(object::context_of(obj), u32(i));
  if (!v || type_of(v) == TYPE_UNSET) {
    Cell path;
    path_or_none(&step, &path);
    fire(Err::script_unset_path, &path, element);
  }
  return stack::push_cell(v);
}

Cell* object_select(Cell* obj, Cell* key, const act::FindOptions& o) {
  Type t = type_of(key);
  if (t != TYPE_WORD && t != TYPE_SET_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD) {
    Cell type;
    make_datatype(&type, t);
    fire(Err::script_invalid_type, &type);
  }
  return stack::push_cell(object::get_word_cell(obj, key));
}

Cell* object_put(Cell* obj, Cell* key, Cell* value, bool) {
  Type t = type_of(key);
  if (!is_any_word_type(t)) {
    Cell type;
    make_datatype(&type, t);
    fire(Err::script_invalid_key_type, &type);
  }
  Cell element = *key;
  i32 i = find_element(obj, &element, nullptr);
  return set_field(obj, &element, u32(i), value);
}

// ---- modify -----------------------------------------------------------------------

Cell* object_modify(Cell* obj, Cell* field, Cell* value, bool) {
  u32 ctx = object::context_of(obj);
  bool is_word = is_any_word_type(type_of(field));
  u32 sym = is_word ? word::symbol_of(field) : 0;
  if (is_word && same_word(sym, g_changed)) {
    if (type_of(value) != TYPE_NONE) fire(Err::script_invalid_arg, value);
    u32 n = context::word_count(ctx);
    for (u32 i = 0; i < n; ++i) context::symbol_cell(ctx, i)->header &= ~context::WORD_ASSIGNED;
  } else if (is_word && is_word_of(sym, words::W_OWNER)) {
    Cell* o = stack::push_cell(obj);
    own_series(o);
    stack::pop(1);
  } else if (is_word && is_word_of(sym, words::W_OWNED)) {
    if (type_of(value) == TYPE_NONE) {
      Cell* o = stack::push_cell(obj);
      u32 n = context::word_count(ctx);
      for (u32 i = 0; i < n; ++i) {
        if (Cell* v = value_at(object::context_of(o), i)) ownership::unbind(v);
      }
      context::record_of(ctx)->header &= ~ownership::OWNER_FLAG;
      stack::pop(1);
    } else {
      // [owner word]: the object's series belong to that owner's field.
      bool ok = type_of(value) == TYPE_BLOCK;
      Cell parts[2];
      if (ok) {
        u32 node = series_node(value);
        i32 at = series_index(value);
        ok = at >= 0 && node_cell_count(node) >= u32(at) + 2;
        if (ok) {
          parts[0] = buffer_of(node)->cells()[at];
          parts[1] = buffer_of(node)->cells()[at + 1];
          ok = type_of(&parts[0]) == TYPE_OBJECT && is_any_word_type(type_of(&parts[1]));
        }
      }
      if (!ok) fire(Err::script_invalid_arg, value);
      Cell* o = stack::push_cell(obj);
      Cell* owner = stack::push_cell(&parts[0]);
      Cell* w = stack::push_cell(&parts[1]);
      ownership::bind(o, owner, w);
      stack::pop(3);
    }
  }
  return value;
}

// ---- compare ----------------------------------------------------------------------

bool numeric(Type t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }
bool word_family(Type t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }

i32 object_compare(Cell* v1, Cell* v2, i32 op) {
  if (type_of(v2) != TYPE_OBJECT) return COMPARE_INCOMPARABLE;
  u32 c1 = object::context_of(v1), c2 = object::context_of(v2);
  if (c1 == c2) return 0;
  if (op == COMP_SAME) return -1;
  if (cycles::find(c1)) return cycles::find(c2) ? 0 : -1;
  u32 n1 = context::word_count(c1), n2 = context::word_count(c2);
  if (n1 != n2) return n1 > n2 ? -1 : 1;
  if (n1 == 0) return 0;
  stack::Mark mark;
  cycles::Scope mark1(c1);
  cycles::Scope mark2(c2);
  for (u32 i = 0; i < n1; ++i) {
    u32 s1 = canon_sym(word::symbol_of(context::symbol_cell(c1, i)));
    u32 s2 = canon_sym(word::symbol_of(context::symbol_cell(c2, i)));
    if (s1 != s2) return s1 < s2 ? -1 : 1;
    const Cell* a = value_at(c1, i);
    const Cell* b = value_at(c2, i);
    Cell* x = stack::push_cell(a ? a : &values::unset_cell);
    Cell* y = stack::push_cell(b ? b : &values::unset_cell);
    Type t1 = type_of(x), t2 = type_of(y);
    if (t1 != t2 && !(word_family(t1) && word_family(t2)) && !(numeric(t1) && numeric(t2))) {
      return t1 < t2 ? -1 : 1;
    }
    i32 r = actions::compare_values(x, y, op);
    if (r != 0) return r;
    stack::pop(2);
  }
  return 0;
}

// ---- the hooks --------------------------------------------------------------------

void on_change_hook(Cell* obj, Cell* word, Cell* old_value, Cell* new_value) {
  object::fire_on_change(obj, word, old_value, new_value);
}

}  // namespace

namespace object {

void set_unset_field_hook(UnsetFieldHook hook) { g_unset_field_hook = hook; }

i32 new_class_id() { return ++g_class_counter; }

Cell* push(u32 ctx, u32 on_set, i32 class_id) {
  Cell* out = stack::push();
  *out = Cell{TYPE_OBJECT, ctx, u32(class_id), on_set};
  copy_cell(out, context::self_slot(ctx));
  return out;
}

Cell* push_with_id(u32 ctx, i32 class_id) {
  u32 n = context::word_count(ctx);
  if (context::has_values(ctx) && !context::on_stack(ctx)) {
    u32 values = context::record_values(context::record_of(ctx));
    while (node_cell_count(values) < n) make_unset(mem::alloc_tail_cell(values));
  }
  return push(ctx, 0, class_id);
}

u32 make_on_set(i32 change_index, i32 change_locals, i32 deep_index, i32 deep_locals) {
  Cell* obj = stack::last();
  u32 ctx = object::context_of(obj);
  auto spec_of = [&](i32 i) -> u32 {
    if (i < 0) return 0;
    const Cell* v = value_at(ctx, u32(i));
    return v && (type_of(v) == TYPE_FUNCTION || type_of(v) == TYPE_ROUTINE) ? function::spec_of(v) : 0;
  };
  u32 on_set = make_on_set_series(change_index, change_locals, spec_of(change_index), deep_index,
                                  deep_locals, spec_of(deep_index));
  obj = stack::last();
  object::set_on_set(obj, on_set);
  copy_cell(obj, context::self_slot(ctx));
  if (deep_index >= 0) own_series(obj);
  return on_set;
}

Cell* make_at(Cell* target, u32 slots) {
  u32 ctx = context::make(slots, false, true, 0, context::KIND_OBJECT);
  *target = Cell{TYPE_OBJECT, ctx, 0, 0};
  copy_cell(target, context::self_slot(ctx));
  return target;
}

u32 on_set_from_context(u32 ctx) {
  i32 ci = context::find_word(ctx, g_on_change, true);
  i32 di = context::find_word(ctx, g_on_deep_change, true);
  if (ci < 0 && di < 0) return 0;
  u32 spec[2] = {0, 0};
  i32 locals[2] = {0, 0};
  i32 index[2] = {ci, di};
  for (int k = 0; k < 2; ++k) {
    if (index[k] < 0) continue;
    const Cell* v = value_at(ctx, u32(index[k]));
    Type t = v ? type_of(v) : TYPE_UNSET;
    if (t != TYPE_FUNCTION && t != TYPE_ROUTINE) {
      Cell w = word_at(ctx, u32(index[k]));
      Cell type;
      make_datatype(&type, t);
      fire(Err::script_bad_field_set, &w, &type);
    }
    spec[k] = function::spec_of(v);
    locals[k] = function::count_locals(function::spec_of(v), 0, false);
  }
  return make_on_set_series(ci, locals[0], spec[0], di, locals[1], spec[1]);
}

void finish(Cell* obj) {
  u32 ctx = object::context_of(obj);
  object::set_on_set(obj, on_set_from_context(ctx));
  copy_cell(obj, context::self_slot(ctx));
  if (has_deep_handler(obj)) own_series(obj);
}

Cell* make(Cell* proto_in, Cell* spec_in) {
  Type st = type_of(spec_in);
  if (st != TYPE_BLOCK && st != TYPE_OBJECT) fire(Err::syntax_malconstruct, spec_in);
  stack::Mark mark;
  Cell* spec = stack::push_cell(spec_in);
  Cell* proto = stack::push_cell(proto_in);
  bool from_object = type_of(proto) == TYPE_OBJECT;
  Cell* result;
  if (from_object) {
    result = copy_object(proto, false, false);
  } else {
    result = make_at(make_none(stack::push()), 4);
  }
  u32 ctx = object::context_of(result);
  bool added;
  if (st == TYPE_OBJECT) {
    added = merge_object(result, spec);
  } else {
    added = context::collect_set_words(ctx, spec);
    context::bind_block(ctx, spec, true);
    if (from_object) unshare_series(result);
    api::services.do_block(spec);
    clear_marks(ctx);
  }
  object::set_class(result, (added || !from_object) ? i32(new_class_id()) : object::class_of(proto));
  finish(result);
  return mark.keep(result);
}

Cell* copy(const Cell* obj, bool deep) {
  stack::Mark mark;
  Cell* src = stack::push_cell(obj);
  return mark.keep(copy_object(src, deep, true));
}

Cell* get_word_cell(const Cell* obj, const Cell* word) {
  i32 i = context::find_word(object::context_of(obj), word::symbol_of(word), true);
  if (i < 0) return const_cast<Cell*>(&values::none_cell);
  Cell* v = value_at(object::context_of(obj), u32(i));
  return v ? v : const_cast<Cell*>(&values::none_cell);
}

Cell* get_values_cell(u32 ctx, u32 i) { return context::symbol_cell(ctx, i); }

Cell* values_head(const Cell* obj) {
  const Cell* rec = context::record_of(object::context_of(obj));
  if (!context::record_values(rec) || (rec->header & context::ON_STACK)) return nullptr;
  return buffer_of(context::record_values(rec))->cells();
}

u32 word_count(const Cell* obj) { return context::word_count(object::context_of(obj)); }

bool value_is_class(u32 ctx, u32 i, i32 class_id) {
  const Cell* v = value_at(ctx, i);
  return v && type_of(v) == TYPE_OBJECT && object::class_of(v) == class_id;
}

bool is_class(const Cell* word, i32 class_id) {
  u32 ctx = word::context_of(word) ? word::context_of(word) : context::global;
  i32 i = word::index_of(word);
  if (i < 0 || u32(i) >= context::word_count(ctx)) i = context::find_word(ctx, word::symbol_of(word), true);
  return i >= 0 && value_is_class(ctx, u32(i), class_id);
}

bool has_deep_handler(const Cell* obj) {
  return object::on_set_of(obj) && object::handler_packed(on_set_cell(object::on_set_of(obj), ON_DEEP_CHANGE)) < NO_HANDLER;
}

void fire_on_change(Cell* obj_in, Cell* word_in, Cell* old_in, Cell* new_in) {
  if (!object::on_set_of(obj_in)) return;
  stack::Mark mark;
  Cell* obj = stack::push_cell(obj_in);
  Cell* word = stack::push_cell(word_in);
  Cell* old_value = stack::push_cell(old_in);
  Cell* new_value = stack::push_cell(new_in);
  u32 ctx = object::context_of(obj);
  u32 on_set = object::on_set_of(obj);
  i32 index = handler_index(object::handler_packed(on_set_cell(on_set, ON_CHANGE)));
  if (index < 0) return;
  const Cell* h = value_at(ctx, u32(index));
  Cell* fn = stack::push_cell(h ? h : &values::unset_cell);
  if (type_of(fn) != TYPE_FUNCTION) fire(Err::script_invalid_obj_evt, fn);
  recount(on_set, ON_CHANGE, fn);
  // The handler sees the word of the object, whatever context the caller's
  // word was bound to.
  if (word::context_of(word) != ctx) context::bind_word(ctx, word);
  Cell frame_word = word_at(ctx, u32(index));
  const Cell* args[] = {word, old_value, new_value};
  run_handler(fn, &frame_word, args, 3, api::CALLBACK_ON_CHANGE);
}

void fire_on_deep_change(Cell* owner_in, Cell* word_in, Cell* target_in, Cell* action_in,
                         Cell* new_in, i32 index, i32 part) {
  stack::Mark mark;
  Cell live = current_object(owner_in);
  Cell* owner = stack::push_cell(&live);
  if (!object::on_set_of(owner)) fire(Err::script_invalid_obj_evt, owner);
  u32 ctx = object::context_of(owner);
  u32 on_set = object::on_set_of(owner);
  i32 hi = handler_index(object::handler_packed(on_set_cell(on_set, ON_DEEP_CHANGE)));
  if (hi < 0) return;
  const Cell* h = value_at(ctx, u32(hi));
  if (!h || type_of(h) != TYPE_FUNCTION) return;
  Cell* fn = stack::push_cell(h);
  recount(on_set, ON_DEEP_CHANGE, fn);
  Cell* word = stack::push_cell(word_in);
  Cell* target = stack::push_cell(target_in);
  Cell* action = stack::push_cell(action_in);
  Cell* new_value = new_in ? stack::push_cell(new_in) : make_none(stack::push());
  Cell* at = make_integer(stack::push(), index);
  Cell* count = make_integer(stack::push(), part);
  Cell frame_word = word_at(ctx, u32(hi));
  const Cell* args[] = {owner, word, target, action, new_value, at, count};
  run_handler(fn, &frame_word, args, 7, api::CALLBACK_ON_DEEP_CHANGE);
}

void fire_on_top(Cell* obj, Cell* word) {
  fire_on_change(obj, word, stack::top - 2, stack::top - 1);
}

void fire_on_word(Cell* word) {
  u32 ctx = word::context_of(word);
  if (!ctx || !context::is_context(ctx)) return;
  Cell self = *context::self_slot(ctx);
  if (type_of(&self) != TYPE_OBJECT || !object::on_set_of(&self)) return;
  fire_on_change(&self, word, stack::top - 1, stack::top - 2);
}

// Unless `only` is given and the value is a block or an object, the words
// take the block's values in order (none past its end) or the values of the
// object's words of the same names; otherwise each word takes the whole
// value. An unset value raises script need-value before anything is
// assigned, unless `any` is given; with `some`, none values are skipped.
// Each assignment marks the word assigned and fires on-change* (the handler
// words themselves fire nothing).
void set_values(Cell* obj_in, const Cell* value_in, bool any, bool only, bool some) {
  stack::Mark mark;
  Cell* obj = stack::push_cell(obj_in);
  Cell* value = stack::push_cell(value_in);
  u32 ctx = object::context_of(obj);
  u32 n = context::word_count(ctx);
  Type vt = type_of(value);
  // One (slot index, value) pair per assignment, on the stack.
  Cell* first = stack::top;
  auto add = [&](u32 i, const Cell* v) {
    make_integer(stack::push(), i32(i));
    stack::push_cell(v);
  };
  if (!only && vt == TYPE_BLOCK) {
    u32 node = series_node(value);
    i32 at = series_index(value) < 0 ? 0 : series_index(value);
    for (u32 i = 0; i < n; ++i) {
      u32 k = u32(at) + i;
      Cell v = k < node_cell_count(node) ? buffer_of(node)->cells()[k] : values::none_cell;
      add(i, &v);
    }
  } else if (!only && vt == TYPE_OBJECT) {
    u32 from = object::context_of(value);
    u32 m = context::word_count(from);
    for (u32 k = 0; k < m; ++k) {
      i32 i = context::find_word(ctx, word::symbol_of(context::symbol_cell(from, k)), true);
      if (i < 0) continue;
      const Cell* v = value_at(from, k);
      add(u32(i), v ? v : &values::unset_cell);
    }
  } else {
    for (u32 i = 0; i < n; ++i) add(i, value);
  }
  Cell* end = stack::top;
  if (!any) {
    for (Cell* p = first; p < end; p += 2) {
      if (type_of(p + 1) == TYPE_UNSET) {
        Cell w = word_at(ctx, u32(int_of(p)));
        fire(Err::script_need_value, &w);
      }
    }
  }
  for (Cell* p = first; p < end; p += 2) {
    if (some && type_of(p + 1) == TYPE_NONE) continue;
    u32 i = u32(int_of(p));
    Cell w = word_at(ctx, i);
    Cell* old_value = nullptr;
    bool fires = object::on_set_of(obj) && !is_handler_word(word::symbol_of(&w));
    if (fires) {
      const Cell* v = value_at(ctx, i);
      old_value = stack::push_cell(v ? v : &values::unset_cell);
    }
    context::set(&w, p + 1, ctx, false);
    if (fires) {
      Cell o = current_object(obj);
      fire_on_change(&o, &w, old_value, p + 1);
      stack::pop(1);
    }
  }
}

Cell* construct(const Cell* spec_in, const Cell* proto_in, bool only) {
  stack::Mark mark;
  Cell* spec = stack::push_cell(spec_in);
  Cell* out;
  if (proto_in && type_of(proto_in) == TYPE_OBJECT) {
    out = copy_object(proto_in, false, true);
  } else {
    out = make_at(make_none(stack::push()), 4);
    object::set_class(out, i32(new_class_id()));
    copy_cell(out, context::self_slot(object::context_of(out)));
  }
  u32 ctx = object::context_of(out);
  u32 node = series_node(spec);
  u32 at = series_index(spec) < 0 ? 0 : u32(series_index(spec));
  // Set-words in a row share the value after them (none at the end).
  u32 pending = at;
  for (u32 i = at; i <= node_cell_count(node); ++i) {
    bool end = i == node_cell_count(node);
    Type t = end ? TYPE_NONE : type_of(buffer_of(node)->cells() + i);
    if (!end && t == TYPE_SET_WORD) continue;
    Cell v = end ? values::none_cell : buffer_of(node)->cells()[i];
    if (!only && t == TYPE_WORD) {
      u32 s = word::symbol_of(&v);
      if (is_word_of(s, words::W_NONE)) v = values::none_cell;
      else if (is_word_of(s, words::W_TRUE) || is_word_of(s, words::W_YES) ||
               is_word_of(s, words::W_ON)) v = values::true_cell;
      else if (is_word_of(s, words::W_FALSE) || is_word_of(s, words::W_NO) ||
               is_word_of(s, words::W_OFF)) v = values::false_cell;
    }
    Cell* value = stack::push_cell(&v);
    for (u32 k = pending; k < i; ++k) {
      Cell w = buffer_of(node)->cells()[k];
      if (type_of(&w) != TYPE_SET_WORD) continue;
      i32 slot = context::bind_or_add(ctx, &w);
      Cell bound = word_at(ctx, u32(slot));
      context::set(&bound, value, ctx, false);
    }
    stack::pop(1);
    pending = i + 1;
  }
  clear_marks(ctx);
  return mark.keep(out);
}

void init_words() {
  g_on_change = symbol::make("on-change*");
  g_on_deep_change = symbol::make("on-deep-change*");
  g_changed = symbol::make("changed");
}

// An object (error!, port!) keeps its context and its on-set info alive.
void mark_object(const Cell* o) {
  if (context_of(o)) gc::mark_context_at(context_slot(o));
  if (on_set_of(o)) gc::mark_series_at(on_set_slot(o));
}

void init() {
  for (Type t : {TYPE_OBJECT, TYPE_ERROR, TYPE_PORT}) gc::set_mark_rule(t, mark_object);
  context::on_change = on_change_hook;
  ownership::on_deep_change = fire_on_deep_change;
  types::register_datatype({TYPE_OBJECT, TYPE_NO_TYPE, "object!",
                            {.make = object_make, .reflect = object_reflect, .form = object_form,
                             .mold = object_mold, .eval_path = object_eval_path,
                             .compare = object_compare, .copy = object_copy, .put = object_put,
                             .select = object_select, .modify = object_modify}});
}

}  // namespace object

}  // namespace qel
