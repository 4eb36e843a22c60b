// The lexer's tables, as data.
//
// byte_classes maps every byte to its class (low byte) and flag bits; the
// scan loop ORs the flags of a token's bytes so that the token functions
// know, without reading the token again, whether it holds a '#', a quote, a
// colon, an exponent letter, a sign, a caret escape, a multi-byte UTF-8 lead
// and so on.
//
// transitions[state][class] is the next state. The scanning states
// (ScanState, lexer_state.hpp) read on; a final state, ends(kind), ends the
// token (the byte that led there is not part of it) and names its kind.
// Column C_EOF is also the column taken at the end of the input, so every
// state must end the token there.
//
// Each row is written as its most common target followed by the exceptions,
// the classes named as they appear in the source text.
#include <array>
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
  row(t, S_START, S_WORD,
      {{{blank, LF, ctl}, S_START},
       {{d1_9, d0}, S_DIGITS},
       {{bopen}, ends(K_BLOCK_OPEN)},
       {{bclose}, ends(K_BLOCK_CLOSE)},
       {{popen}, ends(K_PAREN_OPEN)},
       {{pclose}, ends(K_PAREN_CLOSE)},
       {{cbopen}, ends(K_MSTRING_OPEN)},
       {{cbclose, bslash, cont, bad}, ends(K_ERROR)},
       {{dq}, S_STRING},
       {{sharp}, S_AFTER_SHARP},
       {{quote, colon}, S_AFTER_QUOTE},
       {{E, A_F}, S_HEX_WORD},
       {{slash}, S_AFTER_SLASH},
       {{less}, S_AFTER_LESS},
       {{equal}, S_AFTER_EQUAL},
       {{percent}, S_AFTER_PERCENT},
       {{comma}, ends(K_COMMA)},
       {{semi}, S_COMMENT},
       {{at}, S_REF},
       {{dot}, S_AFTER_DOT},
       {{dollar}, S_MONEY_DOLLAR},
       {{plus, minus}, S_SIGN},
       {{NUL}, ends(K_EOF)}});
  row(t, S_COMMENT, S_COMMENT, {{{LF, NUL}, ends(K_COMMENT)}, {{bad}, ends(K_ERROR)}});
  row(t, S_STRING, S_STRING,
      {{{LF, bad, NUL}, ends(K_ERROR)}, {{dq}, ends(K_STRING)}, {{caret}, S_STRING_ESCAPE}});
  row(t, S_STRING_ESCAPE, S_STRING, {{{bad, NUL}, ends(K_ERROR)}});
  row(t, S_MSTRING, S_MSTRING,
      {{{cbopen}, ends(K_MSTRING_OPEN)},
       {{cbclose}, ends(K_MSTRING_CLOSE)},
       {{caret}, S_MSTRING_ESCAPE},
       {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_MSTRING_ESCAPE, S_MSTRING, {{{bad, NUL}, ends(K_ERROR)}});
  row(t, S_AFTER_PERCENT, S_FILE,
      {{{blank, LF, bopen, bclose, popen, pclose, cbclose, semi, at, ctl, NUL}, ends(K_WORD)},
       {{cbopen}, S_RAW},
       {{dq}, S_QUOTED_FILE},
       {{colon}, S_QUOTE_PERCENT_RUN},
       {{percent}, S_PERCENT_RUN},
       {{bad}, ends(K_ERROR)}});
  row(t, S_FILE, S_FILE,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, colon, semi, at, NUL},
        ends(K_FILE)},
       {{dq, bad}, ends(K_ERROR)}});
  row(t, S_QUOTED_FILE, S_QUOTED_FILE, {{{LF, bad, NUL}, ends(K_ERROR)}, {{dq}, ends(K_FILE)}});
  row(t, S_PERCENT_RUN, S_FILE,
      {{{blank, LF, bopen, bclose, popen, pclose, cbclose, dq, bslash, semi, ctl, NUL},
        ends(K_WORD)},
       {{cbopen}, S_RAW},
       {{percent}, S_PERCENT_RUN},
       {{bad}, ends(K_ERROR)}});
  row(t, S_RAW, S_RAW, {{{cbclose}, S_RAW_BRACE}, {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_RAW_BRACE, S_RAW,
      {{{cbclose}, S_RAW_BRACE}, {{percent}, S_RAW_CLOSE}, {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_RAW_CLOSE, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, dq, less, semi, ctl, NUL},
        ends(K_RAWSTRING)},
       {{percent}, S_RAW_CLOSE}});
  row(t, S_AFTER_SLASH, S_REFINEMENT,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, semi, at, ctl, NUL},
        ends(K_WORD)},
       {{colon}, S_WORD_COLON},
       {{slash}, S_SLASH_RUN},
       {{comma, bad}, ends(K_ERROR)}});
  row(t, S_REFINEMENT, S_REFINEMENT,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, slash, semi, at, ctl, NUL},
        ends(K_REFINEMENT)},
       {{colon, comma, bad}, ends(K_ERROR)}});
  row(t, S_SLASH_RUN, S_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, semi, at, ctl, NUL},
        ends(K_WORD)},
       {{slash}, S_SLASH_RUN},
       {{percent, comma, dollar, bad}, ends(K_ERROR)}});
  row(t, S_AFTER_SHARP, S_ISSUE,
      {{{blank, LF, bclose, pclose, cbclose, colon, less, greater, comma, bad}, ends(K_ERROR)},
       {{bopen}, ends(K_MAP_OPEN)},
       {{popen}, S_CONSTRUCT},
       {{cbopen}, S_BINARY},
       {{dq}, S_CHAR},
       {{semi, at, ctl, NUL}, ends(K_ISSUE)}});
  row(t, S_BINARY, ends(K_ERROR),
      {{{blank, LF, d1_9, d0, x, T, h, e, E, a_f, A_F, slash, equal, plus, letter}, S_BINARY},
       {{cbclose}, ends(K_BINARY)},
       {{semi}, S_BINARY_COMMENT}});
  row(t, S_BINARY_COMMENT, S_BINARY_COMMENT, {{{LF}, S_BINARY}, {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_CHAR, S_CHAR,
      {{{dq}, ends(K_CHAR)}, {{caret}, S_CHAR_ESCAPE}, {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_CHAR_ESCAPE, S_CHAR, {{{bad, NUL}, ends(K_ERROR)}});
  row(t, S_CONSTRUCT, S_CONSTRUCT, {{{pclose}, ends(K_CONSTRUCT)}, {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_ISSUE, S_ISSUE,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, semi, at, ctl, NUL},
        ends(K_ISSUE)},
       {{colon, slash, bad}, ends(K_ERROR)}});
  row(t, S_DIGITS, ends(K_INTEGER),
      {{{d1_9, d0, quote}, S_DIGITS},
       {{sharp}, S_AFTER_SHARP},
       {{colon}, S_TIME_COLON},
       {{x}, S_PAIR_X},
       {{T, slash, minus}, S_DATE},
       {{h}, S_DIGITS_H},
       {{e}, S_EXPONENT},
       {{E}, S_DIGITS_E},
       {{a_f, bslash, greater, equal, dollar, plus, caret, cont, letter, bad}, ends(K_ERROR)},
       {{A_F}, S_HEX_DIGITS},
       {{percent}, ends(K_PERCENT)},
       {{at}, S_EMAIL},
       {{dot}, S_DIGITS_DOT}});
  row(t, S_DIGITS_DOT, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, slash, less, comma, semi,
         ctl, NUL},
        ends(K_FLOAT)},
       {{d1_9, d0, quote}, S_FRACTION},
       {{sharp}, S_SPECIAL_FLOAT},
       {{x}, S_PAIR_X},
       {{e, E}, S_EXPONENT},
       {{percent}, ends(K_PERCENT)}});
  row(t, S_FRACTION, ends(K_FLOAT),
      {{{d1_9, d0, quote}, S_FRACTION},
       {{sharp, T, h, a_f, A_F, bslash, greater, equal, dollar, plus, minus, caret, cont, letter,
         bad},
        ends(K_ERROR)},
       {{x}, S_PAIR_X},
       {{e, E}, S_EXPONENT},
       {{percent}, ends(K_PERCENT)},
       {{at}, S_EMAIL},
       {{dot}, S_TUPLE}});
  row(t, S_EXPONENT, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash, less, comma,
         semi, ctl, NUL},
        ends(K_FLOAT)},
       {{d1_9, d0, plus, minus}, S_EXPONENT},
       {{at}, S_EMAIL}});
  row(t, S_DIGITS_E, ends(K_FLOAT),
      {{{d1_9, d0}, S_DIGITS_E},
       {{sharp, quote, x, T, e, a_f, bslash, greater, equal, semi, dollar, caret, cont, letter,
         bad},
        ends(K_ERROR)},
       {{h}, S_DIGITS_H},
       {{E, A_F}, S_HEX_WORD},
       {{percent}, ends(K_PERCENT)},
       {{at}, S_EMAIL},
       {{dot}, S_TUPLE},
       {{plus, minus}, S_EXPONENT}});
  row(t, S_SPECIAL_FLOAT, ends(K_FLOAT_SPECIAL),
      {{{d1_9}, ends(K_FLOAT)},
       {{sharp, quote, colon, percent, at, dollar, caret, bad}, ends(K_ERROR)},
       {{x, T, h, e, E, a_f, A_F, greater, equal, dot, plus, minus, cont, letter},
        S_SPECIAL_FLOAT}});
  row(t, S_TUPLE, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash, less, semi,
         ctl, NUL},
        ends(K_TUPLE)},
       {{d1_9, d0, dot}, S_TUPLE}});
  row(t, S_DATE, S_DATE,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, less, semi, dollar, ctl,
         NUL},
        ends(K_DATE)},
       {{percent, comma, at, caret, cont, bad}, ends(K_ERROR)}});
  row(t, S_TIME_COLON, ends(K_ERROR), {{{d1_9, d0}, S_TIME}});
  row(t, S_TIME, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, slash, less, semi, ctl, NUL},
        ends(K_TIME)},
       {{d1_9, d0, colon, dot}, S_TIME}});
  row(t, S_PAIR_X, ends(K_ERROR), {{{d1_9, d0, plus, minus}, S_PAIR}, {{at}, S_EMAIL}});
  row(t, S_PAIR, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash, less, semi,
         ctl, NUL},
        ends(K_PAIR)},
       {{d1_9, d0, e, E, dot}, S_PAIR},
       {{at}, S_EMAIL}});
  row(t, S_POINT, ends(K_ERROR),
      {{{blank, d1_9, d0, bclose, sharp, e, E, a_f, A_F, comma, dot, plus, minus, letter}, S_POINT},
       {{pclose}, ends(K_POINT)}});
  row(t, S_MONEY_DOLLAR, ends(K_ERROR), {{{d1_9, d0}, S_MONEY}});
  row(t, S_MONEY, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, colon, slash, less,
         semi, ctl, NUL},
        ends(K_MONEY)},
       {{d1_9, d0, quote}, S_MONEY},
       {{dot}, S_MONEY_FRACTION}});
  row(t, S_MONEY_FRACTION, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, colon, slash, less,
         semi, ctl, NUL},
        ends(K_MONEY)},
       {{d1_9, d0, quote}, S_MONEY_FRACTION}});
  row(t, S_HEX_DIGITS, ends(K_ERROR),
      {{{d1_9, d0, E, A_F}, S_HEX_DIGITS}, {{h}, S_HEX_H}, {{at}, S_EMAIL}});
  row(t, S_HEX_WORD, ends(K_WORD),
      {{{d1_9, d0, E, A_F}, S_HEX_WORD},
       {{quote, x, T, e, a_f, less, greater, equal, dot, plus, minus, caret, cont, letter}, S_WORD},
       {{colon}, S_WORD_COLON},
       {{h}, S_HEX_H},
       {{slash}, ends(K_PATH)},
       {{percent, comma, bad}, ends(K_ERROR)},
       {{at}, S_EMAIL},
       {{dollar}, S_MONEY}});
  row(t, S_HEX_H, S_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, semi, ctl, NUL},
        ends(K_HEX)},
       {{sharp, percent, comma, bad}, ends(K_ERROR)},
       {{colon}, S_WORD_COLON},
       {{slash}, ends(K_PATH)},
       {{at}, S_EMAIL},
       {{dollar}, S_MONEY}});
  row(t, S_DIGITS_H, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, less, semi, ctl,
         NUL},
        ends(K_HEX)},
       {{slash}, ends(K_PATH)},
       {{at}, S_EMAIL},
       {{dollar}, S_MONEY}});
  row(t, S_AFTER_LESS, S_TAG,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, semi, ctl, NUL},
        ends(K_WORD)},
       {{quote}, S_TAG_QUOTE},
       {{colon}, S_WORD_COLON},
       {{less}, S_AFTER_LESS},
       {{greater, equal, minus}, S_WORD},
       {{bad}, ends(K_ERROR)}});
  row(t, S_TAG, S_TAG,
      {{{dq}, S_TAG_DQUOTE},
       {{quote}, S_TAG_QUOTE},
       {{greater}, ends(K_TAG)},
       {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_TAG_DQUOTE, S_TAG_DQUOTE, {{{dq}, S_TAG}, {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_TAG_QUOTE, S_TAG_QUOTE, {{{quote}, S_TAG}, {{bad, NUL}, ends(K_ERROR)}});
  row(t, S_SIGN, S_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash, semi, ctl,
         NUL},
        ends(K_WORD)},
       {{d1_9, d0}, S_DIGITS},
       {{quote, percent, caret, bad}, ends(K_ERROR)},
       {{slash}, ends(K_PATH)},
       {{dot}, S_AFTER_DOT},
       {{dollar}, S_MONEY}});
  row(t, S_QUOTED_SIGN, S_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash, semi, ctl,
         NUL},
        ends(K_WORD)},
       {{quote, percent, dollar, caret, bad}, ends(K_ERROR)},
       {{slash}, ends(K_PATH)}});
  row(t, S_AFTER_DOT, S_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash, semi, ctl,
         NUL},
        ends(K_WORD)},
       {{d1_9, d0, plus, minus}, S_DOT_FRACTION},
       {{colon}, S_WORD_COLON},
       {{slash}, ends(K_PATH)},
       {{percent, comma, dollar, bad}, ends(K_ERROR)},
       {{at}, S_EMAIL}});
  row(t, S_DOT_FRACTION, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash, less, ctl,
         NUL},
        ends(K_FLOAT)},
       {{d1_9, d0, e, E, plus, minus}, S_DOT_FRACTION},
       {{x}, S_PAIR_X},
       {{percent}, ends(K_PERCENT)},
       {{at}, S_EMAIL}});
  row(t, S_AFTER_QUOTE, ends(K_ERROR),
      {{{x, T, h, e, E, a_f, A_F, greater, dot, caret, cont, letter}, S_WORD},
       {{slash}, S_AFTER_SLASH},
       {{less}, S_AFTER_LESS},
       {{equal}, S_AFTER_EQUAL},
       {{percent}, S_QUOTE_PERCENT_RUN},
       {{plus, minus}, S_QUOTED_SIGN}});
  row(t, S_WORD, S_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, sharp, bslash, less, semi,
         ctl, NUL},
        ends(K_WORD)},
       {{colon}, S_WORD_COLON},
       {{slash}, ends(K_PATH)},
       {{percent, comma, bad}, ends(K_ERROR)},
       {{at}, S_EMAIL},
       {{dollar}, S_MONEY_DOLLAR}});
  row(t, S_WORD_COLON, S_URL,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, semi, ctl, NUL},
        ends(K_WORD)},
       {{less, bad}, ends(K_ERROR)}});
  row(t, S_QUOTE_PERCENT_RUN, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, bslash, semi, ctl, NUL},
        ends(K_WORD)},
       {{percent}, S_QUOTE_PERCENT_RUN}});
  row(t, S_URL, S_URL,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, bslash, less, semi, ctl,
         NUL},
        ends(K_URL)},
       {{greater, caret, bad}, ends(K_ERROR)}});
  row(t, S_EMAIL, ends(K_EMAIL),
      {{{d1_9, d0, x, T, h, e, E, a_f, A_F, percent, dot, plus, minus, cont, letter}, S_EMAIL},
       {{sharp, quote, colon, greater, equal, comma, at, dollar, caret, bad}, ends(K_ERROR)}});
  row(t, S_REF, S_REF,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, less, semi, ctl, NUL},
        ends(K_REF)},
       {{sharp, quote, bslash, greater, equal, comma, at, dollar, caret, bad}, ends(K_ERROR)}});
  row(t, S_AFTER_EQUAL, S_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, bslash, semi, ctl,
         NUL},
        ends(K_WORD)},
       {{sharp, percent, comma, at, dollar, bad}, ends(K_ERROR)},
       {{slash}, ends(K_PATH)}});
  row(t, S_PATH_START, ends(K_ERROR),
      {{{d1_9, d0}, S_PATH_DIGITS},
       {{popen}, ends(K_PAREN_OPEN)},
       {{pclose}, ends(K_PAREN_CLOSE)},
       {{dq}, S_STRING},
       {{sharp}, S_PATH_SHARP},
       {{quote, colon}, S_PATH_QUOTE},
       {{x, T, h, e, E, a_f, A_F, greater, equal, dot, cont, letter}, S_PATH_WORD},
       {{less}, S_AFTER_LESS},
       {{at}, S_REF},
       {{dollar}, S_MONEY_DOLLAR},
       {{plus, minus}, S_PATH_SIGN}});
  row(t, S_PATH_DIGITS, ends(K_ERROR),
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash, less, semi,
         ctl, NUL},
        ends(K_INTEGER)},
       {{d1_9, d0, quote}, S_PATH_DIGITS},
       {{x}, S_PAIR_X},
       {{e, E}, S_EXPONENT},
       {{percent}, ends(K_PERCENT)},
       {{at}, S_EMAIL},
       {{dot}, S_DIGITS_DOT}});
  row(t, S_PATH_QUOTE, ends(K_ERROR),
      {{{x, T, h, e, E, a_f, A_F, less, greater, equal, dot, plus, minus, cont, letter},
        S_PATH_WORD}});
  row(t, S_PATH_WORD, S_PATH_WORD,
      {{{blank, LF, bopen, bclose, popen, pclose, cbopen, cbclose, dq, colon, slash, bslash, semi,
         ctl, NUL},
        ends(K_WORD)},
       {{sharp, percent, comma, bad}, ends(K_ERROR)},
       {{at}, S_EMAIL},
       {{dollar}, S_MONEY_DOLLAR}});
  row(t, S_PATH_SHARP, S_ISSUE,
      {{{blank, LF, bclose, popen, pclose, cbopen, cbclose, colon, slash, less, greater, equal,
         comma, semi, at, ctl, bad, NUL},
        ends(K_ERROR)},
       {{bopen}, S_CONSTRUCT},
       {{dq}, S_CHAR}});
  row(t, S_PATH_SIGN, ends(K_WORD),
      {{{d1_9, d0}, S_PATH_DIGITS},
       {{sharp, quote, less, percent, comma, caret, bad}, ends(K_ERROR)},
       {{x, T, h, e, E, a_f, A_F, greater, equal, dot, cont, letter}, S_PATH_WORD},
       {{at}, S_EMAIL},
       {{dollar}, S_MONEY_DOLLAR},
       {{plus, minus}, S_PATH_SIGN}});
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
namespace {

struct ErrorTypeRow {
  std::initializer_list<u8> states;
  std::int8_t type;
};

constexpr std::array<std::int8_t, SCAN_STATES> make_error_types() {
  const ErrorTypeRow rows[] = {
      {{S_START, S_COMMENT}, -1},
      {{S_STRING, S_STRING_ESCAPE, S_MSTRING, S_MSTRING_ESCAPE, S_RAW, S_RAW_BRACE, S_RAW_CLOSE},
       TYPE_STRING},
      {{S_AFTER_PERCENT, S_FILE, S_QUOTED_FILE, S_PERCENT_RUN}, TYPE_FILE},
      {{S_AFTER_SLASH, S_REFINEMENT}, TYPE_REFINEMENT},
      {{S_AFTER_SHARP, S_ISSUE, S_PATH_SHARP}, TYPE_ISSUE},
      {{S_BINARY, S_BINARY_COMMENT}, TYPE_BINARY},
      {{S_CHAR, S_CHAR_ESCAPE}, TYPE_CHAR},
      {{S_CONSTRUCT}, -2},
      {{S_DIGITS, S_HEX_DIGITS, S_HEX_H, S_DIGITS_H, S_PATH_DIGITS}, TYPE_INTEGER},
      {{S_DIGITS_DOT, S_FRACTION, S_EXPONENT, S_DIGITS_E, S_SPECIAL_FLOAT, S_DOT_FRACTION},
       TYPE_FLOAT},
      {{S_TUPLE}, TYPE_TUPLE},
      {{S_DATE}, TYPE_DATE},
      {{S_TIME_COLON, S_TIME}, TYPE_TIME},
      {{S_PAIR_X, S_PAIR}, TYPE_PAIR},
      {{S_POINT}, TYPE_POINT2D},
      {{S_MONEY_DOLLAR, S_MONEY, S_MONEY_FRACTION}, TYPE_MONEY},
      {{S_AFTER_LESS, S_TAG, S_TAG_DQUOTE, S_TAG_QUOTE}, TYPE_TAG},
      {{S_SLASH_RUN, S_HEX_WORD, S_SIGN, S_QUOTED_SIGN, S_AFTER_DOT, S_AFTER_QUOTE, S_WORD,
        S_WORD_COLON, S_QUOTE_PERCENT_RUN, S_AFTER_EQUAL, S_PATH_QUOTE, S_PATH_WORD, S_PATH_SIGN},
       TYPE_WORD},
      {{S_URL}, TYPE_URL},
      {{S_EMAIL}, TYPE_EMAIL},
      {{S_REF}, TYPE_REF},
      {{S_PATH_START}, TYPE_PATH},
  };
  std::array<std::int8_t, SCAN_STATES> t{};
  std::array<bool, SCAN_STATES> seen{};
  for (const ErrorTypeRow& r : rows) {
    for (u8 state : r.states) {
      if (seen[state]) throw "a state named twice";
      seen[state] = true;
      t[state] = r.type;
    }
  }
  for (bool named : seen) {
    if (!named) throw "a state without its error type";
  }
  return t;
}

}  // namespace

constexpr std::array<std::int8_t, SCAN_STATES> state_error_types = make_error_types();

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
