#include "datatypes/port.hpp"

#include <cstring>

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/map.hpp"
#include "datatypes/object.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/error.hpp"
#include "runtime/stack.hpp"
#include "runtime/words.hpp"

namespace qel::port {

namespace {

Cell word_named(const char* name) {
  u32 sym = symbol::make_from_string(name, u32(std::strlen(name)));
  return Cell{TYPE_WORD, 0, sym, 0};
}

// The value of an object's field, pushed (none when the object has no such word).
Cell* field(const Cell* object, const char* name) {
  Cell w = word_named(name);
  return stack::push_cell(object::get_word_cell(object, &w));
}

// Sets an object's field (the object must have the word).
void set_field(const Cell* object, const char* name, const Cell* value) {
  Cell w = word_named(name);
  Cell v = *value;
  copy_cell(&v, object::get_word_cell(object, &w));
}

Cell* system_field(const char* name) {
  const Cell* system = word::get_value_cell(words::cell(words::W_SYSTEM));
  if (type_of(system) != TYPE_OBJECT) return make_none(stack::push());
  return field(system, name);
}

// The entry of the scheme word in system/schemes (a block of word/scheme
// pairs, an object or a map), pushed; none when absent.
Cell* find_scheme(const Cell* scheme_word) {
  Cell* schemes = system_field("schemes");
  switch (type_of(schemes)) {
    case TYPE_BLOCK: return stack::push_cell(block::find_word(schemes, scheme_word, false));
    case TYPE_OBJECT: return stack::push_cell(object::get_word_cell(schemes, scheme_word));
    case TYPE_MAP: {
      Cell* v = map::find_value(schemes, scheme_word, map::MODE_EQUAL);
      return v ? stack::push_cell(v) : make_none(stack::push());
    }
    default: return make_none(stack::push());
  }
}

// ---- forwarding ---------------------------------------------------------------------

// The arguments of one call of an actor function, pushed in order from the port.
class Call {
 public:
  Call(const char* action, const Cell* port) : action_(action), first_(stack::push_cell(port)) {}
  Call& arg(const Cell* v) {
    if (v) stack::push_cell(v); else make_none(stack::push());
    return *this;
  }
  Call& flag(bool on) {
    make_logic(stack::push(), on);
    return *this;
  }
  // A refinement with one argument: its logic, then the argument or none.
  Call& refinement(const Cell* v) { return flag(v != nullptr).arg(v); }
  Call& refinement_int(bool given, i32 n) {
    flag(given);
    if (given) make_integer(stack::push(), n); else make_none(stack::push());
    return *this;
  }

  // Calls the actor's function named by the action; answers its result.
  Cell* run() {
    Cell* actor = field(first_, "actor");
    if (type_of(actor) != TYPE_OBJECT) fire(Err::access_invalid_port);
    Cell name = word_named(action_);
    Cell* fn = stack::push_cell(object::get_word_cell(actor, &name));
    if (type_of(fn) != TYPE_FUNCTION) fire(Err::access_no_port_action, &name);
    u32 count = u32(actor - first_);
    Cell* out = make_none(stack::push());
    api::CallOptions options;
    options.name = &name;
    options.callback = api::CALLBACK_PORT;
    // A transfer that passes through the actor's function (a break aimed at
    // an outer loop) goes on in its exception form: a handler has no status.
    api::check(api::invoke(fn, first_, count, out, options));
    return out;
  }

 private:
  const char* action_;
  Cell* first_;
};

Cell* forward(const char* action, const Cell* port) { return Call(action, port).run(); }

// Actions whose arguments lie at the frame base (the port, then its argument).
void forward_base(const char* action, int args) {
  Call call(action, stack::base);
  for (int i = 1; i <= args; ++i) call.arg(stack::base + i);
  Cell* r = call.run();
  copy_cell(r, stack::base);
  stack::keep();
}

void h_at() { forward_base("at", 1); }
void h_skip() { forward_base("skip", 1); }
void h_back() { forward_base("back", 0); }
void h_head() { forward_base("head", 0); }
void h_head_q() { forward_base("head?", 0); }
void h_index_q() { forward_base("index?", 0); }
void h_next() { forward_base("next", 0); }
void h_tail() { forward_base("tail", 0); }
void h_tail_q() { forward_base("tail?", 0); }

Cell* h_clear(Cell* p) { return forward("clear", p); }
Cell* h_create(Cell* p) { return forward("create", p); }
Cell* h_close(Cell* p) { return forward("close", p); }
Cell* h_delete(Cell* p) { return forward("delete", p); }
Cell* h_query(Cell* p) { return forward("query", p); }
Cell* h_update(Cell* p) { return forward("update", p); }

i32 h_length(Cell* p) {
  Cell* r = forward("length?", p);
  return type_of(r) == TYPE_INTEGER ? int_of(r) : -1;
}

Cell* h_pick(Cell* p, i32, Cell* index) { return Call("pick", p).arg(index).run(); }
Cell* h_poke(Cell* p, i32, Cell* index, Cell* value) {
  return Call("poke", p).arg(index).arg(value).run();
}

Cell* insert_like(const char* action, Cell* p, Cell* value, i32 part, bool only, i32 dup) {
  return Call(action, p).arg(value).refinement_int(part >= 0, part).flag(only)
      .refinement_int(dup != 1, dup).run();
}
Cell* h_insert(Cell* p, Cell* value, i32 part, bool only, i32 dup, bool append) {
  return insert_like(append ? "append" : "insert", p, value, part, only, dup);
}
Cell* h_change(Cell* p, Cell* value, i32 part, bool only, i32 dup) {
  return insert_like("change", p, value, part, only, dup);
}

Cell* h_copy(Cell* p, Cell*, Cell* part, bool deep, Cell* types) {
  return Call("copy", p).refinement(part).flag(deep).refinement(types).run();
}

Cell* find_like(const char* action, bool with_tail, Cell* p, Cell* value, const act::FindOptions& o) {
  Call call(action, p);
  call.arg(value).refinement(o.part).flag(o.only).flag(o.case_).flag(o.same).flag(o.any)
      .refinement(o.with).refinement(o.skip).flag(o.last).flag(o.reverse);
  if (with_tail) call.flag(o.tail).flag(o.match);
  return call.run();
}
Cell* h_find(Cell* p, Cell* value, const act::FindOptions& o) {
  return find_like("find", true, p, value, o);
}
Cell* h_select(Cell* p, Cell* value, const act::FindOptions& o) {
  return find_like("select", false, p, value, o);
}

Cell* h_move(Cell* p, Cell* target, Cell* part) {
  return Call("move", p).arg(target).refinement(part).run();
}
Cell* h_put(Cell* p, Cell* key, Cell* value, bool case_) {
  return Call("put", p).arg(key).arg(value).flag(case_).run();
}
Cell* h_remove(Cell* p, Cell* part, Cell* key) {
  return Call("remove", p).refinement(part).refinement(key).run();
}
Cell* h_reverse(Cell* p, Cell* part, Cell* skip) {
  return Call("reverse", p).refinement(part).refinement(skip).run();
}
Cell* h_sort(Cell* p, bool case_, Cell* skip, Cell* comparator, Cell* part, bool all,
             bool reverse, bool stable) {
  return Call("sort", p).flag(case_).refinement(skip).refinement(comparator).refinement(part)
      .flag(all).flag(reverse).flag(stable).run();
}
Cell* h_swap(Cell* p, Cell* other) { return Call("swap", p).arg(other).run(); }
Cell* h_rename(Cell* p, Cell* to) { return Call("rename", p).arg(to).run(); }
Cell* h_take(Cell* p, Cell* part, bool deep, bool last) {
  return Call("take", p).refinement(part).flag(deep).flag(last).run();
}
Cell* h_trim(Cell* p, bool head, bool tail, bool auto_, bool lines, bool all, Cell* with) {
  return Call("trim", p).flag(head).flag(tail).flag(auto_).flag(lines).flag(all)
      .refinement(with).run();
}
Cell* h_modify(Cell* p, Cell* field_word, Cell* value, bool case_) {
  return Call("modify", p).arg(field_word).arg(value).flag(case_).run();
}
Cell* h_open(Cell* p, bool new_, bool read, bool write, bool seek, Cell* allow) {
  return Call("open", p).flag(new_).flag(read).flag(write).flag(seek).refinement(allow).run();
}

// read: open (with /seek when the read has it), copy with the read's /part,
// close; the answer is copy's.
Cell* h_read(Cell* p, Cell* part, Cell* seek, bool, bool, bool, Cell*) {
  stack::Mark mark;
  Cell* port = stack::push_cell(p);
  Call("open", port).flag(false).flag(false).flag(false).flag(seek != nullptr).refinement(nullptr).run();
  Cell* result = stack::push_cell(Call("copy", port).refinement(part).flag(false).refinement(nullptr).run());
  forward("close", port);
  return mark.keep(result);
}

// write: open /write (and /seek), insert the data (with /part from an
// integer length), copy, close; the answer is copy's.
Cell* h_write(Cell* p, Cell* data, bool, bool, bool, bool, Cell* part, Cell* seek, Cell*, Cell*) {
  stack::Mark mark;
  Cell* port = stack::push_cell(p);
  Call("open", port).flag(false).flag(false).flag(true).flag(seek != nullptr).refinement(nullptr).run();
  bool length = part && type_of(part) == TYPE_INTEGER;
  Call("insert", port).arg(data).refinement_int(length, length ? int_of(part) : 0).flag(false)
      .refinement_int(false, 0).run();
  Cell* result = stack::push_cell(Call("copy", port).refinement(nullptr).flag(false).refinement(nullptr).run());
  forward("close", port);
  return mark.keep(result);
}

// ---- make, form, mold ------------------------------------------------------------------

Cell* h_make(Cell*, Cell* spec, Type) { return make(spec); }

// The object's mold under the port's name: "make port! [" and the fields.
i32 h_mold(Cell* p, Cell* buffer, bool only, bool all, bool flat, Cell* part, i32 budget,
           i32 indent) {
  stack::Mark mark;
  Cell* obj = stack::push_cell(p);
  set_type(obj, TYPE_OBJECT);
  Cell* text = string::make_at(stack::push(), 64);
  actions::mold(obj, text, only, all, flat, part, budget, indent);
  static const char kPrefix[] = "make object!";
  u32 skip = string::match_bytes(text, kPrefix) ? u32(sizeof kPrefix - 1) : 0;
  if (skip) budget = string::write_ascii(buffer, "make port!", budget);
  set_series_index(text, i32(skip));
  u32 n = string::length_from_index(text);
  for (u32 i = 0; i < n; ++i) string::append_char(buffer, string::char_at(text, skip + i));
  return budget - i32(n);
}

i32 h_form(Cell* p, Cell* buffer, Cell* part, i32 budget) {
  return h_mold(p, buffer, false, false, false, part, budget, 0);
}

}  // namespace

Cell* make(const Cell* spec_in) {
  stack::Mark mark;
  Cell* spec = stack::push_cell(spec_in);
  Cell* spec_object;
  if (type_of(spec) == TYPE_OBJECT) {
    spec_object = object::copy(spec, false);
  } else {
    Cell* standard = system_field("standard");
    Cell* parts = type_of(standard) == TYPE_OBJECT ? field(standard, "url-parts")
                                                   : make_none(stack::push());
    if (type_of(parts) != TYPE_OBJECT) fire(Err::internal_not_done);
    spec_object = object::make(parts, spec);
  }
  // The scheme is the first field of the port's spec object.
  const Cell* first = context::slot(object::context_of(spec_object), 0);
  Cell* scheme = first ? stack::push_cell(first) : make_none(stack::push());
  if (type_of(scheme) != TYPE_WORD) fire(Err::access_no_scheme, spec);
  Cell* standard = system_field("standard");
  Cell* proto = type_of(standard) == TYPE_OBJECT ? field(standard, "port") : make_none(stack::push());
  if (type_of(proto) != TYPE_OBJECT) fire(Err::internal_not_done);
  Cell* port = object::copy(proto, false);
  set_field(port, "spec", spec_object);
  set_field(port, "scheme", scheme);
  Cell* entry = find_scheme(scheme);
  // (the report names the scheme, not the whole spec the port was made from)
  if (type_of(entry) != TYPE_OBJECT) fire(Err::access_unknown_scheme, scheme);
  Cell* actor = field(entry, "actor");
  if (type_of(actor) != TYPE_OBJECT && type_of(actor) != TYPE_HANDLE) {
    fire(Err::access_invalid_actor);
  }
  set_field(port, "actor", actor);
  set_type(port, TYPE_PORT);
  copy_cell(port, context::self_slot(object::context_of(port)));
  return mark.keep(port);
}

Cell* read(Cell* port, Cell* part, Cell* seek, bool binary, bool lines, bool info, Cell* as) {
  return h_read(port, part, seek, binary, lines, info, as);
}
Cell* write(Cell* port, Cell* data, bool binary, bool lines, bool info, bool append, Cell* part,
            Cell* seek, Cell* allow, Cell* as) {
  return h_write(port, data, binary, lines, info, append, part, seek, allow, as);
}
Cell* open(Cell* port, bool new_, bool read, bool write, bool seek, Cell* allow) {
  return h_open(port, new_, read, write, seek, allow);
}

void init() {
  ActionTable t = no_actions();
  t.make = h_make;
  t.form = h_form;
  t.mold = h_mold;
  t.reflect = {};
  t.eval_path = {};
  t.compare = {};
  t.at = h_at; t.skip = h_skip; t.back = h_back; t.head = h_head; t.head_q = h_head_q;
  t.index_q = h_index_q; t.next = h_next; t.tail = h_tail; t.tail_q = h_tail_q;
  t.clear = h_clear; t.create = h_create; t.close = h_close; t.delete_ = h_delete;
  t.query = h_query; t.update = h_update; t.length_q = h_length;
  t.pick = h_pick; t.poke = h_poke; t.append = h_insert; t.insert = h_insert;
  t.change = h_change; t.copy = h_copy; t.find = h_find; t.select = h_select;
  t.move = h_move; t.put = h_put; t.remove = h_remove; t.reverse = h_reverse;
  t.sort = h_sort; t.swap = h_swap; t.rename = h_rename; t.take = h_take; t.trim = h_trim;
  t.modify = h_modify; t.open = h_open; t.read = h_read; t.write = h_write;
  types::register_datatype({TYPE_PORT, TYPE_OBJECT, "port!", t});
}

}  // namespace qel::port
