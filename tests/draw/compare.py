#!/usr/bin/python3
"""DRAW pixel tests: runs tests/draw/cases.qel with qel-headless, then checks
each image it saved against a reference drawn with cairo called directly
(pycairo), or, for fitted gradients and brushes, against colours computed
from the drawing rules themselves.

Pixels are compared premultiplied (the colour of a nearly transparent pixel
means little): a case passes when every channel is within 3 of the
reference, except at most 0.5 % of the pixels (edges).

Usage: compare.py QEL-HEADLESS CASES.QEL [OUT-DIR]
"""
import math
import os
import subprocess
import sys
import tempfile

import cairo
from PIL import Image

TOLERANCE = 3
EDGE_SHARE = 0.005

# ---- colours ---------------------------------------------------------------------------


def rgba(*t):
    """A colour tuple as the dialect writes it (4th byte: transparency)."""
    a = 255 - t[3] if len(t) > 3 else 255
    return (t[0] / 255, t[1] / 255, t[2] / 255, a / 255)


BLACK, RED, GREEN, BLUE, YELLOW = (0, 0, 0), (255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 0)


def lerp(c1, c2, t):
    return tuple(a + (b - a) * t for a, b in zip(c1, c2))


# ---- references drawn with cairo ----------------------------------------------------------


def new(w, h):
    s = cairo.ImageSurface(cairo.FORMAT_ARGB32, w, h)
    cr = cairo.Context(s)
    cr.set_tolerance(0.005)  # the true curves, as near as cairo draws them
    cr.set_line_width(1)
    cr.set_line_join(cairo.LINE_JOIN_MITER)
    cr.set_miter_limit(10)
    cr.set_line_cap(cairo.LINE_CAP_BUTT)
    return s, cr


def paint_path(cr, fill=None, pen=BLACK, width=1):
    """Fills (even-odd) then strokes the current path."""
    if fill is not None:
        cr.set_fill_rule(cairo.FILL_RULE_EVEN_ODD)
        if isinstance(fill, cairo.Pattern):
            cr.set_source(fill)
        else:
            cr.set_source_rgba(*rgba(*fill))
        cr.fill_preserve()
    if pen is not None:
        cr.set_line_width(width)
        if isinstance(pen, cairo.Pattern):
            cr.set_source(pen)
        else:
            cr.set_source_rgba(*rgba(*pen))
        cr.stroke_preserve()
    cr.new_path()


def svg_arc(cr, x1, y1, x2, y2, rx, ry, phi_deg, large, sweep):
    """An SVG elliptic arc from the current point (x1, y1), by the centre
    parameterisation of the SVG arc (its own implementation here)."""
    phi = math.radians(phi_deg)
    c, s = math.cos(phi), math.sin(phi)
    dx, dy = (x1 - x2) / 2, (y1 - y2) / 2
    xp, yp = c * dx + s * dy, -s * dx + c * dy
    rx, ry = abs(rx), abs(ry)
    lam = xp * xp / (rx * rx) + yp * yp / (ry * ry)
    if lam > 1:
        rx, ry = rx * math.sqrt(lam), ry * math.sqrt(lam)
    num = rx * rx * ry * ry - rx * rx * yp * yp - ry * ry * xp * xp
    den = rx * rx * yp * yp + ry * ry * xp * xp
    k = math.sqrt(max(0, num / den)) * (-1 if large == sweep else 1)
    cxp, cyp = k * rx * yp / ry, -k * ry * xp / rx
    cx = c * cxp - s * cyp + (x1 + x2) / 2
    cy = s * cxp + c * cyp + (y1 + y2) / 2
    t1 = math.atan2((yp - cyp) / ry, (xp - cxp) / rx)
    t2 = math.atan2((-yp - cyp) / ry, (-xp - cxp) / rx)
    d = t2 - t1
    if sweep and d < 0:
        d += 2 * math.pi
    if not sweep and d > 0:
        d -= 2 * math.pi
    cr.save()
    cr.translate(cx, cy)
    cr.rotate(phi)
    cr.scale(rx, ry)
    (cr.arc if sweep else cr.arc_negative)(0, 0, 1, t1, t1 + d)
    cr.restore()


def quad(cr, x0, y0, qx, qy, x, y):
    cr.curve_to(x0 + 2 / 3 * (qx - x0), y0 + 2 / 3 * (qy - y0), x + 2 / 3 * (qx - x), y + 2 / 3 * (qy - y), x, y)


def ref_shape(w, h, build, fill=None, pen=BLACK, width=1, setup=None):
    s, cr = new(w, h)
    if setup:
        setup(cr)
    build(cr)
    paint_path(cr, fill, pen, width)
    return s


def poly(*pts, close=True):
    def build(cr):
        cr.move_to(*pts[0])
        for p in pts[1:]:
            cr.line_to(*p)
        if close:
            cr.close_path()
    return build


def rect(x, y, w, h):
    return poly((x, y), (x + w, y), (x + w, y + h), (x, y + h))


def arc_case(x2, rx, ry, phi, large, sweep, fill=None, width=2, rel=False):
    def build(cr):
        cr.move_to(10, 30)
        end = (10 + x2[0], 30 + x2[1]) if rel else x2
        svg_arc(cr, 10, 30, end[0], end[1], rx, ry, phi, large, sweep)
    return lambda: ref_shape(60, 60, build, fill=fill, width=width)


def stroke_case(w, h, build, width, join=cairo.LINE_JOIN_MITER, cap=cairo.LINE_CAP_BUTT, dash=None):
    def setup(cr):
        cr.set_line_join(join)
        cr.set_line_cap(cap)
        if dash:
            cr.set_dash(dash)
    return lambda: ref_shape(w, h, build, width=width, setup=setup)


def gradient(pattern, stops, extend=cairo.EXTEND_PAD):
    for off, col in stops:
        pattern.add_color_stop_rgba(off, *rgba(*col))
    pattern.set_extend(extend)
    return pattern


def square_with(pattern):
    return lambda: ref_shape(60, 60, rect(0, 0, 60, 60), fill=pattern(), pen=None)


def two_stops():
    return [(0, RED), (1, BLUE)]


def positional_linear():
    p = gradient(cairo.LinearGradient(10, 10, 50, 10), two_stops())
    m = cairo.Matrix()
    m.translate(10, 10)
    m.rotate(math.radians(30))
    m.translate(-10, -10)
    m.invert()
    p.set_matrix(m)
    return p


def width_zero_then_two():
    s, cr = new(60, 40)
    rect(5, 5, 20, 20)(cr)
    paint_path(cr, fill=BLUE, pen=None)
    rect(35, 5, 20, 20)(cr)
    paint_path(cr, fill=BLUE, pen=RED, width=2)
    return s


def push_recolours_pen():
    s, cr = new(60, 30)
    poly((5, 8), (55, 8), close=False)(cr)
    paint_path(cr, pen=BLUE, width=3)
    poly((5, 20), (55, 20), close=False)(cr)
    paint_path(cr, pen=RED, width=3)
    return s


def clip_rectangle():
    s, cr = new(40, 40)
    cr.save()
    cr.rectangle(10, 10, 20, 20)
    cr.clip()
    rect(0, 0, 40, 40)(cr)
    paint_path(cr, fill=BLACK, pen=None)
    cr.restore()
    rect(0, 0, 5, 5)(cr)
    paint_path(cr, fill=RED, pen=BLACK)
    return s


def smooth_cubic(cr):
    cr.move_to(0, 0)
    cr.curve_to(0, 0, 40, 0, 40, 40)
    cr.curve_to(40, 80, 80, 80, 80, 40)  # 40x0 reflected through 40x40


def smooth_quadratic(cr):
    cr.move_to(5, 50)
    quad(cr, 5, 50, 25, 5, 45, 50)
    quad(cr, 45, 50, 65, 95, 85, 50)  # 25x5 reflected through 45x50; end 45x50 + 40x0



# ---- figures, images, transformations, clips and shadows -----------------------------------


def rounded(x, y, w, h, r):
    def build(cr):
        cr.new_sub_path()
        cr.arc(x + w - r, y + r, r, -math.pi / 2, 0)
        cr.arc(x + w - r, y + h - r, r, 0, math.pi / 2)
        cr.arc(x + r, y + h - r, r, math.pi / 2, math.pi)
        cr.arc(x + r, y + r, r, math.pi, 3 * math.pi / 2)
        cr.close_path()
    return build


def oval(cx, cy, rx, ry):
    def build(cr):
        cr.save()
        cr.translate(cx, cy)
        cr.scale(rx, ry)
        cr.new_sub_path()
        cr.arc(0, 0, 1, 0, 2 * math.pi)
        cr.close_path()
        cr.restore()
    return build


def arc_rule(cx, cy, rx, ry, start, sweep, closed):
    """The arc command's rule: angles corrected for ellipses, an SVG arc
    between the end points."""
    def build(cr):
        a, b = math.radians(start), math.radians(start + sweep)
        if rx != ry:
            a = math.atan2(math.sin(a) * rx, math.cos(a) * ry)
            b = math.atan2(math.sin(b) * rx, math.cos(b) * ry)
            if abs(b - a) > math.pi:
                if b > a:
                    b -= 2 * math.pi
                else:
                    a -= 2 * math.pi
        x1, y1 = cx + rx * math.cos(a), cy + ry * math.sin(a)
        x2, y2 = cx + rx * math.cos(b), cy + ry * math.sin(b)
        if closed:
            cr.move_to(cx, cy)
            cr.line_to(x1, y1)
        else:
            cr.move_to(x1, y1)
        svg_arc(cr, x1, y1, x2, y2, rx, ry, 0, abs(sweep) >= 180, sweep >= 0)
        if closed:
            cr.close_path()
    return build


def catmull_rom(points, closed):
    """The spline command's figure: Catmull-Rom segments of 25 lines each."""
    def segment(cr, p0, p1, p2, p3):
        for k in range(1, 26):
            t = k / 25
            cr.line_to(*(0.5 * (2 * b + (c - a) * t + (2 * a - 5 * b + 4 * c - d) * t * t
                                + (3 * (b - c) + d - a) * t ** 3) for a, b, c, d in zip(p0, p1, p2, p3)))

    def build(cr):
        p, n = points, len(points)
        cr.move_to(*p[0])
        segment(cr, p[n - 1] if closed else p[0], p[0], p[1], p[2])
        for i in range(n - 3):
            segment(cr, p[i], p[i + 1], p[i + 2], p[i + 3])
        if closed:
            segment(cr, p[n - 3], p[n - 2], p[n - 1], p[0])
            segment(cr, p[n - 2], p[n - 1], p[0], p[1])
            cr.close_path()
        else:
            segment(cr, p[n - 3], p[n - 2], p[n - 1], p[n - 1])
    return build


def ramp(w, h, step):
    """The images of cases.qel: pixel (x, y) is (x + 1) step + 20, (y + 1) step + 20, 100."""
    img = Image.new("RGBA", (w, h))
    img.putdata([((x + 1) * step + 20, (y + 1) * step + 20, 100, 255) for y in range(h) for x in range(w)])
    return img


def surface_of(img):
    w, h = img.size
    s = cairo.ImageSurface(cairo.FORMAT_ARGB32, w, h)
    stride, data = s.get_stride(), s.get_data()
    for y in range(h):
        for x in range(w):
            r, g, b, a = img.getpixel((x, y))
            data[y * stride + 4 * x:y * stride + 4 * x + 4] = bytes((b, g, r, a))
    s.mark_dirty()
    return s


def image_case(w, h, src, x, y, dw, dh, sx=0, sy=0, sw=None, sh=None):
    """The source rectangle (sx, sy, sw, sh) of the image drawn into the
    rectangle (x, y, dw, dh)."""
    def draw():
        s, cr = new(w, h)
        full = surface_of(src)
        cw, ch = sw or src.size[0], sh or src.size[1]
        part = cairo.ImageSurface(cairo.FORMAT_ARGB32, cw, ch)
        pc = cairo.Context(part)
        pc.set_source_surface(full, -sx, -sy)
        pc.paint()
        p = cairo.SurfacePattern(part)
        m = cairo.Matrix(cw / dw, 0, 0, ch / dh, 0, 0)
        m = cairo.Matrix(1, 0, 0, 1, -x, -y).multiply(m)
        p.set_matrix(m)
        p.set_filter(cairo.FILTER_GOOD)
        p.set_extend(cairo.EXTEND_PAD)
        cr.set_source(p)
        cr.rectangle(x, y, dw, dh)
        cr.fill()
        return s
    return draw


def about(m, cx, cy):
    """The matrix m acting about the point (cx, cy)."""
    return cairo.Matrix(1, 0, 0, 1, -cx, -cy).multiply(m).multiply(cairo.Matrix(1, 0, 0, 1, cx, cy))


def transformed(w, h, matrix, build, fill):
    def draw():
        s, cr = new(w, h)
        cr.set_matrix(matrix)
        build(cr)
        paint_path(cr, fill=fill, pen=None)
        return s
    return draw


def rotation(degrees, cx, cy):
    """A rotation, clockwise on screen, about (cx, cy)."""
    a = math.radians(degrees)
    return about(cairo.Matrix(math.cos(a), math.sin(a), -math.sin(a), math.cos(a), 0, 0), cx, cy)


def rotate_pen():
    s, cr = new(60, 60)
    p = gradient(cairo.LinearGradient(10, 0, 50, 0), two_stops())
    m = rotation(90, 30, 30)
    m.invert()
    p.set_matrix(m)
    rect(10, 10, 40, 40)(cr)
    paint_path(cr, pen=p, width=8)
    return s


def transform_matrix():
    r = rotation(45, 30, 30)
    sc = about(cairo.Matrix(1.5, 0, 0, 1, 0, 0), 30, 30)
    return r.multiply(sc).multiply(cairo.Matrix(1, 0, 0, 1, 2, 0))


def clip_rect_then_rotated():
    s, cr = new(60, 60)
    cr.save()
    cr.rectangle(0, 0, 30, 30)
    cr.clip()
    rect(0, 0, 60, 60)(cr)
    paint_path(cr, fill=RED, pen=None)
    cr.restore()
    cr.save()
    cr.set_matrix(rotation(30, 30, 30))
    cr.rectangle(10, 10, 40, 40)
    cr.clip()
    rect(0, 0, 60, 60)(cr)
    paint_path(cr, fill=BLUE, pen=None)
    cr.restore()
    rect(50, 50, 10, 10)(cr)
    paint_path(cr, fill=GREEN, pen=None)
    return s


def clip_nested():
    s, cr = new(60, 60)
    cr.save()
    cr.rectangle(5, 5, 40, 40)
    cr.clip()
    poly((20, 0), (60, 30), (20, 60), (0, 30))(cr)
    cr.clip()
    rect(0, 0, 60, 60)(cr)
    paint_path(cr, fill=RED, pen=None)
    cr.restore()
    rect(50, 50, 8, 8)(cr)
    paint_path(cr, fill=BLUE, pen=None)
    return s


def boxes(w, h, *filled):
    """Rectangles (x, y, w, h, colour) filled in turn on a w x h image."""
    def draw():
        s, cr = new(w, h)
        for x, y, bw, bh, c in filled:
            rect(x, y, bw, bh)(cr)
            paint_path(cr, fill=c, pen=None)
        return s
    return draw


PIC = ramp(16, 16, 12)

REFERENCES = {
    "triangle-absolute": lambda: ref_shape(40, 40, poly((5, 5), (35, 5), (20, 35)), fill=RED),
    "triangle-relative": lambda: ref_shape(40, 40, poly((10, 10), (30, 10), (20, 30)), fill=(0, 128, 0)),
    "open-relative": lambda: ref_shape(40, 40, poly((5, 30), (20, 10), (35, 30), close=False), pen=BLUE, width=2),
    "even-odd": lambda: ref_shape(40, 40, lambda cr: (rect(5, 5, 30, 30)(cr), rect(15, 15, 10, 10)(cr)), fill=RED, pen=None),
    "hvline": lambda: ref_shape(40, 40, poly((0, 0), (30, 0), (30, 30), (10, 30), (10, 20), close=False), width=2),
    "arc-small-ccw": arc_case((40, 30), 20, 20, 0, False, False),
    "arc-small-cw": arc_case((40, 30), 20, 20, 0, False, True),
    "arc-large-ccw": arc_case((40, 30), 20, 20, 0, True, False),
    "arc-large-cw": arc_case((40, 30), 20, 20, 0, True, True),
    "arc-ellipse": arc_case((40, 0), 25, 12, 30, True, False, fill=(255, 128, 0), width=1, rel=True),
    "arc-too-small": arc_case((50, 30), 5, 5, 0, True, False),
    "smooth-cubic": lambda: ref_shape(100, 100, smooth_cubic, width=2),
    "smooth-quadratic": lambda: ref_shape(100, 60, smooth_quadratic, width=2),
    "shape-float-points": lambda: ref_shape(40, 40, poly((5.5, 5.5), (30.25, 8), (12, 33.5), close=False), fill=BLUE),
    "stroke-solid": stroke_case(60, 20, poly((5, 10), (55, 10), close=False), 3),
    "stroke-dashed": stroke_case(60, 20, poly((5, 10), (55, 10), close=False), 2, dash=[8, 4]),
    "stroke-dashed-round": stroke_case(60, 20, poly((5, 10), (55, 10), close=False), 3,
                                       cap=cairo.LINE_CAP_ROUND, dash=[9, 3, 3]),
    "join-miter": stroke_case(60, 60, poly((10, 50), (30, 10), (50, 50), close=False), 8),
    "join-bevel": stroke_case(60, 60, poly((10, 50), (30, 10), (50, 50), close=False), 8, join=cairo.LINE_JOIN_BEVEL),
    "join-round": stroke_case(60, 60, poly((10, 50), (30, 10), (50, 50), close=False), 8, join=cairo.LINE_JOIN_ROUND),
    "join-miter-bevel": stroke_case(60, 60, poly((10, 50), (30, 10), (50, 50), close=False), 8),
    "cap-flat": stroke_case(60, 40, poly((15, 20), (45, 20), close=False), 10),
    "cap-square": stroke_case(60, 40, poly((15, 20), (45, 20), close=False), 10, cap=cairo.LINE_CAP_SQUARE),
    "cap-round": stroke_case(60, 40, poly((15, 20), (45, 20), close=False), 10, cap=cairo.LINE_CAP_ROUND),
    "width-zero-then-two": width_zero_then_two,
    "push-recolours-pen": push_recolours_pen,
    "pen-with-alpha": lambda: ref_shape(40, 40, rect(8, 8, 24, 24), fill=(0, 0, 255, 200), pen=(255, 0, 0, 128), width=6),
    "clip-rectangle": clip_rectangle,
    "linear-pad": square_with(lambda: gradient(cairo.LinearGradient(10, 0, 50, 0), two_stops())),
    "linear-repeat": square_with(lambda: gradient(cairo.LinearGradient(10, 0, 25, 0), two_stops(), cairo.EXTEND_REPEAT)),
    "linear-reflect": square_with(lambda: gradient(cairo.LinearGradient(10, 0, 25, 0), two_stops(), cairo.EXTEND_REFLECT)),
    # Four stops, the second with its own offset: 0, 0.3, 0.3, 0.3 + 1/3.
    "linear-stops": square_with(lambda: gradient(cairo.LinearGradient(10, 10, 50, 50),
                                                 [(0, RED), (0.3, GREEN), (0.3, BLUE), (0.3 + 1 / 3, BLACK)])),
    "radial-centre": square_with(lambda: gradient(cairo.RadialGradient(30, 30, 0, 30, 30, 20), [(0, YELLOW), (1, BLUE)])),
    "radial-focal": square_with(lambda: gradient(cairo.RadialGradient(20, 25, 0, 30, 30, 25), [(0, YELLOW), (1, BLUE)])),
    "positional-linear": square_with(positional_linear),
    "positional-radial": square_with(lambda: gradient(cairo.RadialGradient(30, 30, 0, 30, 30, 20), two_stops())),
    "gradient-pen": lambda: ref_shape(60, 60, poly((5, 30), (55, 30), close=False),
                                      pen=gradient(cairo.LinearGradient(0, 0, 60, 0), two_stops()), width=6),
    "box-plain": lambda: ref_shape(40, 40, rect(5, 5, 30, 25), fill=RED),
    "box-rounded": lambda: ref_shape(60, 40, rounded(5, 5, 50, 30, 8), fill=BLUE, width=2),
    "triangle": lambda: ref_shape(40, 40, poly((5, 35), (20, 5), (35, 35)), fill=GREEN),
    "polygon": lambda: ref_shape(40, 40, poly((5, 5), (35, 5), (35, 35), (20, 20), (5, 35)), fill=RED),
    "circle-one": lambda: ref_shape(60, 60, oval(30, 30, 20, 20), fill=YELLOW),
    # 40 wide, 20 high
    "circle-two": lambda: ref_shape(100, 100, oval(50, 50, 20, 10)),
    "ellipse": lambda: ref_shape(60, 40, oval(30, 20, 25, 15), fill=BLUE),
    "arc-full": lambda: ref_shape(100, 100, oval(50, 50, 20, 20)),
    "arc-quarter-pie": lambda: ref_shape(100, 100, arc_rule(50, 50, 20, 20, 0, 90, True), fill=RED),
    # an open arc is not filled
    "arc-open-ellipse": lambda: ref_shape(100, 100, arc_rule(50, 50, 40, 20, 30, 200, False), width=2),
    "curve-three": lambda: ref_shape(60, 60, lambda cr: (cr.move_to(5, 55), quad(cr, 5, 55, 30, 5, 55, 55)), width=2),
    "curve-four": lambda: ref_shape(60, 60, lambda cr: (cr.move_to(5, 55), cr.curve_to(5, 5, 55, 5, 55, 55)), width=2),
    "spline-open": lambda: ref_shape(100, 60, catmull_rom([(5, 50), (30, 10), (60, 50), (95, 10)], False), width=2),
    "spline-closed": lambda: ref_shape(100, 100, catmull_rom([(20, 20), (80, 20), (80, 80), (20, 80)], True), fill=BLUE),
    "line-two": lambda: ref_shape(40, 40, poly((5, 5), (35, 30), close=False), width=3),
    "line-three-filled": lambda: ref_shape(40, 40, poly((5, 35), (20, 5), (35, 35), close=False), fill=RED),
    "line-three-unfilled": lambda: ref_shape(40, 40, poly((5, 35), (20, 5), (35, 35), close=False)),
    "image-at-point": image_case(40, 40, PIC, 5, 5, 16, 16),
    "image-in-rect": image_case(60, 60, PIC, 5, 5, 48, 32),
    # the crop -10x-10 20x20: the image's top-left 10x10, moved 10 right and down
    "image-crop-negative": image_case(40, 40, PIC, 10, 10, 10, 10, 0, 0, 10, 10),
    "scale-keeps-centre": boxes(40, 40, (10, 10, 10, 10, RED)),
    "invert-scale": boxes(40, 40, (5, 5, 10, 10, BLUE)),
    "rotate-pen": rotate_pen,
    "skew": transformed(60, 60, cairo.Matrix(1, math.tan(math.radians(10)), math.tan(math.radians(20)), 1, 0, 0),
                        rect(10, 10, 20, 20), RED),
    "transform": transformed(60, 60, transform_matrix(), rect(20, 20, 20, 20), GREEN),
    "matrix": transformed(60, 60, cairo.Matrix(1, 0.5, 0, 1, 5, 0), rect(10, 10, 30, 20), BLUE),
    "clip-rect-then-rotated": clip_rect_then_rotated,
    "clip-nested": clip_nested,
    # shadows drawn in the order given, under the box
    "shadows-two": boxes(50, 50, (20, 10, 20, 20, BLUE), (10, 20, 20, 20, GREEN), (10, 10, 20, 20, RED)),
    "shadow-off": boxes(50, 50, (10, 10, 20, 20, RED)),
    "shadow-spread": boxes(60, 60, (15, 15, 30, 30, RED), (20, 20, 20, 20, BLACK)),
}

# ---- references computed from the rules ---------------------------------------------------
#
# A fitted gradient spans the widened bounds of each shape: its outline box
# grown by half the line width. Linear: from the left edge to the right
# edge. Radial and diamond: centred in the box, radius the smaller half.

BOX1 = (4, 4, 44, 24)
BOX2 = (10, 40, 110, 100)


def widened(box, width):
    return (box[0] - width / 2, box[1] - width / 2, box[2] + width / 2, box[3] + width / 2)


def fitted(kind, width):
    """The colour at a pixel centre inside either box, or None elsewhere."""
    boxes = [widened(BOX1, width), widened(BOX2, width)]

    def colour(x, y):
        for b, inner in zip(boxes, (BOX1, BOX2)):
            # the fill area, less the outline when there is one
            m = width / 2 if width > 1 else 0
            if not (inner[0] + m < x < inner[2] - m and inner[1] + m < y < inner[3] - m):
                continue
            w, h = b[2] - b[0], b[3] - b[1]
            if kind == "linear":
                t = (x - b[0]) / w
            else:
                cx, cy, r = b[0] + w / 2, b[1] + h / 2, min(w, h) / 2
                if kind == "radial":
                    t = math.hypot(x - cx, y - cy) / r
                else:
                    t = (abs(x - cx) + abs(y - cy)) / r
            return lerp(RED, BLUE, min(max(t, 0), 1))
        return None
    return colour


def diamond(cx, cy, rx, ry, spread):
    def colour(x, y):
        t = abs(x - cx) / rx + abs(y - cy) / ry
        if spread == "repeat":
            if abs(t - round(t)) < 0.08:
                return None  # the wrap from blue back to red: no colour to expect
            t = t - math.floor(t)
        elif spread == "reflect":
            t = t % 2
            t = 2 - t if t > 1 else t
        return lerp(RED, BLUE, min(t, 1))
    return colour


def tiles(mode, source):
    """The colour of pixel (x, y) of an 8x8 area filled by a tile brush."""
    def colour(x, y):
        x, y = int(x), int(y)
        tx, ty = x // 2, y // 2
        px, py = x % 2, y % 2
        if mode in ("flip-x", "flip-xy") and tx % 2:
            px = 1 - px
        if mode in ("flip-y", "flip-xy") and ty % 2:
            py = 1 - py
        if mode == "clamp":
            px, py = min(x, 1), min(y, 1)
        return source[py][px]
    return colour



def blurred_shadow(x0, y0, x1, y1, blur, colour):
    """A box (black) over its shadow: the box's coverage convolved with the
    Gaussian of the shadow's deviation, computed by its integral."""
    sigma = blur / 1.8799711465835571

    def phi(t):
        return 0.5 * (1 + math.erf(t / math.sqrt(2)))

    def at(x, y):
        if x0 < x < x1 and y0 < y < y1:
            return BLACK
        a = (phi((x1 - x) / sigma) - phi((x0 - x) / sigma)) * (phi((y1 - y) / sigma) - phi((y0 - y) / sigma))
        return colour + (255 - a * 255,)
    return at


QUADS = [[RED, GREEN], [BLUE, YELLOW]]

RULES = {
    "fitted-linear": fitted("linear", 1),
    "fitted-radial": fitted("radial", 1),
    "fitted-diamond": fitted("diamond", 1),
    "fitted-linear-pen": fitted("linear", 4),
    "diamond-geometry": diamond(30, 30, 20, 10, "pad"),
    "diamond-repeat": diamond(30, 30, 10, 10, "repeat"),
    "diamond-reflect": diamond(30, 30, 10, 10, "reflect"),
    "bitmap-source-rect": lambda x, y: GREEN if int(y) % 2 == 0 else YELLOW,
    "pattern-leaves-clip": lambda x, y: (RED if int(x) % 4 < 2 and int(y) % 4 < 2 else (0, 0, 0, 255))
    if x < 8 and y < 8 else BLUE if x > 10 and y > 10 else (0, 0, 0, 255),
    "shadow-blur": blurred_shadow(20, 20, 40, 40, 10, RED),
}
# Cases held to a closer tolerance than TOLERANCE.
CLOSER = {"shadow-blur": 2}
for mode in ("tile", "flip-x", "flip-y", "flip-xy", "clamp"):
    RULES["pattern-" + mode] = tiles(mode, QUADS)
    RULES["bitmap-" + mode] = tiles(mode, QUADS)

# ---- images mapped onto quadrilaterals, against Pillow's perspective transform ---------------
#
# Pillow maps each output pixel centre back into the image by the projective
# map whose coefficients are solved here from the same corners; it samples
# bilinearly. The mean difference per channel over the pixels not near the
# quadrilateral's edges must be at most 2.

MEAN_TOLERANCE = 2


def solve(a, b):
    """Gaussian elimination with partial pivoting."""
    n = len(b)
    m = [row[:] + [v] for row, v in zip(a, b)]
    for c in range(n):
        p = max(range(c, n), key=lambda r: abs(m[r][c]))
        m[c], m[p] = m[p], m[c]
        for r in range(n):
            if r != c:
                f = m[r][c] / m[c][c]
                m[r] = [x - f * y for x, y in zip(m[r], m[c])]
    return [m[r][n] / m[r][r] for r in range(n)]


def perspective(size, src, quad):
    """The image mapped onto the quadrilateral (TL, TR, BR, BL) by Pillow."""
    w, h = src.size
    corners = [(0, 0), (w, 0), (w, h), (0, h)]
    rows, rhs = [], []
    for (x, y), (u, v) in zip(quad, corners):
        rows.append([x, y, 1, 0, 0, 0, -u * x, -u * y])
        rhs.append(u)
        rows.append([0, 0, 0, x, y, 1, -v * x, -v * y])
        rhs.append(v)
    return src.transform(size, Image.PERSPECTIVE, solve(rows, rhs), Image.BILINEAR), quad


def edge_distance(quad, x, y):
    d = float("inf")
    for (ax, ay), (bx, by) in zip(quad, quad[1:] + quad[:1]):
        ex, ey = bx - ax, by - ay
        t = max(0, min(1, ((x - ax) * ex + (y - ay) * ey) / (ex * ex + ey * ey)))
        d = min(d, math.hypot(x - ax - t * ex, y - ay - t * ey))
    return d


def check_mean(got, want, quad):
    px, ref = got.load(), want.load()
    total, count = [0, 0, 0, 0], 0
    for y in range(got.size[1]):
        for x in range(got.size[0]):
            if edge_distance(quad, x + 0.5, y + 0.5) < 2:
                continue
            count += 1
            for c, (a, b) in enumerate(zip(premultiplied(px[x, y]), premultiplied(ref[x, y]))):
                total[c] += abs(a - b)
    means = [t / count for t in total]
    if max(means) > MEAN_TOLERANCE:
        return "mean differences per channel %s" % ", ".join("%.2f" % m for m in means)
    return None


PILLOW = {
    "perspective-four": lambda: perspective((100, 100), PIC, [(10, 10), (90, 20), (80, 90), (5, 70)]),
    # three points: the bottom-left corner under the first, level with the third
    "perspective-three": lambda: perspective((100, 100), PIC, [(10, 10), (90, 20), (80, 90), (10, 90)]),
}

# ---- comparing -------------------------------------------------------------------------------


def premultiplied(p):
    r, g, b, a = p
    return (r * a / 255, g * a / 255, b * a / 255, a)


def from_surface(s):
    """Premultiplied RGBA pixels of a cairo surface, row by row."""
    s.flush()
    w, h, stride, data = s.get_width(), s.get_height(), s.get_stride(), bytes(s.get_data())
    out = []
    for y in range(h):
        row = []
        for x in range(w):
            b, g, r, a = data[y * stride + 4 * x:y * stride + 4 * x + 4]
            row.append((r, g, b, a))
        out.append(row)
    return out


def check(name, got, want_at, tolerance=TOLERANCE):
    """got: an RGBA Pillow image; want_at(x, y): the premultiplied pixel
    wanted, or None for a pixel not checked. Answers a failure text or None."""
    w, h = got.size
    px = got.load()
    bad, checked, worst = 0, 0, None
    for y in range(h):
        for x in range(w):
            want = want_at(x, y)
            if want is None:
                continue
            checked += 1
            have = premultiplied(px[x, y])
            diff = max(abs(a - b) for a, b in zip(have, want))
            if diff > tolerance:
                bad += 1
                if worst is None or diff > worst[0]:
                    worst = (diff, x, y, have, want)
    if checked == 0:
        return "no pixel checked"
    if bad > max(0, EDGE_SHARE * checked):
        d, x, y, have, want = worst
        return "%d of %d pixels differ (worst at %d,%d: %s, want %s)" % (
            bad, checked, x, y, tuple(round(v) for v in have), tuple(round(v) for v in want))
    return None


def main():
    qel, cases = sys.argv[1], sys.argv[2]
    out = sys.argv[3] if len(sys.argv) > 3 else tempfile.mkdtemp(prefix="qel-draw-")
    os.makedirs(out, exist_ok=True)
    run = subprocess.run([qel, cases, out], capture_output=True, text=True)
    if run.returncode != 0:
        print("qel-headless failed (%d):\n%s%s" % (run.returncode, run.stdout, run.stderr))
        return 1
    failures = 0
    names = sorted(set(REFERENCES) | set(RULES) | set(PILLOW))
    for name in names:
        path = os.path.join(out, name + ".png")
        if not os.path.exists(path):
            print("FAIL %s: no image saved" % name)
            failures += 1
            continue
        got = Image.open(path).convert("RGBA")
        if name in REFERENCES:
            ref = from_surface(REFERENCES[name]())
            if (len(ref[0]), len(ref)) != got.size:
                print("FAIL %s: size %s, want %s" % (name, got.size, (len(ref[0]), len(ref))))
                failures += 1
                continue
            problem = check(name, got, lambda x, y: ref[y][x])
        elif name in PILLOW:
            want, quad = PILLOW[name]()
            problem = check_mean(got, want, quad)
        else:
            rule = RULES[name]

            def want(x, y, rule=rule):
                c = rule(x + 0.5, y + 0.5)
                if c is None:
                    return None
                a = 255 - c[3] if len(c) > 3 else 255
                return premultiplied((c[0], c[1], c[2], a))
            problem = check(name, got, want, CLOSER.get(name, TOLERANCE))
        if problem:
            print("FAIL %s: %s" % (name, problem))
            failures += 1
    saved = {f[:-4] for f in os.listdir(out) if f.endswith(".png")}
    for extra in sorted(saved - set(names)):
        print("FAIL %s: no reference" % extra)
        failures += 1
    print("%d cases, %d failed" % (len(names), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
