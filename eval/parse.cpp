// The parse native, the stacks that every PARSE run shares and the
// collector's marking of them. The machine itself is in eval/parse_engine.hpp.
#include "eval/parse.hpp"

#include "eval/parse_engine.hpp"
#include "datatypes/context.hpp"
#include "datatypes/symbol.hpp"
#include "eval/natives.hpp"
#include "runtime/collector.hpp"
#include "platform/image_state.hpp"

namespace qel::parse {

namespace detail {

namespace {

const char* const kKeywordNames[] = {
    "",
#define QEL_X(member, text) text,
    QEL_PARSE_KEYWORDS(QEL_X)
#undef QEL_X
};
const char* const kEventNames[EV_COUNT] = {"push", "pop", "fetch", "match", "iterate", "paren", "change", "end"};
Cell g_part_word;  // part (the argument named by invalid-arg)

}  // namespace

std::vector<u8> g_keyword_of;
std::vector<u8> g_spelling_of;
Cell g_event_words[EV_COUNT];
Cell g_callback_word;
std::vector<Entry> g_rules;
std::vector<Input> g_inputs;
// Keywords learnt as their spellings are met, and the engine's stacks
// (empty between runs): each process fills them again.
QEL_IMAGE_SKIP(g_spelling_of);
QEL_IMAGE_SKIP(g_rules);
QEL_IMAGE_SKIP(g_inputs);
u32 g_rule_cells = 0;
Engine* g_engines = nullptr;

[[gnu::noinline]] Keyword keyword_lookup(u32 sym) {
  u32 canon = symbol::resolve(sym);
  u8 k = canon < g_keyword_of.size() ? g_keyword_of[canon] : u8(K_NO);
  if (sym >= g_spelling_of.size()) g_spelling_of.resize(std::max<size_t>(sym + 1, g_spelling_of.size() * 2), NOT_KNOWN);
  g_spelling_of[sym] = k;
  return Keyword(k);
}

const Cell* rule_value_slow(const Cell* word) {
  u32 ctx = word::context_of(word);
  i32 i = context::find_word(ctx, word::symbol_of(word), false);
  if (i < 0) return nullptr;
  const Cell* v = context::slot(ctx, u32(i));
  return v && !is_unset(v) ? v : nullptr;
}

Cell* eval_paren(const Cell* paren) {
  Cell p = *paren;
  Cell* slot = make_unset(stack::push());
  Cell r;
  {
    stack::Mark mark;
    interp::eval_block_or_throw(&p, false);
    r = *stack::last();
  }
  copy_cell(&r, slot);
  return slot;
}

}  // namespace detail

using namespace detail;

namespace {

void mark_engines() {
  for (const Entry& e : g_rules) {
    gc::mark_cell(&e.a);
    gc::mark_cell(&e.b);
  }
  for (const Input& in : g_inputs) gc::mark_cell(&in.series);
  for (Engine* e = g_engines; e; e = e->outer) {
    gc::mark_cell(&e->in.series);
    gc::mark_cell(&e->callback);
    gc::mark_cell(&e->rules);
    gc::mark_cell(&e->result);
  }
}

// Whether the top rule is a plain `collect` (parse then answers its block).
bool starts_with_collect(const Cell* rules) {
  u32 node = series_node(rules);
  u32 n = cells_of(node);
  u32 i = u32(std::max(series_index(rules), 0));
  if (i >= n || !is_keyword(cell_of(node, i), K_COLLECT)) return false;
  if (i + 1 < n && type_of(cell_of(node, i + 1)) == TYPE_WORD) {
    Keyword k = keyword_of(cell_of(node, i + 1));
    if (k == K_SET || k == K_INTO || k == K_AFTER) return false;
  }
  return true;
}

}  // namespace

void init() {
  u32 top = 0;
  u32 syms[sizeof kKeywordNames / sizeof kKeywordNames[0]] = {};
  for (u32 k = 1; k < sizeof kKeywordNames / sizeof kKeywordNames[0]; ++k) {
    syms[k] = symbol::resolve(symbol::make(kKeywordNames[k]));
    top = std::max(top, syms[k]);
  }
  g_keyword_of.assign(top + 1, K_NO);
  for (u32 k = 1; k < sizeof kKeywordNames / sizeof kKeywordNames[0]; ++k) g_keyword_of[syms[k]] = u8(k);
  for (u32 e = 0; e < EV_COUNT; ++e) g_event_words[e] = *intern_word(kEventNames[e]);
  g_callback_word = *intern_word("<parse-callback>");
  g_part_word = *intern_word("part");
  gc::add_mark_callback(mark_engines);
}

void run(Cell* out, const Cell* input, const Cell* rules, bool case_sensitive, i32 limit,
         const Cell* callback) {
  Type it = type_of(input);
  // The engines keep rule and input nodes (and plans keyed by node) in C++
  // structures the collector cannot rewrite: no node moves while one runs.
  gc::MovingOff fixed;
  Engine eng;
  eng.rules = *rules;
  eng.in.series = *input;
  eng.in.kind = is_any_block_type(it) ? IN_BLOCK : IN_TEXT;
  eng.in.limit = -1;
  i32 total = i32(eng.in_total());
  eng.in.index = std::clamp<i32>(series_index(input), 0, total);
  if (limit >= 0) eng.in.limit = i32(std::min<i64>(i64(eng.in.index) + limit, total));
  eng.case_ = case_sensitive;
  if (callback && type_of(callback) == TYPE_FUNCTION) {
    eng.callback = *callback;
    eng.tracing = true;
  }
  eng.collect_mode = starts_with_collect(rules);
  bool ok;
  const stack::Mark entry;
  try {
    ok = eng.tracing || !compiled_rules_on() ? eng.run_rules() : eng.run_compiled();
  } catch (const Stop&) {
    entry.drop();
    make_logic(out, eng.match);
    return;
  }
  if (eng.collect_mode && eng.have_result) copy_cell(&eng.result, out);
  else make_logic(out, ok);
}

u32 rules_depth() { return u32(g_rules.size()); }

// parse input rules /case /part length /trace callback
interp::Status native(const i32* refs) {
  Cell* input = stack::base;
  Cell* rules = stack::base + 1;
  i32 limit = -1;
  if (Cell* part = natives::ref_arg(refs, 1)) {
    i32 index = std::max(series_index(input), 0);
    if (type_of(part) == TYPE_INTEGER) {
      limit = std::max(int_of(part), 0);
    } else if (is_series_type(type_of(part)) && series_node(part) == series_node(input)) {
      limit = std::max(series_index(part) - index, 0);
    } else {
      Cell w = g_part_word;
      fire(Err::script_invalid_arg, &w);
    }
  }
  Cell* out = stack::push();
  run(out, input, rules, natives::ref(refs, 0), limit, natives::ref_arg(refs, 2));
  Cell r = *out;
  copy_cell(&r, stack::base);
  stack::keep();
  return 0;
}
u32 inputs_depth() { return u32(g_inputs.size()); }

}  // namespace qel::parse

namespace qel::natives {

interp::Status parse(const i32* refs) { return qel::parse::native(refs); }

}  // namespace qel::natives
