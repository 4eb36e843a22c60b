#include "view/keys.hpp"

namespace qel::view::keys {

namespace {

struct Special {
  u32 code;
  const char* word;
};
const Special kSpecial[] = {
    {PAUSE, "pause"},         {CAPITAL, "caps-lock"},    {PRIOR, "page-up"},        {NEXT, "page-down"},
    {END, "end"},             {HOME, "home"},            {LEFT, "left"},            {UP, "up"},
    {RIGHT, "right"},         {DOWN, "down"},            {INSERT, "insert"},        {DELETE_, "delete"},
    {F1, "F1"},               {F1 + 1, "F2"},            {F1 + 2, "F3"},            {F1 + 3, "F4"},
    {F1 + 4, "F5"},           {F1 + 5, "F6"},            {F1 + 6, "F7"},            {F1 + 7, "F8"},
    {F1 + 8, "F9"},           {F1 + 9, "F10"},           {F1 + 10, "F11"},          {F12, "F12"},
    {NUMLOCK, "num-lock"},    {SCROLL, "scroll-lock"},   {LSHIFT, "left-shift"},    {RSHIFT, "right-shift"},
    {LCONTROL, "left-control"}, {RCONTROL, "right-control"}, {LMENU, "left-alt"},   {RMENU, "right-alt"},
    {LWIN, "left-command"},   {RWIN, "right-command"},
    {SCROLL_UP, "up"},        {SCROLL_DOWN, "down"},     {SCROLL_PAGE_UP, "page-up"}, {SCROLL_PAGE_DOWN, "page-down"},
    {SCROLL_LEFT, "left"},    {SCROLL_RIGHT, "right"},   {SCROLL_PAGE_LEFT, "page-left"},
    {SCROLL_PAGE_RIGHT, "page-right"}, {SCROLL_TRACK, "track"}, {SCROLL_END, "end"},
    {WHEEL_KEY, "wheel"},
};

bool in(u32 c, u32 lo, u32 hi) { return c >= lo && c <= hi; }

}  // namespace

u32 scroll_key(u32 code, bool vertical) {
  switch (code) {
    case 0: return vertical ? SCROLL_UP : SCROLL_LEFT;
    case 1: return vertical ? SCROLL_DOWN : SCROLL_RIGHT;
    case 2: return vertical ? SCROLL_PAGE_UP : SCROLL_PAGE_LEFT;
    case 3: return vertical ? SCROLL_PAGE_DOWN : SCROLL_PAGE_RIGHT;
    case 5: return SCROLL_TRACK;
    default: return SCROLL_END;
  }
}

bool char_key(u32 c) {
  return c == BACK || c == TAB || c == RETURN || c == ESCAPE || c == SPACE || in(c, 48, 57) || in(c, 65, 90) ||
         in(c, 96, 107) || in(c, 109, 111) || in(c, 186, 192) || in(c, 219, 223) || in(c, 226, 228) ||
         in(c, 233, 245);
}

const char* special_word(u32 code) {
  for (const Special& s : kSpecial)
    if (s.code == code) return s.word;
  return nullptr;
}

u32 unshifted_char(u32 c) {
  if (c == BACK || c == TAB || c == RETURN || c == ESCAPE || c == SPACE || in(c, '0', '9') || in(c, 'A', 'Z'))
    return c;
  if (in(c, NUMPAD0, NUMPAD0 + 9)) return '0' + (c - NUMPAD0);
  switch (c) {
    case MULTIPLY: return '*';
    case ADD: return '+';
    case SUBTRACT: return '-';
    case DECIMAL: return '.';
    case DIVIDE: return '/';
    case OEM_1: return ';';
    case OEM_PLUS: return '=';
    case OEM_COMMA: return ',';
    case OEM_MINUS: return '-';
    case OEM_PERIOD: return '.';
    case OEM_2: return '/';
    case OEM_3: return '`';
    case OEM_4: return '[';
    case OEM_5: case OEM_102: return '\\';
    case OEM_6: return ']';
    case OEM_7: return '\'';
    default: return 0;
  }
}

u32 code_of_char(u32 ch) {
  if (in(ch, 'a', 'z')) return ch - 'a' + 'A';
  if (in(ch, 'A', 'Z') || in(ch, '0', '9')) return ch;
  if (ch == BACK || ch == TAB || ch == RETURN || ch == ESCAPE || ch == SPACE) return ch;
  if (ch == '\n') return RETURN;
  static const char kShiftedDigits[] = ")!@#$%^&*(";
  for (u32 i = 0; i < 10; ++i)
    if (ch == u32(kShiftedDigits[i])) return '0' + i;
  struct Oem {
    u32 code;
    char plain, shifted;
  };
  static const Oem kOem[] = {{OEM_1, ';', ':'},      {OEM_PLUS, '=', '+'},   {OEM_COMMA, ',', '<'},
                             {OEM_MINUS, '-', '_'},  {OEM_PERIOD, '.', '>'}, {OEM_2, '/', '?'},
                             {OEM_3, '`', '~'},      {OEM_4, '[', '{'},      {OEM_5, '\\', '|'},
                             {OEM_6, ']', '}'},      {OEM_7, '\'', '"'}};
  for (const Oem& o : kOem)
    if (ch == u32(u8(o.plain)) || ch == u32(u8(o.shifted))) return o.code;
  return 0;
}

u32 sided(u32 code, i64 lparam) {
  bool extended = (lparam >> 24) & 1;
  switch (code) {
    case SHIFT: return ((lparam >> 16) & 0xFF) == 0x36 ? RSHIFT : LSHIFT;
    case CONTROL: return extended ? RCONTROL : LCONTROL;
    case MENU: return extended ? RMENU : LMENU;
    default: return code;
  }
}

bool modifier(u32 c) { return c == SHIFT || c == CONTROL || c == MENU || in(c, LSHIFT, RMENU); }

}  // namespace qel::view::keys
