// The displays, as GDK reports them (or the fake list of the test hooks):
// monitors with stable handles, the one under the pointer, and the screen
// size. Any number of monitors is listed.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/cell.hpp"

namespace qel::view::backend::screens {

struct Monitor {
  i32 x, y, width, height;  // pixels
  double scale;
  i32 slot;                 // its handle's slot (the same while the display stays)
};

// The monitors now, in GDK's order; empty without a display.
std::vector<Monitor> all();
// The index in the list of the monitor holding the point (pixels), else of
// the nearest one; -1 for an empty list.
i32 nearest(const std::vector<Monitor>& list, double x, double y);
// The index in all() of the monitor under the pointer; -1 when there is none.
i32 current(const std::vector<Monitor>& list);
// A monitor's handle! into out.
Cell* handle(const Monitor& m, Cell* out);

// Routine bodies: fetch-all-screens, get-current-screen, get-screen-size.
void fetch_all_screens();
void get_current_screen();
void get_screen_size();

}  // namespace qel::view::backend::screens
