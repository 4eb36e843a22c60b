// The lexer's tables, as data.
//
// byte_classes maps every byte to its class (low byte) and flag bits; the
// scan loop ORs the flags of a token's bytes so that the token functions
// know, without reading the token again, whether it holds a '#', a quote, a
// colon, an exponent letter, a sign, a caret escape, a multi-byte UTF-8 lead
// and so on.
//
// transitions[state][class] is the next state. States 0-64 read on; a state
// above 65 ends the token (the byte that led there is not part of it) and
// names its kind (state - 65). Column C_EOF is also the column taken at the
// end of the input, so every state must end the token there.
//
// Each row is written as its most common target followed by the exceptions,
// the classes named as they appear in the source text.
#include <initializer_list>

#include "eval/lexer_state.hpp"

namespace qel::lexer {

namespace {

// ---- byte classes ------------------------------------------------------------------

struct ByteRange {
  u8 first, last;
  u8 cls;
  u32 flags;
};

constexpr ByteRange kByteRanges[] = {
    {0x00, 0x00, C_EOF, F_NUL},
    {0x01, 0x08, C_CTRL, 0},
    {0x09, 0x09, C_BLANK, 0},
    {0x0A, 0x0A, C_LF, 0},
    {0x0B, 0x0C, C_CTRL, 0},
    {0x0D, 0x0D, C_BLANK, 0},
    {0x0E, 0x1F, C_CTRL, 0},
    {0x20, 0x20, C_BLANK, 0},
    {0x21, 0x21, C_LETTER, 0},       // !
    {0x22, 0x22, C_DQUOTE, 0},
    {0x23, 0x23, C_SHARP, F_SHARP},
    {0x24, 0x24, C_DOLLAR, 0},
    {0x25, 0x25, C_PERCENT, F_PERCENT},
    {0x26, 0x26, C_LETTER, 0},       // &
    {0x27, 0x27, C_QUOTE, F_QUOTE},
    {0x28, 0x28, C_PAREN_OPEN, 0},
    {0x29, 0x29, C_PAREN_CLOSE, 0},
    {0x2A, 0x2A, C_LETTER, 0},       // *
    {0x2B, 0x2B, C_PLUS, F_SIGN},
    {0x2C, 0x2C, C_COMMA, F_COMMA},
    {0x2D, 0x2D, C_MINUS, F_SIGN},
    {0x2E, 0x2E, C_DOT, F_DOT},
    {0x2F, 0x2F, C_SLASH, 0},
    {0x30, 0x30, C_ZERO, 0},
    {0x31, 0x39, C_DIGIT, 0},
    {0x3A, 0x3A, C_COLON, F_COLON},
    {0x3B, 0x3B, C_SEMICOLON, 0},
    {0x3C, 0x3C, C_LESS, F_LESS},
    {0x3D, 0x3D, C_EQUAL, 0},
    {0x3E, 0x3E, C_GREATER, F_GREATER},
    {0x3F, 0x3F, C_LETTER, 0},       // ?
    {0x40, 0x40, C_AT, 0},
    {0x41, 0x44, C_HEX_UP, 0},       // A-D
    {0x45, 0x45, C_E_UP, F_EXP},     // E
    {0x46, 0x46, C_HEX_UP, 0},       // F
    {0x47, 0x53, C_LETTER, 0},       // G-S
    {0x54, 0x54, C_T, 0},            // T
    {0x55, 0x57, C_LETTER, 0},       // U-W
    {0x58, 0x58, C_X, 0},            // X
    {0x59, 0x5A, C_LETTER, 0},       // Y Z
    {0x5B, 0x5B, C_BLOCK_OPEN, 0},
    {0x5C, 0x5C, C_BACKSLASH, 0},
    {0x5D, 0x5D, C_BLOCK_CLOSE, 0},
    {0x5E, 0x5E, C_CARET, F_CARET},
    {0x5F, 0x60, C_LETTER, 0},       // _ `
    {0x61, 0x64, C_HEX_LOW, 0},      // a-d
    {0x65, 0x65, C_E_LOW, F_EXP},    // e
    {0x66, 0x66, C_HEX_LOW, 0},      // f
    {0x67, 0x67, C_LETTER, 0},       // g
    {0x68, 0x68, C_H, 0},            // h
    {0x69, 0x77, C_LETTER, 0},       // i-w
    {0x78, 0x78, C_X, 0},            // x
    {0x79, 0x7A, C_LETTER, 0},       // y z
    {0x7B, 0x7B, C_BRACE_OPEN, 0},
    {0x7C, 0x7C, C_LETTER, 0},       // |
    {0x7D, 0x7D, C_BRACE_CLOSE, 0},
    {0x7E, 0x7E, C_LETTER, 0},       // ~
    {0x7F, 0xBF, C_CONT, 0},         // DEL and UTF-8 continuation bytes
    {0xC0, 0xC1, C_BAD, 0},          // never valid in UTF-8
    {0xC2, 0xEF, C_LETTER, F_UTF8},
    {0xF0, 0xF7, C_LETTER, F_UTF8_4},
    {0xF8, 0xFF, C_BAD, 0},
};

constexpr ByteClassTable make_byte_classes() {
  ByteClassTable t{};
  int next = 0;
  for (const ByteRange& r : kByteRanges) {
    // The ranges cover every byte once, in order (a gap or an overlap does
    // not compile: the check below makes the constant expression fail).
    if (r.first != next) throw "byte ranges out of order";
    for (int b = r.first; b <= r.last; ++b) t.entries[b] = r.cls | r.flags;
    next = r.last + 1;
  }
  if (next != 256) throw "byte ranges incomplete";
  return t;
}


// ---- transitions ---------------------------------------------------------------------

// Class names as the rows below use them.
constexpr u8 blank = C_BLANK, LF = C_LF, d1_9 = C_DIGIT, d0 = C_ZERO, bopen = C_BLOCK_OPEN,
             bclose = C_BLOCK_CLOSE, popen = C_PAREN_OPEN, pclose = C_PAREN_CLOSE,
             cbopen = C_BRACE_OPEN, cbclose = C_BRACE_CLOSE, dq = C_DQUOTE, sharp = C_SHARP,
             quote = C_QUOTE, colon = C_COLON, x = C_X, T = C_T, h = C_H, e = C_E_LOW,
             E = C_E_UP, a_f = C_HEX_LOW, A_F = C_HEX_UP, slash = C_SLASH,
             bslash = C_BACKSLASH, less = C_LESS, greater = C_GREATER, equal = C_EQUAL,
             percent = C_PERCENT, comma = C_COMMA, semi = C_SEMICOLON, at = C_AT, dot = C_DOT,
             dollar = C_DOLLAR, plus = C_PLUS, minus = C_MINUS, caret = C_CARET, ctl = C_CTRL,
             cont = C_CONT, letter = C_LETTER, bad = C_BAD, NUL = C_EOF;

struct Exception {
  std::initializer_list<u8> classes;
  u8 target;
};

constexpr void row(TransitionTable& t, int state, u8 most, std::initializer_list<Exception> ex) {
  for (int c = 0; c < CLASS_COUNT; ++c) t.next[state][c] = most;
  for (const Exception& x : ex) {
    for (u8 c : x.classes) t.next[state][c] = x.target;
  }
}

constexpr TransitionTable make_transitions() {
  TransitionTable t{};
  // 0 start
  row(t, 0, 52, {{{blank, LF, ctl}, 0}, {{d1_9, d0}, 23}, {{bopen}, 68}, {{bclose}, 69},
                 {{popen}, 70}, {{pclose}, 71}, {{cbopen}, 72},
                 {{cbclose, bslash, cont, bad}, 67}, {{dq}, 2}, {{sharp}, 16},
                 {{quote, colon}, 51}, {{E, A_F}, 40}, {{slash}, 13}, {{less}, 43},
                 {{equal}, 58}, {{percent}, 6}, {{comma}, 78}, {{semi}, 1}, {{at}, 57},
                 {{dot}, 49}, {{dollar}, 36}, {{plus, minus}, 47}, {{NUL}, 66}});
  // 1 comment
  row(t, 1, 1, {{{LF, NUL}, 77}, {{bad}, 67}});
  // 2 string
  row(t, 2, 2, {{{LF, bad, NUL}, 67}, {{dq}, 79}, {{caret}, 3}});
  // 3 string escape
  row(t, 3, 2, {{{bad, NUL}, 67}});
  // 4 multi-line string
  row(t, 4, 4, {{{cbopen}, 72}, {{cbclose}, 73}, {{caret}, 5}, {{bad, NUL}, 67}});
  // 5 multi-line string escape
  row(t, 5, 4, {{{bad, NUL}, 67}});
  // 6 after %
  row(t, 6, 7, {{{blank, LF, bopen, bclose, popen, pclose, cbclose, semi, at, ctl, NUL}, 80},
                {{cbopen}, 10}, {{dq}, 8}, {{colon}, 54}, {{percent}, 9}, {{bad}, 67}});
  // 7 file
  row(t, 7, 7, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, colon, semi, at,
                  NUL}, 85},
                {{dq, bad}, 67}});
  // 8 quoted file
  row(t, 8, 8, {{{LF, bad, NUL}, 67}, {{dq}, 85}});
  // 9 run of %
  row(t, 9, 7, {{{blank, LF, bopen, bclose, popen, pclose, cbclose, dq, bslash, semi, ctl,
                  NUL}, 80},
                {{cbopen}, 10}, {{percent}, 9}, {{bad}, 67}});
  // 10 raw string
  row(t, 10, 10, {{{cbclose}, 11}, {{bad, NUL}, 67}});
  // 11 raw string after }
  row(t, 11, 10, {{{cbclose}, 11}, {{percent}, 12}, {{bad, NUL}, 67}});
  // 12 raw string closing %
  row(t, 12, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, dq, less, semi, ctl,
                    NUL}, 100},
                  {{percent}, 12}});
  // 13 after /
  row(t, 13, 14, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, semi,
                    at, ctl, NUL}, 80},
                  {{colon}, 53}, {{slash}, 15}, {{comma, bad}, 67}});
  // 14 refinement
  row(t, 14, 14, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, slash, semi,
                    at, ctl, NUL}, 83},
                  {{colon, comma, bad}, 67}});
  // 15 run of /
  row(t, 15, 52, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, semi,
                    at, ctl, NUL}, 80},
                  {{slash}, 15}, {{percent, comma, dollar, bad}, 67}});
  // 16 after #
  row(t, 16, 22, {{{blank, LF, bclose, pclose, cbclose, colon, less, greater, comma, bad}, 67},
                  {{bopen}, 74}, {{popen}, 21}, {{cbopen}, 17}, {{dq}, 19},
                  {{semi, at, ctl, NUL}, 81}});
  // 17 binary
  row(t, 17, 67, {{{blank, LF, d1_9, d0, x, T, h, e, E, a_f, A_F, slash, equal, plus, letter},
                   17},
                  {{cbclose}, 86}, {{semi}, 18}});
  // 18 binary comment
  row(t, 18, 18, {{{LF}, 17}, {{bad, NUL}, 67}});
  // 19 char
  row(t, 19, 19, {{{dq}, 84}, {{caret}, 20}, {{bad, NUL}, 67}});
  // 20 char escape
  row(t, 20, 19, {{{bad, NUL}, 67}});
  // 21 construction
  row(t, 21, 21, {{{pclose}, 76}, {{bad, NUL}, 67}});
  // 22 issue
  row(t, 22, 22, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, semi, at, ctl,
                    NUL}, 81},
                  {{colon, slash, bad}, 67}});
  // 23 digits
  row(t, 23, 82, {{{d1_9, d0, quote}, 23}, {{sharp}, 16}, {{colon}, 31}, {{x}, 33},
                  {{T, slash, minus}, 30}, {{h}, 42}, {{e}, 26}, {{E}, 27},
                  {{a_f, bslash, greater, equal, dollar, plus, caret, cont, letter, bad}, 67},
                  {{A_F}, 39}, {{percent}, 87}, {{at}, 56}, {{dot}, 24}});
  // 24 digits and .
  row(t, 24, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, slash, less,
                    comma, semi, ctl, NUL}, 88},
                  {{d1_9, d0, quote}, 25}, {{sharp}, 28}, {{x}, 33}, {{e, E}, 26},
                  {{percent}, 87}});
  // 25 fraction
  row(t, 25, 88, {{{d1_9, d0, quote}, 25},
                  {{sharp, T, h, a_f, A_F, bslash, greater, equal, dollar, plus, minus, caret,
                    cont, letter, bad}, 67},
                  {{x}, 33}, {{e, E}, 26}, {{percent}, 87}, {{at}, 56}, {{dot}, 29}});
  // 26 exponent
  row(t, 26, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash,
                    less, comma, semi, ctl, NUL}, 88},
                  {{d1_9, d0, plus, minus}, 26}, {{at}, 56}});
  // 27 digits and E
  row(t, 27, 88, {{{d1_9, d0}, 27},
                  {{sharp, quote, x, T, e, a_f, bslash, greater, equal, semi, dollar, caret, cont,
                    letter, bad}, 67},
                  {{h}, 42}, {{E, A_F}, 40}, {{percent}, 87}, {{at}, 56}, {{dot}, 29},
                  {{plus, minus}, 26}});
  // 28 special float
  row(t, 28, 89, {{{d1_9}, 88}, {{sharp, quote, colon, percent, at, dollar, caret, bad}, 67},
                  {{x, T, h, e, E, a_f, A_F, greater, equal, dot, plus, minus, cont, letter},
                   28}});
  // 29 tuple
  row(t, 29, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash,
                    less, semi, ctl, NUL}, 90},
                  {{d1_9, d0, dot}, 29}});
  // 30 date
  row(t, 30, 30, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, less, semi,
                    dollar, ctl, NUL}, 91},
                  {{percent, comma, at, caret, cont, bad}, 67}});
  // 31 time, after :
  row(t, 31, 67, {{{d1_9, d0}, 32}});
  // 32 time
  row(t, 32, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, slash, less,
                    semi, ctl, NUL}, 94},
                  {{d1_9, d0, colon, dot}, 32}});
  // 33 pair, after x
  row(t, 33, 67, {{{d1_9, d0, plus, minus}, 34}, {{at}, 56}});
  // 34 pair
  row(t, 34, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash,
                    less, semi, ctl, NUL}, 92},
                  {{d1_9, d0, e, E, dot}, 34}, {{at}, 56}});
  // 35 point
  row(t, 35, 67, {{{blank, d1_9, d0, bclose, sharp, e, E, a_f, A_F, comma, dot, plus, minus,
                    letter}, 35},
                  {{pclose}, 93}});
  // 36 money, after $
  row(t, 36, 67, {{{d1_9, d0}, 37}});
  // 37 money
  row(t, 37, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, colon,
                    slash, less, semi, ctl, NUL}, 95},
                  {{d1_9, d0, quote}, 37}, {{dot}, 38}});
  // 38 money fraction
  row(t, 38, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, colon,
                    slash, less, semi, ctl, NUL}, 95},
                  {{d1_9, d0, quote}, 38}});
  // 39 hex digits
  row(t, 39, 67, {{{d1_9, d0, E, A_F}, 39}, {{h}, 41}, {{at}, 56}});
  // 40 hex letters or word
  row(t, 40, 80, {{{d1_9, d0, E, A_F}, 40},
                  {{quote, x, T, e, a_f, less, greater, equal, dot, plus, minus, caret, cont,
                    letter}, 52},
                  {{colon}, 53}, {{h}, 41}, {{slash}, 75}, {{percent, comma, bad}, 67},
                  {{at}, 56}, {{dollar}, 37}});
  // 41 hex, after h
  row(t, 41, 52, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, semi,
                    ctl, NUL}, 99},
                  {{sharp, percent, comma, bad}, 67}, {{colon}, 53}, {{slash}, 75}, {{at}, 56},
                  {{dollar}, 37}});
  // 42 digits and h
  row(t, 42, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, less,
                    semi, ctl, NUL}, 99},
                  {{slash}, 75}, {{at}, 56}, {{dollar}, 37}});
  // 43 after <
  row(t, 43, 44, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, semi, ctl,
                    NUL}, 80},
                  {{quote}, 46}, {{colon}, 53}, {{less}, 43}, {{greater, equal, minus}, 52},
                  {{bad}, 67}});
  // 44 tag
  row(t, 44, 44, {{{dq}, 45}, {{quote}, 46}, {{greater}, 96}, {{bad, NUL}, 67}});
  // 45 tag, in double quotes
  row(t, 45, 45, {{{dq}, 44}, {{bad, NUL}, 67}});
  // 46 tag, in single quotes
  row(t, 46, 46, {{{quote}, 44}, {{bad, NUL}, 67}});
  // 47 after a sign
  row(t, 47, 52, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash,
                    semi, ctl, NUL}, 80},
                  {{d1_9, d0}, 23}, {{quote, percent, caret, bad}, 67}, {{slash}, 75},
                  {{dot}, 49}, {{dollar}, 37}});
  // 48 quoted sign
  row(t, 48, 52, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash,
                    semi, ctl, NUL}, 80},
                  {{quote, percent, dollar, caret, bad}, 67}, {{slash}, 75}});
  // 49 after .
  row(t, 49, 52, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash,
                    semi, ctl, NUL}, 80},
                  {{d1_9, d0, plus, minus}, 50}, {{colon}, 53}, {{slash}, 75},
                  {{percent, comma, dollar, bad}, 67}, {{at}, 56}});
  // 50 fraction after .
  row(t, 50, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash,
                    less, ctl, NUL}, 88},
                  {{d1_9, d0, e, E, plus, minus}, 50}, {{x}, 33}, {{percent}, 87}, {{at}, 56}});
  // 51 after single quotes or :
  row(t, 51, 67, {{{x, T, h, e, E, a_f, A_F, greater, dot, caret, cont, letter}, 52},
                  {{slash}, 13}, {{less}, 43}, {{equal}, 58}, {{percent}, 54},
                  {{plus, minus}, 48}});
  // 52 word
  row(t, 52, 52, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash,
                    less, semi, ctl, NUL}, 80},
                  {{colon}, 53}, {{slash}, 75}, {{percent, comma, bad}, 67}, {{at}, 56},
                  {{dollar}, 36}});
  // 53 word and :
  row(t, 53, 55, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, semi,
                    ctl, NUL}, 80},
                  {{less, bad}, 67}});
  // 54 run of % after single quotes or :
  row(t, 54, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, bslash, semi, ctl,
                    NUL}, 80},
                  {{percent}, 54}});
  // 55 url
  row(t, 55, 55, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, less,
                    semi, ctl, NUL}, 97},
                  {{greater, caret, bad}, 67}});
  // 56 email
  row(t, 56, 98, {{{d1_9, d0, x, T, h, e, E, a_f, A_F, percent, dot, plus, minus, cont, letter},
                   56},
                  {{sharp, quote, colon, greater, equal, comma, at, dollar, caret, bad}, 67}});
  // 57 ref
  row(t, 57, 57, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, less, semi,
                    ctl, NUL}, 101},
                  {{sharp, quote, bslash, greater, equal, comma, at, dollar, caret, bad}, 67}});
  // 58 after =
  row(t, 58, 52, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, bslash,
                    semi, ctl, NUL}, 80},
                  {{sharp, percent, comma, at, dollar, bad}, 67}, {{slash}, 75}});
  // 59 path element start
  row(t, 59, 67, {{{d1_9, d0}, 60}, {{popen}, 70}, {{pclose}, 71}, {{dq}, 2}, {{sharp}, 63},
                  {{quote, colon}, 61},
                  {{x, T, h, e, E, a_f, A_F, greater, equal, dot, cont, letter}, 62},
                  {{less}, 43}, {{at}, 57}, {{dollar}, 36}, {{plus, minus}, 64}});
  // 60 path element digits
  row(t, 60, 67, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash,
                    less, semi, ctl, NUL}, 82},
                  {{d1_9, d0, quote}, 60}, {{x}, 33}, {{e, E}, 26}, {{percent}, 87},
                  {{at}, 56}, {{dot}, 24}});
  // 61 path element after single quotes or :
  row(t, 61, 67, {{{x, T, h, e, E, a_f, A_F, less, greater, equal, dot, plus, minus, cont,
                    letter}, 62}});
  // 62 path element word
  row(t, 62, 62, {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash,
                    bslash, semi, ctl, NUL}, 80},
                  {{sharp, percent, comma, bad}, 67}, {{at}, 56}, {{dollar}, 36}});
  // 63 path element after #
  row(t, 63, 22, {{{blank, LF, bclose, popen, pclose, cbopen, cbclose, colon, slash, less,
                    greater, equal, comma, semi, at, ctl, bad, NUL}, 67},
                  {{bopen}, 21}, {{dq}, 19}});
  // 64 path element after a sign
  row(t, 64, 80, {{{d1_9, d0}, 60}, {{sharp, quote, less, percent, comma, caret, bad}, 67},
                  {{x, T, h, e, E, a_f, A_F, greater, equal, dot, cont, letter}, 62},
                  {{at}, 56}, {{dollar}, 36}, {{plus, minus}, 64}});
  return t;
}

// Every state must end a token at the end of the input, or the scan loop
// would read past it.
constexpr bool eof_column_is_final(const TransitionTable& t) {
  for (int s = 0; s < SCAN_STATES; ++s) {
    if (t.next[s][C_EOF] <= FINAL_BASE) return false;
  }
  return true;
}
static_assert(eof_column_is_final(make_transitions()));

}  // namespace

constexpr ByteClassTable byte_classes = make_byte_classes();
constexpr TransitionTable transitions = make_transitions();

// ---- side tables -------------------------------------------------------------------------

// Datatype of each kind's value (index = kind; 0 = no datatype).
const u8 kind_types[KIND_COUNT + 1] = {
    0,              // (unused)
    0,              // 1 end of input
    TYPE_ERROR,     // 2 error
    0, 0, 0, 0, 0,  // 3-7 [ ] ( ) {
    TYPE_STRING,    // 8 }
    0, 0, 0, 0, 0,  // 9-13 #[ path construction comment comma
    TYPE_STRING,    // 14
    TYPE_WORD,      // 15
    TYPE_ISSUE,     // 16
    TYPE_INTEGER,   // 17
    TYPE_REFINEMENT,// 18
    TYPE_CHAR,      // 19
    TYPE_FILE,      // 20
    TYPE_BINARY,    // 21
    TYPE_PERCENT,   // 22
    TYPE_FLOAT,     // 23
    TYPE_FLOAT,     // 24
    TYPE_TUPLE,     // 25
    TYPE_DATE,      // 26
    TYPE_PAIR,      // 27
    TYPE_POINT2D,   // 28
    TYPE_TIME,      // 29
    TYPE_MONEY,     // 30
    TYPE_TAG,       // 31
    TYPE_URL,       // 32
    TYPE_EMAIL,     // 33
    TYPE_INTEGER,   // 34
    TYPE_STRING,    // 35
    TYPE_REF,       // 36
};

// What an error token reports, by the last state it went through before the
// error: the datatype the text was on its way to, -1 (bad-char) when the
// text had not started to be anything, -2 (malconstruct) inside "#(...)".
const std::int8_t state_error_types[SCAN_STATES] = {
    -1, -1,                                  // 0 start, 1 comment
    TYPE_STRING, TYPE_STRING,                // 2, 3 string
    TYPE_STRING, TYPE_STRING,                // 4, 5 multi-line string
    TYPE_FILE, TYPE_FILE, TYPE_FILE,         // 6-8 file
    TYPE_FILE,                               // 9 run of %
    TYPE_STRING, TYPE_STRING, TYPE_STRING,   // 10-12 raw string
    TYPE_REFINEMENT, TYPE_REFINEMENT,        // 13, 14
    TYPE_WORD,                               // 15 run of /
    TYPE_ISSUE,                              // 16 after #
    TYPE_BINARY, TYPE_BINARY,                // 17, 18
    TYPE_CHAR, TYPE_CHAR,                    // 19, 20
    -2,                                      // 21 construction
    TYPE_ISSUE,                              // 22
    TYPE_INTEGER,                            // 23 digits
    TYPE_FLOAT, TYPE_FLOAT, TYPE_FLOAT,      // 24-26
    TYPE_FLOAT, TYPE_FLOAT,                  // 27, 28
    TYPE_TUPLE,                              // 29
    TYPE_DATE,                               // 30
    TYPE_TIME, TYPE_TIME,                    // 31, 32
    TYPE_PAIR, TYPE_PAIR,                    // 33, 34
    TYPE_POINT2D,                            // 35
    TYPE_MONEY, TYPE_MONEY, TYPE_MONEY,      // 36-38
    TYPE_INTEGER,                            // 39 hex digits
    TYPE_WORD,                               // 40 hex letters or word
    TYPE_INTEGER, TYPE_INTEGER,              // 41, 42
    TYPE_TAG, TYPE_TAG, TYPE_TAG, TYPE_TAG,  // 43-46
    TYPE_WORD, TYPE_WORD, TYPE_WORD,         // 47-49
    TYPE_FLOAT,                              // 50
    TYPE_WORD, TYPE_WORD, TYPE_WORD,         // 51-53
    TYPE_WORD,                               // 54
    TYPE_URL,                                // 55
    TYPE_EMAIL,                              // 56
    TYPE_REF,                                // 57
    TYPE_WORD,                               // 58
    TYPE_PATH,                               // 59 path element start
    TYPE_INTEGER,                            // 60
    TYPE_WORD, TYPE_WORD,                    // 61, 62
    TYPE_ISSUE,                              // 63
    TYPE_WORD,                               // 64
};

// Classes after which a path element is the last one.
const bool path_end_class[CLASS_COUNT] = {
    true,  true,  false, false, true,  true,  true,  true,  true,  false,  // 0-9
    true,  false, false, true,  false, false, false, false, false, false,  // 10-19
    false, false, false, true,  false, false, false, false, true,  false,  // 20-29
    false, false, false, false, false, false, false, true,  true,  true,   // 30-39
};

// The check of a float text: columns other, sign, digit, exponent letter,
// '.', '\'', end; 9 accepts, 10 rejects.
const u8 float_automaton[11][7] = {
    {10, 0, 1, 10, 4, 10, 10},    // 0 start
    {10, 10, 1, 6, 5, 2, 9},      // 1 integer digits
    {10, 10, 1, 10, 10, 10, 9},   // 2 after '
    {10, 10, 3, 6, 10, 4, 9},     // 3 fraction digits
    {10, 10, 3, 10, 10, 10, 9},   // 4 after . or fraction '
    {10, 10, 3, 10, 10, 10, 9},   // 5 after digits and .
    {10, 7, 8, 10, 10, 10, 10},   // 6 after the exponent letter
    {10, 10, 8, 10, 10, 10, 10},  // 7 exponent sign
    {10, 10, 8, 10, 10, 10, 9},   // 8 exponent digits
    {9, 9, 9, 9, 9, 9, 9},        // 9 accepted
    {10, 10, 10, 10, 10, 10, 10}, // 10 rejected
};

// The code points that count as blanks where a word would begin.
bool is_unicode_blank(u32 cp) {
  switch (cp) {
    case 0x85: case 0xA0: case 0x1680: case 0x180E: case 0x2028: case 0x2029: case 0x202F:
    case 0x205F: case 0x3000:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200B;
  }
}

}  // namespace qel::lexer
