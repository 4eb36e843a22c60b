#include "tests/unit/test_support.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/object.hpp"
#include "datatypes/pair.hpp"
#include "datatypes/point.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/typeset.hpp"
#include "datatypes/word.hpp"
#include "eval/lexer.hpp"
#include "datatypes/ownership.hpp"
#include "runtime/collector.hpp"
#include "runtime/cycles.hpp"
#include "runtime/memory.hpp"
#include "runtime/startup.hpp"
#include "runtime/unicode.hpp"

namespace qel::test {

// ---- guards ---------------------------------------------------------------------------

Guard::Guard()
    : collecting_(gc::enabled), base_(stack::base), top_(stack::top), ctop_(stack::ctop) {
  gc::enabled = true;
}

Guard::~Guard() {
  gc::enabled = collecting_;
  stack::ctop = ctop_;
  stack::base = base_;
  stack::top = top_;
}

// ---- values from text and from cells ----------------------------------------------------

Cell* load_all(std::string_view source) {
  Cell* out = make_none(stack::push());
  lexer::load_source(out, source.data(), source.size());
  return out;
}

Cell* load(std::string_view source) {
  Cell* all = load_all(source);
  EXPECT_GT(cell_count(all), 0u) << source;
  Cell first = *cell_at(all, 0);
  clear_new_line(&first);
  return copy_cell(&first, all);
}

Cell* block_of(std::initializer_list<Cell> cells, Type t) {
  Cell* b = make_none(stack::push());
  make_series(b, t, mem::alloc_cells(u32(cells.size()) + 1));
  for (const Cell& c : cells) copy_cell(&c, mem::alloc_tail_cell(series_node(b)));
  return b;
}

Cell* text(std::string_view utf8, Type t) {
  Cell* s = string::load(reinterpret_cast<const u8*>(utf8.data()), u32(utf8.size()),
                         string::Encoding::utf8);
  return set_type(s, t);
}

Cell* text(const std::u32string& code_points, Type t) { return text(utf8(code_points), t); }

Cell* binary_of(const std::vector<u8>& bytes) {
  Cell* b = make_none(stack::push());
  u32 node = mem::alloc_bytes(u32(bytes.size()) + 1);
  if (!bytes.empty()) {
    std::memcpy(mem::alloc_tail_bytes(node, u32(bytes.size())), bytes.data(), bytes.size());
  }
  return make_series(b, TYPE_BINARY, node);
}

void make_text(Cell* out, const std::u32string& code_points, u32 unit, u32 capacity) {
  string::make_at(out, std::max<u32>(capacity, u32(code_points.size())), unit);
  mem::Buffer* b = mem::buffer_of(series_node(out));
  for (u32 i = 0; i < code_points.size(); ++i) {
    string::put_char(b->head_ptr() + i * unit, unit, code_points[i]);
  }
  b->tail = b->head + u32(code_points.size()) * unit;
}

Cell* typeset_of(const std::vector<Type>& types) {
  Cell* c = typeset::make_empty(stack::push());
  for (Type t : types) typeset::add(c, t);
  return c;
}

Cell integer_cell(i32 v) {
  Cell c;
  return *make_integer(&c, v);
}

Cell float_cell(double d) {
  Cell c;
  return *make_float(&c, d);
}

Cell char_cell(u32 cp) {
  Cell c;
  return *make_char(&c, cp);
}

Cell datatype_cell(Type t) {
  Cell c;
  return *make_datatype(&c, t);
}

Cell none_cell() {
  Cell c;
  return *make_none(&c);
}

Cell word_cell(const char* name, Type t) {
  Cell w = *intern_word(name);
  set_type(&w, t);
  return w;
}

Cell* make_object_at(Cell* out, u32 slots, bool handlers) {
  u32 ctx = context::make(slots, false, true, 0, context::KIND_OBJECT);
  *out = Cell{TYPE_OBJECT, ctx, 1, 0};
  if (handlers) {
    u32 on_set = mem::alloc_cells(2);
    object::set_on_set(out, on_set);
  }
  return out;
}

Cell* make_as(Type t, Cell* spec, bool to) {
  Cell proto = datatype_cell(t);
  return to ? actions::to(&proto, spec) : actions::make(&proto, spec);
}

Cell unbound_word(const char* name, Type t) { return Cell{t, 0, symbol::make(name), u32(-1)}; }

bool same_payload(const Cell& a, const Cell& b) {
  return same_words(&a, &b, WORD_1 | WORD_2 | WORD_3);
}

float coordinate(const Cell& p, u32 i) { return point::coord(&p, i); }

i32 pair_x(const Cell& p) { return pair::x(&p); }
i32 pair_y(const Cell& p) { return pair::y(&p); }

Cell* make_function(const char* spec, const char* body) {
  Cell* s = load(spec);
  Cell* b = body ? load(body) : nullptr;
  function::push(s, b, 0, 0, 0, function::validate(s));
  return stack::last();
}

// ---- reading values ---------------------------------------------------------------------

u32 cell_count(const Cell* block) {
  return mem::buffer_of(series_node(block))->used() / sizeof(Cell);
}

Cell* cell_at(const Cell* block, u32 i) { return mem::buffer_of(series_node(block))->cells() + i; }

std::string spelling(const Cell* w) { return std::string(symbol::name(word::symbol_of(w))); }

u32 unit_of(const Cell* str) { return mem::buffer_of(series_node(str))->unit(); }

std::u32string code_points(const Cell* str) {
  mem::Buffer* b = mem::buffer_of(series_node(str));
  u32 unit = b->unit();
  std::u32string out;
  for (u32 i = u32(std::max(series_index(str), 0)); i < b->used() / unit; ++i) {
    out.push_back(string::get_char(b->head_ptr() + i * unit, unit));
  }
  return out;
}

std::u32string whole_text(const Cell* str) {
  Cell head = *str;
  set_series_index(&head, 0);
  return code_points(&head);
}

std::string utf8(const std::u32string& text) {
  std::string out;
  for (char32_t c : text) {
    u8 seq[4];
    out.append(reinterpret_cast<char*>(seq), unicode::encode_utf8_char(u32(c), seq));
  }
  return out;
}

Cell* reflect(Cell* value, const char* field) {
  return actions::handler<act::Reflect>(value, ACT_reflect)(value, symbol::make(field));
}

// ---- mold and form ------------------------------------------------------------------------

std::string printed(const Cell* v, bool mold, MoldFlags flags, i32 part, i32* left) {
  Cell* saved = stack::top;
  Cell* value = stack::push_cell(v);
  Cell* buffer = string::make_at(make_none(stack::push()), 16, 1);
  Cell* part_cell = part >= 0 ? make_integer(stack::push(), part) : nullptr;
  i32 budget = part >= 0 ? part : 0x7FFFFFFF;
  i32 r = mold ? actions::mold(value, buffer, flags.only, flags.all, flags.flat, part_cell, budget, 0)
               : actions::form(value, buffer, part_cell, budget);
  if (left) *left = r;
  std::string s = string::to_utf8(buffer);
  stack::top = saved;
  return s;
}

namespace {

// The first n code points of UTF-8 text.
std::string cut(const std::string& s, i32 n) {
  const u8* p = reinterpret_cast<const u8*>(s.data());
  const u8* end = p + s.size();
  return std::string(reinterpret_cast<const char*>(p),
                     unicode::skip_utf8_chars(p, end, u32(n)) - p);
}

}  // namespace

std::string molded(const Cell* v, MoldFlags flags, i32 part) {
  std::string s = printed(v, true, flags, part);
  return part >= 0 ? cut(s, part) : s;
}

std::string formed(const Cell* v, i32 part) {
  std::string s = printed(v, false, {}, part);
  return part >= 0 ? cut(s, part) : s;
}

// ---- catching errors ------------------------------------------------------------------------

std::optional<Raised> caught(const std::function<void()>& f, Cell* keep) {
  Cell* base = stack::base;
  Cell* top = stack::top;
  stack::Frame* ctop = stack::ctop;
  Cell name{};
  name.header = TYPE_WORD;  // no symbol: the frame names no call
  stack::mark_catch(&name);
  std::optional<Raised> got;
  try {
    f();
  } catch (const Transfer& t) {
    EXPECT_EQ(t.code, THROW_ERROR);
    runtime::rt.thrown = 0;
    const Cell* err = stack::last();
    got = Raised{error::id_of(err), *error::field(err, error::F_ARG1),
                 *error::field(err, error::F_ARG2), *error::field(err, error::F_ARG3)};
    if (keep) copy_cell(err, keep);
  }
  stack::ctop = ctop;
  stack::base = base;
  stack::top = top;
  return got;
}

std::string attempt(const std::function<std::string()>& f) {
  std::string out;
  std::optional<Err> e = raised([&] { out = f(); });
  cycles::reset();
  return e ? std::string("!") + err_info(*e).word : out;
}

std::string describe(const Outcome& o) {
  if (o.error) return std::string("error ") + err_info(*o.error).word;
  Type t = type_of(&o.value);
  char payload[64];
  if (t == TYPE_INTEGER || t == TYPE_CHAR) {
    std::snprintf(payload, sizeof payload, " %d", int_of(&o.value));
  } else {
    std::snprintf(payload, sizeof payload, " %.17g", float_of(&o.value));
  }
  return types::name_of(t) + std::string(payload);
}

void expect_value(const Outcome& got, const Cell& want, const std::string& what) {
  ASSERT_FALSE(got.error) << what << " raised " << err_info(*got.error).word;
  EXPECT_EQ(type_of(&got.value), type_of(&want)) << what << ": " << describe(got);
  EXPECT_TRUE(same_words(&got.value, &want, WORD_2 | WORD_3)) << what << ": " << describe(got);
}

void expect_error(const Outcome& got, Err want, const std::string& what) {
  ASSERT_TRUE(got.error) << what << " gave " << describe(got);
  EXPECT_EQ(*got.error, want) << what << " raised " << err_info(*got.error).word;
}

Outcome call_action(Action a, std::initializer_list<Cell> args, std::vector<i32> refs) {
  refs.resize(12, -1);  // more refinements than any action has
  return outcome_of([&] {
    for (const Cell& c : args) stack::push_cell(&c);
    actions::entry(a)(refs.data());
    return stack::base;
  });
}

// ---- change events of owned series -------------------------------------------------------

namespace {

std::vector<std::string>* g_events = nullptr;

void record_event(Cell*, Cell*, Cell*, Cell* action, Cell*, i32 index, i32 part) {
  g_events->push_back(std::string(symbol::name(word::symbol_of(action))) + " " + std::to_string(index) + " " +
                      std::to_string(part));
}

}  // namespace

ChangeEvents::ChangeEvents() : saved_(ownership::on_deep_change) {
  make_object_at(owner_.get(), 2, true);
  *field_.get() = word_cell("field");
  g_events = &events;
  ownership::on_deep_change = record_event;
}

ChangeEvents::~ChangeEvents() {
  ownership::on_deep_change = saved_;
  g_events = nullptr;
}

std::vector<std::string> ChangeEvents::actions() const {
  std::vector<std::string> out;
  for (const std::string& e : events) out.push_back(e.substr(0, e.find(' ')));
  return out;
}

}  // namespace qel::test
