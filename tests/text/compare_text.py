#!/usr/bin/python3
"""Text-box pixel tests: styled rich-text faces drawn by the text engine
(qel-text-render) compared with the same text laid out and drawn by pango
called directly (PyGObject), with the same font files and attributes.

A case passes when every channel is within 3 of the reference except at
most 1 % of the pixels. On top of that: a coloured range has pixels of its
colour only inside its measured box, and a backdrop fills exactly the
rectangles of its characters.

Both sides use only the fonts of the DejaVu directory (a fontconfig file of
their own), so the same font files lay out the text.

Usage: compare_text.py QEL-TEXT-RENDER [OUT-DIR]
"""
import math
import os
import subprocess
import sys
import tempfile

FONTS = "/usr/share/fonts/truetype/dejavu"
HOME = tempfile.mkdtemp(prefix="qel-text-")
with open(os.path.join(HOME, "fonts.conf"), "w") as conf:
    conf.write('<?xml version="1.0"?>\n<!DOCTYPE fontconfig SYSTEM "fonts.dtd">\n<fontconfig>\n'
               '  <dir>%s</dir>\n  <cachedir>%s/cache</cachedir>\n</fontconfig>\n' % (FONTS, HOME))
os.environ["FONTCONFIG_FILE"] = os.path.join(HOME, "fonts.conf")

import gi  # noqa: E402  (after the font configuration is chosen)

gi.require_version("Pango", "1.0")
gi.require_version("PangoCairo", "1.0")
import cairo  # noqa: E402
from gi.repository import Pango, PangoCairo  # noqa: E402
from PIL import Image  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "draw"))
import compare  # noqa: E402  (tests/draw/compare.py: the pixel check)

compare.EDGE_SHARE = 0.01
S = Pango.SCALE

# Each case: the face's size, text, style block (Qel source) and the same
# styles as (kind, first character, character count, value); the font's
# fields; a para (None: none); tabs and uniform line spacing (0: none).
CASES = [
    dict(name="plain", size=(200, 24), text="Hello, world", data="[]", styles=[]),
    dict(name="bold-italic-underline", size=(220, 24), text="Hello brave world",
         data="[1x5 bold 7x5 italic 13x5 underline]",
         styles=[("bold", 1, 5, None), ("italic", 7, 5, None), ("underline", 13, 5, None)]),
    dict(name="strike", size=(160, 24), text="strike me", data="[1x6 strike]",
         styles=[("strike", 1, 6, None)]),
    dict(name="colours", size=(200, 24), text="Red and blue", data="[1x3 255.0.0 9x4 0.0.255 5x3 0.128.0.128]",
         styles=[("colour", 1, 3, (255, 0, 0, 0)), ("colour", 9, 4, (0, 0, 255, 0)),
                 ("colour", 5, 3, (0, 128, 0, 128))],
         only_inside=(1, 3, (255, 0, 0))),
    dict(name="families-sizes", size=(220, 40), text="Serif and big", data='[1x5 "DejaVu Serif" 11x3 18]',
         styles=[("family", 1, 5, "DejaVu Serif"), ("size", 11, 3, 18)]),
    dict(name="wide-characters", size=(200, 24), text="a\u00e9\u20acb \u00fcn\u00ef",
         data="[2x2 bold 6x3 200.0.0]", styles=[("bold", 2, 2, None), ("colour", 6, 3, (200, 0, 0, 0))]),
    dict(name="font-wide", size=(200, 24), text="Whole text", data="[]", styles=[],
         font=dict(style=["underline", "bold"], color=(0, 128, 0))),
    dict(name="wrapped-centred", size=(80, 100), text="one two three four five six seven", data="[1x3 bold]",
         styles=[("bold", 1, 3, None)], para="center"),
    dict(name="backdrop", size=(200, 24), text="Back drop here", data="[6x4 backdrop 255.255.0]",
         styles=[], backdrops=[(6, 4, (255, 255, 0))]),
    dict(name="tabs-spacing", size=(200, 80), text="a\tb\nc\td", data="[]", styles=[], tabs=60, spacing=28),
]


def qel_string(text):
    return '"%s"' % text.replace("^", "^^").replace('"', '^"').replace("\t", "^-").replace("\n", "^/")


def font_fields(case):
    f = dict(name="DejaVu Sans", size=12, style=[], color=None)
    f.update(case.get("font", {}))
    return f


def qel_case(case):
    f = font_fields(case)
    font = 'name: "%s" size: %d style: [%s] state: parent: #(none)' % (f["name"], f["size"], " ".join(f["style"]))
    if f["color"]:
        font += " color: %d.%d.%d" % f["color"]
    para = "[align: '%s]" % case["para"] if case.get("para") else "[]"
    return "[%s %dx%d %s %s [%s] %s %d %d]" % (
        case["name"], case["size"][0], case["size"][1], qel_string(case["text"]), case["data"], font, para,
        case.get("tabs", 0), case.get("spacing", 0))


# ---- the reference: pango called directly ----------------------------------------------

CONTEXT = None


def context():
    global CONTEXT
    if CONTEXT is None:
        CONTEXT = PangoCairo.FontMap.new().create_context()
        PangoCairo.context_set_resolution(CONTEXT, 96)
    return CONTEXT


def byte_of(text, i):
    return len(text[:i].encode("utf-8"))


def change(attrs, attr, text, first, count):
    attr.start_index = byte_of(text, first - 1)
    attr.end_index = byte_of(text, first - 1 + count)
    attrs.change(attr)


def colour_attrs(attrs, rgba, text, first, count):
    r, g, b = (round(c / 255 * 65535) for c in rgba[:3])
    change(attrs, Pango.attr_foreground_new(r, g, b), text, first, count)
    change(attrs, Pango.attr_foreground_alpha_new(round((255 - rgba[3]) / 255 * 65535)), text, first, count)


def reference_layout(case):
    f = font_fields(case)
    desc = Pango.FontDescription()
    desc.set_family(f["name"])
    desc.set_size(f["size"] * S)
    desc.set_weight(Pango.Weight.BOLD if "bold" in f["style"] else Pango.Weight.NORMAL)
    desc.set_style(Pango.Style.NORMAL)
    desc.set_stretch(Pango.Stretch.NORMAL)
    text = case["text"]
    attrs = Pango.AttrList()
    if case.get("spacing"):
        probe = Pango.Layout.new(context())
        probe.set_font_description(desc)
        probe.set_text("I", -1)
        natural = probe.get_pixel_extents()[1].height
        attrs.insert(Pango.attr_line_height_new_absolute(int(max(natural, case["spacing"]) * S)))
    layout = Pango.Layout.new(context())
    layout.set_font_description(desc)
    layout.set_text(text, -1)
    # A rich-text face wraps at its width (with a para given, since it names
    # no wrap? here); its alignment is the para's.
    align = case.get("para") or "left"
    layout.set_alignment({"left": Pango.Alignment.LEFT, "center": Pango.Alignment.CENTER,
                          "right": Pango.Alignment.RIGHT}[align])
    layout.set_width(int((case["size"][0] + 0.5) * S))
    layout.set_wrap(Pango.WrapMode.WORD_CHAR)
    if case.get("tabs"):
        tabs = Pango.TabArray.new(1, True)
        tabs.set_tab(0, Pango.TabAlign.LEFT, case["tabs"])
        layout.set_tabs(tabs)
    whole = len(text)
    if f["color"]:
        colour_attrs(attrs, f["color"] + (0,), text, 1, whole)
    if "underline" in f["style"]:
        change(attrs, Pango.attr_underline_new(Pango.Underline.SINGLE), text, 1, whole)
    for kind, first, count, value in case["styles"]:
        if kind == "colour":
            colour_attrs(attrs, value, text, first, count)
        elif kind == "bold":
            change(attrs, Pango.attr_weight_new(Pango.Weight.BOLD), text, first, count)
        elif kind == "italic":
            change(attrs, Pango.attr_style_new(Pango.Style.ITALIC), text, first, count)
        elif kind == "underline":
            change(attrs, Pango.attr_underline_new(Pango.Underline.SINGLE), text, first, count)
        elif kind == "strike":
            change(attrs, Pango.attr_strikethrough_new(True), text, first, count)
        elif kind == "family":
            change(attrs, Pango.attr_family_new(value), text, first, count)
        elif kind == "size":
            change(attrs, Pango.attr_size_new(value * S), text, first, count)
    layout.set_attributes(attrs)
    return layout


def range_box(layout, text, first, count):
    """The box of the characters of one line: left, top, width, height."""
    x0 = layout.index_to_pos(byte_of(text, first - 1)).x
    x1 = layout.index_to_pos(byte_of(text, first - 1 + count)).x
    it = layout.get_iter()
    y0, y1 = it.get_line_yrange()
    return x0 / S, y0 / S, (x1 - x0) / S, (y1 - y0) / S


def whole(v):
    return math.floor(v + 0.5)


def reference(case):
    w, h = case["size"][0] + 4, case["size"][1] + 4
    s = cairo.ImageSurface(cairo.FORMAT_ARGB32, w, h)
    cr = cairo.Context(s)
    layout = reference_layout(case)
    for first, count, rgb in case.get("backdrops", []):
        x, y, bw, bh = range_box(layout, case["text"], first, count)
        cr.set_source_rgb(*(c / 255 for c in rgb))
        cr.rectangle(whole(2 + x), whole(2 + y), whole(bw), whole(bh))
        cr.fill()
    cr.set_source_rgb(0, 0, 0)
    cr.move_to(2, 2)
    PangoCairo.show_layout(cr, layout)
    return compare.from_surface(s), layout


# ---- properties of what the text engine drew --------------------------------------------------


def only_inside(got, layout, case):
    """Pixels of the range's colour lie inside the range's box (1 pixel of
    anti-aliasing around it), and there are some."""
    first, count, rgb = case["only_inside"]
    x, y, bw, bh = range_box(layout, case["text"], first, count)
    px = got.load()
    inside = outside = 0
    for j in range(got.size[1]):
        for i in range(got.size[0]):
            r, g, b, a = compare.premultiplied(px[i, j])
            if a < 128 or max(abs(r - rgb[0] * a / 255), abs(g - rgb[1] * a / 255), abs(b - rgb[2] * a / 255)) > 40:
                continue
            if 2 + x - 1 <= i <= 2 + x + bw + 1 and 2 + y - 1 <= j <= 2 + y + bh + 1:
                inside += 1
            else:
                outside += 1
    if not inside:
        return "no pixel of the range's colour"
    if outside:
        return "%d pixels of the range's colour outside its box" % outside
    return None


def backdrops_exact(got, layout, case):
    """Each backdrop covers its rectangles wholly, and its colour shows
    nowhere else."""
    px = got.load()
    for first, count, rgb in case["backdrops"]:
        x, y, bw, bh = range_box(layout, case["text"], first, count)
        left, top, right, bottom = whole(2 + x), whole(2 + y), whole(2 + x) + whole(bw), whole(2 + y) + whole(bh)
        for j in range(got.size[1]):
            for i in range(got.size[0]):
                inside = left <= i < right and top <= j < bottom
                p = px[i, j]
                if inside and p[3] != 255:
                    return "pixel %d,%d of the backdrop is not covered" % (i, j)
                if not inside and p == rgb + (255,):
                    return "the backdrop's colour at %d,%d outside its rectangles" % (i, j)
    return None


def main():
    render = sys.argv[1]
    out = sys.argv[2] if len(sys.argv) > 2 else os.path.join(HOME, "out")
    os.makedirs(out, exist_ok=True)
    cases_file = os.path.join(out, "cases.qel")
    with open(cases_file, "w", encoding="utf-8") as f:
        f.write("\n".join(qel_case(c) for c in CASES) + "\n")
    run = subprocess.run([render, cases_file, out], capture_output=True, text=True)
    if run.returncode != 0:
        print("qel-text-render failed (%d):\n%s%s" % (run.returncode, run.stdout, run.stderr))
        return 1
    failures = 0
    for case in CASES:
        got = Image.open(os.path.join(out, case["name"] + ".png")).convert("RGBA")
        want, layout = reference(case)
        problems = []
        if (len(want[0]), len(want)) != got.size:
            problems.append("size %s, want %s" % (got.size, (len(want[0]), len(want))))
        else:
            problems.append(compare.check(case["name"], got, lambda x, y: want[y][x]))
            if "only_inside" in case:
                problems.append(only_inside(got, layout, case))
            if "backdrops" in case:
                problems.append(backdrops_exact(got, layout, case))
        for p in problems:
            if p:
                print("FAIL %s: %s" % (case["name"], p))
                failures += 1
    print("%d cases, %d failed" % (len(CASES), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
