#include "view/backend/calendar.hpp"

#include <gtk/gtk.h>

#include <algorithm>

#include "datatypes/date.hpp"
#include "datatypes/event.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/widgets.hpp"
#include "view/backend/windows.hpp"
#include "view/face.hpp"

namespace qel::view::backend::calendar {

namespace {

using window::Record;

GtkCalendar* calendar_of(const Record& w) {
  GtkWidget* c = windows::control(w);
  return c && GTK_IS_CALENDAR(c) ? GTK_CALENDAR(c) : nullptr;
}

// Set on the widget while its arrows (or Page Up and Down) turn to another
// month or year: GTK then selects the same day of the month shown.
constexpr const char* kTurningKey = "qel-turning";

// The selected day into the face's `data` (a date! without time); none
// when the month shown has no day selected.
void read_into_face(Record& w) {
  GtkCalendar* cal = calendar_of(w);
  Cell* data = window::face(w) ? face::facet(window::face(w), face::DATA) : nullptr;
  if (!cal || !data) return;
  guint year = 0, month = 0, day = 0;
  gtk_calendar_get_date(cal, &year, &month, &day);
  if (day) date::make_at(data, i32(year), i32(month) + 1, i32(day), 0, 0, 0, false);
  else make_none(data);
}

// Turning to another month or year changes no selection: the face's day
// stays selected, shown when its month is (none is shown in the others),
// and no event is raised.
void show_face_day(Record& w) {
  GtkCalendar* cal = calendar_of(w);
  const Cell* data = window::face(w) ? face::facet(window::face(w), face::DATA) : nullptr;
  if (!cal) return;
  guint year = 0, month = 0, day = 0;
  gtk_calendar_get_date(cal, &year, &month, &day);
  guint shown = 0;
  if (data && type_of(data) == TYPE_DATE) {
    u32 d = date::packed(data);
    if (std::clamp(date::year(d), 1601, 9999) == i32(year) && date::month(d) == i32(month) + 1)
      shown = guint(std::clamp(date::day(d), 1, 31));
  }
  widgets::Quiet q;
  gtk_calendar_select_day(cal, shown);
}

void on_turn(GtkCalendar* cal, gpointer) { g_object_set_data(G_OBJECT(cal), kTurningKey, GINT_TO_POINTER(1)); }

void on_day(GtkCalendar* cal, gpointer id) {
  if (widgets::quiet()) return;
  bool turning = g_object_get_data(G_OBJECT(cal), kTurningKey);
  g_object_set_data(G_OBJECT(cal), kTurningKey, nullptr);
  guard::run([&] {
    Record* w = window::find(GPOINTER_TO_UINT(id));
    if (!w || !window::face(*w)) return;
    if (turning) {
      show_face_day(*w);
      return;
    }
    read_into_face(*w);
    input::command_event(w->id, event::CHANGE);
  });
}

}  // namespace

void sync(Record& w) {
  GtkCalendar* cal = calendar_of(w);
  const Cell* f = window::face(w);
  const Cell* data = f ? face::facet(f, face::DATA) : nullptr;
  if (!cal || !data) return;
  if (type_of(data) != TYPE_DATE) {
    read_into_face(w);
    return;
  }
  u32 d = date::packed(data);
  widgets::Quiet q;
  gtk_calendar_select_day(cal, 0);  // a day the new month surely has, while it changes
  gtk_calendar_select_month(cal, guint(std::clamp(date::month(d), 1, 12) - 1), guint(std::clamp(date::year(d), 1601, 9999)));
  gtk_calendar_select_day(cal, guint(std::clamp(date::day(d), 1, 31)));
}

void connect(Record& w) {
  GtkCalendar* cal = calendar_of(w);
  if (!cal) return;
  g_signal_connect(cal, "day-selected", G_CALLBACK(on_day), GUINT_TO_POINTER(w.id));
  for (const char* turn : {"next-month", "prev-month", "next-year", "prev-year"})
    g_signal_connect(cal, turn, G_CALLBACK(on_turn), nullptr);
}

void choose(Record& w, int year, int month, int day) {
  GtkCalendar* cal = calendar_of(w);
  if (!cal) return;
  {
    widgets::Quiet q;
    gtk_calendar_select_day(cal, 0);
    gtk_calendar_select_month(cal, guint(month - 1), guint(year));
  }
  gtk_calendar_select_day(cal, guint(day));
}

}  // namespace qel::view::backend::calendar
