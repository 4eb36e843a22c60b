// Internals shared by the lexer's files: the tables, the scan state and the
// token functions. See lexer.hpp for the invariants; lexer_tables.cpp holds
// the tables as data.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "eval/lexer.hpp"

namespace qel::lexer {

// ---- byte classes ----------------------------------------------------------------

enum Class : u8 {
  C_BLANK, C_LF, C_DIGIT, C_ZERO, C_BLOCK_OPEN, C_BLOCK_CLOSE, C_PAREN_OPEN, C_PAREN_CLOSE,
  C_BRACE_OPEN, C_BRACE_CLOSE, C_DQUOTE, C_SHARP, C_QUOTE, C_COLON, C_X, C_T, C_H, C_E_LOW,
  C_E_UP, C_HEX_LOW, C_HEX_UP, C_SLASH, C_BACKSLASH, C_LESS, C_GREATER, C_EQUAL, C_PERCENT,
  C_COMMA, C_SEMICOLON, C_AT, C_DOT, C_DOLLAR, C_PLUS, C_MINUS, C_CARET, C_CTRL, C_CONT,
  C_LETTER, C_BAD, C_EOF,
};
inline constexpr int CLASS_COUNT = 40;

// Flag bits of a byte's class entry (above the class byte), OR-ed over a token.
inline constexpr u32 F_PERCENT = 0x40000;
inline constexpr u32 F_GREATER = 0x80000;
inline constexpr u32 F_LESS = 0x100000;
inline constexpr u32 F_SIGN = 0x200000;
inline constexpr u32 F_NUL = 0x400000;
inline constexpr u32 F_SHARP = 0x800000;
inline constexpr u32 F_EXP = 0x1000000;
inline constexpr u32 F_QUOTE = 0x2000000;
inline constexpr u32 F_COLON = 0x4000000;
inline constexpr u32 F_COMMA = 0x8000000;
inline constexpr u32 F_DOT = 0x10000000;
inline constexpr u32 F_CARET = 0x20000000;
inline constexpr u32 F_UTF8 = 0x40000000;    // a 2- or 3-byte UTF-8 lead
inline constexpr u32 F_UTF8_4 = 0x80000000;  // a 4-byte UTF-8 lead
// Set by the lexer on the flags of a multi-line string that spans lines.
inline constexpr u32 F_LINE_BREAK = F_NUL;

// ---- tables (lexer_tables.cpp) ------------------------------------------------------

// The machine's scanning states: a token is read from an entry state
// (S_START; S_MSTRING inside a multi-line string, S_POINT inside a point,
// S_PATH_START after a path's separator) until a final state names its kind.
enum ScanState : u8 {
  S_START,               // between tokens: blanks and line feeds stay here
  S_COMMENT,             // after ;
  S_STRING,              // "...
  S_STRING_ESCAPE,       // after ^ in "..."
  S_MSTRING,             // inside {...}
  S_MSTRING_ESCAPE,      // after ^ in {...}
  S_AFTER_PERCENT,       // %
  S_FILE,                // %name
  S_QUOTED_FILE,         // %"...
  S_PERCENT_RUN,         // %%...
  S_RAW,                 // %{...
  S_RAW_BRACE,           // %{...}
  S_RAW_CLOSE,           // %{...}%
  S_AFTER_SLASH,         // /
  S_REFINEMENT,          // /name
  S_SLASH_RUN,           // //...
  S_AFTER_SHARP,         // #
  S_BINARY,              // #{...
  S_BINARY_COMMENT,      // ; inside #{...}
  S_CHAR,                // #"...
  S_CHAR_ESCAPE,         // after ^ in #"..."
  S_CONSTRUCT,           // #(...
  S_ISSUE,               // #name
  S_DIGITS,              // 123
  S_DIGITS_DOT,          // 123.
  S_FRACTION,            // 1.5
  S_EXPONENT,            // 1e5, 1.5e-3
  S_DIGITS_E,            // 12E (a number or hex digits)
  S_SPECIAL_FLOAT,       // 1.#NaN, 1.#INF
  S_TUPLE,               // 1.2.3
  S_DATE,                // 1-Jan-2000, 2000/1/1, 2000-01-01T...
  S_TIME_COLON,          // 12:
  S_TIME,                // 12:30
  S_PAIR_X,              // 1x
  S_PAIR,                // 1x2
  S_POINT,               // (1, 2) after its (
  S_MONEY_DOLLAR,        // $
  S_MONEY,               // $12
  S_MONEY_FRACTION,      // $12.5
  S_HEX_DIGITS,          // 0FF (hex digits that began with a digit)
  S_HEX_WORD,            // FF (hex letters, or a word)
  S_HEX_H,               // FFh, 0FFh (a hex integer, or a word)
  S_DIGITS_H,            // 12h
  S_AFTER_LESS,          // <
  S_TAG,                 // <...
  S_TAG_DQUOTE,          // "... inside a tag
  S_TAG_QUOTE,           // '... inside a tag
  S_SIGN,                // + or -
  S_QUOTED_SIGN,         // '+ or :-
  S_AFTER_DOT,           // .
  S_DOT_FRACTION,        // .5
  S_AFTER_QUOTE,         // ' or : before a word
  S_WORD,                // name
  S_WORD_COLON,          // name: (a set-word, or a url's scheme)
  S_QUOTE_PERCENT_RUN,   // '%, :% or %: and any more %
  S_URL,                 // scheme:...
  S_EMAIL,               // name@...
  S_REF,                 // @...
  S_AFTER_EQUAL,         // =
  S_PATH_START,          // a path's element, after its /
  S_PATH_DIGITS,         // a path's integer element
  S_PATH_QUOTE,          // a path's element after ' or :
  S_PATH_WORD,           // a path's word element
  S_PATH_SHARP,          // a path's element after #
  S_PATH_SIGN,           // a path's element after + or -
  SCAN_STATES            // 65; 66 and above are final
};
inline constexpr int FINAL_BASE = SCAN_STATES;  // kind = final state - 65
// The final state that ends a token of the kind.
constexpr u8 ends(Kind k) { return u8(FINAL_BASE + k); }
inline constexpr u8 S_ERROR = ends(K_ERROR);  // the error token's final state

struct ByteClassTable {
  u32 entries[256];  // class | flags
};
struct TransitionTable {
  u8 next[SCAN_STATES][CLASS_COUNT];
};
extern const ByteClassTable byte_classes;
extern const TransitionTable transitions;
extern const u8 kind_types[KIND_COUNT + 1];                // datatype of a kind (0 none)
// The datatype an error reports by the state it was left in; -1 bad-char,
// -2 malconstruct.
extern const std::array<std::int8_t, SCAN_STATES> state_error_types;
extern const bool path_end_class[CLASS_COUNT];             // ends a path after an element
extern const u8 float_automaton[11][7];                    // float literal check
bool is_unicode_blank(u32 cp);

inline u32 class_of(u8 b) { return byte_classes.entries[b] & 0xFF; }

// True when the states from s on belong to a path element (errors then start
// at the innermost open series).
inline bool is_path_state(int s) { return s >= S_PATH_START && s <= S_PATH_SIGN; }

// ---- the scan state ------------------------------------------------------------------

// An open-series marker on the lexer stack (a triple! cell the lexer owns):
// how many cells back the enclosing marker lies, the series type (with the
// comma count of a point above bit 16), and the byte offset of its opening.
inline u32 marker_back(const Cell* m) { return m->w1; }
inline u32 marker_kind(const Cell* m) { return m->w2; }
inline void set_marker_kind(Cell* m, u32 kind) { m->w2 = kind; }
inline u32 marker_offset(const Cell* m) { return m->w3; }
inline void set_marker(Cell* m, u32 back, u32 kind, u32 offset) {
  m->w1 = back;
  m->w2 = kind;
  m->w3 = offset;
}

struct State {
  State* next = nullptr;    // the nested scan started from this one
  State* parent = nullptr;  // the scan this one was started from
  // Cells of this scan on the shared stack: [head, tail); series_start is
  // the first cell of the innermost open series (head when none).
  u32 head = 0;
  u32 series_start = 0;
  const u8* input = nullptr;  // first byte
  const u8* end = nullptr;    // past the last byte
  const u8* pos = nullptr;    // next byte to read
  const u8* token_end = nullptr;
  i32 line = 1;
  i32 line_feeds = 0;       // read since the previous token
  i32 target_type = -1;     // forced type of the next word or string load
  i32 token_type = 0;       // datatype id of the token, 0 or TYPE_ERROR
  u8 entry = S_START;       // or S_MSTRING, S_POINT, S_PATH_START
  u8 last_state = 0;        // last non-final state of the token
  i32 prev_type = 0;        // datatype of the previous token
  const u8* mstr_start = nullptr;  // the `{` of the open multi-line string
  i32 mstr_nest = 0;
  u32 mstr_flags = 0;
  i32 mstr_lines = 0;       // line feeds before and inside the multi-line string
  i32 point_line = 0;       // line count at the `(` of a point literal
  Cell callback{};          // function! or routine!, or none
  Cell source{};            // the series shown to the callback, or none
  u32 mask = 0;             // events asked for (0 without a callback)
  bool chars = false;       // positions count code points (a string! source)
  i32 source_index = 0;     // index of the source at the input's first byte
  const u8* cache_pos = nullptr;  // last position converted to an index
  u32 cache_index = 0;
  bool load = false;        // values are built
  bool scan = true;         // false: prescan mode
  bool one = false;
  bool unbound = false;     // words are made with no context
  bool moved = false;       // a callback moved the position
  bool resumable = false;   // inside run: an error event may move the scan on
  const u8* moved_to = nullptr;
  bool error = false;       // a syntax error stopped the scan
  Type missing_type = TYPE_BLOCK;  // the series a "missing" error is about
  Cell target{};            // block! the values are appended to, or none
};

// The innermost active scan, or null.
extern State* current;
// The shared lexer stack.
extern std::vector<Cell> cells;

// Thrown (a C++ exception) by throw_error when the scan must stop without
// raising a language error; caught by scan.
struct QuietStop {};
// Thrown by throw_error when the callback moved the input on an error event:
// the scan goes on from there (the bad token skipped); caught by run.
struct ResumeScan {};

// ---- helpers of lexer.cpp used by the token functions -----------------------------

u32 tail(const State* s);
void open_series(State* s, Type t, const u8* start);
// expected: a datatype id or -1 (whatever is open); answers the closed type.
i32 close_series(State* s, const u8* start, i32 expected, bool silent);
// Fires one event; false when the callback refused. value: the loaded cell
// for load events, else null (a pair of the token's positions is passed).
bool fire_event(State* s, Event e, i32 type, const Cell* value, const u8* start, const u8* end);
inline bool wants(const State* s, Event e) { return (s->mask & e) != 0; }
// The innermost open marker's byte position, or the input start.
const u8* marker_position(const State* s);
Type marker_type(const State* s);  // TYPE_NO_TYPE when nothing is open
// Whether the '(' at p starts a point literal rather than a paren.
bool opens_point(const State* s, const u8* p);

// One token as the machine finds it from an entry state.
struct Token {
  const u8* start;   // after the leading blanks
  const u8* end;     // the byte that ended it (not part of it)
  u32 flags;         // class flags of its bytes, the ending byte included
  u8 final;          // final state: the kind is final - 65
  u8 last_state;     // last state before the final one
  i32 line_feeds;    // line feeds read (leading blanks included)
};
Token read_token(u8 entry, const u8* p, const u8* end);

// ---- token functions (lexer_loaders.cpp) ------------------------------------------------

// A scan function or loader: (state, start, end, flags, load).
using TokenFn = Loader;
extern TokenFn scanners[KIND_COUNT];  // by kind - 1; null when the kind has none
extern TokenFn loaders[KIND_COUNT];

// The path element rule, run after each element of an open path.
void path_element_rule(State* s);
// Loads the text of a multi-line string (between its braces).
void load_multiline(State* s, const u8* start, const u8* end, bool load);
// Checks or loads [text, text_end) of the token [start, end) as a string-like
// value of type t, without decoding ^ escapes.
void load_plain_text(State* s, const u8* start, const u8* end, const u8* text,
                     const u8* text_end, Type t, bool load);

// ---- loaders of the container and string-like types (lexer_loaders_containers.cpp) ----

void install_container_loaders();  // tag!, email!, ref!
// A value of type t was read directly in the innermost open series: when
// that is a map, its marker keeps the parity of the count and whether a key
// of a type no map takes was read (so that scan mode can check the map).
void note_map_element(State* s, Type t);
// Raises the invalid error for map! over [opened, end) when the map whose
// marker this is holds an odd number of values or a bad key (scan and load).
void check_map(State* s, const Cell& marker, const u8* opened, const u8* end);
// Load mode: turns the block just closed (the last cell) into a map!.
void close_map(State* s, const u8* opened, const u8* end);

// Words the lexer uses (interned at start-up).
enum LexWord : u8 {
  LW_PRESCAN, LW_SCAN, LW_LOAD, LW_OPEN, LW_CLOSE, LW_ERROR, LW_EOF, LW_COMMENT, LW_HEX,
  LW_RAWSTRING, LW_COMMA, LW_FRAME, LW_TRANSCODE, LW_SRC, LW_COUNT_
};

}  // namespace qel::lexer
