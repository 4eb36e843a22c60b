// Shadows of boxes, circles and ellipses, and the Gaussian blur they use.
//
// A shadow is the figure's coverage (fill and outline, in the alpha of their
// brushes) drawn into an A8 image over the figure's outline box widened by
// the line width, enlarged by `spread` on each side (a scaling about the
// box, (w + 2 × spread) / w across and likewise down; an axis of no size is
// not scaled), blurred with a standard deviation of blur / 1.8799711465835571,
// and painted in the shadow's colour at the figure's place moved by the
// shadow's offset. The A8 image has the resolution of the target (the user
// space scaled by the matrix's scale) and covers only what can be seen.
#pragma once

#include "runtime/cell.hpp"
#include "view/backend/draw/context.hpp"

namespace qel::view::backend::draw {

// The blur of a shadow as the standard deviation of its Gaussian.
inline constexpr double BLUR_TO_SIGMA = 1.8799711465835571;

// Paints the shadows in force for the figure (its path in user space, its
// outline box x, y, w, h), before the figure itself is drawn.
void draw_shadows(Context& ctx, const Path& figure, double x, double y, double w, double h);

// Blurs an A8 image in place with a separable Gaussian of the standard
// deviation (in pixels), sampled over three deviations each way; what lies
// beyond the edges counts as transparent.
void gaussian_blur_a8(u8* pixels, int width, int height, int stride, double sigma);

}  // namespace qel::view::backend::draw
