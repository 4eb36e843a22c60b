// The lexer's machine: the scan loop, the shared stack and its open-series
// markers, events, syntax errors, the entries (scan, transcode_string) and
// the transcode native.
//
// Open-series marker: a triple! cell on the shared stack whose word 1 is the
// distance back to the previous series start, word 2 the series' datatype
// (low 16 bits; a point keeps its comma count in the high 16 bits), word 3
// the byte offset of the opening in the input. Closing a series copies the
// cells above its marker into a new series that takes the marker's place.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "datatypes/block.hpp"
#include "datatypes/triple.hpp"
#include "datatypes/function.hpp"
#include "datatypes/logic.hpp"
#include "datatypes/string.hpp"
#include "datatypes/symbol.hpp"
#include "datatypes/word.hpp"
#include "runtime/api.hpp"
#include "eval/lexer_state.hpp"
#include "runtime/actions.hpp"
#include "runtime/collector.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "runtime/startup.hpp"
#include "runtime/unicode.hpp"

namespace qel::lexer {

State* current = nullptr;
std::vector<Cell> cells;

namespace {

constexpr u32 STACK_CELLS = 1000;       // shared stack at start-up
constexpr u32 SCRATCH_BYTES = 100000;   // UTF-8 scratch buffer at start-up
constexpr u32 EXIT_STATES = 34;

std::unique_ptr<u8[]> g_scratch;
u32 g_scratch_used = 0;
const Cell* g_words[LW_COUNT_] = {};
const Cell* g_exit_states = nullptr;  // block! cell in the root block

// Room for the UTF-8 text of a scan: the free part of the scratch buffer
// (outer scans keep the part before it), or a buffer of its own.
class Scratch {
 public:
  explicit Scratch(u64 bytes) {
    if (bytes > 0xFFFFFFF0ull) fire(Err::internal_no_memory);
    u32 n = u32(bytes) + 1;
    saved_ = g_scratch_used;
    if (g_scratch && n <= SCRATCH_BYTES - g_scratch_used) {
      data_ = g_scratch.get() + g_scratch_used;
      g_scratch_used += n;
    } else {
      own_.reset(new (std::nothrow) u8[n]);
      if (!own_) fire(Err::internal_no_memory);
      data_ = own_.get();
    }
  }
  ~Scratch() { g_scratch_used = saved_; }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  u8* data() { return data_; }

 private:
  u8* data_ = nullptr;
  std::unique_ptr<u8[]> own_;
  u32 saved_ = 0;
};

inline bool is_path_type(u32 t) {
  return t == TYPE_PATH || t == TYPE_LIT_PATH || t == TYPE_SET_PATH || t == TYPE_GET_PATH;
}
// A callback is a function! or routine! (C++ code may stand in a native!).
inline bool is_function_value(Type t) {
  return t == TYPE_FUNCTION || t == TYPE_ROUTINE || t == TYPE_NATIVE;
}

// ---- positions as the callback sees them -----------------------------------------------

// Index in the source series of the byte position p.
i32 index_at(State* s, const u8* p) {
  if (!s->chars) return s->source_index + i32(p - s->input);
  if (!s->cache_pos || p < s->cache_pos) {
    s->cache_pos = s->input;
    s->cache_index = 0;
  }
  s->cache_index += unicode::count_utf8_chars(s->cache_pos, p);
  s->cache_pos = p;
  return s->source_index + i32(s->cache_index);
}

// Byte position of an index of the source series, kept inside the input.
const u8* position_at(State* s, i32 index) {
  i64 n = i64(index) - s->source_index;
  if (n <= 0) return s->input;
  if (!s->chars) return s->input + std::min<i64>(n, s->end - s->input);
  return unicode::skip_utf8_chars(s->input, s->end, u32(n));
}

// ---- events ----------------------------------------------------------------------------

u32 event_mask(const Cell* callback) {
  u32 spec = function::spec_of(callback);
  if (!spec || !mem::node_target(spec)) return EVENTS_ALL;
  mem::Buffer* b = mem::buffer_of(spec);
  if (b->unit() != 16 || b->used() < sizeof(Cell)) return EVENTS_ALL;
  const Cell* first = b->cells();
  if (type_of(first) != TYPE_BLOCK || !series_node(first)) return EVENTS_ALL;
  mem::Buffer* words = mem::buffer_of(series_node(first));
  u32 mask = 0;
  for (const Cell* c = words->cells() + series_index(first); c < words->cell_tail(); ++c) {
    if (type_of(c) != TYPE_WORD) continue;
    static constexpr LexWord kEvents[] = {LW_PRESCAN, LW_SCAN, LW_LOAD, LW_OPEN, LW_CLOSE, LW_ERROR};
    for (u32 i = 0; i < 6; ++i) {
      if (symbol::resolve(word::symbol_of(c)) == symbol::resolve(word::symbol_of(g_words[kEvents[i]]))) {
        mask |= 1u << i;
      }
    }
  }
  return mask;
}

}  // namespace

u32 tail(const State*) { return u32(cells.size()); }

Cell* new_cell(State* s) {
  if (cells.size() == cells.capacity()) {
    try {
      cells.reserve(cells.capacity() ? cells.capacity() * 2 : STACK_CELLS);
    } catch (const std::bad_alloc&) {
      fire(Err::internal_no_memory);
    }
  }
  cells.push_back(Cell{TYPE_UNSET | (s->line_feeds > 0 ? FLAG_NEW_LINE : 0u), 0, 0, 0});
  return &cells.back();
}

void set_position(State* s, const u8* p) { s->pos = p; }

const u8* marker_position(const State* s) {
  if (s->series_start == s->head) return s->input;
  return s->input + marker_offset(&cells[s->series_start - 1]);
}

Type marker_type(const State* s) {
  if (s->series_start == s->head) return TYPE_NO_TYPE;
  return Type(marker_kind(&cells[s->series_start - 1]) & 0xFFFF);
}

bool fire_event(State* s, Event e, i32 type, const Cell* value, const u8* start, const u8* end) {
  if (e == EV_SCAN && type == -2) {
    e = EV_ERROR;
    type = TYPE_ERROR;
  }
  if (!(s->mask & e)) return true;
  if (type == TYPE_POINT2D || type == TYPE_POINT3D) {
    if (start > s->input) --start;
    if (e == EV_PRESCAN && end < s->end) ++end;
  }
  // Where the source series stands: at the token for open events and for
  // prescans of tokens without a datatype, else after it.
  const u8* at = (e == EV_OPEN || (e == EV_PRESCAN && type < 0)) ? start : end;
  i32 at_index = index_at(s, at);
  i32 start_index = index_at(s, start);
  i32 end_index = index_at(s, end);

  LexWord ew = e == EV_PRESCAN ? LW_PRESCAN : e == EV_SCAN ? LW_SCAN : e == EV_LOAD ? LW_LOAD
             : e == EV_OPEN ? LW_OPEN : e == EV_CLOSE ? LW_CLOSE : LW_ERROR;
  // The five arguments: event word, source series, type, line, token.
  api::Values args(6);  // the five, and the result
  copy_cell(g_words[ew], args[0]);
  Cell* src = copy_cell(&s->source, args[1]);
  if (type_of(src) != TYPE_NONE) set_series_index(src, at_index);
  Cell* t = args[2];
  if (type > 0) {
    make_datatype(t, Type(type));
  } else if (type < 0 && -type <= 12) {
    copy_cell(mem::buffer_of(series_node(g_exit_states))->cells() + (-type - 1), t);
  } else if (type == -K_COMMA) {
    copy_cell(g_words[LW_COMMA], t);
  } else {
    make_none(t);
  }
  make_integer(args[3], s->line);
  Cell* token = args[4];
  if (value) {
    copy_cell(value, token);
    clear_new_line(token);
  } else {
    // The token's 1-based start and end positions, as a pair!.
    triple::make_at(token, 0, start_index + 1, end_index + 1);
    set_type(token, TYPE_PAIR);
  }
  // The callback may move the source position by setting its argument: the
  // arguments' final values are read back.
  api::CallOptions o;
  o.name = g_words[LW_FRAME];
  o.callback = api::CALLBACK_LEXER;
  o.check_types = false;
  o.args_after = args.data();
  api::check(api::invoke(&s->callback, args.data(), 5, args[5], o));
  bool answer = !logic::is_false(args[5]);
  const Cell* moved = args[1];
  if (type_of(&s->source) != TYPE_NONE && type_of(moved) == type_of(&s->source) &&
      series_node(moved) == series_node(&s->source) && series_index(moved) != at_index) {
    s->moved = true;
    s->moved_to = position_at(s, series_index(moved));
  }
  return answer;
}

// Whether the '(' at p opens a point literal: more than three bytes follow
// it and every byte up to a comma (or the input end) is a number character.
bool opens_point(const State* s, const u8* p) {
  const u8* q = p + 1;
  if (s->end - q <= 3) return false;
  for (; q < s->end && *q != ','; ++q) {
    switch (*q) {
      case '\t': case ' ': case '#': case '+': case '-': case '.': case 'A': case 'E': case 'F':
      case 'I': case 'N': case 'a': case 'e': case 'f': case 'i': case 'n':
        break;
      default:
        if (*q < '0' || *q > '9') return false;
    }
  }
  return true;
}

// ---- series ----------------------------------------------------------------------------

void open_series(State* s, Type t, const u8* start) {
  u32 back = tail(s) - s->series_start;
  Cell* m = new_cell(s);
  m->header = (m->header & FLAG_NEW_LINE) | TYPE_TRIPLE;
  set_marker(m, back, t, u32(start - s->input));
  s->series_start = tail(s);
  s->entry = S_START;
  if (wants(s, EV_OPEN)) fire_event(s, EV_OPEN, t, nullptr, start, start + 1);
}

namespace {

// Replaces the innermost marker and the cells above it by a series of type t.
void build_series(State* s, Type t) {
  u32 first = s->series_start;
  u32 mi = first - 1;
  u32 n = tail(s) - first;
  Cell value;
  if (s->load) {
    // The cells stay on the lexer stack (marked) while the block is made.
    u32 node = mem::alloc_cells(n ? n : 1);
    mem::Buffer* b = mem::buffer_of(node);
    if (n) std::memcpy(b->cells(), cells.data() + first, n * sizeof(Cell));
    b->tail += n * sizeof(Cell);
    make_series(&value, t, node);
  } else {
    make_series(&value, t, 0);  // nothing is built: a placeholder that is never shown
  }
  Cell marker = cells[mi];
  value.header |= marker.header & FLAG_NEW_LINE;
  cells.resize(first);
  cells[mi] = value;
  s->series_start = mi - marker_back(&marker);
  s->entry = is_path_type(marker_type(s)) ? S_PATH_START : S_START;
}

// Closes every open series as it stands (before a syntax error is raised).
void close_all(State* s) {
  while (s->series_start != s->head) {
    Type t = marker_type(s);
    if (t == TYPE_MAP || t == TYPE_POINT2D || t == TYPE_POINT3D) t = TYPE_BLOCK;
    build_series(s, t);
  }
  s->entry = S_START;
}

// Raises "missing" for a series of the given type.
[[noreturn]] void missing(State* s, const u8* start, Type t, i32 kind) {
  s->missing_type = t;
  throw_error(s, start, start ? start + 1 : nullptr, kind);
}

}  // namespace

i32 close_series(State* s, const u8* start, i32 expected, bool silent) {
  if (s->series_start == s->head) {
    missing(s, start, expected > 0 ? Type(expected) : TYPE_BLOCK, -3);
  }
  Cell marker = cells[s->series_start - 1];  // a copy: events may grow the stack
  Type mt = Type(marker_kind(&marker) & 0xFFFF);
  u32 commas = marker_kind(&marker) >> 16;
  Type result = mt;
  const u8* opened = s->input + marker_offset(&marker);
  if (expected == TYPE_SET_PATH) {
    if (mt == TYPE_LIT_PATH || mt == TYPE_GET_PATH) throw_error(s, opened, start, mt);
    if (mt != TYPE_PATH) missing(s, start, mt, -3);
    result = TYPE_SET_PATH;
  } else if (expected == TYPE_BLOCK) {
    if (mt != TYPE_BLOCK && mt != TYPE_MAP) missing(s, start, mt, -3);
  } else if (expected == TYPE_PAREN) {
    if (mt != TYPE_PAREN && mt != TYPE_POINT2D && mt != TYPE_POINT3D) missing(s, start, mt, -3);
  } else if (expected > 0 && expected != mt) {
    missing(s, start, mt, -3);
  }
  if (!silent && wants(s, EV_CLOSE) &&
      !fire_event(s, EV_CLOSE, mt, nullptr, opened, start ? start + 1 : s->pos)) {
    return 0;  // refused: the series stays open
  }
  if (mt == TYPE_POINT2D || mt == TYPE_POINT3D) {
    // A paren turned into a point by its commas: only a point literal (a
    // '(' followed by numbers, read by the point loader) makes a point.
    throw_error(s, opened, start, commas >= 2 ? TYPE_POINT3D : TYPE_POINT2D);
  }
  if (mt == TYPE_MAP) {
    check_map(s, marker, opened, start ? start + 1 : s->pos);
    build_series(s, TYPE_BLOCK);
    close_map(s, opened, start ? start + 1 : s->pos);
    return TYPE_MAP;
  }
  build_series(s, result);
  return result;
}

// ---- syntax errors ---------------------------------------------------------------------

namespace {

// A string! of the bytes [p, end): whole UTF-8 characters, a byte that is
// not one taken as it stands.
void text_value(Cell* out, const u8* p, const u8* end) {
  string::make_at(out, u32(end - p) + 1, 1);
  // (a NUL byte, which a report could not show, is written as its escape)
  for (;;) {
    const u8* nul = std::find(p, end, u8(0));
    if (nul > p) string::append_utf8(out, p, nul);
    if (nul == end) break;
    string::append_ascii(out, "^@");
    p = nul + 1;
  }
}

}  // namespace

[[noreturn]] void throw_error(State* s, const u8* start, const u8* end, i32 kind) {
  i32 previous = s->prev_type, token = s->token_type;
  s->token_type = TYPE_ERROR;
  if (!s->load) {
    s->error = true;
    throw QuietStop{};
  }
  if (!start) start = marker_position(s);
  if (!end || end < start) end = start;
  if (wants(s, EV_ERROR)) {
    // An input that ended with a series open reports that series' type: a
    // reader that gathers lines (the console) tells an unfinished value so.
    i32 t = kind == -4 ? i32(s->missing_type) : kind > 0 ? kind : previous > 0 ? previous
          : token > 0 ? token : s->target_type > 0 ? s->target_type : TYPE_ERROR;
    bool go_on = fire_event(s, EV_ERROR, t, nullptr, start, end);
    if (s->moved && s->resumable) throw ResumeScan{};
    if (!go_on) {
      s->error = true;
      throw QuietStop{};
    }
  }
  if (kind > 0 && is_path_type(u32(previous))) kind = -1;
  // The text shown: whole characters from the start while fewer than 30
  // bytes were taken, up to a line feed or the input end.
  const u8* stop = start;
  while (stop < s->end && stop - start < 30 && *stop != '\n') {
    i32 cp;
    const u8* q = unicode::fast_decode_utf8_char(stop, s->end, cp);
    stop = cp < 0 ? stop + 1 : q;
  }
  char missing_char[2] = {0, 0};
  if (kind == -3 || kind == -4) {
    bool block = s->missing_type != TYPE_PAREN && s->missing_type != TYPE_POINT2D &&
                 s->missing_type != TYPE_POINT3D;
    char opening = block ? '[' : '(', closing = block ? ']' : ')';
    missing_char[0] = (kind == -3 && start < s->end && *start == closing) ? opening : closing;
  }
  close_all(s);
  // Values read before the error stay in the target block.
  if (type_of(&s->target) == TYPE_BLOCK) {
    for (u32 i = s->head; i < tail(s); ++i) {
      copy_cell(&cells[i], mem::alloc_tail_cell(series_node(&s->target)));
    }
    cells.resize(s->head);
  }
  Cell* line = stack::push();
  string::make_at(line, 24, 1);
  std::string n = "(line " + std::to_string(s->line) + ")";
  string::append_ascii(line, n.c_str());
  Cell* text = stack::push();
  text_value(text, start, stop);
  if (kind == -1) fire(Err::syntax_bad_char, line, text);
  if (kind == -2) fire(Err::syntax_malconstruct, line, text);
  if (kind == -3 || kind == -4) {
    Cell* c = stack::push();
    string::make_at(c, 2, 1);
    string::append_ascii(c, missing_char);
    fire(Err::syntax_missing, line, c, text);
  }
  Cell* type = stack::push();
  make_datatype(type, Type(kind > 0 && kind <= TYPE_TOP ? kind : TYPE_ERROR));
  fire(Err::syntax_invalid, line, type, text);
}

// ---- the scan loop ---------------------------------------------------------------------

namespace {

// Where a token ends for the one who skips it: after its closing byte for
// the delimited kinds.
const u8* after_token(Kind k, const u8* start, const u8* end) {
  switch (k) {
    case K_BLOCK_OPEN: case K_BLOCK_CLOSE: case K_PAREN_OPEN: case K_PAREN_CLOSE:
    case K_COMMA:
      return start + 1;
    case K_MSTRING_OPEN: case K_MSTRING_CLOSE: case K_MAP_OPEN: case K_PATH: case K_CONSTRUCT:
    case K_STRING: case K_CHAR: case K_BINARY: case K_PERCENT: case K_TAG: case K_POINT:
      return end + 1;
    case K_FILE:
      return (end - start > 1 && start[1] == '"') ? end + 1 : end;
    default:
      return end;
  }
}

}  // namespace

Token read_token(u8 entry, const u8* p, const u8* end) {
  const u32* classes = byte_classes.entries;
  Token t;
  const u8* from = p;
  u32 state = entry, flags = 0, skip = 0, next;
  i32 lf = 0;
  for (;;) {
    u32 e;
    if (p < end) {
      e = classes[*p];
      flags |= e & ~0xFFu;
    } else {
      e = C_EOF;
    }
    u32 cls = e & 0xFF;
    next = transitions.next[state][cls];
    skip += next == 0;  // bytes that keep the start state are leading blanks
    if (next > FINAL_BASE) break;
    lf += cls == C_LF;
    state = next;
    ++p;
  }
  t.start = from + skip;
  t.end = p;
  t.flags = flags;
  t.final = u8(next);
  t.last_state = u8(state);
  t.line_feeds = lf;
  return t;
}

namespace {

void run_tokens(State* s);

// The scan; an error event whose callback moved the input goes on from there.
void run(State* s) {
  s->resumable = true;
  for (;;) {
    try {
      run_tokens(s);
      s->resumable = false;
      return;
    } catch (const ResumeScan&) {
      s->pos = s->moved_to;
      s->moved = false;
      s->entry = S_START;
      s->mstr_nest = 0;
      s->token_type = TYPE_ERROR;
      s->prev_type = TYPE_ERROR;
    }
  }
}

void run_tokens(State* s) {
  for (;;) {
    Token tk = read_token(s->entry, s->pos, s->end);
    const u8* p = tk.end;
    const u8* end = s->end;
    const u8* start = tk.start;
    u32 flags = tk.flags;
    const u8 entry = s->entry;
    Kind kind = Kind(tk.final - FINAL_BASE);
    s->token_end = p;
    s->line += tk.line_feeds;
    s->line_feeds = tk.line_feeds;
    s->last_state = tk.last_state;
    s->token_type = kind_types[kind];

    if (kind == K_WORD && *start >= 0xC2) {
      // Unicode blanks before a word are blanks.
      const u8* q = start;
      while (q < p) {
        i32 cp;
        const u8* r = unicode::fast_decode_utf8_char(q, p, cp);
        if (cp < 0 || !is_unicode_blank(u32(cp))) break;
        q = r;
      }
      if (q == p) {
        if (p < end) {
          s->pos = p;
          continue;
        }
        kind = K_EOF;
        s->token_type = 0;
      }
      start = q;
    }

    // Where the scan goes on unless the token's function says otherwise.
    s->pos = after_token(kind, start, p);
    if (!s->scan && kind <= K_STRING && scanners[kind - 1]) {
      scanners[kind - 1](s, start, p, flags, false);
    }

    bool skipped = false;
    if (s->mask && entry != S_MSTRING) {
      bool point = kind == K_PAREN_OPEN && opens_point(s, start);
      const u8* ev_start = (kind == K_ERROR && s->mstr_nest > 0) ? s->mstr_start : start;
      if (!point && !fire_event(s, EV_PRESCAN, s->token_type ? s->token_type : -i32(kind), nullptr,
                                ev_start, after_token(kind, start, p))) {
        s->pos = after_token(kind, start, p);
        skipped = true;
      }
    }

    if (!skipped && s->scan) {
      TokenFn scanner = scanners[kind - 1];
      TokenFn loader = loaders[kind - 1];
      if (kind < K_STRING) {
        scanner(s, start, p, flags, s->load);
      } else {
        if (!s->load || wants(s, EV_SCAN)) {
          if (scanner) scanner(s, start, p, flags, false);
          else loader(s, start, p, flags, false);
          fire_event(s, EV_SCAN, s->token_type, nullptr, start, s->pos);
        }
        if (s->load) {
          u32 before = tail(s);
          loader(s, start, p, flags, true);
          if (wants(s, EV_LOAD) && tail(s) > before) {
            Cell value = cells[tail(s) - 1];
            if (!fire_event(s, EV_LOAD, s->token_type, &value, start, s->pos)) cells.pop_back();
          }
        }
      }
    }
    if (s->moved) {
      s->pos = s->moved_to;
      s->moved = false;
    }
    if (kind == K_EOF) break;

    if (s->entry == S_PATH_START && kind != K_PATH) path_element_rule(s);
    if (s->token_type > 0 && s->entry == S_START && s->mstr_nest == 0 && kind != K_BLOCK_OPEN &&
        kind != K_PAREN_OPEN && kind != K_MAP_OPEN) {
      note_map_element(s, Type(s->token_type));
    }

    if ((s->one || !s->scan) && s->token_type > 0 && s->entry != S_PATH_START && s->mstr_nest == 0) {
      u32 n = tail(s) - s->head;
      if (n == 0 || (n == 1 && type_of(&cells[s->head]) != TYPE_TRIPLE)) break;
    }
    s->prev_type = s->token_type;
  }
  if (s->mstr_nest > 0) throw_error(s, s->mstr_start, s->end, TYPE_STRING);
}

// Chains a state for the length of one scan and gives back what it used.
class Chain {
 public:
  explicit Chain(State* s) : s_(s) {
    s->parent = current;
    if (current) current->next = s;
    current = s;
  }
  ~Chain() {
    cells.resize(s_->head);
    current = s_->parent;
    if (current) current->next = nullptr;
  }
  Chain(const Chain&) = delete;
  Chain& operator=(const Chain&) = delete;

 private:
  State* s_;
};

// The loaded values into dst (see scan).
void build_result(State* s, Cell* dst, bool one, bool keep_block) {
  u32 n = tail(s) - s->head;
  if (type_of(&s->target) == TYPE_BLOCK) {
    for (u32 i = 0; i < n; ++i) {
      copy_cell(&cells[s->head + i], mem::alloc_tail_cell(series_node(&s->target)));
    }
    copy_cell(&s->target, dst);
    return;
  }
  if (one && n == 1 && !keep_block) {
    copy_cell(&cells[s->head], dst);
    return;
  }
  u32 node = mem::alloc_cells(n ? n : 1);
  mem::Buffer* b = mem::buffer_of(node);
  if (n) std::memcpy(b->cells(), cells.data() + s->head, n * sizeof(Cell));
  b->tail += n * sizeof(Cell);
  make_series(dst, TYPE_BLOCK, node);
}

}  // namespace

Type scan(Cell* dst, const u8* src, u32 len, ScanFlags flags, u32* consumed,
          const Cell* callback, const Cell* source, const Cell* target) {
  State st;
  st.head = st.series_start = tail(&st);
  st.input = st.pos = src;
  st.end = src + len;
  st.scan = flags.scan;
  st.load = flags.scan && flags.load;
  st.one = flags.one;
  st.unbound = flags.unbound;
  if (callback && is_function_value(type_of(callback))) {
    st.callback = *callback;
    st.mask = event_mask(callback);
  } else {
    make_none(&st.callback);
  }
  if (source) {
    st.source = *source;
    st.chars = is_any_string_type(type_of(source));
    st.source_index = series_index(source);
  } else {
    make_none(&st.source);
  }
  if (target && type_of(target) == TYPE_BLOCK) st.target = *target;
  else make_none(&st.target);
  Chain chain(&st);

  try {
    run(&st);
  } catch (const QuietStop&) {
    st.error = true;
  }
  Type result = Type(st.token_type > 0 ? st.token_type : 0);
  if (!st.error && st.series_start != st.head) {
    if (!st.scan && st.entry == S_PATH_START && st.prev_type != TYPE_ERROR) {
      result = marker_type(&st);
    } else {
      try {
        Type open = marker_type(&st);
        missing(&st, marker_position(&st), open, -4);
      } catch (const QuietStop&) {
        st.error = true;
      }
    }
  }
  if (st.error) {
    result = TYPE_ERROR;
    if (!st.load) {
      make_none(dst);
    } else {
      close_all(&st);
      build_result(&st, dst, flags.one, flags.keep_block);
    }
  } else if (st.load) {
    build_result(&st, dst, flags.one, flags.keep_block);
  }
  if (consumed) {
    *consumed = st.chars ? unicode::count_utf8_chars(st.input, st.pos) : u32(st.pos - st.input);
  }
  return result;
}

Type transcode_string(Cell* dst, const Cell* str, i32 length, ScanFlags flags, u32* consumed,
                      const Cell* callback, const Cell* target) {
  Cell source = *str;
  mem::Buffer* b = mem::buffer_of(series_node(&source));
  u32 unit = unicode::unit_of(b);
  u32 total = b->used() / unit;
  i32 index = std::clamp<i32>(series_index(&source), 0, i32(total));
  set_series_index(&source, index);
  u32 n = total - u32(index);
  if (length >= 0 && u32(length) < n) n = u32(length);
  const u8* units = b->head_ptr() + u32(index) * unit;
  Scratch text(unicode::utf8_size_of_units(units, units + n * unit, unit));
  u32 bytes = unicode::to_utf8(&source, text.data(), i32(n), false);
  return scan(dst, text.data(), bytes, flags, consumed, callback, &source, target);
}

// ---- transcode ------------------------------------------------------------------------------

Cell* transcode(Cell* out, Cell* src, bool next, bool one, bool prescan, bool scan_only,
                const Cell* part, const Cell* into, const Cell* trace) {
  Type st = type_of(src);
  if (st != TYPE_STRING && st != TYPE_BINARY) {
    Cell type;
    make_datatype(&type, st);
    fire(Err::script_expect_arg, g_words[LW_TRANSCODE], &type, g_words[LW_SRC]);
  }
  mem::Buffer* b = mem::buffer_of(series_node(src));
  u32 unit = st == TYPE_BINARY ? 1 : unicode::unit_of(b);
  u32 total = b->used() / unit;
  i32 index = std::clamp<i32>(series_index(src), 0, i32(total));
  if (st == TYPE_BINARY && total - u32(index) > 2) {
    // A UTF-8 byte-order mark is skipped, and the source moves past it.
    const u8* p = b->head_ptr() + index;
    if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) set_series_index(src, index += 3);
  }
  i32 count = -1;
  if (part) {
    if (type_of(part) == TYPE_INTEGER) {
      count = std::max(int_of(part), 0);
    } else if (type_of(part) == st) {
      // A position counts only in the source's own series.
      if (series_node(part) != series_node(src)) {
        Cell bad = *part;
        fire(Err::script_invalid_refine_arg, intern_word("part"), &bad);
      }
      count = std::max(series_index(part) - index, 0);
    } else {
      fire(Err::script_not_same_type);
    }
  }
  ScanFlags flags;
  flags.one = next || one || scan_only;
  flags.scan = !prescan;
  flags.load = !scan_only;
  flags.keep_block = false;
  const Cell* target = into && type_of(into) == TYPE_BLOCK ? into : nullptr;
  const Cell* callback = trace && is_function_value(type_of(trace)) ? trace : nullptr;

  Cell* result = stack::push();  // holds the values until the result is made
  make_none(result);
  u32 consumed = 0;
  Type t;
  if (st == TYPE_STRING) {
    t = transcode_string(result, src, count, flags, &consumed, callback, target);
  } else {
    u32 n = total - u32(index);
    if (count >= 0 && u32(count) < n) n = u32(count);
    Scratch bytes(n);
    std::memcpy(bytes.data(), mem::buffer_of(series_node(src))->head_ptr() + index, n);
    t = scan(result, bytes.data(), n, flags, &consumed, callback, src, target);
  }
  if (prescan || scan_only) {
    if (t) make_datatype(result, t);
    else make_none(result);
  }
  if (next && !(one && !prescan && !scan_only)) {
    u32 node = mem::alloc_cells(2);  // result and src are on the stack or rooted by the caller
    mem::Buffer* nb = mem::buffer_of(node);
    Cell* pair = nb->cells();
    copy_cell(result, pair);
    clear_new_line(pair);
    copy_cell(src, pair + 1);
    set_series_index(pair + 1, index + i32(consumed));
    nb->tail += 2 * sizeof(Cell);
    make_series(out, TYPE_BLOCK, node);
  } else {
    copy_cell(result, out);
    clear_new_line(out);
  }
  stack::pop(1);
  return out;
}

void transcode_native(const i32* refs) {
  auto present = [&](int k) { return refs[k] >= 0; };
  auto arg = [&](int k) -> Cell* { return refs[k] >= 0 ? stack::base + refs[k] : nullptr; };
  Cell* out = stack::push();
  make_none(out);
  transcode(out, stack::base, present(0), present(1), present(2), present(3), arg(4), arg(5),
            arg(6));
  stack::set_last_only(out);
}

// ---- start-up --------------------------------------------------------------------------------

// The word family's text loader: the first value of a string.
bool load_first_value(const Cell* text, Cell* out) {
  Cell* result = stack::push();
  make_none(result);
  ScanFlags flags;
  flags.one = true;
  flags.load = false;
  Type t = transcode_string(result, text, -1, flags, nullptr, nullptr, nullptr);
  bool found = false;
  if (t && t != TYPE_ERROR) {
    flags.load = true;
    flags.keep_block = true;
    transcode_string(result, text, -1, flags, nullptr, nullptr, nullptr);
    mem::Buffer* b = mem::buffer_of(series_node(result));
    if (b->used() >= sizeof(Cell)) {
      copy_cell(b->cells(), out);
      clear_new_line(out);
      found = true;
    }
  }
  stack::pop(1);
  return found;
}

const Cell* keep_word(const char* name) {
  Cell* w = intern_word(name);
  if (runtime::boot_flag) return w;  // already a copy in the root block
  return copy_cell(w, runtime::root_append());
}


// Source text into a block of all its values (`do` of a string, to block!).
void load_all(const Cell* text, Cell* out) {
  ScanFlags flags;
  flags.keep_block = true;
  transcode_string(out, text, -1, flags, nullptr, nullptr, nullptr);
}

void init() {
  cells.clear();
  cells.reserve(STACK_CELLS);
  g_scratch.reset(new u8[SCRATCH_BYTES]);
  g_scratch_used = 0;
  static constexpr const char* kNames[LW_COUNT_] = {
      "prescan", "scan", "load", "open", "close", "error", "eof", "comment", "hex",
      "rawstring", "comma", "<lexer-callback>", "transcode", "src"};
  for (u32 i = 0; i < LW_COUNT_; ++i) g_words[i] = keep_word(kNames[i]);

  // The entries that events show for kinds without a datatype, and for the
  // others their datatype (kinds 13 and 28 have no entry).
  static constexpr u8 kExit[EXIT_STATES] = {
      0, TYPE_ERROR, TYPE_BLOCK, TYPE_BLOCK, TYPE_PAREN, TYPE_PAREN, TYPE_STRING, TYPE_STRING,
      TYPE_MAP, TYPE_PATH, TYPE_DATATYPE, 0, TYPE_STRING, TYPE_WORD, TYPE_ISSUE, TYPE_INTEGER,
      TYPE_REFINEMENT, TYPE_CHAR, TYPE_FILE, TYPE_BINARY, TYPE_PERCENT, TYPE_FLOAT, TYPE_FLOAT,
      TYPE_TUPLE, TYPE_DATE, TYPE_PAIR, TYPE_TIME, TYPE_MONEY, TYPE_TAG, TYPE_URL, TYPE_EMAIL,
      0, 0, TYPE_REF};
  Cell* block = runtime::root_append();
  make_series(block, TYPE_BLOCK, mem::alloc_cells(EXIT_STATES));
  for (u32 i = 0; i < EXIT_STATES; ++i) {
    Cell* c = mem::alloc_tail_cell(series_node(block));
    if (kExit[i]) {
      make_datatype(c, Type(kExit[i]));
    } else {
      LexWord w = i == 0 ? LW_EOF : i == 11 ? LW_COMMENT : i == 31 ? LW_HEX : LW_RAWSTRING;
      copy_cell(g_words[w], c);
    }
  }
  g_exit_states = block;
  install_scalar_loaders();

  gc::add_mark_callback(mark_states);
  install_container_loaders();
}

const Cell* exit_states() { return g_exit_states; }

void mark_states() {
  if (!cells.empty()) gc::mark_values(cells.data(), cells.data() + cells.size());
  for (State* s = current; s; s = s->parent) {
    gc::mark_cell(&s->callback);
    gc::mark_cell(&s->source);
    gc::mark_cell(&s->target);
  }
}

// Loads UTF-8 source text into a block, whole (out must be rooted).
void load_source(Cell* out, const char* text, std::size_t size) {
  ScanFlags flags;
  flags.keep_block = true;
  u32 consumed = 0;
  scan(out, reinterpret_cast<const u8*>(text), u32(size), flags, &consumed, nullptr, nullptr,
              nullptr);
}

// Moves the index of a loaded script past its header (the word Qel and a
// block); answers whether there was one.
bool skip_header(Cell* code) {
  mem::Buffer* b = mem::buffer_of(series_node(code));
  u32 i = u32(series_index(code));
  if (b->used() / sizeof(Cell) < i + 2) return false;
  Cell* first = b->cells() + i;
  if (type_of(first) != TYPE_WORD || type_of(first + 1) != TYPE_BLOCK) return false;
  if (symbol::resolve(word::symbol_of(first)) != symbol::resolve(symbol::make("Qel"))) return false;
  set_series_index(code, i32(i + 2));
  return true;
}

}  // namespace qel::lexer
