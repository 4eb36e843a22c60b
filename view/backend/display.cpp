#include "view/backend/display.hpp"

#include <gtk/gtk.h>

namespace qel::view::backend::display {

namespace {
int g_state = -1;  // -1 not tried, 0 no display, 1 open
}  // namespace

bool open() {
  if (g_state < 0) g_state = gtk_init_check(nullptr, nullptr) ? 1 : 0;
  return g_state == 1;
}

}  // namespace qel::view::backend::display
