#include "eval/entry_fit.hpp"

#include <algorithm>
#include <bit>
#include <string_view>
#include <vector>

#include "datatypes/native.hpp"
#include "datatypes/typeset.hpp"
#include "eval/action_specs.hpp"
#include "eval/interpreter_internal.hpp"
#include "eval/native_list.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/datatype_list.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/roots.hpp"
#include "runtime/typeset_list.hpp"

namespace qel::entry_fit {

namespace {

using interp::detail::ARG_RETURN;
using interp::detail::arg_kind;
using mem::buffer_of;
using std::string_view;

// ---- the tables' specs, read at compile time ----------------------------------------
//
// The layout of every native's and action's own spec is read from its text
// when the program is compiled, as describe_spec reads a spec block: an
// argument word (plain, lit- or get-) takes the type block right after it,
// or every type but unset! without one; a set-word (return:) and its block
// are no argument; a refinement begins a group; /local ends the arguments.
// Type names are resolved through the datatype and typeset lists, so no word
// a script redefines changes what an entry accepts.

static_assert(TYPE_TOP < 64, "a type mask holds every datatype id");

constexpr u32 MAX_GROUPS = 24;
constexpr u32 MAX_ARGS = 48;

struct Layout {
  bool has_spec = false;
  u32 groups = 0;
  u32 counts[MAX_GROUPS] = {};
  u64 types[MAX_ARGS] = {};      // a mask by type id
  u32 bits[MAX_ARGS][3] = {};    // the same as a typeset's three words
};

// The type mask as the three words of a typeset's bits (datatypes/typeset.hpp:
// the bit of id t in byte t / 8 of the words' bytes, under 0x80 >> t mod 8).
static_assert(std::endian::native == std::endian::little);
constexpr Layout with_bits(Layout l) {
  for (u32 a = 0; a < MAX_ARGS; ++a) {
    for (u32 t = 0; t <= u32(TYPE_TOP); ++t) {
      if ((l.types[a] >> t) & 1) l.bits[a][t / 32] |= (0x80u >> (t & 7)) << (8 * ((t / 8) % 4));
    }
  }
  return l;
}

struct Name {
  string_view name;
  string_view members;  // a typeset's; empty for a datatype
  u32 id;               // a datatype's
};
// The typesets first: start-up defines them after the datatypes, so the
// typeset series! takes the word of the datatype of that name.
constexpr Name kNames[] = {
#define QEL_X(name, members) {name, members, 0},
    QEL_TYPESETS(QEL_X)
#undef QEL_X
#define QEL_X(id, name, constant, parent) {name, "", id},
    QEL_DATATYPES(QEL_X)
#undef QEL_X
};

// Stops the compilation: a spec text that this reading does not cover.
void invalid_spec_text() {}

constexpr u64 ALL_BUT_UNSET = ((u64(2) << TYPE_TOP) - 2) & ~(u64(1) << TYPE_UNSET);

constexpr u64 mask_of(string_view name, u32 depth = 0) {
  if (depth > 8) invalid_spec_text();
  for (const Name& n : kNames) {
    if (n.name != name) continue;
    if (n.members.empty()) return u64(1) << n.id;
    u64 m = 0;
    string_view rest = n.members;
    while (!rest.empty()) {
      size_t end = rest.find(' ');
      if (end == string_view::npos) end = rest.size();
      m |= mask_of(rest.substr(0, end), depth + 1);
      rest = end < rest.size() ? rest.substr(end + 1) : string_view{};
    }
    return m;
  }
  invalid_spec_text();
  return 0;
}

constexpr bool is_space(char c) { return c == ' ' || c == '\n' || c == '\t'; }
constexpr bool ends_token(char c) {
  return is_space(c) || c == '[' || c == ']' || c == '"' || c == '(' || c == ')';
}

// The position after the string that opens at i.
constexpr size_t skip_string(string_view s, size_t i) {
  size_t end = s.find('"', i + 1);
  if (end == string_view::npos) invalid_spec_text();
  return end + 1;
}

// The position after the block that opens at i; its type names' mask into
// *mask (0 when it names none), nested blocks skipped.
constexpr size_t read_block(string_view s, size_t i, u64* mask) {
  *mask = 0;
  u32 depth = 0;
  while (i < s.size()) {
    char c = s[i];
    if (c == '[') {
      ++depth;
      ++i;
    } else if (c == ']') {
      ++i;
      if (--depth == 0) return i;
    } else if (c == '"') {
      i = skip_string(s, i);
    } else if (is_space(c)) {
      ++i;
    } else {
      size_t start = i;
      while (i < s.size() && !ends_token(s[i])) ++i;
      if (depth == 1) *mask |= mask_of(s.substr(start, i - start));
    }
  }
  invalid_spec_text();
  return i;
}

constexpr Layout read_spec(string_view s) {
  Layout l;
  if (s.empty()) return l;
  l.has_spec = true;
  l.groups = 1;
  u32 args = 0;
  size_t i = 0;
  while (i < s.size() && is_space(s[i])) ++i;
  if (i == s.size() || s[i] != '[') invalid_spec_text();
  ++i;
  // The argument a block right after it types, or -1; -2 after return:.
  int typed = -1;
  while (i < s.size()) {
    char c = s[i];
    if (is_space(c)) {
      ++i;
      continue;
    }
    if (c == ']') return l;
    if (c == '"') {
      i = skip_string(s, i);
      typed = -1;
      continue;
    }
    if (c == '[') {
      u64 mask = 0;
      i = read_block(s, i, &mask);
      if (typed >= 0 && mask) l.types[typed] = mask;
      typed = -1;
      continue;
    }
    size_t start = i;
    while (i < s.size() && !ends_token(s[i])) ++i;
    string_view token = s.substr(start, i - start);
    typed = -1;
    if (token[0] == '/') {
      if (token == "/local") return l;
      if (l.groups == MAX_GROUPS) invalid_spec_text();
      ++l.groups;
    } else if (token.back() == ':') {
      typed = -2;
    } else {
      if (args == MAX_ARGS) invalid_spec_text();
      l.types[args] = ALL_BUT_UNSET;
      ++l.counts[l.groups - 1];
      typed = int(args++);
    }
  }
  invalid_spec_text();
  return l;
}

constexpr Layout kNatives[] = {
    {},
#define QEL_X(id, member, word, spec) with_bits(read_spec(spec)),
    QEL_NATIVES(QEL_X)
#undef QEL_X
};
static_assert(sizeof(kNatives) / sizeof(kNatives[0]) == natives::COUNT + 1);

struct ActionLayouts {
  Layout slot[ACTION_COUNT + 1];
};
constexpr ActionLayouts read_actions() {
  ActionLayouts a;
#define QEL_X(slot_id, word, spec) a.slot[slot_id] = with_bits(read_spec(spec));
  QEL_ACTION_SPECS(QEL_X)
#undef QEL_X
  return a;
}
constexpr ActionLayouts kActions = read_actions();

// The table's layout of an entry; null for a native the table holds no spec
// of (one a host added, or an empty slot, whose stand-in entry raises).
const Layout* layout_of(Type type, u32 index) {
  if (type == TYPE_NATIVE) return index >= 1 && index <= natives::COUNT ? &kNatives[index] : nullptr;
  if (type == TYPE_ACTION && index >= 1 && index <= u32(ACTION_COUNT)) return &kActions.slot[index];
  return nullptr;
}

// ---- fitting a value's descriptor ---------------------------------------------------

// A copy of the descriptor with the mark in front.
void mark(Cell* desc) {
  u32 old = series_node(desc);
  roots::NodeRoot hold(&old);
  u32 n = buffer_of(old)->used() / sizeof(Cell);
  make_series(desc, TYPE_BLOCK, mem::alloc_cells(n + 1));
  make_none(mem::alloc_tail_cell(series_node(desc)));
  for (u32 i = 0; i < n; ++i) {
    Cell* to = mem::alloc_tail_cell(series_node(desc));  // may move the old buffer
    copy_cell(buffer_of(old)->cells() + i, to);
  }
}

}  // namespace

void fit(Type type, u32 index, Cell* desc) {
  const Layout* l = layout_of(type, index);
  if (!l) return;
  if (!l->has_spec) {
    mark(desc);
    return;
  }
  // Walks the value's arguments group by group (the plain ones, then each
  // refinement's): each one the entry reads takes only what both specs
  // allow; the groups the entry reads must hold as many as it reads.
  u32 dn = series_node(desc);
  u32 n = buffer_of(dn)->used() / sizeof(Cell);
  u32 g = 0, in_group = 0, t = 0;
  bool fits = true;
  for (u32 i = 0; i < n; ++i) {
    Cell* d = buffer_of(dn)->cells() + i;
    if (type_of(d) == TYPE_REFINEMENT) {
      if (g < l->groups && in_group < l->counts[g]) fits = false;
      if (g < l->groups) t += l->counts[g] - std::min(in_group, l->counts[g]);
      ++g;
      in_group = 0;
    } else if (type_of(d) == TYPE_TYPESET && arg_kind(d) != ARG_RETURN) {
      if (g < l->groups && in_group < l->counts[g]) {
        typeset::Words w = typeset::words_of(d);
        for (u32 k = 0; k < 3; ++k) w.w[k] &= l->bits[t][k];
        typeset::set_words(d, w);
        ++t;
      }
      ++in_group;
    }
  }
  if (g < l->groups && in_group < l->counts[g]) fits = false;
  if (g + 1 < l->groups) fits = false;
  if (!fits) mark(desc);
}

void refuse(const Cell* fn) {
  const Layout* l = layout_of(type_of(fn), native::index_of(fn));
  if (l && !l->has_spec) fire(Err::internal_not_done);
  fire(Err::script_missing_arg);
}

TableLayout table_layout(Type type, u32 index) {
  TableLayout out;
  const Layout* l = layout_of(type, index);
  if (!l || !l->has_spec) return out;
  u32 t = 0;
  for (u32 g = 0; g < l->groups; ++g) {
    out.counts.push_back(l->counts[g]);
    for (u32 a = 0; a < l->counts[g]; ++a) out.types.push_back(l->types[t++]);
  }
  return out;
}

}  // namespace qel::entry_fit
