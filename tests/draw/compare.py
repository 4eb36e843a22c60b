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
    parameterisation of the SVG specification (its own implementation here)."""
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
}
for mode in ("tile", "flip-x", "flip-y", "flip-xy", "clamp"):
    RULES["pattern-" + mode] = tiles(mode, QUADS)
    RULES["bitmap-" + mode] = tiles(mode, QUADS)

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


def check(name, got, want_at):
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
            if diff > TOLERANCE:
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
    names = sorted(set(REFERENCES) | set(RULES))
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
        else:
            rule = RULES[name]

            def want(x, y, rule=rule):
                c = rule(x + 0.5, y + 0.5)
                if c is None:
                    return None
                a = 255 - c[3] if len(c) > 3 else 255
                return premultiplied((c[0], c[1], c[2], a))
            problem = check(name, got, want)
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
