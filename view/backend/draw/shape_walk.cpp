// The SHAPE walk: each keyword's points and numbers checked, then added to
// the context's path (walker.hpp).
#include "view/backend/draw/walker.hpp"

#include <vector>

#include "runtime/cycles.hpp"
#include "view/backend/draw/arguments.hpp"
#include "view/backend/draw/commands.hpp"
#include "view/backend/draw/walk.hpp"
#include "view/backend/draw/words.hpp"

namespace qel::view::backend::draw {

namespace {

class ShapeWalk {
 public:
  ShapeWalk(Context& ctx, const Cell* block, bool draw) : ctx_(ctx), w_(block), draw_(draw) {}

  void run() { each_value(w_, *this); }

  // The loop's handlers (walk.hpp).
  static constexpr bool lit_words = true;
  [[noreturn]] void fail(u32 i) { throw_draw_error(ctx_, w_.block(), i, false); }
  void nested(const Cell* block) { parse_shape(ctx_, block, draw_, true); }
  u32 keyword(u32 i, Word kw, bool rel) {
    Shape& s = ctx_.shape;
    switch (kw) {
      case W_MOVE: {
        if (!w_.point(i + 1)) fail(i + 1);
        Point p = point_of(w_.at(i + 1));
        s.move(p.x, p.y, rel);
        return i + 2;
      }
      case W_LINE: return point_run(i, 1, &Shape::line, rel);
      case W_HLINE:
      case W_VLINE:
        if (!w_.number(i + 1)) fail(i + 1);
        s.hvline(number_of(w_.at(i + 1)), rel, kw == W_HLINE);
        return i + 2;
      case W_ARC: {
        if (!w_.point(i + 1)) fail(i + 1);
        for (u32 k = 2; k <= 4; ++k) {
          if (!w_.number(i + k)) fail(i + k);
        }
        Point e = point_of(w_.at(i + 1));
        double rx = number_of(w_.at(i + 2)), ry = number_of(w_.at(i + 3));
        double angle = number_of(w_.at(i + 4));
        bool sweep = false, large = false;
        u32 k = i + 5;
        for (int n = 0; n < 2; ++n) {
          Word f = w_.word(k);
          if (f == W_SWEEP) sweep = true;
          else if (f == W_LARGE) large = true;
          else break;
          ++k;
        }
        s.arc(e.x, e.y, rx, ry, angle, sweep, large, rel);
        return k;
      }
      case W_CURVE: return point_run(i, 3, &Shape::curve, rel);
      case W_CURV: return point_run(i, 2, &Shape::curv, rel);
      case W_QCURVE: return point_run(i, 2, &Shape::qcurve, rel);
      case W_QCURV: return point_run(i, 1, &Shape::qcurv, rel);
      case W_CLOSE:
        s.close();
        return i + 1;
      default:
        fail(i);
    }
  }

 private:
  Context& ctx_;
  Walk w_;
  bool draw_;
  std::vector<double> xy_;

  // The points from k into xy_; answers the position after them.
  u32 points_from(u32 k) {
    xy_.clear();
    while (w_.point(k)) {
      Point p = point_of(w_.at(k++));
      xy_.push_back(p.x);
      xy_.push_back(p.y);
    }
    return k;
  }

  // A keyword followed by at least `least` points, all added to the path by
  // `add`. Too few points are reported at the first one (or in its place).
  u32 point_run(u32 i, u32 least, void (Shape::*add)(const double*, u32, bool), bool rel) {
    u32 end = points_from(i + 1);
    if (end < i + 1 + least) fail(i + 1);
    (ctx_.shape.*add)(xy_.data(), u32(xy_.size() / 2), rel);
    return end;
  }

};

}  // namespace

void parse_shape(Context& ctx, const Cell* block, bool close_and_draw, bool nested) {
  init_words();
  // A SHAPE block that contains itself would never end either.
  cycles::Scope entry(checked_node(ctx, block));
  if (!nested) ctx.shape.begin(close_and_draw);
  ShapeWalk(ctx, block, close_and_draw).run();
  if (close_and_draw && !nested) {
    draw_path(ctx, ctx.shape.path);
    ctx.shape.reset();
    check_status(ctx);
  }
}

}  // namespace qel::view::backend::draw
