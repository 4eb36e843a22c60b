// The DRAW commands, each next to a peer in the same run:
//  - 10,000 mixed primitives (boxes, rounded boxes, circles, ellipses,
//    lines, triangles, polygons, arcs, curves, splines, filled and
//    outlined) drawn into a 1000x1000 image through a DRAW block, and the
//    same figures drawn by cairo called directly on a surface of that size;
//  - the shadow blur (our separable Gaussian) of a 1000x1000 A8 box, and
//    Pillow's GaussianBlur of the same box with the same deviation;
//  - a 1000x1000 image mapped onto a quadrilateral filling a 1000x1000
//    image (the whole `image` command, and our rasteriser alone), and
//    Pillow's Image.transform PERSPECTIVE (bilinear) of the same map.
// Pillow runs in /usr/bin/python3, which times its own operation: its
// figures are the median of five runs each iteration (manual time).
#include <cairo.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_main.hpp"
#include "datatypes/image.hpp"
#include "datatypes/image_perspective.hpp"
#include "datatypes/word.hpp"
#include "eval/lexer.hpp"
#include "runtime/roots.hpp"
#include "runtime/stack.hpp"
#include "view/backend/draw/shadow.hpp"
#include "view/backend/draw/walker.hpp"

using namespace qel;
using namespace qel::view::backend;

namespace {

constexpr int SIDE = 1000;
constexpr int PRIMITIVES = 10000;

enum Kind { BOX, ROUNDED, CIRCLE, ELLIPSE, LINE2, LINE3, TRIANGLE, POLYGON, ARC, CURVE, SPLINE, KINDS };

struct Primitive {
  Kind kind;
  bool pen, fill;
  std::array<int, 3> pen_rgb, fill_rgb;
  std::vector<int> v;  // the figure's numbers, as the DRAW block writes them
};

const std::vector<Primitive>& primitives() {
  static std::vector<Primitive> all = [] {
    std::mt19937 rng(17);
    auto r = [&](int lo, int hi) { return lo + int(rng() % u32(hi - lo + 1)); };
    std::vector<Primitive> out(PRIMITIVES);
    for (std::size_t i = 0; i < out.size(); ++i) {
      Primitive& p = out[i];
      p.kind = Kind(i % KINDS);
      p.pen = r(0, 3) != 0;
      p.fill = !p.pen || r(0, 1);
      for (int& c : p.pen_rgb) c = r(0, 255);
      for (int& c : p.fill_rgb) c = r(0, 255);
      int x = r(0, SIDE - 100), y = r(0, SIDE - 100);
      auto pt = [&] {
        p.v.push_back(x + r(0, 100));
        p.v.push_back(y + r(0, 100));
      };
      switch (p.kind) {
        case BOX: case ELLIPSE: p.v = {x, y, r(5, 100), r(5, 100)}; break;
        case ROUNDED: p.v = {x, y, r(20, 100), r(20, 100), r(2, 10)}; break;
        case CIRCLE: p.v = {x + 50, y + 50, r(5, 50)}; break;
        case ARC: p.v = {x + 50, y + 50, r(5, 50), r(5, 50), r(0, 359), r(-300, 300)}; break;
        case LINE2: pt(); pt(); break;
        case LINE3: case TRIANGLE: case CURVE: pt(); pt(); pt(); break;
        case POLYGON: for (int k = r(4, 7); k > 0; --k) pt(); break;
        case SPLINE: for (int k = r(3, 6); k > 0; --k) pt(); break;
        default: break;
      }
    }
    return out;
  }();
  return all;
}

// ---- the DRAW block ---------------------------------------------------------------------

std::string colour(const std::array<int, 3>& c) {
  return std::to_string(c[0]) + "." + std::to_string(c[1]) + "." + std::to_string(c[2]);
}

std::string draw_source() {
  std::string src = "[";
  for (const Primitive& p : primitives()) {
    const std::vector<int>& v = p.v;
    auto pt = [&](std::size_t i) { return " " + std::to_string(v[i]) + "x" + std::to_string(v[i + 1]); };
    auto num = [&](std::size_t i) { return " " + std::to_string(v[i]); };
    src += p.pen ? " pen " + colour(p.pen_rgb) : " pen off";
    src += p.fill ? " fill-pen " + colour(p.fill_rgb) : " fill-pen off";
    switch (p.kind) {
      case BOX: src += " box" + pt(0) + " " + std::to_string(v[0] + v[2]) + "x" + std::to_string(v[1] + v[3]); break;
      case ROUNDED:
        src += " box" + pt(0) + " " + std::to_string(v[0] + v[2]) + "x" + std::to_string(v[1] + v[3]) + num(4);
        break;
      case CIRCLE: src += " circle" + pt(0) + num(2); break;
      case ELLIPSE: src += " ellipse" + pt(0) + pt(2); break;
      case ARC: src += " arc" + pt(0) + pt(2) + num(4) + num(5); break;
      case LINE2: case LINE3: src += " line"; break;
      case TRIANGLE: src += " triangle"; break;
      case CURVE: src += " curve"; break;
      case POLYGON: src += " polygon"; break;
      case SPLINE: src += " spline"; break;
      default: break;
    }
    if (p.kind >= LINE2 && p.kind != ARC) {
      for (std::size_t i = 0; i < v.size(); i += 2) src += pt(i);
    }
    src += "\n";
  }
  return src + "]";
}

void BM_DrawPrimitives(benchmark::State& state) {
  roots::LocalCell block, img;
  std::string src = draw_source();
  lexer::load_source(block.get(), src.data(), src.size());
  copy_cell(image::make_at(stack::push(), image::new_record(SIDE, SIDE)), img.get());
  stack::pop(1);
  copy_cell(mem::buffer_of(series_node(block.get()))->cells(), block.get());  // the block in the loaded one
  for (auto _ : state) draw::draw_image(img.get(), block.get());
  state.SetItemsProcessed(state.iterations() * PRIMITIVES);
}

// ---- the same figures by cairo called directly ------------------------------------------------

constexpr double KAPPA = 0.55228474983079339840;

void ellipse_path(cairo_t* cr, double cx, double cy, double rx, double ry) {
  cairo_save(cr);
  cairo_translate(cr, cx, cy);
  cairo_scale(cr, rx, ry);
  cairo_new_sub_path(cr);
  cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
  cairo_close_path(cr);
  cairo_restore(cr);
}

void spline_path(cairo_t* cr, const std::vector<int>& v) {
  std::size_t n = v.size() / 2;
  auto seg = [&](std::size_t a, std::size_t b, std::size_t c, std::size_t d) {
    for (int k = 1; k <= 25; ++k) {
      double t = k / 25.0, t2 = t * t, t3 = t2 * t;
      double xy[2];
      for (int j = 0; j < 2; ++j) {
        double p0 = v[2 * a + j], p1 = v[2 * b + j], p2 = v[2 * c + j], p3 = v[2 * d + j];
        xy[j] = 0.5 * (2 * p1 + (p2 - p0) * t + (2 * p0 - 5 * p1 + 4 * p2 - p3) * t2 + (3 * (p1 - p2) + p3 - p0) * t3);
      }
      cairo_line_to(cr, xy[0], xy[1]);
    }
  };
  cairo_move_to(cr, v[0], v[1]);
  seg(0, 0, 1, 2);
  for (std::size_t i = 0; i + 3 < n; ++i) seg(i, i + 1, i + 2, i + 3);
  seg(n - 3, n - 2, n - 1, n - 1);
}

void BM_CairoPrimitives(benchmark::State& state) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, SIDE, SIDE);
  for (auto _ : state) {
    cairo_t* cr = cairo_create(surface);
    cairo_set_line_width(cr, 1);
    cairo_set_tolerance(cr, 0.02);
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
    for (const Primitive& p : primitives()) {
      const std::vector<int>& v = p.v;
      bool fill = p.fill;
      cairo_new_path(cr);
      switch (p.kind) {
        case BOX: cairo_rectangle(cr, v[0], v[1], v[2], v[3]); break;
        case ROUNDED: {
          double x = v[0], y = v[1], w = v[2], h = v[3], r = v[4];
          cairo_new_sub_path(cr);
          cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
          cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
          cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
          cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
          cairo_close_path(cr);
          break;
        }
        case CIRCLE: ellipse_path(cr, v[0], v[1], v[2], v[2]); break;
        case ELLIPSE: ellipse_path(cr, v[0] + v[2] / 2.0, v[1] + v[3] / 2.0, v[2] / 2.0, v[3] / 2.0); break;
        case ARC: {
          double a = v[4] * M_PI / 180, b = (v[4] + v[5]) * M_PI / 180;
          cairo_save(cr);
          cairo_translate(cr, v[0], v[1]);
          cairo_scale(cr, v[2], v[3]);
          (v[5] >= 0 ? cairo_arc : cairo_arc_negative)(cr, 0, 0, 1, a, b);
          cairo_restore(cr);
          fill = false;
          break;
        }
        case LINE2: cairo_move_to(cr, v[0], v[1]); cairo_line_to(cr, v[2], v[3]); fill = false; break;
        case CURVE:
          cairo_move_to(cr, v[0], v[1]);
          cairo_curve_to(cr, (v[0] + 2 * v[2]) / 3.0, (v[1] + 2 * v[3]) / 3.0, (2 * v[2] + v[4]) / 3.0,
                         (2 * v[3] + v[5]) / 3.0, v[4], v[5]);
          fill = false;
          break;
        case SPLINE: spline_path(cr, v); break;
        default:
          cairo_move_to(cr, v[0], v[1]);
          for (std::size_t i = 2; i < v.size(); i += 2) cairo_line_to(cr, v[i], v[i + 1]);
          if (p.kind != LINE3) cairo_close_path(cr);
          break;
      }
      if (fill) {
        cairo_set_source_rgb(cr, p.fill_rgb[0] / 255.0, p.fill_rgb[1] / 255.0, p.fill_rgb[2] / 255.0);
        cairo_fill_preserve(cr);
      }
      if (p.pen) {
        cairo_set_source_rgb(cr, p.pen_rgb[0] / 255.0, p.pen_rgb[1] / 255.0, p.pen_rgb[2] / 255.0);
        cairo_stroke_preserve(cr);
      }
      cairo_new_path(cr);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
  }
  cairo_surface_destroy(surface);
  state.SetItemsProcessed(state.iterations() * PRIMITIVES);
}

// ---- Pillow, timed by itself ------------------------------------------------------------------

// Runs the Python program, which prints the seconds of one operation.
double python_seconds(const std::string& program) {
  std::string cmd = "/usr/bin/python3 -c '" + program + "'";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return 0;
  double s = 0;
  if (std::fscanf(f, "%lf", &s) != 1) s = 0;
  pclose(f);
  return s;
}

const char* const PILLOW_TIMER =
    "import time, statistics\n"
    "from PIL import Image, ImageFilter\n"
    "def median(op):\n"
    "  ts = []\n"
    "  for _ in range(5):\n"
    "    t = time.perf_counter(); op(); ts.append(time.perf_counter() - t)\n"
    "  print(statistics.median(ts))\n";

void pillow(benchmark::State& state, const std::string& body) {
  for (auto _ : state) {
    double s = python_seconds(std::string(PILLOW_TIMER) + body);
    if (s <= 0) {
      state.SkipWithError("Pillow is not there");
      break;
    }
    state.SetIterationTime(s);
  }
}

// ---- the shadow blur ----------------------------------------------------------------------

constexpr double SHADOW_BLUR = 10;  // a deviation of 5.32 pixels

void BM_ShadowBlur(benchmark::State& state) {
  std::vector<u8> box(std::size_t(SIDE) * SIDE);
  for (auto _ : state) {
    state.PauseTiming();
    for (int y = 0; y < SIDE; ++y) {
      for (int x = 0; x < SIDE; ++x) box[std::size_t(y) * SIDE + x] = x >= 100 && x < 900 && y >= 100 && y < 900 ? 255 : 0;
    }
    state.ResumeTiming();
    draw::gaussian_blur_a8(box.data(), SIDE, SIDE, SIDE, SHADOW_BLUR / draw::BLUR_TO_SIGMA);
  }
}

void BM_PillowGaussianBlur(benchmark::State& state) {
  pillow(state, "im = Image.new(\"L\", (1000, 1000), 0)\n"
                "im.paste(255, (100, 100, 900, 900))\n"
                "median(lambda: im.filter(ImageFilter.GaussianBlur(" + std::to_string(SHADOW_BLUR / draw::BLUR_TO_SIGMA) + ")))\n");
}

// ---- the perspective map ----------------------------------------------------------------------

const double QUAD_X[4] = {100, 900, 980, 20}, QUAD_Y[4] = {50, 150, 950, 990};

void BM_PerspectiveImage(benchmark::State& state) {
  roots::LocalCell block, img, src;
  std::string text = "[image src 100x50 900x150 980x950 20x990]";
  lexer::load_source(block.get(), text.data(), text.size());
  copy_cell(mem::buffer_of(series_node(block.get()))->cells(), block.get());
  copy_cell(image::make_at(stack::push(), image::new_record(SIDE, SIDE)), img.get());
  copy_cell(image::make_at(stack::push(), image::new_record(SIDE, SIDE)), src.get());
  stack::pop(2);
  u32* px = image::pixels(image::record(src.get()));
  for (int i = 0; i < SIDE * SIDE; ++i) px[i] = 0xFF000000u | u32(i % SIDE) << 16 | u32(i / SIDE % 256) << 8 | 90;
  word::set(intern_word("src"), src.get());
  for (auto _ : state) draw::draw_image(img.get(), block.get());
}

void BM_PerspectiveRender(benchmark::State& state) {
  std::vector<u32> src(std::size_t(SIDE) * SIDE, 0xFF405060), dst(src.size());
  auto to_quad = perspective::image_to_quad(SIDE, SIDE, QUAD_X, QUAD_Y);
  perspective::Map to_image = *perspective::inverse(*to_quad);
  for (auto _ : state) {
    perspective::render(src.data(), SIDE, SIDE, SIDE, to_image, dst.data(), SIDE, 0, 0, SIDE, SIDE);
    benchmark::DoNotOptimize(dst.data());
  }
}

void BM_PillowPerspective(benchmark::State& state) {
  // Pillow's coefficients: the map from the output back to the image.
  auto to_quad = perspective::image_to_quad(SIDE, SIDE, QUAD_X, QUAD_Y);
  perspective::Map back = *perspective::inverse(*to_quad);
  const auto& m = back.m;
  std::string c;
  for (int k : {0, 1, 2}) c += std::to_string(m[k][0] / m[2][2]) + ",";
  for (int k : {0, 1, 2}) c += std::to_string(m[k][1] / m[2][2]) + ",";
  c += std::to_string(m[0][2] / m[2][2]) + "," + std::to_string(m[1][2] / m[2][2]);
  pillow(state, "im = Image.new(\"RGBA\", (1000, 1000), (64, 80, 96, 255))\n"
                "median(lambda: im.transform((1000, 1000), Image.PERSPECTIVE, (" + c + "), Image.BILINEAR))\n");
}

}  // namespace

BENCHMARK(BM_DrawPrimitives)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CairoPrimitives)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShadowBlur)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PillowGaussianBlur)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);
BENCHMARK(BM_PerspectiveImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PerspectiveRender)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PillowPerspective)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

QEL_BENCHMARK_MAIN();
