// The DRAW engine: 10,000 SHAPE paths with gradient fills drawn into a
// 1000x1000 image through a DRAW block (walker, state keeping, the image
// bridge), next to the same paths and gradients drawn by cairo called
// directly on a surface of the same size, in the same run.
#include <cairo.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "bench_main.hpp"
#include "datatypes/image.hpp"
#include "eval/lexer.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "view/backend/draw/walker.hpp"

using namespace qel;
using namespace qel::view::backend;

namespace {

constexpr int SIDE = 1000;
constexpr int SHAPES = 10000;

struct Shape {
  int kind;                 // 0 fitted linear, 1 fitted radial, 2 linear with geometry, 3 radial with geometry
  bool pen;                 // outlined in black, width 1
  bool curved;              // the second segment is a cubic curve
  u8 c1[3], c2[3];          // the two stop colours
  std::vector<int> pts;     // x y pairs: start, then the segments' points
};

const std::vector<Shape>& shapes() {
  static std::vector<Shape> all = [] {
    std::mt19937 rng(11);
    auto r = [&](int lo, int hi) { return lo + int(rng() % u32(hi - lo + 1)); };
    std::vector<Shape> v(SHAPES);
    for (Shape& s : v) {
      s.kind = r(0, 3);
      s.pen = r(0, 1);
      s.curved = r(0, 2) == 0;
      for (int k = 0; k < 3; ++k) {
        s.c1[k] = u8(r(0, 255));
        s.c2[k] = u8(r(0, 255));
      }
      int x = r(0, SIDE - 100), y = r(0, SIDE - 100), n = s.curved ? 5 : r(3, 6);
      for (int k = 0; k < n; ++k) {
        s.pts.push_back(x + r(0, 100));
        s.pts.push_back(y + r(0, 100));
      }
    }
    return v;
  }();
  return all;
}

// ---- the DRAW block -------------------------------------------------------------------

std::string tuple(const u8* c) {
  return std::to_string(c[0]) + "." + std::to_string(c[1]) + "." + std::to_string(c[2]);
}

std::string draw_source() {
  std::string src = "[";
  for (const Shape& s : shapes()) {
    const std::vector<int>& p = s.pts;
    auto pt = [&](std::size_t i) { return std::to_string(p[2 * i]) + "x" + std::to_string(p[2 * i + 1]); };
    src += s.pen ? " pen 0.0.0" : " pen off";
    src += s.kind % 2 ? " fill-pen radial " : " fill-pen linear ";
    src += tuple(s.c1) + " " + tuple(s.c2);
    if (s.kind == 2) src += " " + pt(0) + " " + pt(1);
    if (s.kind == 3) src += " " + pt(0) + " 40";
    src += " shape [move " + pt(0);
    if (s.curved) {
      src += " line " + pt(1) + " curve " + pt(2) + " " + pt(3) + " " + pt(4);
    } else {
      src += " line";
      for (std::size_t i = 1; i < p.size() / 2; ++i) src += " " + pt(i);
    }
    src += " close]\n";
  }
  return src + "]";
}

void BM_DrawBlock(benchmark::State& state) {
  roots::LocalCell block, img;
  std::string src = draw_source();
  lexer::load_source(block.get(), src.data(), src.size());
  copy_cell(image::make_at(stack::push(), image::new_record(SIDE, SIDE)), img.get());
  stack::pop(1);
  copy_cell(mem::buffer_of(series_node(block.get()))->cells(), block.get());  // the block in the loaded one
  for (auto _ : state) {
    draw::draw_image(img.get(), block.get());
  }
  state.SetItemsProcessed(state.iterations() * SHAPES);
}

// ---- cairo called directly --------------------------------------------------------------

void add_stops(cairo_pattern_t* p, const Shape& s) {
  cairo_pattern_add_color_stop_rgb(p, 0, s.c1[0] / 255.0, s.c1[1] / 255.0, s.c1[2] / 255.0);
  cairo_pattern_add_color_stop_rgb(p, 1, s.c2[0] / 255.0, s.c2[1] / 255.0, s.c2[2] / 255.0);
}

void BM_CairoDirect(benchmark::State& state) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, SIDE, SIDE);
  for (auto _ : state) {
    cairo_t* cr = cairo_create(surface);
    cairo_set_line_width(cr, 1);
    cairo_set_tolerance(cr, 0.02);
    for (const Shape& s : shapes()) {
      const std::vector<int>& p = s.pts;
      cairo_new_path(cr);
      cairo_move_to(cr, p[0], p[1]);
      if (s.curved) {
        cairo_line_to(cr, p[2], p[3]);
        cairo_curve_to(cr, p[4], p[5], p[6], p[7], p[8], p[9]);
      } else {
        for (std::size_t i = 2; i < p.size(); i += 2) cairo_line_to(cr, p[i], p[i + 1]);
      }
      cairo_close_path(cr);
      // A fitted gradient spans the shape's outline box.
      double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
      if (s.kind < 2) cairo_stroke_extents(cr, &x1, &y1, &x2, &y2);
      cairo_pattern_t* g;
      switch (s.kind) {
        case 0: g = cairo_pattern_create_linear(x1, y1, x2, y1); break;
        case 1: {
          double r = std::min(x2 - x1, y2 - y1) / 2, cx = (x1 + x2) / 2, cy = (y1 + y2) / 2;
          g = cairo_pattern_create_radial(cx, cy, 0, cx, cy, r);
          break;
        }
        case 2: g = cairo_pattern_create_linear(p[0], p[1], p[2], p[3]); break;
        default: g = cairo_pattern_create_radial(p[0], p[1], 0, p[0], p[1], 40); break;
      }
      add_stops(g, s);
      cairo_set_source(cr, g);
      cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
      cairo_fill_preserve(cr);
      cairo_pattern_destroy(g);
      if (s.pen) {
        cairo_set_source_rgb(cr, 0, 0, 0);
        cairo_stroke(cr);
      }
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
  }
  cairo_surface_destroy(surface);
  state.SetItemsProcessed(state.iterations() * SHAPES);
}

}  // namespace

BENCHMARK(BM_DrawBlock)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CairoDirect)->Unit(benchmark::kMillisecond);

QEL_BENCHMARK_MAIN();
