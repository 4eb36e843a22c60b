// The reference machine of PARSE: the steps of the Engine declared in
// eval/parse_engine.hpp (dispatch, apply and the commands), which traced
// runs and the reference switch use, and on which the compiled rules
// (eval/parse_compiled.cpp) fall back for the rules they do not take.
#include "eval/parse_engine.hpp"

#include <algorithm>
#include <vector>

#include "datatypes/typeset.hpp"
#include "datatypes/binary.hpp"
#include "datatypes/bitset.hpp"
#include "datatypes/block.hpp"
#include "datatypes/context.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/triple.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/interpreter.hpp"
#include "eval/interrupt.hpp"
#include "eval/lexer.hpp"
#include "eval/natives.hpp"
#include "runtime/actions.hpp"
#include "runtime/casefold.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"

namespace qel::parse::detail {

void Engine::make_stack_block(Cell* out) {
  u32 n = u32(g_rules.size() - rules_base);
  block::make_at(out, i32(n * 2));
  u32 node = series_node(out);
  for (u32 i = 0; i < n; ++i) {
    Entry e = g_rules[rules_base + i];
    Cell rec;
    if (e.code == C_BLOCK) {
      triple::make_at(&rec, i32(e.pos), e.start, i32(i));
      *mem::alloc_tail_cell(node) = rec;
      *mem::alloc_tail_cell(node) = e.a;
    } else {
      // code and position, count, min and max: three words in a pair! cell
      triple::make_at(&rec, i32(u32(e.code) | (e.pos << 8)), i32(e.count),
                      i32((u32(e.min) & 0xFFFF) | (u32(e.max) << 16)));
      set_type(&rec, TYPE_PAIR);
      *mem::alloc_tail_cell(node) = rec;
    }
  }
}

void Engine::trace_event(EventWord ev, i32 rule_pos) {
  api::Values args(6);  // event, match?, rule, input, stack; the result
  copy_cell(&g_event_words[ev], args[0]);
  make_logic(args[1], match);
  Cell* rule = args[2];
  if (cur_block != NO_ENTRY) {
    Entry& b = block();
    copy_cell(&b.a, rule);
    u32 p = rule_pos >= 0 ? u32(rule_pos) : b.pos;
    set_series_index(rule, i32(std::min(p, cells_of(series_node(&b.a)))));
  } else {
    copy_cell(&rules, rule);
  }
  clamp_index();
  copy_cell(push_input_at(in.index), args[3]);
  make_stack_block(args[4]);
  api::CallOptions o;
  o.name = &g_callback_word;
  o.callback = api::CALLBACK_PARSE;
  o.check_types = false;
  api::check(api::invoke(&callback, args.data(), 5, args[5], o));
  bool go_on = !logic::is_false(args[5]);
  clamp_index();
  if (!go_on) throw Stop{};
}

void Engine::check_recursion(u32 node, i32 head, u32 len, const Cell* name) {
  for (u32 i = cur_block; i != NO_ENTRY; i = g_rules[i].prev) {
    const Entry& e = g_rules[i];
    if (e.start < in.index) break;
    if (e.start == in.index && series_node(&e.a) == node && series_index(&e.a) == head &&
        e.in_node == in_node() && e.in_len == len) {
      Cell n = *name;
      fire(Err::script_parse_infinite, &n);
    }
  }
}

Engine::Flow Engine::push_block(const Cell* rule_block, const Cell* name) {
  Cell blk = *rule_block;
  u32 node = series_node(&blk);
  i32 head = std::clamp<i32>(series_index(&blk), 0, i32(cells_of(node)));
  u32 len = in_total();
  check_recursion(node, head, len, name);
  u32 i = push_entry(C_BLOCK, 2);
  Entry& e = g_rules[i];
  e.a = blk;
  set_series_index(&e.a, head);
  e.pos = u32(head);
  e.prev = cur_block;
  e.in_node = in_node();
  e.in_len = len;
  cur_block = i;
  event(EV_PUSH);
  return AGAIN;
}

bool Engine::fails_at_once(const Cell* blk) {
  if (tracing || in.kind != IN_TEXT) return false;
  u32 node = series_node(blk);
  u32 n = cells_of(node);
  i32 head = series_index(blk);
  if (head < 0 || u32(head) >= n) return false;
  Cell atom_cell;
  const Cell* v = simple_atom(node, u32(head), &atom_cell);
  if (!v) return false;
  Type t = type_of(v);
  if (t != TYPE_CHAR && t != TYPE_BITSET && t != TYPE_STRING) return false;
  clamp_index();
  if (match_atom_at(in.index, in_end(), v) >= 0) return false;
  for (u32 p = u32(head) + 1; p < n; ++p) {
    Cell* c = cell_of(node, p);
    if (type_of(c) != TYPE_WORD) continue;
    Keyword k = keyword_of(c);
    if (k == K_BAR) return false;
    if (k == K_QUOTE) ++p;
  }
  return true;
}

Engine::Flow Engine::pop_block(bool r, bool by_break) {
  Entry& e = top();
  if (!r) in.index = e.start;
  u32 prev = e.prev;
  event(EV_POP);
  pop_entry();
  cur_block = prev;
  if (g_rules.size() == rules_base) {
    res = r;
    return DONE;
  }
  res = r;
  broken = by_break;
  return RESULT;
}

Engine::Flow Engine::next_alternative() {
  Entry& b = block();
  u32 node = series_node(&b.a);
  u32 n = cells_of(node);
  for (u32 p = b.pos; p < n; ++p) {
    Cell* c = cell_of(node, p);
    if (type_of(c) != TYPE_WORD) continue;
    Keyword k = keyword_of(c);
    if (k == K_QUOTE) {
      ++p;
    } else if (k == K_BAR) {
      if (p + 1 >= n) {
        Cell bar = *c;
        fire(Err::script_parse_end, &bar);
      }
      b.pos = p + 1;
      in.index = b.start;
      return AGAIN;
    }
  }
  b.pos = n;
  return pop_block(false, false);
}

Engine::Flow Engine::atom(bool r) {
  match = r;
  event(EV_MATCH);
  res = r;
  return RESULT;
}

Engine::Flow Engine::action() {
  if (awaiting()) {
    res = true;
    return RESULT;
  }
  return AGAIN;
}

Engine::Flow Engine::complete(bool ok) {
  Entry& t = top();
  if (!ok) in.index = t.start;
  u32 end = t.end;
  match = ok;
  event(EV_MATCH);
  event(EV_POP);
  pop_entry();
  if (end) {
    Entry& b = block();
    b.pos = std::max(b.pos, end);
  }
  res = ok;
  return RESULT;
}

Engine::Flow Engine::iterate(u32 pos) {
  block().pos = pos;
  event(EV_ITERATE);
  interrupt::poll();
  return AGAIN;
}

void Engine::end_error(u32 node, u32 p) {
  Cell c;
  if (p > 0 && p - 1 < cells_of(node)) c = *cell_of(node, p - 1);
  else make_none(&c);
  fire(Err::script_parse_end, &c);
}

bool Engine::insert_position(const Cell* c) {
  Type t = type_of(c);
  if (t != TYPE_WORD && t != TYPE_GET_WORD) return false;
  if (t == TYPE_WORD && keyword_of(c) != K_NO) return false;
  const Cell* v = rule_value(c);
  return v && is_series_type(type_of(v)) && series_node(v) == in_node();
}

u32 Engine::rule_end(u32 node, u32 p) {
  u32 extra = 0;  // values that follow the sub-rule (change's value)
  for (;;) {
    u32 n = cells_of(node);
    if (p >= n) end_error(node, p);
    Cell c = *cell_of(node, p++);
    Type t = type_of(&c);
    if (t == TYPE_INTEGER || (t == TYPE_WORD && keyword_of(&c) == K_NO &&
                              rule_value(&c) && type_of(rule_value(&c)) == TYPE_INTEGER)) {
      if (p < n) {
        Cell* d = cell_of(node, p);
        if (type_of(d) == TYPE_INTEGER) ++p;
        else if (type_of(d) == TYPE_WORD && keyword_of(d) == K_NO && rule_value(d) &&
                 type_of(rule_value(d)) == TYPE_INTEGER) ++p;
      }
      continue;
    }
    if (t != TYPE_WORD) break;
    Keyword k = keyword_of(&c);
    bool done = false;
    switch (k) {
      case K_ANY: case K_SOME: case K_OPT: case K_WHILE: case K_NOT: case K_AHEAD:
      case K_REMOVE: case K_TO: case K_THRU: case K_INTO:
        break;
      case K_COPY: case K_SET: case K_CASE:
        ++p;
        break;
      case K_CHANGE:
        if (p < n && is_keyword(cell_of(node, p), K_ONLY)) ++p;
        ++extra;
        break;
      case K_COLLECT:
        if (p < n && type_of(cell_of(node, p)) == TYPE_WORD) {
          Keyword f = keyword_of(cell_of(node, p));
          if (f == K_SET || f == K_INTO || f == K_AFTER) p += 2;
        }
        break;
      case K_KEEP:
        if (p < n && is_keyword(cell_of(node, p), K_PICK)) ++p;
        if (p < n && type_of(cell_of(node, p)) == TYPE_PAREN) {
          ++p;
          done = true;
        }
        break;
      case K_INSERT:
        if (p < n && is_keyword(cell_of(node, p), K_ONLY)) ++p;
        if (p < n && insert_position(cell_of(node, p)) && p + 1 < n) ++p;
        ++p;
        done = true;
        break;
      case K_QUOTE: case K_IF:
        ++p;
        done = true;
        break;
      default:
        done = true;
        break;
    }
    if (done) break;
  }
  p += extra;
  if (p > cells_of(node)) end_error(node, p);
  return p;
}

i32 Engine::match_text_at(i32 i, i32 end, const Cell* v) {
  if (i < 0 || i > end) return -1;
  if (binary_input()) {
    Type vt = type_of(v);
    if (vt == TYPE_DATATYPE || vt == TYPE_TYPESET) return match_scanned_at(i, end, v);
    Cell at = in.series;
    set_series_index(&at, i);
    i32 n = binary::match_length(&at, v, case_);
    return n >= 0 && n <= end - i ? n : -1;
  }
  Buffer* b = buffer_of(in_node());
  u32 unit = b->unit();
  const u8* h = b->head_ptr();
  Type t = type_of(v);
  if (t == TYPE_CHAR || t == TYPE_BITSET) {
    if (i >= end) return -1;
    u32 c = string::get_char(h + u64(i) * unit, unit);
    if (t == TYPE_BITSET) return bitset::test_bit(series_node(v), c) ? 1 : -1;
    u32 want = char_of(v);
    if (c == want || (!case_ && fold(c) == fold(want))) return 1;
    return -1;
  }
  // A string-like pattern from its index; a tag is matched with its brackets.
  u32 pnode = series_node(v);
  Buffer* pb = buffer_of(pnode);
  u32 punit = pb->unit();
  u32 ptotal = pb->used() / punit;
  u32 pidx = u32(std::clamp<i32>(series_index(v), 0, i32(ptotal)));
  u32 plen = ptotal - pidx;
  bool tag = t == TYPE_TAG;
  u64 need = u64(plen) + (tag ? 2 : 0);
  if (u64(i) + need > u64(end)) return -1;
  const u8* p = pb->head_ptr() + u64(pidx) * punit;
  u32 at = u32(i);
  if (tag) {
    if (string::get_char(h + u64(at) * unit, unit) != '<') return -1;
    ++at;
  }
  for (u32 k = 0; k < plen; ++k, ++at) {
    u32 c = string::get_char(h + u64(at) * unit, unit);
    u32 w = string::get_char(p + u64(k) * punit, punit);
    if (c != w && (case_ || fold(c) != fold(w))) return -1;
  }
  if (tag && string::get_char(h + u64(at) * unit, unit) != '>') return -1;
  return i32(need);
}

bool Engine::match_value_at(i32 i, i32 end, const Cell* v) {
  if (i < 0 || i >= end) return false;
  Cell in_cell = *cell_of(in_node(), u32(i));
  Type it = type_of(&in_cell);
  switch (type_of(v)) {
    case TYPE_DATATYPE:
      return it == datatype_of(v);
    case TYPE_TYPESET:
      return typeset::has(v, it);
    case TYPE_LIT_WORD:
      if (it != TYPE_WORD) return false;
      return case_ ? word::symbol_of(&in_cell) == word::symbol_of(v)
                   : symbol::resolve(word::symbol_of(&in_cell)) == symbol::resolve(word::symbol_of(v));
    case TYPE_LIT_PATH: {
      if (it != TYPE_PATH) return false;
      Cell* a = stack::push_cell(&in_cell);
      Cell* b = stack::push_cell(v);
      set_type(b, TYPE_PATH);
      bool r = actions::compare(a, b, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
      stack::pop(2);
      return r;
    }
    default: {
      Cell* a = stack::push_cell(&in_cell);
      Cell* b = stack::push_cell(v);
      bool r = actions::compare(a, b, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
      stack::pop(2);
      return r;
    }
  }
}

bool Engine::input_atom(Type t) const {
  if (text_atom(t)) return true;
  return binary_input() && (t == TYPE_BINARY || t == TYPE_DATATYPE || t == TYPE_TYPESET);
}

i32 Engine::match_scanned_at(i32 i, i32 end, const Cell* v) {
  if (i < 0 || i >= end) return -1;
  const u8* h = buffer_of(in_node())->head_ptr();
  std::vector<u8> text(h + i, h + end);  // the lexer reads outside the collected region
  lexer::ScanFlags flags;
  flags.one = true;
  flags.load = false;
  u32 consumed = 0;
  Cell* dst = make_none(stack::push());
  Type t = lexer::scan(dst, text.data(), u32(text.size()), flags, &consumed, nullptr, nullptr, nullptr);
  stack::pop(1);
  if (t == TYPE_NO_TYPE || t == TYPE_ERROR) return -1;
  bool ok = type_of(v) == TYPE_DATATYPE ? t == datatype_of(v) : typeset::has(v, t);
  return ok ? i32(std::min<u32>(consumed, u32(end - i))) : -1;
}

void Engine::check_atom(const Cell* v) {
  Type t = type_of(v);
  if (in.kind == IN_TEXT) {
    if ((t == TYPE_DATATYPE || t == TYPE_TYPESET) && !binary_input()) fire(Err::script_parse_unsupported);
    if (!input_atom(t)) {
      Cell c = *v;
      fire(Err::script_parse_rule, &c);
    }
  }
}

i32 Engine::match_atom_at(i32 i, i32 end, const Cell* v) {
  if (in.kind == IN_TEXT) return match_text_at(i, end, v);
  return match_value_at(i, end, v) ? 1 : -1;
}

Engine::Flow Engine::match_atom(const Cell* v) {
  check_atom(v);
  clamp_index();
  i32 n = match_atom_at(in.index, in_end(), v);
  if (n >= 0) in.index += n;
  return atom(n >= 0);
}

const Cell* Engine::simple_atom(u32 node, u32 p, Cell* out) {
  if (p >= cells_of(node)) return nullptr;
  Cell c = *cell_of(node, p);
  bool from_word = false;
  if (type_of(&c) == TYPE_WORD) {
    if (keyword_of(&c) != K_NO) return nullptr;
    const Cell* v = rule_value(&c);
    if (!v) return nullptr;
    c = *v;
    from_word = true;
  }
  Type t = type_of(&c);
  if (in.kind == IN_TEXT) {
    if (!input_atom(t)) return nullptr;
  } else {
    switch (t) {
      case TYPE_BLOCK: case TYPE_PAREN: case TYPE_INTEGER: case TYPE_SET_WORD: case TYPE_GET_WORD:
        return nullptr;
      case TYPE_WORD:  // a word held by a word matches literally
        if (!from_word) return nullptr;
        break;
      default:
        break;
    }
  }
  *out = c;
  return out;
}

const Cell* Engine::sub_block(u32 node, u32 p, Cell* out) {
  Cell c = *cell_of(node, p);
  if (type_of(&c) == TYPE_WORD) {
    if (keyword_of(&c) != K_NO) return nullptr;
    const Cell* v = rule_value(&c);
    if (!v || type_of(v) != TYPE_BLOCK) return nullptr;
    c = *v;
  } else if (type_of(&c) != TYPE_BLOCK) {
    return nullptr;
  }
  *out = c;
  return out;
}

i32 Engine::repeat_atom(const Cell* v, i32 max) {
  clamp_index();
  i32 end = in_end();
  i32 count = 0;
  i32 i = in.index;
  Type t = type_of(v);
  if (in.kind == IN_TEXT && t == TYPE_BITSET && !binary_input()) {
    // Nothing allocates here: both buffers stay where they are.
    Buffer* b = buffer_of(in_node());
    u32 unit = b->unit();
    const u8* h = b->head_ptr();
    i32 stop = max < 0 ? end : i32(std::min<i64>(end, i64(i) + max));
    i = charset_run(h, unit, i, stop, v);
    count = i - in.index;
  } else {
    while (max < 0 || count < max) {
      i32 n = match_atom_at(i, end, v);
      if (n < 0) break;
      ++count;
      if (n == 0) break;  // no progress: every further round matches the same
      i += n;
    }
  }
  in.index = i;
  return count;
}

void Engine::missing_after(const Cell* keyword) {
  Cell k = *keyword;
  fire(Err::script_parse_end, &k);
}

void Engine::need_more(const Cell* keyword) {
  Entry& b = block();
  if (b.pos >= cells_of(series_node(&b.a))) missing_after(keyword);
}

bool Engine::take_keyword(Keyword k) {
  Entry& b = block();
  u32 node = series_node(&b.a);
  if (b.pos >= cells_of(node) || !is_keyword(cell_of(node, b.pos), k)) return false;
  ++b.pos;
  return true;
}

u32 Engine::push_command(Code code, const Cell* keyword) {
  Entry& b = block();
  u32 node = series_node(&b.a);
  u32 p = b.pos;
  if (p >= cells_of(node) || is_keyword(cell_of(node, p), K_BAR)) missing_after(keyword);
  u32 i = push_entry(code, 1);
  g_rules[i].pos = p;
  return i;
}

Engine::Flow Engine::skip_rule(u32 end, bool r) {
  Entry& b = block();
  b.pos = std::max(b.pos, end);
  return atom(r);
}

Engine::Flow Engine::start_repeat(const Cell* keyword, i32 min, i32 max, bool while_) {
  Entry& b = block();
  u32 node = series_node(&b.a);
  if (b.pos >= cells_of(node) || is_keyword(cell_of(node, b.pos), K_BAR)) {
    Cell k = *keyword;
    if (type_of(&k) == TYPE_INTEGER) fire(Err::script_parse_rule, &k);
    missing_after(keyword);
  }
  u32 sub = b.pos;
  if (max == 0) return skip_rule(rule_end(node, sub), true);
  Cell atom_cell;
  if (!tracing && !while_) {
    if (const Cell* v = simple_atom(node, sub, &atom_cell)) {
      check_atom(v);
      i32 start = in.index;
      i32 count = repeat_atom(v, max);
      bool ok = count >= min;
      if (!ok) in.index = start;
      return skip_rule(sub + 1, ok);
    }
  }
  // A block that fails at once: no round matches.
  if (const Cell* blk = sub_block(node, sub, &atom_cell); blk && fails_at_once(blk)) {
    return skip_rule(sub + 1, min == 0);
  }
  u32 i = push_entry(C_REPEAT, 1);
  Entry& e = g_rules[i];
  e.pos = sub;
  e.min = min;
  e.max = max;
  e.flags = while_ ? F_WHILE : 0;
  e.mark = in.index;
  e.mark_len = in_total();
  event(EV_PUSH);
  return AGAIN;
}

void Engine::count_range(const Cell* first, i32& min, i32& max) {
  min = int_of(first);
  max = min;
  Entry& b = block();
  u32 node = series_node(&b.a);
  if (b.pos < cells_of(node)) {
    Cell d = *cell_of(node, b.pos);
    const Cell* v = nullptr;
    if (type_of(&d) == TYPE_INTEGER) v = &d;
    else if (type_of(&d) == TYPE_WORD && keyword_of(&d) == K_NO) {
      v = rule_value(&d);
      if (v && type_of(v) != TYPE_INTEGER) v = nullptr;
    }
    if (v) {
      max = int_of(v);
      ++b.pos;
      if (max < 0) {
        Cell c = *v;
        fire(Err::script_out_of_range, &c);
      }
    }
  }
  if (min < 0) {
    Cell c = *first;
    fire(Err::script_out_of_range, &c);
  }
  if (max < min) {
    Cell c = *first;
    fire(Err::script_parse_rule, &c);
  }
}

Engine::Flow Engine::start_count(const Cell* first) {
  i32 min, max;
  count_range(first, min, max);
  return start_repeat(first, min, max, false);
}

Engine::Flow Engine::start_to(const Cell* keyword, bool thru) {
  u32 i = push_command(thru ? C_THRU : C_TO, keyword);
  Entry& e = g_rules[i];
  u32 node = series_node(&block().a);
  u32 sub = e.pos, end = sub + 1;
  Cell next = *cell_of(node, sub);
  if (is_keyword(&next, K_END)) {
    pop_entry();
    clamp_index();
    in.index = in_end();
    return skip_rule(end, true);
  }
  Cell atom_cell;
  const Cell* v = tracing ? nullptr : simple_atom(node, sub, &atom_cell);
  if (v) {
    pop_entry();
    check_atom(v);
    clamp_index();
    i32 stop = in_end();
    for (i32 at = in.index; at <= stop; ++at) {
      i32 n = match_atom_at(at, stop, v);
      if (n >= 0) {
        in.index = thru ? at + n : at;
        return skip_rule(end, true);
      }
    }
    return skip_rule(end, false);
  }
  event(EV_PUSH);
  return AGAIN;
}

Cell Engine::take_word(const Cell* keyword) {
  Entry& b = block();
  u32 node = series_node(&b.a);
  if (b.pos >= cells_of(node) || type_of(cell_of(node, b.pos)) != TYPE_WORD ||
      keyword_of(cell_of(node, b.pos)) == K_BAR) {
    missing_after(keyword);
  }
  return *cell_of(node, b.pos++);
}

Engine::Flow Engine::start_word_command(Code code, const Cell* keyword) {
  Cell w = take_word(keyword);
  u32 i = push_command(code, keyword);
  g_rules[i].a = w;
  event(EV_PUSH);
  return AGAIN;
}

Engine::Flow Engine::start_case(const Cell* keyword) {
  Cell w = take_word(keyword);
  Cell wc = w;
  const Cell* v = word::get_value_cell(&wc);
  if (is_unset(v)) fire(Err::script_no_value, &wc);
  bool cs = !logic::is_false(v);
  u32 i = push_command(C_CASE, keyword);
  g_rules[i].flags = case_ ? F_CASE : 0;
  case_ = cs;
  event(EV_PUSH);
  return AGAIN;
}

Engine::Flow Engine::start_into(const Cell* keyword) {
  if (in.kind != IN_BLOCK) {
    Cell s = in.series;
    set_series_index(&s, in.index);
    fire(Err::script_parse_block, &s);
  }
  Entry& b = block();
  u32 node = series_node(&b.a);
  Cell rule;
  make_none(&rule);
  if (b.pos < cells_of(node)) rule = *cell_of(node, b.pos);
  Cell sub = rule;
  if (type_of(&rule) == TYPE_WORD && keyword_of(&rule) == K_NO) {
    if (const Cell* v = rule_value(&rule)) sub = *v;
  }
  if (type_of(&sub) != TYPE_BLOCK) missing_after(keyword);
  u32 i = push_command(C_INTO, keyword);
  g_rules[i].end = g_rules[i].pos + 1;
  event(EV_PUSH);
  clamp_index();
  Cell value;
  make_none(&value);
  if (in.index < in_end()) value = *cell_of(in_node(), u32(in.index));
  Type vt = type_of(&value);
  if (!(is_any_block_type(vt) || is_any_string_type(vt) || vt == TYPE_BINARY)) {
    return complete(false);
  }
  block().pos = g_rules[i].pos + 1;
  if (g_inputs.size() + 1 > MAX_CELLS) fire(Err::script_parse_stack);
  g_inputs.push_back(in);
  in.series = value;
  in.kind = is_any_block_type(vt) ? IN_BLOCK : IN_TEXT;
  in.limit = -1;
  in.index = 0;
  in.index = std::clamp<i32>(series_index(&value), 0, i32(in_total()));
  return push_block(&sub, &rule);
}

bool Engine::compatible_target(Type t) {
  if (is_any_block_type(t)) return true;
  if (is_any_string_type(t)) return in.kind == IN_TEXT && !binary_input();
  if (t == TYPE_BINARY) return binary_input();
  return false;
}

Engine::Flow Engine::start_collect(const Cell* keyword) {
  Entry& b = block();
  u32 node = series_node(&b.a);
  CollectKind kind = COLLECT_NEW;
  Cell w;
  make_none(&w);
  if (b.pos < cells_of(node) && type_of(cell_of(node, b.pos)) == TYPE_WORD) {
    Keyword f = keyword_of(cell_of(node, b.pos));
    if (f == K_SET || f == K_INTO || f == K_AFTER) {
      Cell fw = *cell_of(node, b.pos);
      ++b.pos;
      w = take_word(&fw);
      kind = f == K_SET ? COLLECT_SET : f == K_INTO ? COLLECT_INTO : COLLECT_AFTER;
    }
  }
  Cell* target = stack::push();
  if (kind == COLLECT_NEW || kind == COLLECT_SET) {
    block::make_at(target, 8);
    if (kind == COLLECT_SET) word::set(&w, target);
  } else {
    Cell wc = w;
    const Cell* v = word::get_value_cell(&wc);
    Type vt = type_of(v);
    if (!is_series_type(vt)) fire(Err::script_parse_into_bad);
    if (!compatible_target(vt)) fire(Err::script_parse_into_type);
    copy_cell(v, target);
  }
  u32 i = push_command(C_COLLECT, keyword);
  Entry& e = g_rules[i];
  e.kind = kind;
  e.a = w;
  e.b = *target;
  e.prev = collect_top;
  if (kind == COLLECT_NEW && collect_top == NO_ENTRY && collect_mode && !have_result) {
    result = *target;
    have_result = true;
  }
  collect_top = i;
  stack::pop(1);
  event(EV_PUSH);
  return AGAIN;
}

void Engine::keep_value(const Cell* value, bool pick) {
  if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
  u32 ci = collect_top;
  Entry& c = g_rules[ci];
  bool insert = c.kind == COLLECT_INTO;
  Cell* target = stack::push_cell(&c.b);
  Cell* v = stack::push_cell(value);
  bool only = is_any_block_type(type_of(target)) && !pick;
  if (insert) actions::handler<act::Insert>(target, ACT_insert)(target, v, -1, only, 1, false);
  else actions::handler<act::Insert>(target, ACT_append)(target, v, -1, only, 1, true);
  if (insert) g_rules[ci].b = *target;  // later values go after this one
  stack::pop(2);
}

void Engine::keep_part(i32 s, i32 e, bool pick) {
  if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
  if (e <= s) return;
  i32 n = e - s;
  Entry& c = g_rules[collect_top];
  u32 ci = collect_top;
  stack::Mark mark;
  Cell* target = stack::push_cell(&c.b);
  Cell* part = push_input_at(s);
  Type tt = type_of(target);
  bool insert = c.kind == COLLECT_INTO;
  auto put = [&](Cell* v, bool only, i32 count) {
    if (insert) actions::handler<act::Insert>(target, ACT_insert)(target, v, count, only, 1, false);
    else actions::handler<act::Insert>(target, ACT_append)(target, v, count, only, 1, true);
  };
  if (is_any_string_type(tt) || tt == TYPE_BINARY) {
    put(part, false, n);  // text into text, bytes into bytes: appended as they stand
  } else if (pick && in.kind == IN_BLOCK) {
    put(part, false, n);
  } else if (pick || n == 1) {
    for (i32 k = 0; k < n; ++k) {
      Cell* v = stack::push();
      unit_value(s + k, v);
      put(v, true, -1);
      stack::pop(1);
    }
  } else {
    Cell* count = make_integer(stack::push(), n);
    Cell* copy = make_none(stack::push());
    actions::handler<act::Copy>(part, ACT_copy)(part, copy, count, false, nullptr);
    put(copy, true, -1);
  }
  if (insert) g_rules[ci].b = *target;
}

void Engine::unit_value(i32 i, Cell* out) {
  if (in.kind == IN_BLOCK) {
    copy_cell(cell_of(in_node(), u32(i)), out);
    clear_new_line(out);
  } else if (binary_input()) {
    make_integer(out, i32(buffer_of(in_node())->head_ptr()[i]));
  } else {
    make_char(out, string::char_at(&in.series, u32(i)));
  }
}

Engine::Flow Engine::start_keep(const Cell* keyword) {
  bool pick = take_keyword(K_PICK);
  Entry& b = block();
  u32 node = series_node(&b.a);
  if (b.pos < cells_of(node) && type_of(cell_of(node, b.pos)) == TYPE_PAREN) {
    if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
    Cell paren = *cell_of(node, b.pos++);
    {
      stack::Mark mark;
      Cell* v = eval_paren(&paren);
      event(EV_PAREN);
      keep_value(v, pick);
    }
    return action();
  }
  if (collect_top == NO_ENTRY) fire(Err::script_parse_keep);
  u32 i = push_command(C_KEEP, keyword);
  g_rules[i].flags = pick ? F_PICK : 0;
  event(EV_PUSH);
  return AGAIN;
}

Engine::Flow Engine::start_change(const Cell* keyword) {
  bool only = take_keyword(K_ONLY);
  u32 node = series_node(&block().a);
  // The new value follows the rule.
  u32 at = rule_end(node, block().pos);
  if (at >= cells_of(node)) end_error(node, cells_of(node));
  Cell value = *cell_of(node, at);
  if (is_any_path_type(type_of(&value))) fire(Err::script_parse_rule, &value);
  u32 i = push_command(C_CHANGE, keyword);
  g_rules[i].flags = only ? F_ONLY : 0;
  event(EV_PUSH);
  return AGAIN;
}

bool Engine::is_any_path_type(Type t) {
  return t == TYPE_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH || t == TYPE_GET_PATH;
}

Cell* Engine::edit_value(const Cell* rule) {
  Type t = type_of(rule);
  if (t == TYPE_PAREN) {
    Cell* v = eval_paren(rule);
    event(EV_PAREN);
    return v;
  }
  if (is_any_path_type(t)) {
    Cell c = *rule;
    fire(Err::script_parse_rule, &c);
  }
  if (t == TYPE_WORD || t == TYPE_GET_WORD) {
    Cell w = *rule;
    set_type(&w, TYPE_WORD);
    return word::get(&w);
  }
  return stack::push_cell(rule);
}

void Engine::edited(i32 at, i32 delta) {
  if (in.limit >= 0 && at <= in.limit) in.limit = std::max(at, in.limit + delta);
}

Engine::Flow Engine::do_insert(const Cell* keyword) {
  bool only = take_keyword(K_ONLY);
  need_more(keyword);
  Entry& b = block();
  u32 node = series_node(&b.a);
  {
    stack::Mark mark;
    clamp_index();
    i32 at = in.index;
    if (insert_position(cell_of(node, b.pos)) && b.pos + 1 < cells_of(node)) {
      const Cell* v = rule_value(cell_of(node, b.pos));
      at = std::clamp<i32>(series_index(v), 0, i32(in_total()));
      ++b.pos;
    }
    Cell rule = *cell_of(node, b.pos++);
    Cell* value = edit_value(&rule);
    clamp_index();
    at = std::min(at, i32(in_total()));
    u32 before = in_total();
    Cell* target = push_input_at(at);
    actions::handler<act::Insert>(target, ACT_insert)(target, value, -1, only, 1, false);
    i32 delta = i32(in_total()) - i32(before);
    if (at <= in.index) in.index += delta;
    edited(at, delta);
  }
  clamp_index();
  event(EV_CHANGE);
  return action();
}

Engine::Flow Engine::set_position(const Cell* set_word) {
  Cell w = *set_word;
  set_type(&w, TYPE_WORD);
  clamp_index();
  Cell* pos = push_input_at(in.index);
  word::set(&w, pos);
  stack::pop(1);
  return action();
}

Engine::Flow Engine::get_position(const Cell* get_word) {
  Cell w = *get_word;
  set_type(&w, TYPE_WORD);
  const Cell* v = rule_value(&w);
  if (!v || !is_series_type(type_of(v)) || series_node(v) != in_node()) {
    Cell g = *get_word;
    fire(Err::script_parse_invalid_ref, &g);
  }
  in.index = std::clamp<i32>(series_index(v), 0, in_end());
  return action();
}

Engine::Flow Engine::paren(const Cell* p) {
  {
    stack::Mark mark;
    eval_paren(p);
  }
  clamp_index();
  event(EV_PAREN);
  return action();
}

Engine::Flow Engine::dispatch() {
  Entry& b = block();
  u32 node = series_node(&b.a);
  u32 n = cells_of(node);
  if (b.pos >= n) {
    if (awaiting()) end_error(node, n);
    return pop_block(true, false);
  }
  Cell v = *cell_of(node, b.pos);
  event(EV_FETCH, i32(block().pos));
  if (type_of(&v) == TYPE_WORD) {
    Keyword k = keyword_of(&v);
    if (k == K_BAR) {
      Entry& bb = block();
      if (awaiting() || bb.pos + 1 >= cells_of(node)) fire(Err::script_parse_end, &v);
      return pop_block(true, false);
    }
    ++block().pos;
    if (k != K_NO) return keyword(k, &v);
    return dispatch_value(&v, false);
  }
  ++block().pos;
  return dispatch_value(&v, false);
}

Engine::Flow Engine::dispatch_value(const Cell* vp, bool via_word) {
  Cell v = *vp;
  switch (type_of(&v)) {
    case TYPE_WORD: {
      if (via_word) return match_atom(&v);
      Keyword k = keyword_of(&v);
      if (k != K_NO) return keyword(k, &v);
      const Cell* value = rule_value(&v);
      if (!value) fire(Err::script_parse_rule, &v);
      if (type_of(value) == TYPE_BLOCK) {
        Cell blk = *value;
        if (fails_at_once(&blk)) return atom(false);
        return push_block(&blk, &v);
      }
      Cell val = *value;
      return dispatch_value(&val, true);
    }
    case TYPE_SET_WORD:
      return set_position(&v);
    case TYPE_GET_WORD:
      return get_position(&v);
    case TYPE_PAREN:
      return paren(&v);
    case TYPE_BLOCK:
      if (fails_at_once(&v)) return atom(false);
      return push_block(&v, &v);
    case TYPE_INTEGER:
      return start_count(&v);
    default:
      return match_atom(&v);
  }
}

Engine::Flow Engine::keyword(Keyword k, const Cell* kw) {
  switch (k) {
    case K_SKIP: {
      clamp_index();
      bool ok = in.index < in_end();
      if (ok) ++in.index;
      return atom(ok);
    }
    case K_END:
      clamp_index();
      return atom(in.index >= in_end());
    case K_NONE:
      return atom(true);
    case K_FAIL:
      return atom(false);
    case K_BREAK: case K_REJECT: {
      // Leaves the enclosing rule block, dropping the commands that wait
      // for their sub-rule in it.
      while (awaiting()) discard_top();
      return pop_block(k == K_BREAK, true);
    }
    case K_ANY: return start_repeat(kw, 0, -1, false);
    case K_SOME: return start_repeat(kw, 1, -1, false);
    case K_OPT: return start_repeat(kw, 0, 1, false);
    case K_WHILE: return start_repeat(kw, 0, -1, true);
    case K_TO: return start_to(kw, false);
    case K_THRU: return start_to(kw, true);
    case K_COPY: return start_word_command(C_COPY, kw);
    case K_SET: return start_word_command(C_SET, kw);
    case K_NOT: return start_plain(C_NOT, kw);
    case K_AHEAD: return start_plain(C_AHEAD, kw);
    case K_REMOVE: return start_plain(C_REMOVE, kw);
    case K_INTO: return start_into(kw);
    case K_COLLECT: return start_collect(kw);
    case K_KEEP: return start_keep(kw);
    case K_CHANGE: return start_change(kw);
    case K_INSERT: return do_insert(kw);
    case K_CASE: return start_case(kw);
    case K_QUOTE: {
      need_more(kw);
      Entry& b = block();
      Cell v = *cell_of(series_node(&b.a), b.pos++);
      if (in.kind == IN_TEXT && !input_atom(type_of(&v))) fire(Err::script_parse_rule, &v);
      if (in.kind == IN_BLOCK) {
        // Quoted values compare as they stand, whatever their type.
        clamp_index();
        bool ok = false;
        if (in.index < in_end()) {
          Cell* a = stack::push_cell(cell_of(in_node(), u32(in.index)));
          Cell* c = stack::push_cell(&v);
          ok = actions::compare(a, c, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
          stack::pop(2);
        }
        if (ok) ++in.index;
        return atom(ok);
      }
      return match_atom(&v);
    }
    case K_IF: {
      need_more(kw);
      Entry& b = block();
      Cell p = *cell_of(series_node(&b.a), b.pos);
      if (type_of(&p) != TYPE_PAREN) fire(Err::script_parse_rule, &p);
      ++block().pos;
      bool ok;
      {
        stack::Mark mark;
        ok = !logic::is_false(eval_paren(&p));
      }
      clamp_index();
      event(EV_PAREN);
      return atom(ok);
    }
    case K_ONLY: case K_PICK: case K_AFTER: case K_BAR: case K_NO: {
      Cell c = *kw;
      fire(Err::script_parse_rule, &c);
    }
  }
  return AGAIN;
}

Engine::Flow Engine::start_plain(Code code, const Cell* kw) {
  push_command(code, kw);
  event(EV_PUSH);
  return AGAIN;
}

void Engine::discard_top() {
  Entry& t = top();
  if (t.code == C_COLLECT) collect_top = t.prev;
  else if (t.code == C_CASE) case_ = (t.flags & F_CASE) != 0;
  event(EV_POP);
  pop_entry();
}

Engine::Flow Engine::apply() {
  bool brk = broken;
  broken = false;
  bool r = res;
  if (g_rules.back().code == C_BLOCK) {
    if (r) return AGAIN;
    return next_alternative();
  }
  u32 ti = top_index();
  Entry& t = g_rules[ti];
  switch (t.code) {
    case C_REPEAT: {
      if (!r) return complete(!brk && t.count >= t.min);
      ++t.count;
      if (brk) return complete(true);
      if (t.max >= 0 && t.count >= t.max) return complete(true);
      bool moved = in.index != t.mark || in_total() != t.mark_len;
      if (!moved && !(t.flags & F_WHILE)) return complete(true);
      t.mark = in.index;
      t.mark_len = in_total();
      return iterate(t.pos);
    }
    case C_TO: case C_THRU: {
      if (r) {
        if (t.code == C_TO) in.index = t.mark;
        return complete(true);
      }
      clamp_index();
      if (t.mark >= in_end()) return complete(false);
      ++t.mark;
      in.index = t.mark;
      return iterate(t.pos);
    }
    case C_COPY: case C_SET: {
      if (r) {
        Cell w = t.a;
        i32 s = t.start;
        clamp_index();
        stack::Mark mark;
        Cell* v = stack::push();
        if (t.code == C_COPY) {
          Cell* from = push_input_at(s);
          Cell* count = make_integer(stack::push(), std::max(0, in.index - s));
          actions::handler<act::Copy>(from, ACT_copy)(from, v, count, false, nullptr);
        } else if (in.index > s && s < i32(in_total())) {
          unit_value(s, v);
        } else {
          make_none(v);
        }
        word::set(&w, v);
      }
      return complete(r);
    }
    case C_NOT:
      in.index = t.start;
      return complete(!r);
    case C_AHEAD:
      in.index = t.start;
      return complete(r);
    case C_REMOVE: {
      if (r) {
        i32 s = t.start;
        clamp_index();
        i32 n = in.index - s;
        if (n > 0) {
          {
            stack::Mark mark;
            Cell* from = push_input_at(s);
            Cell* count = make_integer(stack::push(), n);
            actions::handler<act::Remove>(from, ACT_remove)(from, count, nullptr);
          }
          edited(s, -n);
        }
        in.index = s;
        clamp_index();
        event(EV_CHANGE);
      }
      return complete(r);
    }
    case C_INTO: {
      bool ok = r && in.index >= in_end();
      in = g_inputs.back();
      g_inputs.pop_back();
      Entry& e = g_rules[ti];
      in.index = e.start;
      clamp_index();
      if (ok) {
        if (in.index < in_end()) ++in.index;
        else ok = false;
      }
      return complete(ok);
    }
    case C_COLLECT: {
      collect_top = t.prev;
      if (r && t.kind == COLLECT_NEW && collect_top != NO_ENTRY) {
        stack::Mark mark;
        keep_value(stack::push_cell(&g_rules[ti].b), false);
      }
      return complete(r);
    }
    case C_KEEP:
      if (r) {
        bool pick = (t.flags & F_PICK) != 0;
        clamp_index();
        keep_part(t.start, in.index, pick);
      }
      return complete(r);
    case C_CHANGE: {
      // The new value follows the rule, whatever its result.
      Entry& b = block();
      u32 node = series_node(&b.a);
      Cell rule;
      if (b.pos < cells_of(node)) rule = *cell_of(node, b.pos);
      else make_none(&rule);
      ++b.pos;
      if (r) {
        Entry& e = g_rules[ti];
        bool only = (e.flags & F_ONLY) != 0;
        i32 s = e.start;
        {
          stack::Mark mark;
          Cell* value = edit_value(&rule);
          clamp_index();
          s = std::min(s, i32(in_total()));
          i32 cut = std::max(0, in.index - s);
          u32 before = in_total();
          Cell* target = push_input_at(s);
          actions::handler<act::Change>(target, ACT_change)(target, value, cut, only, 1);
          i32 after = series_index(target);
          edited(s, i32(in_total()) - i32(before));
          in.index = after;
        }
        clamp_index();
        event(EV_CHANGE);
      }
      return complete(r);
    }
    case C_CASE:
      case_ = (t.flags & F_CASE) != 0;
      return complete(r);
    case C_BLOCK:
      break;
  }
  return AGAIN;
}

bool Engine::run_rules() {
  Flow f = push_block(&rules, &rules);
  for (;;) {
    switch (f) {
      case AGAIN: f = dispatch(); break;
      case RESULT: f = apply(); break;
      case DONE: {
        clamp_index();
        bool ok = res && in.index >= in_end() && g_inputs.size() == inputs_base;
        match = ok;
        event(EV_END);
        return ok;
      }
    }
  }
}

}  // namespace qel::parse::detail
