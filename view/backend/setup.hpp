// GUI set-up (gui-os-init), the default font, system/view/metrics and dark
// mode.
#pragma once

namespace qel::view::backend::setup {

// gui-os-init: version values, the DPI of the monitor under the pointer,
// the default font (GtkSettings gtk-font-name), system/view/metrics, the
// dark-mode flag. Without a display it fills what it can from defaults and
// starts nothing.
void gui_init();

// Whether the dark theme is asked for (gtk-application-prefer-dark-theme,
// or a theme variant named dark).
bool dark_requested();

// Routine bodies: set-dark-mode, support-dark-mode?.
void set_dark_mode();
void support_dark_mode_q();
// The caret's blink time (console/print_hooks.hpp): half of GtkSettings'
// gtk-cursor-blink-time, a whole on-and-off cycle, since the console's caret
// toggles at each interval; -1 when gtk-cursor-blink is off or there is no
// display.
int caret_blink_time();

}  // namespace qel::view::backend::setup
