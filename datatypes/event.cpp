#include "datatypes/event.hpp"

#include "datatypes/block.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "platform/image_state.hpp"

namespace qel::event {

namespace {

const char* const kTypeNames[TYPE_COUNT] = {
    "",
#define QEL_X(c, w) w,
    QEL_EVENT_TYPES(QEL_X)
#undef QEL_X
};

const char* const kFieldNames[FIELD_COUNT + 1] = {
    "",       "type",      "face",      "window",    "offset", "key",   "picked",     "flags",
    "away?",  "down?",     "mid-down?", "alt-down?", "aux-down?", "ctrl?", "shift?", "orientation",
};

// The flag words, in the order a `flags` read lists them (`command` is
// accepted by make but never listed).
struct FlagWord {
  const char* name;
  u32 bit;
};
const FlagWord kFlagWords[] = {
    {"away", FLAG_AWAY},       {"down", FLAG_DOWN},         {"mid-down", FLAG_MID_DOWN},
    {"alt-down", FLAG_ALT_DOWN}, {"aux-down", FLAG_AUX_DOWN}, {"control", FLAG_CONTROL},
    {"shift", FLAG_SHIFT},     {"alt", FLAG_ALT},           {"command", FLAG_COMMAND},
};
constexpr u32 kListedFlags = 8;

// The bit that each logic field (away? .. shift?) tests.
constexpr u32 kLogicBits[] = {FLAG_AWAY, FLAG_DOWN, FLAG_MID_DOWN, FLAG_ALT_DOWN,
                              FLAG_AUX_DOWN, FLAG_CONTROL, FLAG_SHIFT};

// Canonical symbols, interned at registration.
u32 g_type_syms[TYPE_COUNT];
u32 g_field_syms[FIELD_COUNT + 1];
u32 g_flag_syms[std::size(kFlagWords)];
QEL_IMAGE_KEEP(g_type_syms);
QEL_IMAGE_KEEP(g_field_syms);
QEL_IMAGE_KEEP(g_flag_syms);

// The word of each type code and of each flag as a read answers them (bound
// to the global context, which keeps its slots for the life of the process),
// made at first use: a read then costs a copy instead of interning the
// spelling and looking it up in the global context.
Cell g_type_words[TYPE_COUNT];
Cell g_flag_words[std::size(kFlagWords)];

const Cell& cached_word(Cell& slot, const char* name) {
  if (type_of(&slot) != TYPE_WORD) word::make_at(symbol::make(name), &slot);
  return slot;
}

// The block that every `flags` read clears and refills.
u32 g_flags_block = 0;

const OsReader* g_reader = nullptr;
QEL_IMAGE_KEEP_POINTERS(g_reader);

void mark_flags_block() {
  if (g_flags_block) gc::mark_series(g_flags_block);
}

u32 canonical(const char* name) { return symbol::resolve(symbol::make(name)); }

bool is_word_like(Type t) {
  return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD;
}

u32 canonical_of(const Cell* word) { return symbol::resolve(word::symbol_of(word)); }

// ---- fields ------------------------------------------------------------------------

Cell* flags_block(u32 bits, Cell* out) {
  if (!g_flags_block) {
    g_flags_block = mem::alloc_cells(kListedFlags);
    gc::add_mark_callback(mark_flags_block);
  }
  Cell b;
  make_series(&b, TYPE_BLOCK, g_flags_block);
  block::clear_at(&b, 0);
  for (u32 i = 0; i < kListedFlags; ++i) {
    if (!(bits & kFlagWords[i].bit)) continue;
    Cell w = cached_word(g_flag_words[i], kFlagWords[i].name);
    copy_cell(&w, mem::alloc_tail_cell(g_flags_block));
  }
  return copy_cell(&b, out);
}

Cell* key_of(const Cell* e, Cell* out) {
  u32 code = key_code(e);
  if (!code) return make_none(out);
  if (special_key(e)) return g_reader && g_reader->key_word ? g_reader->key_word(code, out) : make_none(out);
  return make_char(out, code);
}

// A field that a made event keeps in its values block.
Cell* made_value(const Cell* e, u32 index, Cell* out) {
  u32 node = values_node(e);
  if (!node || mem::buffer_of(node)->used() < VALUE_CELLS * sizeof(Cell)) {
    if (index == F_OFFSET) return pair::make_at(make_none(out), 0, 0);
    if (index == F_PICKED) return make_integer(out, 0);
    return make_none(out);
  }
  u32 at = index == F_FACE ? V_FACE : index == F_WINDOW ? V_WINDOW : index == F_OFFSET ? V_OFFSET : V_PICKED;
  Cell v = mem::buffer_of(node)->cells()[at];
  return copy_cell(&v, out);
}

// ---- actions --------------------------------------------------------------------

// A word or get-word with a value stands for that value; one without a value
// (unbound, or unset) stays itself, so `type: down` names the type.
Cell resolve_spec_value(const Cell* v) {
  Cell c = *v;
  if ((type_of(&c) == TYPE_WORD || type_of(&c) == TYPE_GET_WORD) && word::context_of(&c)) {
    Cell got = *word::get_value_cell(&c);
    if (!is_unset(&got)) return got;
  }
  return c;
}

Cell* h_make(Cell*, Cell* spec, Type) {
  api::Values v(VALUE_CELLS);  // face, window, offset, picked: rooted while scanning
  pair::make_at(v[V_OFFSET], 0, 0);
  make_integer(v[V_PICKED], 0);
  Cell result{TYPE_EVENT | FLAG_MADE, 0, 0, 0};
  bool any_value = false;
  if (type_of(spec) == TYPE_BLOCK) {
    u32 node = series_node(spec);
    u32 i = u32(series_index(spec) < 0 ? 0 : series_index(spec));
    // Nothing below allocates or runs code: the buffer stays put.
    while (i + 1 < mem::buffer_of(node)->used() / sizeof(Cell)) {
      const Cell* key = mem::buffer_of(node)->cells() + i;
      if (type_of(key) != TYPE_SET_WORD) {
        ++i;
        continue;
      }
      u32 name = canonical_of(key);
      Cell value = resolve_spec_value(key + 1);
      Type t = type_of(&value);
      if (name == g_field_syms[F_TYPE]) {
        if (t == TYPE_WORD || t == TYPE_LIT_WORD) set_type_code(&result, type_of_word(&value));
      } else if (name == g_field_syms[F_KEY]) {
        if (t == TYPE_CHAR) add_bits(&result, char_of(&value) & KEY_MASK);
      } else if (name == g_field_syms[F_FLAGS]) {
        if (t == TYPE_BLOCK) {
          u32 fnode = series_node(&value);
          u32 n = mem::buffer_of(fnode)->used() / sizeof(Cell);
          for (u32 j = u32(series_index(&value) < 0 ? 0 : series_index(&value)); j < n; ++j) {
            const Cell* f = mem::buffer_of(fnode)->cells() + j;
            if (type_of(f) == TYPE_WORD) add_bits(&result, flag_of_word(f));
          }
        }
      } else if (name == g_field_syms[F_FACE] || name == g_field_syms[F_WINDOW]) {
        if (t == TYPE_OBJECT) {
          copy_cell(&value, v[name == g_field_syms[F_FACE] ? V_FACE : V_WINDOW]);
          any_value = true;
        }
      } else if (name == g_field_syms[F_OFFSET]) {
        if (t == TYPE_PAIR || t == TYPE_POINT2D) {
          copy_cell(&value, v[V_OFFSET]);
          clear_new_line(v[V_OFFSET]);
          any_value = true;
        }
      } else if (name == g_field_syms[F_PICKED]) {
        if (t == TYPE_INTEGER) {
          copy_cell(&value, v[V_PICKED]);
          any_value = true;
        }
      }
      i += 2;
    }
  }
  if (any_value) {
    u32 node = mem::alloc_cells(VALUE_CELLS);
    for (u32 k = 0; k < VALUE_CELLS; ++k) {
      Cell c = *v[k];
      clear_new_line(&c);
      copy_cell(&c, mem::alloc_tail_cell(node));
    }
    set_values_node(&result, node);
  }
  return copy_cell(&result, stack::push());
}

i32 h_form(Cell*, Cell* buffer, Cell*, i32 budget) { return string::write_ascii(buffer, "event", budget); }

i32 h_mold(Cell* e, Cell* buffer, bool, bool, bool, Cell* part, i32 budget, i32) {
  return h_form(e, buffer, part, budget);
}

// Two events are equal for every kind of equality; they have no order.
i32 h_compare(Cell*, Cell* other, i32 op) {
  if (type_of(other) != TYPE_EVENT) return COMPARE_INCOMPARABLE;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT:
    case COMP_CASE_SORT: case COMP_SAME: case COMP_EQUAL_NO_CASE:
      return 0;
    default:
      return COMPARE_INCOMPARABLE;
  }
}

Cell* h_pick(Cell* e, i32, Cell* index_cell) {
  u32 index = 0;
  if (is_word_like(type_of(index_cell))) {
    index = field_index(index_cell);
    if (!index) fire(Err::script_cannot_use, index_cell, e);
  } else if (type_of(index_cell) == TYPE_INTEGER && int_of(index_cell) >= 1 &&
             int_of(index_cell) <= i32(FIELD_COUNT)) {
    index = u32(int_of(index_cell));
  } else {
    fire(Err::script_out_of_range, index_cell);
  }
  return get_field(e, index, stack::push());
}

Cell* h_eval_path(Cell* e, Cell* element, Cell* value, const PathStep& step) {
  u32 index = is_word_like(type_of(element)) ? field_index(element) : 0;
  Cell path;
  if (step.path) copy_cell(step.path, &path); else make_none(&path);
  if (!index) fire(Err::script_invalid_path, element, &path);
  if (!value) return get_field(e, index, stack::push());
  if (index != F_TYPE || type_of(value) != TYPE_WORD) fire(Err::script_bad_path_set, element, &path);
  set_type_code(e, type_of_word(value));
  return value;
}

}  // namespace

Cell* make_os_at(Cell* cell, u32 type, u32 message, u32 flags, u32 key, bool special) {
  cell->header = TYPE_EVENT;
  set_payload(cell, type, message, (flags & FLAG_BITS) | (key & KEY_MASK) | (special ? KEY_SPECIAL : 0));
  return cell;
}

Cell* type_word(u32 code, Cell* out) {
  if (code == NO_TYPE || code >= TYPE_COUNT) return make_none(out);
  return copy_cell(&cached_word(g_type_words[code], kTypeNames[code]), out);
}

u32 type_of_word(const Cell* w) {
  u32 s = canonical_of(w);
  for (u32 code = 1; code < TYPE_COUNT; ++code)
    if (g_type_syms[code] == s) return code;
  fire(Err::script_not_event_type, w);
}

u32 flag_of_word(const Cell* w) {
  u32 s = canonical_of(w);
  for (u32 i = 0; i < std::size(kFlagWords); ++i)
    if (g_flag_syms[i] == s) return kFlagWords[i].bit;
  return 0;
}

u32 field_index(const Cell* w) {
  u32 s = canonical_of(w);
  for (u32 i = 1; i <= FIELD_COUNT; ++i)
    if (g_field_syms[i] == s) return i;
  return 0;
}

Cell* get_field(const Cell* event, u32 index, Cell* out) {
  Cell e = *event;  // out may be the event's own cell
  switch (index) {
    case F_TYPE:
      return type_word(type_code(&e), out);
    case F_KEY:
      return key_of(&e, out);
    case F_FLAGS:
      return flags_block(flag_bits(&e), out);
    case F_FACE: case F_WINDOW: case F_OFFSET: case F_PICKED:
      if (is_made(&e)) return made_value(&e, index, out);
      [[fallthrough]];
    case F_ORIENTATION:
      if (!is_made(&e) && g_reader && g_reader->live(message_ref(&e))) return g_reader->field(&e, index, out);
      return make_none(out);
    default:
      if (index >= F_AWAY && index <= F_SHIFT) return make_logic(out, (bits_of(&e) & kLogicBits[index - F_AWAY]) != 0);
      return make_none(out);
  }
}

void set_os_reader(const OsReader* reader) { g_reader = reader; }

void init() {
  if (types::registered(TYPE_EVENT)) return;
  for (u32 i = 1; i < TYPE_COUNT; ++i) g_type_syms[i] = canonical(kTypeNames[i]);
  for (u32 i = 1; i <= FIELD_COUNT; ++i) g_field_syms[i] = canonical(kFieldNames[i]);
  for (u32 i = 0; i < std::size(kFlagWords); ++i) g_flag_syms[i] = canonical(kFlagWords[i].name);
  ActionTable t = no_actions();
  t.make = h_make;
  t.form = h_form;
  t.mold = h_mold;
  t.eval_path = h_eval_path;
  t.compare = h_compare;
  t.pick = h_pick;
  types::register_datatype({TYPE_EVENT, TYPE_NO_TYPE, "event!", t});
}

}  // namespace qel::event
