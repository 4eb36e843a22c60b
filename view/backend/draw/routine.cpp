// The draw engine's routine of system/view/platform: draw-image (a DRAW
// block drawn into an image, the `draw` word's work).
#include "view/backend/draw/routine.hpp"

#include "datatypes/image.hpp"
#include "datatypes/series.hpp"
#include "runtime/api.hpp"
#include "view/backend/draw/walker.hpp"

namespace qel::view::backend::draw {

void draw_image_routine() {
  Cell* img = api::arg(0);
  u32 w = image::width(img), h = image::height(img);
  if (w && h) {
    draw_image(img, api::arg(1));
    // Whoever owns the image learns that every pixel may have changed.
    series::notify(img, series::Event::poke, img, 0, i32(w * h));
  }
  make_none(api::result());
}

}  // namespace qel::view::backend::draw
