#include "view/backend/draw/shadow.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "runtime/error.hpp"

namespace qel::view::backend::draw {

// ---- the blur ----------------------------------------------------------------------------

namespace {

// out[x] += k * (a[x] + b[x]) for x below n.
inline void add_pair(float* out, const float* a, const float* b, float k, int n) {
  int x = 0;
#ifdef __SSE2__
  __m128 kk = _mm_set1_ps(k);
  for (; x + 4 <= n; x += 4) {
    __m128 s = _mm_add_ps(_mm_loadu_ps(a + x), _mm_loadu_ps(b + x));
    _mm_storeu_ps(out + x, _mm_add_ps(_mm_loadu_ps(out + x), _mm_mul_ps(s, kk)));
  }
#endif
  for (; x < n; ++x) out[x] += k * (a[x] + b[x]);
}

// out[x] = k * a[x] for x below n.
inline void scaled(float* out, const float* a, float k, int n) {
  for (int x = 0; x < n; ++x) out[x] = k * a[x];
}

}  // namespace

void gaussian_blur_a8(u8* pixels, int width, int height, int stride, double sigma) {
  if (!(sigma > 0) || width < 1 || height < 1) return;
  // Beyond the image only zeros would be summed.
  int r = int(std::min(std::ceil(3 * sigma), double(std::max(width, height))));
  if (r < 1) return;
  std::vector<float> k(std::size_t(r) + 1);
  double sum = 0;
  for (int i = 0; i <= r; ++i) {
    k[std::size_t(i)] = float(std::exp(-double(i) * i / (2 * sigma * sigma)));
    sum += i ? 2.0 * k[std::size_t(i)] : k[0];
  }
  for (float& v : k) v = float(v / sum);

  std::size_t w = std::size_t(width);
  std::vector<float> blurred(w * std::size_t(height));
  // Across: each row, padded with r zeros on both sides.
  std::vector<float> line(w + 2 * std::size_t(r), 0.0f);
  float* row_in = line.data() + r;
  for (int y = 0; y < height; ++y) {
    const u8* src = pixels + std::size_t(y) * std::size_t(stride);
    for (std::size_t x = 0; x < w; ++x) row_in[x] = src[x];
    float* out = blurred.data() + std::size_t(y) * w;
    scaled(out, row_in, k[0], width);
    for (int i = 1; i <= r; ++i) add_pair(out, row_in - i, row_in + i, k[std::size_t(i)], width);
  }
  // Down: each row a weighted sum of the rows above and below.
  std::vector<float> zeros(w, 0.0f), acc(w);
  auto row = [&](int y) { return y < 0 || y >= height ? zeros.data() : blurred.data() + std::size_t(y) * w; };
  // Rows are written back into the pixels as they are done; the sums read
  // only the blurred copy.
  for (int y = 0; y < height; ++y) {
    scaled(acc.data(), row(y), k[0], width);
    for (int i = 1; i <= r; ++i) add_pair(acc.data(), row(y - i), row(y + i), k[std::size_t(i)], width);
    u8* dst = pixels + std::size_t(y) * std::size_t(stride);
    for (std::size_t x = 0; x < w; ++x) {
      float v = acc[x] + 0.5f;
      dst[x] = v >= 255.0f ? 255 : v <= 0.0f ? 0 : u8(v);
    }
  }
}

// ---- shadows -----------------------------------------------------------------------------

namespace {

// The alpha a paint covers with (solid colours have their own; others count
// as opaque).
double paint_alpha(const Paint& p) { return p.type == PAINT_SOLID ? rgba_of(p.colour).a : 1.0; }

struct A8 {
  cairo_surface_t* s;
  ~A8() { cairo_surface_destroy(s); }
};

// The shadow's mask is made in device space, cut to the part of the target
// that the clip lets show: its size, and so the work of the blur, is bounded
// by the target's pixels whatever the matrix (a huge or skewed scale makes
// no larger mask). k: the matrix's mean scale, which turns the blur's user
// units into pixels.
void draw_one(Context& ctx, const Path& figure, const ShadowRecord& rec, double ox, double oy, double w,
              double h, double k, const double visible[4]) {
  const State& st = ctx.st;
  cairo_t* cr = ctx.cr;
  // The enlargement by the spread, about the box's corner; an axis of no
  // size stays as it is (and in place).
  double sx = w > 0 ? (w + 2 * rec.spread) / w : 1, sy = h > 0 ? (h + 2 * rec.spread) / h : 1;
  if (!(sx > 0) || !(sy > 0)) return;
  double ex = w > 0 ? rec.spread : 0, ey = h > 0 ? rec.spread : 0;
  double x0 = ox + rec.dx - ex, y0 = oy + rec.dy - ey;
  double sigma = rec.blur > 0 ? rec.blur / BLUR_TO_SIGMA * k : 0;  // in pixels
  double pad = 3 * sigma + 2;
  // The shadow's box on the target: the corners through the matrix.
  cairo_matrix_t ctm;
  cairo_get_matrix(cr, &ctm);
  double bx0 = HUGE_VAL, by0 = HUGE_VAL, bx1 = -HUGE_VAL, by1 = -HUGE_VAL;
  for (int i = 0; i < 4; ++i) {
    double px = x0 + (i & 1 ? w * sx : 0), py = y0 + (i & 2 ? h * sy : 0);
    cairo_matrix_transform_point(&ctm, &px, &py);
    bx0 = std::min(bx0, px), by0 = std::min(by0, py);
    bx1 = std::max(bx1, px), by1 = std::max(by1, py);
  }
  double rx0 = std::floor(std::max(bx0 - pad, visible[0])), ry0 = std::floor(std::max(by0 - pad, visible[1]));
  double rx1 = std::ceil(std::min(bx1 + pad, visible[2])), ry1 = std::ceil(std::min(by1 + pad, visible[3]));
  if (!(rx1 > rx0) || !(ry1 > ry0)) return;
  int gw = int(rx1 - rx0), gh = int(ry1 - ry0);
  A8 mask{cairo_image_surface_create(CAIRO_FORMAT_A8, gw, gh)};
  if (cairo_surface_status(mask.s) != CAIRO_STATUS_SUCCESS) fire(Err::internal_no_memory);
  cairo_t* m = cairo_create(mask.s);
  cairo_translate(m, -rx0, -ry0);
  cairo_transform(m, &ctm);
  cairo_translate(m, x0, y0);
  cairo_scale(m, sx, sy);
  cairo_translate(m, -ox, -oy);
  cairo_set_antialias(m, cairo_get_antialias(cr));
  cairo_set_tolerance(m, 0.02);
  figure.emit(m);
  if (st.fill.type != PAINT_OFF) {
    cairo_set_source_rgba(m, 0, 0, 0, paint_alpha(st.fill));
    cairo_set_fill_rule(m, CAIRO_FILL_RULE_EVEN_ODD);
    cairo_fill_preserve(m);
  }
  if (st.pen.type != PAINT_OFF) {
    cairo_set_source_rgba(m, 0, 0, 0, paint_alpha(st.pen));
    cairo_set_line_width(m, st.line_width);
    cairo_set_line_join(m, cairo_get_line_join(cr));
    cairo_set_line_cap(m, cairo_get_line_cap(cr));
    cairo_set_miter_limit(m, cairo_get_miter_limit(cr));
    int n = cairo_get_dash_count(cr);
    if (n > 0) {
      std::vector<double> dashes(static_cast<std::size_t>(n));
      double offset;
      cairo_get_dash(cr, dashes.data(), &offset);
      cairo_set_dash(m, dashes.data(), n, offset);
    }
    cairo_stroke_preserve(m);
  }
  cairo_status_t status = cairo_status(m);
  cairo_destroy(m);
  if (status != CAIRO_STATUS_SUCCESS) fire(Err::internal_no_memory);
  cairo_surface_flush(mask.s);
  gaussian_blur_a8(cairo_image_surface_get_data(mask.s), gw, gh, cairo_image_surface_get_stride(mask.s), sigma);
  cairo_surface_mark_dirty(mask.s);
  cairo_save(cr);
  cairo_identity_matrix(cr);
  set_source_colour(cr, rec.colour);
  cairo_mask_surface(cr, mask.s, rx0, ry0);
  cairo_restore(cr);
}

}  // namespace

void draw_shadows(Context& ctx, const Path& figure, double x, double y, double w, double h) {
  const State& st = ctx.st;
  if (st.fill.type == PAINT_OFF && st.pen.type == PAINT_OFF) return;
  const cairo_matrix_t& m = st.matrix;
  double k = std::sqrt(std::fabs(m.xx * m.yy - m.xy * m.yx));
  if (!(k > 0) || !std::isfinite(k)) return;
  double lw = st.pen.type != PAINT_OFF ? st.line_width : 0;
  // What can show: the clip in device space (never beyond the target).
  double visible[4];
  cairo_save(ctx.cr);
  cairo_identity_matrix(ctx.cr);
  cairo_clip_extents(ctx.cr, &visible[0], &visible[1], &visible[2], &visible[3]);
  cairo_restore(ctx.cr);
  visible[0] = std::max(visible[0], 0.0), visible[1] = std::max(visible[1], 0.0);
  visible[2] = std::min(visible[2], double(ctx.width)), visible[3] = std::min(visible[3], double(ctx.height));
  for (const ShadowRecord& rec : ctx.shadows) draw_one(ctx, figure, rec, x - lw / 2, y - lw / 2, w + lw, h + lw, k, visible);
}

}  // namespace qel::view::backend::draw
