#include "runtime/actions.hpp"

#include <cstring>

#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "platform/image_state.hpp"

namespace qel {

// ---------------------------------------------------------------------------
// Registry

namespace types {

ActionFn table[TYPE_SLOTS][ACTION_COUNT + 1] = {};
TypeName names[TYPE_SLOTS] = {};
int top_type = 0;

namespace {
bool g_registered[TYPE_SLOTS] = {};
// Start-up registers event! last.
void save_names(image_state::Writer& w) {
  for (const TypeName& n : names) {
    w.pointer(n.name);
    w.value(n.length);
    w.value(n.symbol);
  }
}
void load_names(image_state::Reader& r) {
  for (TypeName& n : names) {
    n.name = static_cast<const char*>(r.pointer());
    n.length = r.value<u32>();
    n.symbol = r.value<u32>();
  }
}
QEL_IMAGE_KEEP_WITH(names, save_names, load_names);
QEL_IMAGE_KEEP_POINTERS(table);
QEL_IMAGE_KEEP(top_type);
QEL_IMAGE_KEEP(g_registered);

template <class F>
void store(Type id, Type parent, int slot, const Slot<F>& s) {
  if (s.inherit) {
    table[id][slot] = parent != TYPE_NO_TYPE ? table[parent][slot] : nullptr;
  } else {
    table[id][slot] = reinterpret_cast<ActionFn>(s.fn);
  }
}
}  // namespace

void register_datatype(const DatatypeDef& def) {
  if (def.id > top_type) top_type = def.id;
  names[def.id].name = def.name;
  names[def.id].length = u32(std::strlen(def.name) - 1);
  g_registered[def.id] = true;
#define QEL_X(slot, member, name, sig) store(def.id, def.parent, slot, def.actions.member);
  QEL_ACTIONS(QEL_X)
#undef QEL_X
}

bool registered(Type t) { return t < TYPE_SLOTS && g_registered[t]; }
const char* name_of(Type t) { return (t < TYPE_SLOTS && names[t].name) ? names[t].name : ""; }

}  // namespace types

// ---------------------------------------------------------------------------
// Dispatch

namespace actions {

void no_handler(const Cell* value) {
  Cell call, type, arg;
  stack::get_call(&call);
  make_datatype(&type, type_of(value));
  error::arg_word(0, &arg);  // the name of the function's first argument
  fire(Err::script_expect_arg, &call, &type, &arg);
}


namespace {

// A path step through a value whose type has no path handler.
[[noreturn, gnu::noinline]] void bad_path_type(Type t, Cell* path, Cell* element, i32 index) {
  Cell type;
  make_datatype(&type, t);
  if (!path) fire(Err::script_bad_path_type2, element, &type);
  // A copy of the path whose head stands just after the element.
  Cell rest;
  copy_cell(path, &rest);
  set_series_index(&rest, index + 1);
  fire(Err::script_bad_path_type, path, &type, &rest);
}

}  // namespace

act::EvalPath get_eval_path_handler(const Cell* value, Cell* path, Cell* element, i32 index) {
  Type t = type_of(value);
  ActionFn f = t < TYPE_SLOTS ? types::table[t][ACT_eval_path] : nullptr;
  if (!f) bad_path_type(t, path, element, index);
  return reinterpret_cast<act::EvalPath>(f);
}


Cell* make(Cell* proto, Cell* spec) {
  Type t = type_of(proto) == TYPE_DATATYPE ? datatype_of(proto) : type_of(proto);
  ActionFn f = t < TYPE_SLOTS ? types::table[t][ACT_make] : nullptr;
  if (!f) no_handler(proto);
  return reinterpret_cast<act::Make>(f)(proto, spec, t);
}

Cell* to(Cell* proto, Cell* spec) {
  Type t = type_of(proto) == TYPE_DATATYPE ? datatype_of(proto) : type_of(proto);
  ActionFn f = t < TYPE_SLOTS ? types::table[t][ACT_to] : nullptr;
  if (!f) no_handler(proto);
  return reinterpret_cast<act::Make>(f)(proto, spec, t);
}

i32 form(Cell* value, Cell* buffer, Cell* arg, i32 limit) {
  return handler<act::Form>(value, ACT_form)(value, buffer, arg, limit);
}

i32 mold(Cell* value, Cell* buffer, bool only, bool all, bool flat, Cell* arg, i32 limit,
         i32 indent) {
  return handler<act::Mold>(value, ACT_mold)(value, buffer, only, all, flat, arg, limit, indent);
}

Cell* eval_path(Cell* parent, Cell* element, Cell* value, const PathStep& step) {
  return get_eval_path_handler(parent, step.path, element, step.index)(parent, element, value, step);
}

bool compare(Cell* v1, Cell* v2, i32 op) {
  i32 r = handler<act::Compare>(v1, ACT_compare)(v1, v2, op);
  if (r == COMPARE_INCOMPARABLE) {
    bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL ||
                    (op >= COMP_SAME && op <= COMP_EQUAL_NO_CASE);
    if (!equality) fire(Err::script_invalid_compare, v1, v2);
    return op == COMP_NOT_EQUAL;
  }
  switch (op) {
    case COMP_NOT_EQUAL: return r != 0;
    case COMP_LESSER: return r < 0;
    case COMP_LESSER_EQUAL: return r <= 0;
    case COMP_GREATER: return r > 0;
    case COMP_GREATER_EQUAL: return r >= 0;
    default: return r == 0;
  }
}

void compare_to_logic(i32 op) {
  bool b = compare(stack::base, stack::base + 1, op);
  make_logic(stack::base, b);
}

i32 index_of(const Cell* index) {
  switch (type_of(index)) {
    case TYPE_INTEGER: case TYPE_CHAR: return int_of(index);
    case TYPE_LOGIC: return logic_of(index) ? 1 : 2;
    default: return 0;
  }
}

}  // namespace actions
}  // namespace qel
