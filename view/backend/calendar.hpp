// Calendars (GtkCalendar) following their face's `data`: a date! selects
// its day (the year kept within 1601..9999), anything else is replaced by
// the selected day. The user's choice of a day sets `data` and raises
// `change`; what the backend sets raises nothing.
#pragma once

#include "view/window.hpp"

namespace qel::view::backend::calendar {

void sync(window::Record& w);     // from `data`, or into it
void connect(window::Record& w);  // the day-selected signal (after sync)
// A day chosen as the user chooses it (tests): the calendar's own signal.
void choose(window::Record& w, int year, int month, int day);

}  // namespace qel::view::backend::calendar
