"""The graphical console beside xterm, on one X server (run by run.sh).

Three measures, each for qel's console window and for xterm:
- typing-to-paint latency: 200 keys (rounds of 20 letters and 20
  backspaces) typed with 10,000 lines in the buffer, each timed from the
  key's XTest event to the first changed pixel of the input row (xterm runs
  cat);
- output throughput: the wall time of a script printing 100,000 lines of 80
  characters (xterm runs it in qel-headless);
- start-up: from the start of the process to the first frame in which the
  prompt's first characters are painted as they finally stand.

The screen is read with XGetSubImage on one connection (a small band of the
screen takes a fraction of a millisecond; Pillow's ImageGrab grabs the whole
screen at every call, tens of milliseconds here).
Usage: measure.py QEL QEL-HEADLESS
"""
import ctypes
import os
import statistics
import subprocess
import sys
import tempfile
import time

QEL, HEADLESS = sys.argv[1], sys.argv[2]
HERE = os.path.dirname(os.path.abspath(__file__))
FONT = "DejaVu Sans Mono"
SIZE = 11
WORK = tempfile.mkdtemp()

x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XGetImage.restype = ctypes.c_void_p
x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                          ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
x11.XGetSubImage.restype = ctypes.c_void_p
x11.XGetSubImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                             ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int,
                             ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
x11.XStringToKeysym.restype = ctypes.c_ulong
x11.XStringToKeysym.argtypes = [ctypes.c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
x11.XFlush.argtypes = [ctypes.c_void_p]
x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
xtst.XTestFakeKeyEvent.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int, ctypes.c_ulong]

dpy = x11.XOpenDisplay(None)
if not dpy:
    sys.exit("no display")
root = x11.XDefaultRootWindow(dpy)
ZPIXMAP = 2
ALL_PLANES = 0xFFFFFFFF


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int),
                ("bitmap_pad", ctypes.c_int), ("depth", ctypes.c_int),
                ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int)]


class Band:
    """A rectangle of the screen, read again and again into one image."""

    def __init__(self, x, y, w, h):
        self.x, self.y, self.w, self.h = x, y, w, h
        self.image = x11.XGetImage(dpy, root, x, y, w, h, ALL_PLANES, ZPIXMAP)
        info = XImage.from_address(self.image)
        self.data, self.size = info.data, info.bytes_per_line * h
        self.stride = info.bytes_per_line

    def read(self):
        x11.XGetSubImage(dpy, root, self.x, self.y, self.w, self.h, ALL_PLANES, ZPIXMAP,
                         self.image, 0, 0)
        return ctypes.string_at(self.data, self.size)

    def pixel(self, pixels, x, y):
        i = y * self.stride + x * 4
        return pixels[i:i + 3]


def key(name):
    code = x11.XKeysymToKeycode(dpy, x11.XStringToKeysym(name.encode()))
    xtst.XTestFakeKeyEvent(dpy, code, 1, 0)
    xtst.XTestFakeKeyEvent(dpy, code, 0, 0)
    x11.XFlush(dpy)


def window(name, timeout=60):
    """The id and the geometry (x, y, w, h) of the shown window named so."""
    wid = subprocess.run(["timeout", str(timeout), "xdotool", "search", "--sync", "--onlyvisible",
                          "--name", name], capture_output=True, text=True).stdout.split()
    if not wid:
        raise RuntimeError("no window " + name)
    wid = wid[0]
    out = subprocess.run(["xdotool", "getwindowgeometry", "--shell", wid],
                         capture_output=True, text=True).stdout
    g = dict(line.split("=") for line in out.split())
    return wid, (int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"]))


def settle(band, quiet=0.5, timeout=60):
    """Waits until the band has not changed for `quiet` seconds."""
    last, since, end = band.read(), time.perf_counter(), time.perf_counter() + timeout
    while time.perf_counter() < end:
        time.sleep(0.02)
        now = band.read()
        if now != last:
            last, since = now, time.perf_counter()
        elif time.perf_counter() - since >= quiet:
            return last
    raise RuntimeError("the screen never settles")


def lowest_ink_row(band, pixels, columns):
    """The lowest row of the band with a pixel unlike the one at its right
    bottom corner of the text area (the background), within the columns."""
    background = band.pixel(pixels, columns - 1, band.h - 2)
    for y in range(band.h - 1, -1, -1):
        for x in range(columns):
            if band.pixel(pixels, x, y) != background:
                return y
    raise RuntimeError("nothing painted")


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def write_cfg():
    """A configuration of the console with the fixed-width font, the window
    at (200, 200), wide enough for 80 columns."""
    d = os.path.join(os.environ["XDG_CONFIG_HOME"], "qel", "Qel-Console")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "console-cfg.qel"), "w") as f:
        f.write('Qel [\n\tPurpose: "Qel Console Configuration File"\n]\n\n'
                'win-pos: (200, 200) win-size: 760x500 font-name: "%s" font-size: %d\n' % (FONT, SIZE))


XTERM = ["xterm", "-fa", FONT, "-fs", str(SIZE), "-geometry", "90x28+200+200"]


# ---- typing-to-paint latency ------------------------------------------------------------------
def latency(proc, name):
    wid, (x, y, w, h) = window(name)
    subprocess.run(["xdotool", "windowfocus", "--sync", wid], capture_output=True)
    whole = Band(x, y, w, h)
    pixels = settle(whole, quiet=1.0)
    row = lowest_ink_row(whole, pixels, w - 30)
    band = Band(x, y + max(0, row - 20), w - 30, min(24, h - max(0, row - 20)))
    times = []
    for _ in range(5):
        for k in ["x"] * 20 + ["BackSpace"] * 20:
            before = band.read()
            t0 = time.perf_counter()
            key(k)
            while True:
                if band.read() != before:
                    times.append((time.perf_counter() - t0) * 1000)
                    break
                if time.perf_counter() - t0 > 2:
                    raise RuntimeError("a key never painted")
            time.sleep(0.03)
    proc.terminate()
    proc.wait()
    return times


def measure_latency():
    prep = os.path.join(WORK, "prep.qel")
    with open(prep, "w") as f:
        # The caret does not blink: only the keys change the input row.
        f.write("Qel []\ngui-console-ctx/caret-rate: none\ngui-console-ctx/caret/rate: none\n"
                "repeat i 10000 [print i]\n")
    console = latency(subprocess.Popen([QEL, "--catch", prep], cwd=WORK, stdin=subprocess.DEVNULL),
                      "^Qel Console$")
    xterm = latency(subprocess.Popen(XTERM + ["-T", "bench-xterm", "-e", "sh", "-c", "seq 10000; exec cat"]),
                    "^bench-xterm$")
    return console, xterm


# ---- output throughput ------------------------------------------------------------------------
def measure_throughput(runs=3):
    script = os.path.join(WORK, "lines.qel")
    with open(script, "w") as f:
        f.write('Qel []\nline: copy/part "0123456789 The quick brown fox jumps over the lazy dog; '
                'pack my box with five dozen" 80\nloop 100000 [print line]\nquit\n')
    console, xterm = [], []
    for _ in range(runs):
        t0 = time.perf_counter()
        # --catch: the script runs in the console window (a script alone
        # started with its output to a terminal, a pipe or a file runs as a
        # command-line program); its `quit` closes the window.
        subprocess.run([QEL, "--catch", script], cwd=WORK, check=True, stdin=subprocess.DEVNULL)
        console.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        subprocess.run(XTERM + ["-e", HEADLESS, script], cwd=WORK, check=True,
                       stdin=subprocess.DEVNULL)
        xterm.append(time.perf_counter() - t0)
    return statistics.median(console), statistics.median(xterm)


# ---- start-up ---------------------------------------------------------------------------------
def first_prompt(command, name, env=None):
    """Seconds from the start to the first frame showing the prompt's first
    two characters as they finally stand (the caret after them left out)."""
    strip = Band(200, 200, 16, 600)
    blank = strip.read()
    frames = [(0.0, blank)]  # each change, with its time
    t0 = time.perf_counter()
    proc = subprocess.Popen(command, cwd=WORK, env=env, stdin=subprocess.DEVNULL)
    while True:
        now = time.perf_counter() - t0
        f = strip.read()
        if f != frames[-1][1]:
            frames.append((now, f))
        elif f != blank and now - frames[-1][0] > 1.0:
            break
        if now > 30:
            raise RuntimeError("no prompt")
    window(name)
    final = frames[-1][1]
    row = lowest_ink_row(strip, final, 16)
    top = max(0, row - 20) * strip.stride
    bottom = (row + 1) * strip.stride
    for t, f in frames:
        if f[top:bottom] == final[top:bottom]:
            break
    proc.terminate()
    proc.wait()
    time.sleep(0.3)
    return t


def measure_startup(runs=5):
    env = dict(os.environ, PS1="$ ")
    console = [first_prompt([QEL], "^Qel Console$") for _ in range(runs)]
    xterm = [first_prompt(XTERM + ["-T", "bench-xterm", "-e", "sh"], "^bench-xterm$", env) for _ in range(runs)]
    return statistics.median(console), statistics.median(xterm)


write_cfg()
c, x = measure_latency()
print("typing-to-paint latency, 200 keys with 10,000 lines in the buffer (ms):")
print("  console: median %.2f, 95th percentile %.2f" % (statistics.median(c), percentile(c, 95)))
print("  xterm:   median %.2f, 95th percentile %.2f" % (statistics.median(x), percentile(x, 95)))
print("  console / xterm median: %.2fx (target: at most 1.5x; 95th percentile under 8 ms)"
      % (statistics.median(c) / statistics.median(x)))
c, x = measure_throughput()
print("100,000 lines of 80 characters, wall time (median of 3): console %.2f s, "
      "xterm with qel-headless %.2f s: %.2fx (target: at most 1.5x)" % (c, x, c / x))
c, x = measure_startup()
print("start-up to the first painted prompt (median of 5): console %.3f s, xterm %.3f s: "
      "%.2fx (target: at most 2x)" % (c, x, c / x))
