// Native windows: `view/no-wait` of a window of 500 mixed faces (buttons,
// texts, fields, checks, self-drawn base faces) until the window's first
// paint, next to the same 500 GTK widgets made directly in a GtkFixed and
// shown until their window's first paint, in the same run; the same two
// with the window closed again (unview, gtk_widget_destroy); and a key, as
// GDK reports it, through the input road to its actor and back.
// Needs a display: run under tests/gui_xvfb.sh.
#include <gtk/gtk.h>

#include <string>

#include "bench/bench_main.hpp"
#include "console/boot/boot.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

using namespace qel;

namespace {

constexpr int COLUMNS = 18, ROWS = 28, FACES = 500;
constexpr int CELL_W = 68, CELL_H = 30, FACE_W = 60, FACE_H = 23;

void run(const std::string& src) {
  roots::LocalCell code;
  lexer::load_source(code.get(), src.data(), src.size());
  interp::eval_block_or_throw(code.get(), false);
  stack::reset();
}

// A top-level window has painted since the flag was cleared.
bool g_painted = false;

// Every top-level window's drawing tells (GtkWindow's draw, wrapped).
gboolean (*g_window_draw)(GtkWidget*, cairo_t*) = nullptr;
gboolean window_draw(GtkWidget* w, cairo_t* cr) {
  g_painted = true;
  return g_window_draw(w, cr);
}

void wait_for_paint() {
  while (!g_painted) gtk_main_iteration_do(TRUE);
}

bool setup() {
  static int ok = -1;
  if (ok >= 0) return ok == 1;
  ok = 0;
  if (!gtk_init_check(nullptr, nullptr)) return false;
  auto* window_class = GTK_WIDGET_CLASS(g_type_class_ref(GTK_TYPE_WINDOW));
  g_window_draw = window_class->draw;
  window_class->draw = window_draw;
  console::boot::run();
  run("system/console: none");
  // The window of faces, made once; each view makes its native side anew.
  run("types: [button text field check base]\n"
      "faces: copy []\n"
      "repeat i " + std::to_string(FACES) + " [\n"
      "  t: pick types i - 1 // 5 + 1\n"
      "  append faces make face! compose [type: (to lit-word! t) text: \"face\" size: " +
      std::to_string(FACE_W) + "x" + std::to_string(FACE_H) +
      "    offset: as-pair i - 1 // " + std::to_string(COLUMNS) + " * " + std::to_string(CELL_W) + " + 4 "
      "      i - 1 / " + std::to_string(COLUMNS) + " * " + std::to_string(CELL_H) + " + 4]\n"
      "]\n"
      "win: make face! [type: 'window text: \"bench\" offset: 0x0 size: " +
      std::to_string(COLUMNS * CELL_W + 8) + "x" + std::to_string(ROWS * CELL_H + 8) + " pane: faces]\n"
      "keys: 0\n"
      "kb: make face! [type: 'base size: 20x20 actors: object [on-key: func [f e][keys: keys + 1]]]\n"
      "kw: make face! [type: 'window text: \"keys\" offset: 0x0 size: 40x40 pane: reduce [kb]]\n");
  ok = 1;
  return true;
}

void drain() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

// The same 500 faces as GTK widgets in a GtkFixed, in a new window.
GtkWidget* gtk_fixed_window() {
  GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(w), "bench");
  gtk_window_set_default_size(GTK_WINDOW(w), COLUMNS * CELL_W + 8, ROWS * CELL_H + 8);
  GtkWidget* fixed = gtk_fixed_new();
  gtk_container_add(GTK_CONTAINER(w), fixed);
  for (int i = 0; i < FACES; ++i) {
    GtkWidget* g;
    switch (i % 5) {
      case 0: g = gtk_button_new_with_label("face"); break;
      case 1: g = gtk_label_new("face"); break;
      case 2:
        g = gtk_entry_new();
        gtk_entry_set_text(GTK_ENTRY(g), "face");
        gtk_entry_set_width_chars(GTK_ENTRY(g), 0);
        break;
      case 3: g = gtk_check_button_new_with_label("face"); break;
      default: g = gtk_drawing_area_new(); break;
    }
    gtk_widget_set_size_request(g, FACE_W, FACE_H);
    gtk_fixed_put(GTK_FIXED(fixed), g, i % COLUMNS * CELL_W + 4, i / COLUMNS * CELL_H + 4);
  }
  return w;
}

// Rounds of a window shown until its first paint, then closed until it is
// gone; the closing is timed only when asked (the whole round).
template <class Show, class Close>
void paint_rounds(benchmark::State& state, Show show, Close close, bool time_close) {
  if (!setup()) {
    state.SkipWithError("no display");
    return;
  }
  for (auto _ : state) {
    g_painted = false;
    auto shown = show();
    wait_for_paint();
    if (!time_close) state.PauseTiming();
    close(shown);
    drain();
    if (!time_close) state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * FACES);
}

bool view_win() {
  run("view/no-wait win");
  return true;
}
void unview_all(bool) { run("unview/all"); }
GtkWidget* show_fixed() {
  GtkWidget* w = gtk_fixed_window();
  gtk_widget_show_all(w);
  return w;
}
void destroy(GtkWidget* w) { gtk_widget_destroy(w); }

void BM_ViewFirstPaint(benchmark::State& state) { paint_rounds(state, view_win, unview_all, false); }
void BM_GtkFixedFirstPaint(benchmark::State& state) { paint_rounds(state, show_fixed, destroy, false); }
// The whole round: view/no-wait until the first paint, then unview until
// the window is gone, against the same widgets shown and destroyed.
void BM_ViewUnview(benchmark::State& state) { paint_rounds(state, view_win, unview_all, true); }
void BM_GtkShowDestroy(benchmark::State& state) { paint_rounds(state, show_fixed, destroy, true); }

// A key pressed and released (GDK's events, the key table, pre-processing,
// make-event, awake, the event functions, the actor).
void BM_KeyToActor(benchmark::State& state) {
  if (!setup()) {
    state.SkipWithError("no display");
    return;
  }
  run("view/no-wait kw  kw/selected: kb");
  roots::LocalCell code;
  static const char kKey[] = "_gui-test 'key reduce [kb \"a\" []]";
  lexer::load_source(code.get(), kKey, sizeof kKey - 1);
  for (auto _ : state) {
    interp::eval_block_or_throw(code.get(), false);
    stack::reset();
  }
  run("unview/all");
  drain();
}

}  // namespace

BENCHMARK(BM_ViewFirstPaint)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_GtkFixedFirstPaint)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ViewUnview)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_GtkShowDestroy)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_KeyToActor)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

QEL_BENCHMARK_MAIN();
