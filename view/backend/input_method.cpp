#include "view/backend/input_method.hpp"

#include <gtk/gtk.h>

#include <string>
#include <unordered_map>

#include "datatypes/event.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/windows.hpp"

namespace qel::view::backend::input_method {

namespace {

using window::Record;

// The input methods, by window id. (Made once and never destroyed, so that
// it outlives the static objects.)
std::unordered_map<u32, GtkIMContext*>& g_methods = *new std::unordered_map<u32, GtkIMContext*>();

GtkIMContext* method_of(const Record& w) {
  auto it = g_methods.find(w.id);
  return it == g_methods.end() ? nullptr : it->second;
}

// The input method's signals: what it types, and its compositions.
void on_commit(GtkIMContext*, const gchar* text, gpointer id) {
  guard::run([&] {
    if (!g_utf8_validate(text, -1, nullptr)) return;
    // The key that typed it carries the modifiers (a commit outside a key
    // has those the last input left).
    const messages::Message* key = input::current();
    u32 state = key && (key->code == messages::KEYDOWN || key->code == messages::SYSKEYDOWN) ? key->state
                                                                                              : messages::STATE_LIVE;
    // A character a message, whole (a code point).
    for (const gchar* p = text; *p; p = g_utf8_next_char(p)) {
      Record* w = window::find(GPOINTER_TO_UINT(id));
      if (!w || !window::face(*w)) break;
      messages::Message m;
      m.window = w->id;
      m.code = messages::CHAR;
      m.wparam = g_utf8_get_char(p);
      m.state = state;
      input::Current scope(&m);
      input::preprocess(m);
    }
  });
}

void on_preedit(GtkIMContext* im, gpointer id) {
  guard::run([&] {
    Record* w = window::find(GPOINTER_TO_UINT(id));
    if (!w || !window::face(*w)) return;
    gchar* text = nullptr;
    gtk_im_context_get_preedit_string(im, &text, nullptr, nullptr);
    std::string t = text ? text : "";
    g_free(text);
    input::set_ime(!t.empty(), t);
    messages::Message m;
    m.window = w->id;
    m.code = messages::IME;
    input::Current scope(&m);
    input::make_event(m, 0, event::IME);
  });
}

void on_preedit_end(GtkIMContext*, gpointer) { input::set_ime(false, std::string()); }

}  // namespace

void add(Record& w) {
  if (method_of(w)) return;
  GtkIMContext* im = gtk_im_multicontext_new();
  g_signal_connect(im, "commit", G_CALLBACK(on_commit), GUINT_TO_POINTER(w.id));
  g_signal_connect(im, "preedit-changed", G_CALLBACK(on_preedit), GUINT_TO_POINTER(w.id));
  g_signal_connect(im, "preedit-end", G_CALLBACK(on_preedit_end), nullptr);
  g_methods[w.id] = im;
}

bool filter_key(Record& w, GdkEventKey* e) {
  GtkIMContext* im = method_of(w);
  if (!im) return false;
  GtkWidget* g = windows::widget(w);
  if (g && gtk_widget_get_realized(g)) gtk_im_context_set_client_window(im, gtk_widget_get_window(g));
  return gtk_im_context_filter_keypress(im, e);
}

void focus(Record& w, bool in) {
  GtkIMContext* im = method_of(w);
  if (!im) return;
  if (in) gtk_im_context_focus_in(im);
  else gtk_im_context_focus_out(im);
}

void release(Record& w) {
  auto it = g_methods.find(w.id);
  if (it == g_methods.end()) return;
  g_object_unref(it->second);
  g_methods.erase(it);
}

}  // namespace qel::view::backend::input_method
