#include "view/dispatch.hpp"

#include "datatypes/context.hpp"
#include "datatypes/event.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/object.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "eval/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/library_routines.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"
#include "view/face.hpp"
#include "view/system_view.hpp"

namespace qel::view::dispatch {

namespace {

// The standard event functions, in the order events.qel inserts them, and
// the event types each one acts on; for any other type it answers none or
// the event it was given, having done nothing.
enum Standard : u32 { DRAGGING, DEBUG, ENTER, RADIO, REACTORS, FIELD_SYNC, TAB, STANDARD_COUNT };
const char* const kStandardNames[STANDARD_COUNT] = {"dragging", "debug",      "enter", "radio",
                                                    "reactors", "field-sync", "tab"};

// The functions found under those names once the handlers held them all
// (cells of the root block, which never move); null before.
Cell* g_standard = nullptr;
bool g_wired = false;

u32 g_options = 0, g_parent = 0, g_actors = 0;  // canonical symbols

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

bool same_function(const Cell* a, const Cell* b) {
  return type_of(a) == TYPE_FUNCTION && type_of(b) == TYPE_FUNCTION &&
         function::context_of(a) == function::context_of(b) && function::spec_of(a) == function::spec_of(b) &&
         function::more_of(a) == function::more_of(b);
}

// Whether the standard function k lets an event of this type go on unchanged
// for the face, with system/view/debug? as given.
bool leaves_alone(u32 k, u32 type, const Cell* face, const Cell* debug) {
  using namespace event;
  switch (k) {
    case TAB: return type != KEY_DOWN;
    case FIELD_SYNC: return type != CHANGE;
    case REACTORS:
      return type != CHANGE && type != ENTER && type != UNFOCUS && type != FOCUS && type != MOVE &&
             type != MOVING && type != RESIZE && type != RESIZING && type != SELECT;
    case RADIO: return type != CLICK;
    case ENTER: return type != KEY;
    case DEBUG: return logic::is_false(debug);
    case DRAGGING: {
      // It acts only for a face whose options block may name a drag.
      const Cell* options = field(face, face::OPTIONS, g_options);
      return options && type_of(options) != TYPE_BLOCK;
    }
    default: return false;
  }
}

// _quiet-handlers handlers face event debug?
void quiet_handlers() {
  const Cell* handlers = api::arg(0);
  const Cell* face = api::arg(1);
  const Cell* ev = api::arg(2);
  const Cell* debug = api::arg(3);
  if (interp::reference || type_of(handlers) != TYPE_BLOCK || type_of(face) != TYPE_OBJECT ||
      type_of(ev) != TYPE_EVENT) {
    api::answer_logic(false);
    return;
  }
  const mem::Buffer* b = mem::buffer_of(series_node(handlers));
  i32 first = series_index(handlers) < 0 ? 0 : series_index(handlers);
  i32 n = i32(b->used() / sizeof(Cell)) - first;
  if (n <= 0) {
    api::answer_logic(true);
    return;
  }
  if (!g_standard || n % 2) {
    api::answer_logic(false);
    return;
  }
  u32 type = event::type_code(ev);
  for (i32 i = first + 1; i < first + n; i += 2) {
    const Cell* fn = b->cells() + i;
    u32 k = 0;
    while (k < STANDARD_COUNT && !same_function(fn, g_standard + k)) ++k;
    if (k == STANDARD_COUNT || !leaves_alone(k, type, face, debug)) {
      api::answer_logic(false);
      return;
    }
  }
  api::answer_logic(true);
}

// _climb parent event: the parent itself, or the first face above it whose
// level of the dispatch does more than pass the answer from above on.
void climb() {
  const Cell* up = api::arg(0);
  const Cell* ev = api::arg(1);
  // A close is handled at every level; a cycle of parents is left to the
  // Qel code, which reports the overflow.
  if (!interp::reference && type_of(ev) == TYPE_EVENT && event::type_code(ev) != event::CLOSE) {
    for (int depth = 0; depth < 64 && type_of(up) == TYPE_OBJECT; ++depth) {
      const Cell* actors = field(up, face::ACTORS, g_actors);
      const Cell* next = field(up, face::PARENT, g_parent);
      if (!actors || !next || type_of(actors) == TYPE_OBJECT) break;
      if (type_of(next) != TYPE_OBJECT) {
        // the top of the climb, which no actor of the event waits at
        api::answer_none();
        return;
      }
      up = next;
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
    library::wire("system view awake", "_quiet-handlers", "[handlers face event debug]", quiet_handlers);
    library::wire("system view awake", "_climb", "[parent event]", climb);
    g_wired = true;
  }
  if (!g_standard) take_standard();
}

}  // namespace qel::view::dispatch
