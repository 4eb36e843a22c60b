// The widgets with items, by face type: each call goes to the module of
// the widget (menus, lists, tabs, button images, calendars, camera).
#include "view/backend/widget_items.hpp"

#include "view/backend/button_images.hpp"
#include "view/backend/calendar.hpp"
#include "view/backend/camera.hpp"
#include "view/backend/lists.hpp"
#include "view/backend/menus.hpp"
#include "view/backend/tabs.hpp"
#include "view/backend/widgets.hpp"

namespace qel::view::backend::widget_items {

namespace {

using window::Record;
using widgets::Kind;

bool has_items(Kind k) { return k == widgets::K_TEXT_LIST || k == widgets::K_DROP_DOWN || k == widgets::K_DROP_LIST; }

}  // namespace

void fit_to_tab_page(Record& tab_panel, const Cell* face) {
  if (widgets::kind(tab_panel) == widgets::K_TAB_PANEL) tabs::fit(tab_panel, face);
}

void fill(Record& w) {
  Kind k = widgets::kind(w);
  if (k == widgets::K_WINDOW) {
    menus::update_bar(w);
  } else if (has_items(k)) {
    lists::fill(w);
  } else if (k == widgets::K_TAB_PANEL) {
    tabs::fill(w);
    tabs::connect(w);
  } else if (k == widgets::K_BUTTON || k == widgets::K_TOGGLE) {
    button_images::apply(w);
  } else if (k == widgets::K_CALENDAR) {
    calendar::sync(w);
    calendar::connect(w);
  } else if (k == widgets::K_CAMERA) {
    camera::open(w);
  }
}

void connect(Record& w) {
  if (has_items(widgets::kind(w))) lists::connect(w);
}

void data_changed(Record& w) {
  Kind k = widgets::kind(w);
  if (has_items(k)) lists::fill(w);
  else if (k == widgets::K_TAB_PANEL) tabs::fill(w);
  else if (k == widgets::K_CALENDAR) calendar::sync(w);
}

void selected_changed(Record& w) {
  Kind k = widgets::kind(w);
  if (has_items(k)) lists::select(w);
  else if (k == widgets::K_TAB_PANEL) tabs::select(w);
  else if (k == widgets::K_CAMERA) camera::switch_device(w);
}

void image_changed(Record& w) {
  Kind k = widgets::kind(w);
  if (k == widgets::K_BUTTON || k == widgets::K_TOGGLE) button_images::apply(w);
  else if (k == widgets::K_CAMERA) camera::want_frame(w);
}

void menu_changed(Record& w) {
  if (widgets::kind(w) == widgets::K_WINDOW) menus::update_bar(w);
}

void size_changed(Record& w) {
  Kind k = widgets::kind(w);
  if (k == widgets::K_TAB_PANEL) tabs::relayout(w);
  else if (k == widgets::K_CAMERA) camera::resized(w);
}

bool series_changed(Record& w, const Cell* action, const Cell* target, i32 index, i32 part) {
  Kind k = widgets::kind(w);
  if (has_items(k)) return lists::series_changed(w, action, target, index, part);
  if (k == widgets::K_TAB_PANEL) {
    // The titles are few: the tabs are made again from the data as it is.
    tabs::fill(w);
    return true;
  }
  return false;
}

bool show_context_menu(Record& w, const messages::Message& m) { return menus::show_context(w, m); }

void forget_context_menu() { menus::forget_context(); }

void release(Record& w) {
  menus::release(w);
  camera::release(w);
}

Cell* camera_frame(Record& w) { return camera::grab_frame(w); }

}  // namespace qel::view::backend::widget_items
