#include "view/dispatch.hpp"

#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/event.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"
#include "view/face.hpp"
#include "view/system_view.hpp"
#include "platform/image_state.hpp"

namespace qel::view::dispatch {

namespace {

// The standard event functions, in the order events.qel inserts them, and
// the event types each one acts on; for any other type it answers none or
// the event it was given, having done nothing.
enum Standard : u32 { S_DRAGGING, S_DEBUG, S_ENTER, S_RADIO, S_REACTORS, S_FIELD_SYNC, S_TAB, STANDARD_COUNT };
const char* const kStandardNames[STANDARD_COUNT] = {"dragging", "debug",      "enter", "radio",
                                                    "reactors", "field-sync", "tab"};

// The functions found under those names once the handlers held them all
// (cells of the root block, which never move); null before.
Cell* g_standard = nullptr;
bool g_wired = false, g_actor_wired = false;
QEL_IMAGE_KEEP_REGION_POINTERS(g_standard);
QEL_IMAGE_KEEP(g_wired);
QEL_IMAGE_KEEP(g_actor_wired);

u32 g_options = 0, g_parent = 0, g_actors = 0, g_type = 0, g_radio = 0;  // canonical symbols
QEL_IMAGE_KEEP(g_options);
QEL_IMAGE_KEEP(g_parent);
QEL_IMAGE_KEEP(g_actors);
QEL_IMAGE_KEEP(g_type);
QEL_IMAGE_KEEP(g_radio);

// The value of the object's field: read at the face! position when the
// word there is the one asked for, else looked up by name; nullptr when the
// object has no such word. Allocates nothing.
const Cell* field(const Cell* obj, u32 index, u32 sym) {
  u32 ctx = object::context_of(obj);
  if (index < context::word_count(ctx) &&
      symbol::resolve(word::symbol_of(context::symbol_cell(ctx, index))) == sym)
    return context::slot(ctx, index);
  i32 i = context::find_word(ctx, sym, true);
  return i < 0 ? nullptr : context::slot(ctx, u32(i));
}

// The field of the object with that canonical symbol, tried first at the
// slot where it was found last; nullptr when obj is no object or has no such
// field. Allocates nothing.
const Cell* member(const Cell* obj, u32& hint, u32 sym) {
  if (!obj || type_of(obj) != TYPE_OBJECT) return nullptr;
  u32 ctx = object::context_of(obj);
  if (hint < context::word_count(ctx) && symbol::resolve(word::symbol_of(context::symbol_cell(ctx, hint))) == sym)
    return context::slot(ctx, hint);
  i32 i = context::find_word(ctx, sym, true);
  if (i < 0) return nullptr;
  hint = u32(i);
  return context::slot(ctx, hint);
}

// The global word system, bound (a cell of the root block, which the
// collector keeps up to date), and the fields of system/view that
// _find-actor reads, as a path through them reads them.
Cell* g_system_word = nullptr;
u32 g_view = 0, g_debug = 0, g_evt_names = 0;
u32 g_view_hint = 0, g_debug_hint = 0, g_names_hint = 0;
QEL_IMAGE_KEEP_REGION_POINTERS(g_system_word);
QEL_IMAGE_KEEP(g_view);
QEL_IMAGE_KEEP(g_debug);
QEL_IMAGE_KEEP(g_evt_names);
QEL_IMAGE_KEEP(g_view_hint);
QEL_IMAGE_KEEP(g_debug_hint);
QEL_IMAGE_KEEP(g_names_hint);

const Cell* value_of(const Cell* word);

const Cell* view_field(u32& hint, u32 sym) {
  if (!g_system_word) return nullptr;
  return member(member(value_of(g_system_word), g_view_hint, g_view), hint, sym);
}

bool same_function(const Cell* a, const Cell* b) {
  return type_of(a) == TYPE_FUNCTION && type_of(b) == TYPE_FUNCTION &&
         function::context_of(a) == function::context_of(b) && function::spec_of(a) == function::spec_of(b) &&
         function::more_of(a) == function::more_of(b);
}

// The event's key when it is a character, else 0 (a key word, none). May
// allocate (an OS event's key word).
u32 key_char(const Cell* ev) {
  Cell key;
  event::get_field(ev, event::F_KEY, &key);
  return type_of(&key) == TYPE_CHAR ? char_of(&key) : 0;
}

// Whether the standard function k lets an event of this type go on unchanged
// for the face, with system/view/debug? as given and key the event's key
// character (for key and key-down events).
bool leaves_alone(u32 k, u32 type, u32 key, const Cell* face, const Cell* debug) {
  switch (k) {
    // Tab acts on the Tab key only, Enter on Return and line feed only.
    case S_TAB: return type != event::KEY_DOWN || key != '\t';
    case S_ENTER: return type != event::KEY || (key != '\r' && key != '\n');
    case S_FIELD_SYNC: return type != event::CHANGE;
    case S_REACTORS:
      for (u32 t : {event::CHANGE, event::ENTER, event::UNFOCUS, event::FOCUS, event::MOVE, event::MOVING,
                    event::RESIZE, event::RESIZING, event::SELECT})
        if (type == t) return false;
      return true;
    case S_RADIO: {
      // A click acts on a face whose type is the word radio; a type that
      // is no plain word is left to the function itself.
      if (type != event::CLICK) return true;
      const Cell* t = field(face, face::TYPE, g_type);
      return t && type_of(t) == TYPE_WORD && symbol::resolve(word::symbol_of(t)) != g_radio;
    }
    case S_DEBUG: return logic::is_false(debug);
    case S_DRAGGING: {
      // It acts only for a face whose options block may name a drag.
      const Cell* options = field(face, face::OPTIONS, g_options);
      return options && type_of(options) != TYPE_BLOCK;
    }
    default: return false;
  }
}

// Whether every global event function would let the event go on unchanged
// for the face, with system/view/debug? as given.
bool handlers_quiet(const Cell* handlers, const Cell* face, const Cell* ev, const Cell* debug) {
  if (type_of(handlers) != TYPE_BLOCK || type_of(face) != TYPE_OBJECT || type_of(ev) != TYPE_EVENT) return false;
  u32 type = event::type_code(ev);
  // Read before the handlers' cells are: it may allocate.
  u32 key = type == event::KEY || type == event::KEY_DOWN ? key_char(ev) : 0;
  const mem::Buffer* b = mem::buffer_of(series_node(handlers));
  i32 first = series_index(handlers) < 0 ? 0 : series_index(handlers);
  i32 n = i32(b->used() / sizeof(Cell)) - first;
  if (n <= 0) return true;
  if (!g_standard || n % 2) return false;
  // Each insertion goes first: the handlers hold the standard functions in
  // the reverse of their order, which is tried first.
  u32 expected = STANDARD_COUNT - 1;
  for (i32 i = first + 1; i < first + n; i += 2, expected = expected ? expected - 1 : STANDARD_COUNT - 1) {
    const Cell* fn = b->cells() + i;
    u32 k = expected;
    if (!same_function(fn, g_standard + k)) {
      k = 0;
      while (k < STANDARD_COUNT && !same_function(fn, g_standard + k)) ++k;
    }
    if (k == STANDARD_COUNT || !leaves_alone(k, type, key, face, debug)) return false;
  }
  return true;
}

// _quiet-handlers handlers face event debug?
void quiet_handlers() {
  api::answer_logic(!interp::reference && handlers_quiet(api::arg(0), api::arg(1), api::arg(2), api::arg(3)));
}

// The value of a word bound to a slot of a context that holds its values,
// or nullptr (another word, an unset value): the caller then leaves the
// reading to the code, which raises what it raises.
const Cell* value_of(const Cell* word) {
  if (!is_any_word_type(type_of(word)) || !word::context_of(word) || word::index_of(word) < 0) return nullptr;
  const Cell* v = context::slot(word::context_of(word), u32(word::index_of(word)));
  return v && type_of(v) != TYPE_UNSET ? v : nullptr;
}

// _plain event 'face 'handlers 'debug? 'capturing?: true, the event's face
// set into the word face, when the dispatch needs no step before the face's
// actor: the event's face is an object, every global event function would
// let the event go on unchanged, and the capture is off. False (also under
// the reference switch) leaves those steps to the code, which reads the
// words again.
void plain() {
  const Cell* ev = api::arg(0);
  if (interp::reference || type_of(ev) != TYPE_EVENT) {
    api::answer_logic(false);
    return;
  }
  // The face first: an OS event's field may allocate. The words' values are
  // copied, as the handlers' check may allocate too.
  Cell face;
  event::get_field(ev, event::F_FACE, &face);
  const Cell* handlers = value_of(api::arg(2));
  const Cell* debug = value_of(api::arg(3));
  const Cell* capturing = value_of(api::arg(4));
  if (!handlers || !debug || !capturing || type_of(&face) != TYPE_OBJECT || !logic::is_false(capturing)) {
    api::answer_logic(false);
    return;
  }
  Cell h = *handlers, d = *debug;
  if (!handlers_quiet(&h, &face, ev, &d)) {
    api::answer_logic(false);
    return;
  }
  Cell word = *api::arg(1);
  word::set(&word, &face);
  api::answer_logic(true);
}

// The look-up of do-actor for a face and an event type word (the face's
// actors object, the actor's name for the type in system/view/evt-names, the
// function under that name) when it can tell its outcome without raising
// and with system/view/debug? off: FOUND (the actor into actor), NONE when
// the look-up finds none; UNKNOWN when it cannot tell (a field missing or
// unset, a name that select on an object refuses, debug? on). The actors
// object is copied before the name's select, so that no pointer into the
// face's values is kept across it.
enum Lookup { UNKNOWN, NONE, FOUND };
Lookup lookup_actor(const Cell* face, const Cell* type, Cell* actor_out) {
  if (type_of(face) != TYPE_OBJECT || type_of(type) != TYPE_WORD) return UNKNOWN;
  const Cell* debug = view_field(g_debug_hint, g_debug);
  if (!debug || !(type_of(debug) == TYPE_NONE || (type_of(debug) == TYPE_LOGIC && logic::is_false(debug))))
    return UNKNOWN;
  const Cell* actors_slot = field(face, face::ACTORS, g_actors);
  if (!actors_slot || type_of(actors_slot) == TYPE_UNSET) return UNKNOWN;
  if (type_of(actors_slot) != TYPE_OBJECT) return NONE;
  Cell actors_cell = *actors_slot;  // its context, a node, stays where it is
  const Cell* actors = &actors_cell;
  const Cell* names = view_field(g_names_hint, g_evt_names);
  if (!names || (type_of(names) != TYPE_HASH && type_of(names) != TYPE_BLOCK)) return UNKNOWN;
  Cell name;
  {
    stack::Mark scratch;  // select's answer and its scratch cells
    Cell* series = stack::push_cell(names);
    Cell* key = stack::push_cell(type);
    name = *block::select(series, key, act::FindOptions{});
  }
  Type nt = type_of(&name);
  if (nt == TYPE_NONE || (nt == TYPE_LOGIC && logic::is_false(&name))) return NONE;
  if (nt != TYPE_WORD && nt != TYPE_SET_WORD && nt != TYPE_GET_WORD && nt != TYPE_LIT_WORD) return UNKNOWN;
  const Cell* actor = object::get_word_cell(actors, &name);
  Type at = type_of(actor);
  if (at != TYPE_FUNCTION && at != TYPE_NATIVE && at != TYPE_ACTION && at != TYPE_ROUTINE && at != TYPE_OP) return NONE;
  if (actor_out) *actor_out = *actor;
  return FOUND;
}

// _find-actor face type 'actor: do-actor's look-up in one step: true, the
// word set to the actor; false when the look-up finds none; none when it
// cannot tell (and under the reference switch): the Qel look-up then runs,
// raising or printing as it does.
void find_actor() {
  Cell fn;
  Lookup l = interp::reference ? UNKNOWN : lookup_actor(api::arg(0), api::arg(1), &fn);
  if (l == UNKNOWN) {
    api::answer_none();
    return;
  }
  if (l == FOUND) {
    Cell word = *api::arg(2);
    word::set(&word, &fn);
  }
  api::answer_logic(l == FOUND);
}

// _climb parent event: the parent itself, or the first face above it whose
// level of the dispatch does more than pass the answer from above on: one
// whose actors object holds the event's actor, or that the look-up cannot
// tell about, or whose actors facet is missing; none when no such face is
// left.
void climb() {
  // The face climbed to is copied at each step, not kept as a pointer into
  // its child's values across the look-up (its context, a node, stays).
  Cell up_cell = *api::arg(0);
  const Cell* up = &up_cell;
  const Cell* ev = api::arg(1);
  // A close is handled at every level; a cycle of parents is left to the
  // Qel code, which reports the overflow.
  if (!interp::reference && type_of(ev) == TYPE_EVENT && event::type_code(ev) != event::CLOSE) {
    Cell type;  // the type word do-actor is given
    event::get_field(ev, event::F_TYPE, &type);
    for (int depth = 0; depth < 64 && type_of(up) == TYPE_OBJECT; ++depth) {
      const Cell* actors = field(up, face::ACTORS, g_actors);
      const Cell* parent = field(up, face::PARENT, g_parent);
      if (!actors || !parent) break;
      Cell next = *parent;
      // a level whose actors hold none for the event only passes the
      // answer from above on, as one without actors does
      if (type_of(actors) == TYPE_OBJECT && lookup_actor(up, &type, nullptr) != NONE) break;
      if (type_of(&next) != TYPE_OBJECT) {
        // the top of the climb, which no actor of the event waits at
        api::answer_none();
        return;
      }
      up_cell = next;
    }
  }
  api::answer(up);
}

// Notes the standard functions once the handlers hold every one of them.
void take_standard() {
  const Cell* handlers = system_view::field("handlers");
  if (!handlers || type_of(handlers) != TYPE_BLOCK) return;
  u32 found[STANDARD_COUNT] = {};
  u32 node = series_node(handlers);
  u32 n = mem::buffer_of(node)->used() / sizeof(Cell);
  for (u32 k = 0; k < STANDARD_COUNT; ++k) {
    u32 sym = symbol::resolve(symbol::make(kStandardNames[k]));
    for (u32 i = 0; i + 1 < n; i += 2) {
      const Cell* name = mem::buffer_of(node)->cells() + i;
      if (type_of(name) == TYPE_WORD && symbol::resolve(word::symbol_of(name)) == sym) {
        found[k] = i + 1;
        break;
      }
    }
    if (!found[k] || type_of(mem::buffer_of(node)->cells() + found[k]) != TYPE_FUNCTION) return;
  }
  // Kept in the root block, whose cells never move.
  Cell* cells = runtime::root_append();
  for (u32 k = 1; k < STANDARD_COUNT; ++k) runtime::root_append();
  for (u32 k = 0; k < STANDARD_COUNT; ++k) copy_cell(mem::buffer_of(node)->cells() + found[k], cells + k);
  g_standard = cells;
}

}  // namespace

void wire() {
  if (!g_wired) {
    const Cell* awake = system_view::field("awake");
    if (!awake || type_of(awake) != TYPE_FUNCTION) return;
    g_options = symbol::resolve(symbol::make("options"));
    g_parent = symbol::resolve(symbol::make("parent"));
    g_actors = symbol::resolve(symbol::make("actors"));
    g_type = symbol::resolve(symbol::make("type"));
    g_radio = symbol::resolve(symbol::make("radio"));
    library::wire("system view awake", "_quiet-handlers", "[handlers face event debug]", quiet_handlers);
    library::wire("system view awake", "_climb", "[parent event]", climb);
    library::wire("system view awake", "_plain", "[event face handlers debug? capturing?]", plain);
    g_wired = true;
  }
  if (!g_actor_wired) {
    const Cell* do_actor = word::get_value_cell(intern_word("do-actor"));
    if (do_actor && type_of(do_actor) == TYPE_FUNCTION) {
      g_view = symbol::resolve(symbol::make("view"));
      g_debug = symbol::resolve(symbol::make("debug?"));
      g_evt_names = symbol::resolve(symbol::make("evt-names"));
      Cell system = *intern_word("system");
      g_system_word = runtime::root_append();
      copy_cell(&system, g_system_word);
      library::wire("do-actor", "_find-actor", "[face type actor]", find_actor);
      g_actor_wired = true;
    }
  }
  if (!g_standard) take_standard();
}

}  // namespace qel::view::dispatch
