// The runtime's own words, interned once at initialisation (datatypes/words.cpp
// makes them: interning needs the symbols and contexts), and the slot
// helpers that compiled code calls to read and write context values.
#pragma once

#include "runtime/cell.hpp"

// QEL_WELL_KNOWN_WORDS(M_): M_(member, spelling), in the order of interning.
#define QEL_WELL_KNOWN_WORDS(M_)                                                              \
  M_(SPEC, "spec") M_(BODY, "body") M_(WORDS, "words") M_(CLASS, "class")                        \
  M_(LOGIC_TYPE, "logic!") M_(INTEGER_TYPE, "integer!") M_(CHAR_TYPE, "char!")                  \
  M_(FLOAT_TYPE, "float!") M_(PERCENT_TYPE, "percent!") M_(ANY_TYPE_TYPE, "any-type!")          \
  M_(REPEAT, "repeat") M_(FOREACH, "foreach") M_(MAP_EACH, "map-each")                          \
  M_(REMOVE_EACH, "remove-each") M_(EXIT, "exit") M_(RETURN, "return") M_(SELF, "self")          \
  M_(VALUES, "values") M_(OWNER, "owner") M_(OWNED, "owned") M_(EVENTS_Q, "events?")             \
  M_(WINDOWS, "Windows") M_(SYLLABLE, "Syllable") M_(MACOS, "macOS") M_(LINUX, "Linux")          \
  M_(NETBSD, "NetBSD") M_(ANY, "any") M_(BREAK, "break") M_(COPY, "copy") M_(END, "end")          \
  M_(FAIL, "fail") M_(INTO, "into") M_(OPT, "opt") M_(NOT, "not") M_(QUOTE, "quote")              \
  M_(CASE, "case") M_(REJECT, "reject") M_(SET, "set") M_(SKIP, "skip") M_(SOME, "some")          \
  M_(THRU, "thru") M_(TO, "to") M_(NONE, "none") M_(BAR, "|") M_(DASH, "-") M_(IF, "if")           \
  M_(REMOVE, "remove") M_(WHILE, "while") M_(INSERT, "insert") M_(ONLY, "only")                  \
  M_(COLLECT, "collect") M_(KEEP, "keep") M_(PICK, "pick") M_(AHEAD, "ahead")                    \
  M_(AFTER, "after") M_(X, "x") M_(Y, "y") M_(Z, "z") M_(TRUE, "true") M_(FALSE, "false")          \
  M_(YES, "yes") M_(NO, "no") M_(ON, "on") M_(OFF, "off") M_(TYPE, "type") M_(FACE, "face")        \
  M_(WINDOW, "window") M_(OFFSET, "offset") M_(KEY, "key") M_(FLAG, "flag") M_(CODE, "code")      \
  M_(PICKED, "picked") M_(FLAGS, "flags") M_(AWAY_Q, "away?") M_(CTRL_Q, "ctrl?")                \
  M_(SHIFT_Q, "shift?") M_(DOWN_Q, "down?") M_(MID_DOWN_Q, "mid-down?")                         \
  M_(ALT_DOWN_Q, "alt-down?") M_(AUX_DOWN_Q, "aux-down?") M_(ORIENTATION, "orientation")        \
  M_(GET, "get") M_(PUT, "put") M_(POST, "post") M_(HEAD, "head") M_(SIZE, "size")                \
  M_(RGB, "rgb") M_(ALPHA, "alpha") M_(ARGB, "argb") M_(DATE, "date") M_(YEAR, "year")            \
  M_(MONTH, "month") M_(DAY, "day") M_(ZONE, "zone") M_(WEEK, "week") M_(ISOWEEK, "isoweek")      \
  M_(WEEKDAY, "weekday") M_(YEARDAY, "yearday") M_(JULIAN, "julian") M_(TIME, "time")            \
  M_(HOUR, "hour") M_(MINUTE, "minute") M_(SECOND, "second") M_(TIMEZONE, "timezone")            \
  M_(AMOUNT, "amount") M_(USER, "user") M_(HOST, "host") M_(SYSTEM, "system")                    \
  M_(SYSTEM_GLOBAL, "system-global") M_(TRACE, "trace") M_(NO_TRACE, "no-trace")                \
  M_(BODY_TAG, "<body>") M_(PUSH, "push") M_(POP, "pop") M_(FETCH, "fetch") M_(MATCH, "match")    \
  M_(ITERATE, "iterate")

// QEL_REFINEMENT_WORDS(M_): M_(member, spelling)
#define QEL_REFINEMENT_WORDS(M_)                                                           \
  M_(LOCAL, "local") M_(EXTERN, "extern") M_(COMPARE, "compare") M_(PART, "part")             \
  M_(SKIP, "skip") M_(WITH, "with")

namespace qel {

namespace words {

enum Id : u16 {
#define QEL_X(member, text) W_##member,
  QEL_WELL_KNOWN_WORDS(QEL_X)
#undef QEL_X
  W_COUNT_
};

enum RefinementId : u16 {
#define QEL_X(member, text) R_##member,
  QEL_REFINEMENT_WORDS(QEL_X)
#undef QEL_X
  R_COUNT_
};

const char* spelling(Id id);
u32 symbol(Id id);
const Cell* cell(Id id);                   // the word, bound to the global context
const Cell* refinement(RefinementId id);   // the unbound refinement!

}  // namespace words

// Initialisation, in this order: the datatype names (each symbol kept in the
// name table), the well-known words (which also name the frames never
// reported: <body>, <anon>, and <not-found>), the well-known refinements.
void init_type_name_words();
void init_well_known_words();
void init_refinement_words();

// Slot helpers for compiled code; the value to store is the stack top.
// Storing unset raises script need-value naming the word; the -drop forms
// then empty the running frame (top = base).
void set_word_from_top(Cell* word);  // through the word's context, firing on-change*
void set_word_from_top_drop(Cell* word);
void set_slot_from_top(u32 ctx, u32 i);
void set_slot_from_top_drop(u32 ctx, u32 i);
// No unset check, values series only; marks word i assigned in an object.
void set_slot_from_top_any(u32 ctx, u32 i);
// Address of value slot i: the values series or the running frame; a
// context without values raises script not-defined naming word i.
Cell* context_slot(u32 ctx, u32 i);
// The word's value in the context; unset raises script no-value.
Cell* get_path_value(u32 ctx, const Cell* word);

}  // namespace qel
