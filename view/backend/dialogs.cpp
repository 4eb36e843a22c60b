#include "view/backend/dialogs.hpp"

#include <gtk/gtk.h>

#include <string>
#include <utility>
#include <vector>

#include "datatypes/block.hpp"
#include "datatypes/file_url.hpp"
#include "datatypes/string.hpp"
#include "datatypes/word.hpp"
#include "datatypes/symbol.hpp"
#include "runtime/api.hpp"
#include "runtime/error.hpp"
#include "runtime/memory.hpp"
#include "runtime/stack.hpp"
#include "view/backend/display.hpp"
#include "view/backend/guard.hpp"
#include "view/backend/input.hpp"
#include "view/backend/widgets.hpp"
#include "view/module.hpp"
#include "view/test_hooks.hpp"
#include "view/window.hpp"

namespace qel::view::backend::dialogs {

namespace {

// The press that opened the dialog never sees its release (the dialog
// takes it): the window pressed (the press being handled, or the window
// holding the mouse) is settled. A base face counts one press less (its
// own handling of the press, after the event's, then comes to none), any
// other window lets the mouse go.
void settle_press() {
  const messages::Message* m = input::current();
  bool pressing = m && (m->code == messages::LBUTTONDOWN || m->code == messages::LBUTTONDBLCLK);
  u32 id = pressing ? m->window : input::capture_window();
  if (!id) return;
  window::Record* w = window::find(id);
  if (w && widgets::kind(*w) == widgets::K_BASE) {
    window::set(*w, window::COUNTER, window::get(*w, window::COUNTER) - 1);
    if (window::get(*w, window::COUNTER) <= 0) input::capture(0);
  } else {
    input::capture(0);
  }
}

struct Filter {
  std::string name;
  std::vector<std::string> patterns;
};

// The filters offered when no filter block is given.
std::vector<Filter> default_filters() {
  return {{"All files", {"*"}}, {"Qel scripts", {"*.qel", "*.qels"}}, {"Text files", {"*.txt"}}};
}

// The set-up of a dialog: what the user would see first.
struct Setup {
  GtkFileChooserAction action = GTK_FILE_CHOOSER_ACTION_OPEN;
  std::string title, folder, name;
  bool multiple = false;
  std::vector<Filter> filters;
};

Setup g_last;
bool g_have_last = false;
std::string g_kept_folder;  // request-dir/keep: the folder chosen last

std::string text_of(const Cell* v) {
  if (type_of(v) == TYPE_FILE) return file::to_local_path(v);
  return string::to_utf8(v);
}

std::string absolute(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  gchar* cwd = g_get_current_dir();
  std::string out = std::string(cwd) + "/" + path;
  g_free(cwd);
  return out;
}

// The filter block as pairs of description and patterns (";" between
// patterns); a last description without patterns is left out. Every value
// must be a string! or file!.
std::vector<Filter> filters_of(const Cell* block) {
  if (!block || type_of(block) != TYPE_BLOCK) return default_filters();
  const mem::Buffer* b = mem::buffer_of(series_node(block));
  u32 used = b->used() / sizeof(Cell), at = u32(std::max(series_index(block), 0));
  std::vector<std::string> texts;
  for (u32 i = at; i < used; ++i) {
    const Cell* v = mem::buffer_of(series_node(block))->cells() + i;
    if (type_of(v) != TYPE_STRING && type_of(v) != TYPE_FILE) fire(Err::script_invalid_arg, v);
    texts.push_back(text_of(v));
  }
  if (texts.empty()) return default_filters();
  std::vector<Filter> out;
  for (std::size_t i = 0; i + 1 < texts.size(); i += 2) {
    Filter f{texts[i], {}};
    const std::string& p = texts[i + 1];
    std::size_t from = 0;
    while (from <= p.size()) {
      std::size_t semi = p.find(';', from);
      std::string one = p.substr(from, semi == std::string::npos ? std::string::npos : semi - from);
      while (!one.empty() && one.front() == ' ') one.erase(0, 1);
      while (!one.empty() && one.back() == ' ') one.pop_back();
      if (one == "*.*") one = "*";  // every file, with or without a dot
      if (!one.empty()) f.patterns.push_back(one);
      if (semi == std::string::npos) break;
      from = semi + 1;
    }
    out.push_back(std::move(f));
  }
  return out;
}

GtkWindow* active_window() {
  GtkWindow* found = nullptr;
  GList* tops = gtk_window_list_toplevels();
  for (GList* t = tops; t && !found; t = t->next)
    if (gtk_window_is_active(GTK_WINDOW(t->data))) found = GTK_WINDOW(t->data);
  g_list_free(tops);
  return found;
}

// The dialog's choice as local paths: the user's, or a test's answer
// (names relative to the dialog's folder). False when cancelled.
bool run(const Setup& s, const char* kind, std::vector<std::string>& chosen) {
  settle_press();
  g_last = s;
  g_have_last = true;
  api::Values v(2);
  if (test_hooks::take_answer(kind, v[0])) {
    auto add = [&](const Cell* c) {
      if (type_of(c) != TYPE_FILE && type_of(c) != TYPE_STRING) fire(Err::script_invalid_arg, c);
      std::string p = text_of(c);
      if (!p.empty() && p[0] != '/' && !s.folder.empty()) p = s.folder + (s.folder.back() == '/' ? "" : "/") + p;
      chosen.push_back(p);
    };
    if (is_none(v[0])) return false;
    if (type_of(v[0]) == TYPE_BLOCK) {
      for (i32 i = 0; i < block::length_from_index(v[0]); ++i) {
        copy_cell(mem::buffer_of(series_node(v[0]))->cells() + series_index(v[0]) + i, v[1]);
        add(v[1]);
      }
    } else {
      add(v[0]);
    }
    return !chosen.empty();
  }
  if (!display::open()) module::unavailable(kind[0] == 'f' ? "request-file" : "request-dir", "no display");
  bool save = s.action == GTK_FILE_CHOOSER_ACTION_SAVE;
  const char* title = s.title.empty() ? nullptr : s.title.c_str();
  GtkWidget* d = gtk_file_chooser_dialog_new(title, active_window(), s.action, "_Cancel", GTK_RESPONSE_CANCEL,
                                             save ? "_Save" : "_Open", GTK_RESPONSE_ACCEPT, nullptr);
  GtkFileChooser* fc = GTK_FILE_CHOOSER(d);
  gtk_file_chooser_set_select_multiple(fc, s.multiple);
  if (save) gtk_file_chooser_set_do_overwrite_confirmation(fc, TRUE);
  if (!s.folder.empty()) gtk_file_chooser_set_current_folder(fc, s.folder.c_str());
  if (!s.name.empty()) {
    if (save) gtk_file_chooser_set_current_name(fc, s.name.c_str());
    else gtk_file_chooser_select_filename(fc, (s.folder.empty() ? s.name : s.folder + "/" + s.name).c_str());
  }
  for (const Filter& f : s.filters) {
    GtkFileFilter* ff = gtk_file_filter_new();
    gtk_file_filter_set_name(ff, f.name.c_str());
    for (const std::string& p : f.patterns) gtk_file_filter_add_pattern(ff, p.c_str());
    gtk_file_chooser_add_filter(fc, ff);
  }
  gint response = gtk_dialog_run(GTK_DIALOG(d));
  if (response == GTK_RESPONSE_ACCEPT) {
    GSList* names = gtk_file_chooser_get_filenames(fc);
    for (GSList* n = names; n; n = n->next) {
      chosen.push_back(static_cast<char*>(n->data));
      g_free(n->data);
    }
    g_slist_free(names);
  }
  gtk_widget_destroy(d);
  // What the nested loop ran for other windows and failed comes out here.
  guard::raise_pending();
  return !chosen.empty();
}

// A path as a file! into out.
void file_of(const std::string& path, Cell* out) {
  copy_cell(file::load_os_name(reinterpret_cast<const u8*>(path.data()), u32(path.size())), out);
  stack::pop(1);
}

void append_text(Cell* block, const std::string& t, Cell* scratch) {
  string::load_at(reinterpret_cast<const u8*>(t.data()), u32(t.size()), scratch, string::Encoding::utf8);
  block::append_copy(block, scratch);
}

}  // namespace

void request_file() {
  Setup s;
  const Cell* title = api::arg(0);
  const Cell* name = api::arg(1);
  bool save = logic_of(api::arg(3)), multi = logic_of(api::arg(4));
  s.filters = filters_of(api::arg(2));
  s.action = save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN;
  s.multiple = multi && !save;
  if (type_of(title) == TYPE_STRING) s.title = string::to_utf8(title);
  if (type_of(name) == TYPE_FILE || type_of(name) == TYPE_STRING) {
    // "dir/file.txt" opens in dir with file.txt; a name ending in "/" is
    // only the folder.
    std::string path = text_of(name);
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      s.name = path;
    } else {
      s.folder = absolute(slash == 0 ? "/" : path.substr(0, slash));
      s.name = path.substr(slash + 1);
    }
  }
  if (s.folder.empty()) s.folder = absolute(".");
  std::vector<std::string> chosen;
  if (!run(s, "file", chosen)) {
    api::answer_none();
    return;
  }
  api::Values v(2);
  if (!multi) {
    file_of(chosen.front(), v[0]);
  } else {
    block::make_at(v[0], i32(chosen.size()));
    for (const std::string& c : chosen) {
      file_of(c, v[1]);
      block::append_copy(v[0], v[1]);
    }
  }
  api::set_result(v[0]);
}

void request_dir() {
  Setup s;
  const Cell* title = api::arg(0);
  const Cell* dir = api::arg(1);
  bool keep = logic_of(api::arg(3));
  s.action = GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER;
  if (type_of(title) == TYPE_STRING) s.title = string::to_utf8(title);
  if (keep && !g_kept_folder.empty()) s.folder = g_kept_folder;
  else if (type_of(dir) == TYPE_FILE || type_of(dir) == TYPE_STRING) s.folder = absolute(text_of(dir));
  if (s.folder.empty()) s.folder = absolute(".");
  std::vector<std::string> chosen;
  if (!run(s, "dir", chosen)) {
    api::answer_none();
    return;
  }
  std::string path = chosen.front();
  if (path.empty() || path.back() != '/') path += '/';
  if (keep) g_kept_folder = path;
  api::Values v(1);
  file_of(path, v[0]);
  api::set_result(v[0]);
}

void last_dialog(Cell* out) {
  if (!g_have_last) {
    make_none(out);
    return;
  }
  api::Values v(3);
  block::make_at(v[0], 6);
  const char* action = g_last.action == GTK_FILE_CHOOSER_ACTION_SAVE            ? "save"
                       : g_last.action == GTK_FILE_CHOOSER_ACTION_SELECT_FOLDER ? "folder"
                                                                                 : "open";
  word::make_at(symbol::make(action), v[1]);
  block::append_copy(v[0], v[1]);
  append_text(v[0], g_last.title, v[1]);
  file_of(g_last.folder, v[1]);
  block::append_copy(v[0], v[1]);
  append_text(v[0], g_last.name, v[1]);
  make_logic(v[1], g_last.multiple);
  block::append_copy(v[0], v[1]);
  block::make_at(v[1], i32(g_last.filters.size()) * 2);
  for (const Filter& f : g_last.filters) {
    append_text(v[1], f.name, v[2]);
    std::string joined;
    for (const std::string& p : f.patterns) joined += (joined.empty() ? "" : ";") + p;
    append_text(v[1], joined, v[2]);
  }
  block::append_copy(v[0], v[1]);
  copy_cell(v[0], out);
}

}  // namespace qel::view::backend::dialogs
