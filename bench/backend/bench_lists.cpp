// Lists: a text-list filled with 10,000 items from its face's `data`, next
// to a GtkListStore filled with the same strings directly (the model taken
// off its tree view while it fills, then given back); and 1,000 in-place
// appends to `data`, next to 1,000 rows appended to a shown store. Both
// sides run in the same process, in the same run.
// Needs a display: run under tests/gui_xvfb.sh.
#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "bench/bench_main.hpp"
#include "console/boot/boot.hpp"
#include "eval/lexer.hpp"
#include "eval/interpreter.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"

using namespace qel;

namespace {

constexpr int ITEMS = 10000, APPENDS = 1000;

void run(const std::string& src) {
  roots::LocalCell code;
  lexer::load_source(code.get(), src.data(), src.size());
  interp::eval_block_or_throw(code.get(), false);
  stack::reset();
}

void drain() {
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

std::vector<std::string> g_items;
GtkWidget* g_view = nullptr;  // the tree view filled directly
GtkListStore* g_store = nullptr;

bool setup() {
  static int ok = -1;
  if (ok >= 0) return ok == 1;
  ok = 0;
  if (!gtk_init_check(nullptr, nullptr)) return false;
  console::boot::run();
  run("system/console: none");
  // Two blocks of the same items, given in turn (a facet set to the block
  // it holds is no change).
  run("items-a: collect [repeat i " + std::to_string(ITEMS) + " [keep rejoin [\"item \" i]]]\n"
      "items-b: copy items-a\n"
      "tl: make face! [type: 'text-list offset: 0x0 size: 200x300 data: copy []]\n"
      "win: make face! [type: 'window text: \"lists\" offset: 0x0 size: 220x320 pane: reduce [tl]]\n"
      "view/no-wait win\n");
  for (int i = 1; i <= ITEMS; ++i) g_items.push_back("item " + std::to_string(i));
  GtkWidget* w = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(w), 220, 320);
  g_store = gtk_list_store_new(1, G_TYPE_STRING);
  g_view = gtk_tree_view_new_with_model(GTK_TREE_MODEL(g_store));
  gtk_tree_view_set_headers_visible(GTK_TREE_VIEW(g_view), FALSE);
  gtk_tree_view_append_column(GTK_TREE_VIEW(g_view), gtk_tree_view_column_new_with_attributes(
                                                         "", gtk_cell_renderer_text_new(), "text", 0, nullptr));
  GtkWidget* s = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_container_add(GTK_CONTAINER(s), g_view);
  gtk_container_add(GTK_CONTAINER(w), s);
  gtk_widget_show_all(w);
  drain();
  ok = 1;
  return true;
}

void BM_TextListFillFromData(benchmark::State& state) {
  if (!setup()) {
    state.SkipWithError("no display");
    return;
  }
  roots::LocalCell a, b;
  static const char kA[] = "tl/data: items-a", kB[] = "tl/data: items-b";
  lexer::load_source(a.get(), kA, sizeof kA - 1);
  lexer::load_source(b.get(), kB, sizeof kB - 1);
  bool flip = false;
  for (auto _ : state) {
    interp::eval_block_or_throw(flip ? b.get() : a.get(), false);
    stack::reset();
    flip = !flip;
  }
  state.SetItemsProcessed(state.iterations() * ITEMS);
}

void BM_ListStoreFillDirect(benchmark::State& state) {
  if (!setup()) {
    state.SkipWithError("no display");
    return;
  }
  for (auto _ : state) {
    g_object_ref(g_store);
    gtk_tree_view_set_model(GTK_TREE_VIEW(g_view), nullptr);
    gtk_list_store_clear(g_store);
    for (const std::string& t : g_items) gtk_list_store_insert_with_values(g_store, nullptr, -1, 0, t.c_str(), -1);
    gtk_tree_view_set_model(GTK_TREE_VIEW(g_view), GTK_TREE_MODEL(g_store));
    g_object_unref(g_store);
  }
  state.SetItemsProcessed(state.iterations() * ITEMS);
}

void BM_TextListAppendToData(benchmark::State& state) {
  if (!setup()) {
    state.SkipWithError("no display");
    return;
  }
  roots::LocalCell code;
  const std::string src = "loop " + std::to_string(APPENDS) + " [append tl/data \"appended item\"]";
  lexer::load_source(code.get(), src.data(), src.size());
  for (auto _ : state) {
    state.PauseTiming();
    run("tl/data: copy []");
    state.ResumeTiming();
    interp::eval_block_or_throw(code.get(), false);
    stack::reset();
  }
  state.SetItemsProcessed(state.iterations() * APPENDS);
}

void BM_ListStoreAppendDirect(benchmark::State& state) {
  if (!setup()) {
    state.SkipWithError("no display");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    gtk_list_store_clear(g_store);
    state.ResumeTiming();
    for (int i = 0; i < APPENDS; ++i) gtk_list_store_insert_with_values(g_store, nullptr, -1, 0, "appended item", -1);
  }
  state.SetItemsProcessed(state.iterations() * APPENDS);
}

}  // namespace

BENCHMARK(BM_TextListFillFromData)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ListStoreFillDirect)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_TextListAppendToData)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_ListStoreAppendDirect)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

QEL_BENCHMARK_MAIN();
