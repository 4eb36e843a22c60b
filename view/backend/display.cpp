#include "view/backend/display.hpp"

#include <gtk/gtk.h>
#include <pango/pangocairo.h>

namespace qel::view::backend::display {

namespace {
int g_state = -1;  // -1 not tried, 0 no display, 1 open

// The toolkit's start-up, without OpenGL: no face draws with it, and
// probing for it (loading the GL libraries) is a good part of the time to
// the first window. The user's own GDK_GL setting wins, and the variable
// is put back as it was (child processes see the environment unchanged).
bool init_toolkit() {
  const char* user = g_getenv("GDK_GL");
  bool set = !user;
  if (set) g_setenv("GDK_GL", "disable", TRUE);
  bool ok = gtk_init_check(nullptr, nullptr);
  if (set) g_unsetenv("GDK_GL");
  return ok;
}
}  // namespace

bool open() {
  if (g_state < 0) {
    g_state = init_toolkit() ? 1 : 0;
    // The toolkit's font map, made now rather than at the first text: it
    // reads the font configuration on a thread of its own, which then runs
    // beside the theme's loading instead of holding up the first text
    // measured (a start waited for it there).
    if (g_state == 1) pango_cairo_font_map_get_default();
  }
  return g_state == 1;
}

}  // namespace qel::view::backend::display
