// The widgets with items are built by their own work; these are the points
// they plug into (widget_items.hpp), doing nothing until then.
#include "view/backend/widget_items.hpp"

namespace qel::view::backend::widget_items {

void fill(window::Record&) {}
void data_changed(window::Record&) {}
void selected_changed(window::Record&) {}
void image_changed(window::Record&) {}
void menu_changed(window::Record&) {}
void size_changed(window::Record&) {}
bool series_changed(window::Record&, const Cell*, i32, i32) { return false; }
i32 selection(const window::Record&) { return -1; }
void selected_text_to_face(window::Record&, i32) {}
bool show_context_menu(window::Record&, const messages::Message&) { return false; }
void forget_context_menu() {}
void release(window::Record&) {}

}  // namespace qel::view::backend::widget_items
