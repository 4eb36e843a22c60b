// system/view as the backend writes it: the set-up fills `metrics`,
// `fonts` and the platform object's `version`, `build` and `product`.
#pragma once

#include "runtime/cell.hpp"

namespace qel::view::system_view {

// The value cell that a path of field words below system/view names
// ("metrics dpi", "platform version"), or null when a step is missing or
// not an object. Valid until the next allocation.
Cell* field(const char* path);

// Sets the field (nothing when it is missing); the value may lie anywhere.
void set(const char* path, const Cell* value);
// Puts the value under the word key in the map! at the path (nothing when
// the path holds no map).
void put(const char* path, const char* key, const Cell* value);

// What the set-up gives without a display: the OS version values, the DPI,
// the system font, the scroll bars' widths and the light theme's colours.
// Start-up fills them without loading the backend, so that layout and text
// measuring see them before the first window; the backend's set-up starts
// from them and puts in what a display tells.
struct Defaults {
  u8 version[3] = {10, 0, 0};
  i32 build = 0;
  i32 product = 1;
  i32 dpi = 96;
  const char* font = "Sans";
  i32 font_size = 10;
  i32 scroller = 16;  // the width of a vertical and the height of a horizontal scroll bar
  i32 tab_room = 12;  // the width a tab panel's header takes beside its title's text
  i32 tab_row = 4;    // and the width its row of headers takes beside the headers
  u8 text[3] = {0, 0, 0};
  u8 window[3] = {255, 255, 255};
  u8 panel[3] = {246, 245, 244};
};
inline constexpr Defaults kDefaults{};

void fill_defaults();
// Setters the set-up shares.
void set_string(const char* path, const char* text);
void set_integer(const char* path, i32 n);
void put_colour(const char* key, const u8 rgb[3]);
void put_scroller(i32 vertical, i32 horizontal);
// metrics/misc/tab-header: the width a tab header takes beside its title's
// text (x), and the row of headers beside them (y); layout makes a tab panel
// as wide as its headers with it.
void put_tab_header(i32 per_tab, i32 row);

}  // namespace qel::view::system_view
