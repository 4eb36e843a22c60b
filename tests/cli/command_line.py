#!/usr/bin/env python3
"""qel started from a shell: a command-line program, and the text console.

command_line.py QEL QEL-HEADLESS

A table of scripts (one that prints, `quit 3`, an error, SIGINT, SIGTERM) run
in each way a shell starts them: on a pseudo-terminal, on one with standard
output to a pipe or to a file, and with no terminal at all (output to a
pipe). Each row checks where the output lands and the exit status; with a
display (DISPLAY set, under tests/gui_xvfb.sh) no console window may take
the output. Then the options (-h, an unknown one), lines given on standard
input (`input` among them), a preprocessor that stops the script, a header
that does not load, failures reported without stopping the script (a
reaction; with a display, an actor's error after a click: each report on
standard error), and the text console on a pseudo-terminal: Up recalls,
Tab completes, Ctrl+C drops the line, and the history survives a restart
(in the configuration file under a temporary XDG_CONFIG_HOME).

Every wait is for a condition (a text seen, a file written, the process
ended); the limits only stop a test that hangs.
"""
import fcntl
import os
import pty
import re
import resource
import select
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import time

qel, headless = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
display = bool(os.environ.get("DISPLAY"))
LIMIT = 120
work = tempfile.mkdtemp()
# These check processes, their streams and statuses: the collector stress
# (which makes each start-up take minutes under the sanitizers) stays off.
env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"))
env.pop("QEL_GC_STRESS", None)
failures = []


def verdict(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + detail))
    if not ok:
        failures.append(name)


def write(name, text):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def own_session():
    # A session of its own, with SIGINT as a foreground command has it (were
    # this test started with it ignored, qel would keep it ignored).
    os.setsid()
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def own_terminal():
    # A session of its own, whose controlling terminal is the pseudo-terminal
    # on standard input: Ctrl+C typed there sends it SIGINT.
    own_session()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


def read_until(stream, text=None):
    """Reads a pipe until the text has come (or it ends); answers what came."""
    seen = b""
    deadline = time.time() + LIMIT
    while (text is None or text not in seen) and time.time() < deadline:
        r, _, _ = select.select([stream], [], [], 0.2)
        if r:
            chunk = os.read(stream.fileno(), 4096)
            if not chunk:
                break
            seen += chunk
    return seen


class Pty:
    """A process on a pseudo-terminal: what it writes there is collected."""

    def __init__(self, argv, stdout=None, extra_env=None, preexec=None):
        self.master, slave = pty.openpty()
        self.text = b""

        def start():
            own_terminal()
            if preexec:
                preexec()
        self.proc = subprocess.Popen(
            argv, stdin=slave, stdout=stdout if stdout is not None else slave,
            stderr=slave, cwd=work, env=dict(env, **(extra_env or {})),
            preexec_fn=start)
        os.close(slave)

    def read(self, timeout):
        r, _, _ = select.select([self.master], [], [], timeout)
        if r:
            try:
                data = os.read(self.master, 4096)
            except OSError:
                data = b""
            self.text += data
            return bool(data)
        return True

    def wait_for(self, what, count=1):
        deadline = time.time() + LIMIT
        while self.text.count(what) < count:
            if time.time() > deadline or not self.read(0.2):
                if self.text.count(what) >= count:
                    break
                return False
        return True

    def send(self, data):
        # Keys go to the line editor only once it has the terminal: its prompt
        # may show a moment before it leaves the terminal's line mode, and an
        # end of input typed in line mode reaches it as a NUL byte.
        deadline = time.time() + LIMIT
        while termios.tcgetattr(self.master)[3] & termios.ICANON and time.time() < deadline:
            self.read(0.01)
        os.write(self.master, data)

    def finish(self):
        deadline = time.time() + LIMIT
        while self.proc.poll() is None and time.time() < deadline:
            self.read(0.1)
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
            return None
        while self.read(0) and select.select([self.master], [], [], 0)[0]:
            pass
        os.close(self.master)
        return self.proc.returncode


def write_bytes(path, data):
    with open(path, "wb") as f:
        f.write(data)


def wait_file(path, text):
    deadline = time.time() + LIMIT
    while time.time() < deadline:
        if os.path.exists(path) and text in open(path, "rb").read():
            return True
        time.sleep(0.05)
    return False


# ---- scripts started from a shell ------------------------------------------------------
scripts = {
    "prints": ('Qel []\nprint "out-line"\n', 0, None),
    "quit 3": ('Qel []\nprint "out-line"\nquit/return 3\n', 3, None),
    "an error": ('Qel []\nprint "out-line"\n1 / 0\nprint "after"\n', 254, "SIGNAL-NONE"),
    "SIGINT": ('Qel []\nprint "out-line"\nforever [wait 0.05]\n', 130, signal.SIGINT),
    "SIGTERM": ('Qel []\nprint "out-line"\nforever [wait 0.05]\n', 143, signal.SIGTERM),
}
if display:
    # A window open when the error comes: from a shell, the report and 254,
    # no error box that waits.
    scripts["an error with a window open"] = (
        'Qel []\nview/no-wait [button "x"]\nprint "out-line"\n1 / 0\n', 254, "SIGNAL-NONE")


def run_way(way, name, source, want, sig):
    script = write("s.qel", source)
    out_file = os.path.join(work, "out.txt")
    if os.path.exists(out_file):
        os.remove(out_file)
    argv = [qel, script]
    err_text = out_text = b""
    started = time.time()
    if way == "no terminal":
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, cwd=work, env=env, preexec_fn=own_session)
        seen = b""
        if sig not in (None, "SIGNAL-NONE"):
            seen = read_until(p.stdout, b"out-line")
            p.send_signal(sig)
        try:
            out, err = p.communicate(timeout=LIMIT)
        except subprocess.TimeoutExpired:
            p.kill()
            out, err = p.communicate()
        rc, out_text, err_text = p.returncode, seen + out, err
    else:
        stdout = None
        if way == "a terminal, output to a pipe":
            stdout = subprocess.PIPE
        elif way == "a terminal, output to a file":
            stdout = open(out_file, "wb")
        t = Pty(argv, stdout=stdout)
        if stdout is not None and stdout is not subprocess.PIPE:
            stdout.close()
        if sig not in (None, "SIGNAL-NONE"):
            if way == "a terminal":
                t.wait_for(b"out-line")
            elif stdout is subprocess.PIPE:
                out_text = read_until(t.proc.stdout, b"out-line")
            else:
                wait_file(out_file, b"out-line")
            t.proc.send_signal(sig)
        if stdout is subprocess.PIPE:
            out_text += read_until(t.proc.stdout)
        rc = t.finish()
        err_text = t.text
        if way == "a terminal":
            out_text = t.text
        elif way == "a terminal, output to a file":
            out_text = open(out_file, "rb").read()
    ok = rc == want and b"out-line" in out_text
    if sig == "SIGNAL-NONE":
        ok = ok and b"Math Error: attempt to divide by zero" in err_text \
            and not re.search(rb"^after\r?$", out_text, re.M)
    verdict("%s, %s%s: status %s" % (way, name, " (display)" if display else "", want), ok,
            "status %s after %.1f s, output %r, errors %r"
            % (rc, time.time() - started, out_text[-300:], err_text[-300:]))


for way in ["a terminal", "a terminal, output to a pipe", "a terminal, output to a file", "no terminal"]:
    for name, (source, want, sig) in scripts.items():
        run_way(way, name, source, want, sig)

# ---- options --------------------------------------------------------------------------
for argv, want, stream, text in [
    ([qel, "-h"], 0, "out", b"Usage: qel [--catch] [SCRIPT [ARGUMENT...]]"),
    ([qel, "--help", "x.qel"], 0, "out", b"XDG_CONFIG_HOME"),
    ([headless, "--help"], 0, "out", b"Usage: qel-headless"),
    ([qel, "-x", "s.qel"], 2, "err", b"qel: unknown option: -x"),
    ([qel, "--catch", "--verbose", "s.qel"], 2, "err", b"qel: unknown option: --verbose"),
]:
    p = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, cwd=work, env=env,
                       timeout=LIMIT)
    got = p.stdout if stream == "out" else p.stderr
    verdict("%s: status %d" % (" ".join(os.path.basename(a) for a in argv), want),
            p.returncode == want and text in got, "status %d, %r %r" % (p.returncode, p.stdout, p.stderr))

# ---- lines on standard input, preprocessor, header -------------------------------------
p = subprocess.run([qel], input=b'x: input\nhello\nprint ["got" x]\n', capture_output=True,
                   cwd=work, env=env, timeout=LIMIT)
verdict("lines on standard input: the text console, input reads a line, no note",
        p.returncode == 0 and b"got hello" in p.stdout and p.stderr == b"",
        "status %d, %r %r" % (p.returncode, p.stdout, p.stderr))
# A script's input and ask from a pipe: plain lines; at the end of the input
# none, and nothing written for it (ask ends its prompt's line).
cat = write("cat.qel", 'Qel []\nwhile [line: input] [print line]\nprint mold ask "? "\n')
for given, want in [(b"a\nb\n", b"a\nb\n? \nnone\n"), (b"", b"? \nnone\n")]:
    p = subprocess.run([qel, cat], input=given, capture_output=True, cwd=work, env=env, timeout=LIMIT)
    verdict("a script's input from a pipe: %r gives %r" % (given, want),
            p.returncode == 0 and p.stdout == want and p.stderr == b"",
            "status %d, %r %r" % (p.returncode, p.stdout, p.stderr))

# A signal ignored when the script starts (as shells start background jobs)
# stays ignored: the script reads the line sent after the signal and ends
# with its own status; else the signal ends it.
wait_line = write("wait.qel", 'Qel []\nprint "ready"\nprint ["read" input]\nquit/return 7\n')
for sig, ignored, want in [(signal.SIGINT, True, 7), (signal.SIGTERM, True, 7), (signal.SIGINT, False, 130)]:
    def ignore(sig=sig, ignored=ignored):
        own_session()
        if ignored:
            signal.signal(sig, signal.SIG_IGN)
    p = subprocess.Popen([qel, wait_line], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, cwd=work, env=env, preexec_fn=ignore)
    seen = read_until(p.stdout, b"ready\n")
    p.send_signal(sig)
    try:
        out, err = p.communicate(b"go\n", timeout=LIMIT)
    except (subprocess.TimeoutExpired, BrokenPipeError):
        p.kill()
        out, err = p.communicate()
    verdict("%s %s at start: status %d" % (signal.Signals(sig).name, "ignored" if ignored else "handled", want),
            p.returncode == want and (want != 7 or seen + out == b"ready\nread go\n"),
            "status %s, %r %r" % (p.returncode, seen + out, err))

# Each report on standard error, nothing on standard output.
for name, source, want_err in [
    ("a failing #do stops the script", 'Qel []\n#do [1 / 0]\nprint "ran"\n',
     b"*** Preprocessor Error in #do\n*** Math Error: attempt to divide by zero\n*** Where: #do\n"),
    ("an invalid #macro stops the script", 'Qel []\n#macro [a] func [x][x]\nprint "ran"\n',
     b"*** Macro Error: invalid specification\n*** Where: [[a] func [x]]\n"),
    ("a macro that fails stops the script", 'Qel []\n#macro m: func [][1 / 0]\nprint m\n', b"divide by zero"),
    ("a header that does not load", 'Qel [\nprint "ran"\n', b"*** Error: not a Qel program!"),
]:
    script = write("s.qel", source)
    p = subprocess.run([qel, script], stdin=subprocess.DEVNULL, capture_output=True, cwd=work,
                       env=env, timeout=LIMIT)
    verdict(name + ": status 254, the report on standard error",
            p.returncode == 254 and p.stdout == b"" and want_err in p.stderr,
            "status %d, %r %r" % (p.returncode, p.stdout, p.stderr))

# A failure the library reports without stopping the script (a reaction that
# fails): on standard error, and the script goes on.
script = write("s.qel", 'Qel []\no: make reactor! [x: 1]\nreact [print 10 / o/x]\no/x: 0\nprint "after"\n')
p = subprocess.run([qel, script], stdin=subprocess.DEVNULL, capture_output=True, cwd=work, env=env,
                   timeout=LIMIT)
verdict("a reaction that fails: reported on standard error, the script goes on",
        p.returncode == 0 and p.stdout == b"10\nafter\n" and b"attempt to divide by zero" in p.stderr,
        "status %d, %r %r" % (p.returncode, p.stdout, p.stderr))
if display:
    # An error in a button's actor, the button clicked (an X event): the same.
    script = write("s.qel", 'Qel []\nview [title "actor-report" size 200x200 at 0x0 button "x" 200x200 '
                   '[unview 1 / 0]]\nprint "after"\n')
    p = subprocess.Popen([qel, script], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, cwd=work, env=env)
    wid = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^actor-report$"],
                         capture_output=True, timeout=LIMIT).stdout.split()[:1]
    if wid:
        subprocess.run(["xdotool", "mousemove", "--window", wid[0], "100", "100", "click", "1"], timeout=LIMIT)
    try:
        out, err = p.communicate(timeout=LIMIT)
    except subprocess.TimeoutExpired:
        p.kill()
        out, err = p.communicate()
    verdict("an error in an actor (a click): reported on standard error, the script goes on",
            p.returncode == 0 and out == b"after\n" and b"attempt to divide by zero" in err,
            "window %r, status %s, %r %r" % (wid, p.returncode, out, err))

# ---- standard streams closed or full --------------------------------------------------
# A descriptor closed at start is taken by /dev/null before anything of the
# program's own opens (a file, a pipe of call, the display's connection,
# which print would write into): the script sees /dev/null there, a line
# read is none, and output written nowhere ends it normally. (Standard
# error is a terminal, as in a shell: a script run from it is a
# command-line program whatever its output.) Output that cannot be written
# is said on standard error and the status is not 0.
def run_errors_on_terminal(argv, stdin, stdout):
    """Runs the command with standard error on a pseudo-terminal (as from a
    shell); answers its status and what it wrote there."""
    master, slave = pty.openpty()
    p = subprocess.Popen(argv, stdin=stdin, stdout=stdout, stderr=slave, cwd=work, env=env)
    os.close(slave)
    if p.stdin:
        p.stdin.close()  # (an empty input)
    text = b""
    deadline = time.time() + LIMIT
    while time.time() < deadline:
        if select.select([master], [], [], 0.2)[0]:
            try:
                chunk = os.read(master, 4096)
            except OSError:
                chunk = b""
            if not chunk:
                break
            text += chunk
        elif p.poll() is not None:
            break
    if p.poll() is None:
        p.kill()
    p.wait()
    os.close(master)
    return p.returncode, text


fds = write("fds.txt", "")
window = 'view/no-wait [button "x"]\n' if display else ""
source = ('Qel []\n' + window + 'out: copy ""\n'
          'call/wait/output/shell {readlink /proc/$PPID/fd/0 /proc/$PPID/fd/1} out\n'
          'write %fds.txt rejoin [out mold input]\n'
          'loop 2000 [print "a line of output"]\n')
script = write("s.qel", source)
for name, redirect in [("standard input closed", "<&-"), ("standard output closed", ">&-"),
                       ("both closed", "<&- >&-")]:
    with open(fds, "w"), open(os.path.join(work, "out.txt"), "wb") as out:
        rc, err = run_errors_on_terminal(["sh", "-c", 'exec "$0" "$1" ' + redirect, qel, script],
                                         subprocess.PIPE, out)
    text = open(fds).read()
    verdict("%s: /dev/null takes it, status 0" % name,
            rc == 0 and text.endswith("none") and text.count("/dev/null") == redirect.count("&-"),
            "status %s, fds %r, %r" % (rc, text, err[-300:]))
for name, source, want in [
    ("printing", 'Qel []\nprint "out-line"\n', 1),
    ("quit/return 3", 'Qel []\nprint "out-line"\nquit/return 3\n', 3),
    ("write-stdout", 'Qel []\nwrite-stdout "out-line"\n', 1),
]:
    script = write("s.qel", source)
    with open("/dev/full", "wb") as full:
        rc, err = run_errors_on_terminal([qel, script], subprocess.DEVNULL, full)
    verdict("output to /dev/full, %s: said once, status %d" % (name, want),
            rc == want and err.count(b"write error on standard output: No space left on device") == 1,
            "status %s, %r" % (rc, err))

# ---- names on the command line -------------------------------------------------------
# A script path or an argument that is not UTF-8 (a legal file name) reaches
# the script decoded as a directory's listing decodes it, and names the same
# file again.
wdir = work.encode()
bad_name = wdir + b"/x\xff.qel"
with open(bad_name, "wb") as f:
    f.write(b'Qel []\nprint mold system/options/args\n'
            b'print length? read to-qel-file first system/options/args\n'
            b'print length? read system/options/script\n')
p = subprocess.run([qel.encode(), bad_name, bad_name, b"a\xffb"], stdin=subprocess.DEVNULL,
                   capture_output=True, cwd=work, env=env, timeout=LIMIT)
verdict("a script path and arguments that are not UTF-8: the script runs",
        p.returncode == 0 and b'x^(DCFF).qel" "a^(DCFF)b"]' in p.stdout
        and p.stdout.endswith(b"\n%d\n%d\n" % (os.path.getsize(bad_name), os.path.getsize(bad_name))),
        "status %d, %r %r" % (p.returncode, p.stdout, p.stderr))
# A script or an #include that is not a regular file is refused at once,
# saying what it is (a device was read to the memory's limit, a FIFO with no
# writer waited for ever).
fifo = os.path.join(work, "fifo.qel")
os.mkfifo(fifo)
include = write("include.qel", 'Qel []\n#include %/dev/zero\nprint "ran"\n')
for target, what in [("/dev/zero", b"/dev/zero is a character device, not a script"),
                     (fifo, b"fifo.qel is a FIFO, not a script"),
                     (work, b" is a directory, not a script"),
                     (include, b"/dev/zero is a character device, not a file to include")]:
    p = subprocess.run([qel, target], stdin=subprocess.DEVNULL, capture_output=True, cwd=work,
                       env=env, timeout=LIMIT)
    verdict("a script or include that is not a regular file (%s): refused, status 254"
            % os.path.basename(target), p.returncode == 254 and what in p.stderr
            and b"ran" not in p.stdout, "status %d, %r %r" % (p.returncode, p.stdout, p.stderr))
os.remove(fifo)

# ---- the text console on a terminal ------------------------------------------------------
cfg = os.path.join(env["XDG_CONFIG_HOME"], "qel", "Qel-Console", "console-cfg.qel")
no_display = {"DISPLAY": "", "WAYLAND_DISPLAY": ""}
UP = b"\x1b[A"

# Each line is typed once its prompt shows after the answer before it, and
# the line editor has the terminal (see Pty.send). Up redraws the prompt too,
# so prompts are not counted: the answer and the prompt after it are waited
# for.
t = Pty([qel], extra_env=no_display)
steps = t.wait_for(b">> ")
t.send(b"1 + 41\r")
steps = steps and t.wait_for(b"== 42\r\n>> ")
t.send(UP + b"\r")
recalled = steps and t.wait_for(b"== 42\r\n>> ", 2)
t.send(b'to-qel-fil\t "a"\r')
completed = recalled and t.wait_for(b"== %a\r\n>> ")
t.send(b"abc")
t.wait_for(b"abc")
t.send(b"\x03")
dropped = completed and t.wait_for(b"abc\r\n>> ")
t.send(b"2 + 2\r")
dropped = dropped and t.wait_for(b"== 4\r\n>> ") and b"abc2" not in t.text
t.send(b"\x04")
rc = t.finish()
verdict("the note says no display, on a terminal only", b"qel: no display; running the text console" in t.text)
verdict("text console: Up recalls the last line", recalled, repr(t.text[-400:]))
verdict("text console: Tab completes a word", completed, repr(t.text[-400:]))
verdict("text console: Ctrl+C drops the line typed", dropped, repr(t.text[-400:]))
verdict("text console: the end of input ends it with 0 and saves the history",
        rc == 0 and os.path.exists(cfg) and '"2 + 2"' in open(cfg).read(),
        "status %s, %s" % (rc, open(cfg).read() if os.path.exists(cfg) else "no file"))

# Another session: the history is there; quit saves it again, the newest first.
t = Pty([headless])
ok = t.wait_for(b">> ")
t.send(UP + UP + b"\r")
ok = ok and t.wait_for(b"== %a\r\n>> ")
t.send(b"quit\r")
rc = t.finish()
text = open(cfg).read() if os.path.exists(cfg) else ""
verdict("text console: the history survives a restart", ok and rc == 0, repr(t.text[-400:]))
verdict("text console: quit saves the history, newest first",
        'history: ["quit" {to-qel-file "a"} "2 + 2" {to-qel-file "a"} "1 + 41"]' in text, text)

# A longer history keeps its 100 newest lines, and the file's other settings.
write_cfg = 'Qel [Purpose: "x"]\nfont-size: 14 history: [%s]\n' % " ".join('"%d"' % i for i in range(150))
os.makedirs(os.path.dirname(cfg), exist_ok=True)
with open(cfg, "w") as f:
    f.write(write_cfg)
t = Pty([headless])
ok = t.wait_for(b">> ")
t.send(UP + b"\r")
ok = ok and t.wait_for(b"== 0\r\n>> ")
t.send(b"\x04")
rc = t.finish()
text = open(cfg).read()
verdict("text console: 100 newest lines kept, other settings left",
        ok and rc == 0 and "font-size: 14" in text
        and re.findall(r'"(\d+)"', text) == [str(i) for i in range(100)],
        "ok %s, status %s, terminal %r, file %s" % (ok, rc, t.text[-300:], text))

# ---- a script's ask and input on a terminal: the line editor ----------------------------
LEFT = b"\x1b[D"
ask_script = write("ask.qel", 'Qel []\nprint ["got" ask "name? "]\nprint ["again" input]\n'
                   'print ["last" ask "more? "]\n')
t = Pty([qel, ask_script], extra_env=no_display)
ok = t.wait_for(b"name? ")
t.send(b"abc" + LEFT + LEFT + b"X\r")
ok = ok and t.wait_for(b"got aXbc\r\n")
t.send(UP + b"\r")
ok = ok and t.wait_for(b"again aXbc\r\n") and t.wait_for(b"more? ")
# Ctrl+C while a line is typed ends the script as SIGINT does, and leaves the
# terminal as it found it (lines read, echoed).
t.send(b"xy\x03")
deadline = time.time() + LIMIT
while t.proc.poll() is None and time.time() < deadline:
    t.read(0.1)
modes = termios.tcgetattr(t.master)[3]
rc = t.finish()
verdict("a script's ask on a terminal: editing keys, Up recalls the line before",
        ok and b"\x1b[D" not in t.text.split(b"got")[-1], repr(t.text[-400:]))
verdict("Ctrl+C at a script's ask: status 130, the terminal given back",
        rc == 130 and modes & termios.ICANON and modes & termios.ECHO,
        "status %s, modes %o, %r" % (rc, modes, t.text[-300:]))

# The text console keeps the file as the console window does: what is not a
# regular file of the user's own is neither read nor written (a FIFO does
# not hold the start), a file that does not load is kept as
# console-cfg.qel.bad, each said once on standard error.
other = write("other.qel", 'Qel [] font-size: 30 history: ["other"]')
bad = cfg + ".bad"
os.makedirs(os.path.dirname(cfg), exist_ok=True)


def session(lines, extra=None):
    """A text console on a terminal: each line typed after its prompt, then the end of input."""
    t = Pty([headless], preexec=extra)
    ok = t.wait_for(b">> ")
    for i, line in enumerate(lines):
        t.send(line + b"\r")
        ok = ok and t.wait_for(b">> ", i + 2)
    t.send(b"\x04")
    return ok, t.finish(), t.text


def contents(path):
    """A regular file's bytes (not through a link), or None."""
    if not os.path.lexists(path) or not stat.S_ISREG(os.lstat(path).st_mode):
        return None
    return open(path, "rb").read()


for name, make, said, kept in [
    ("a file that does not load", lambda: write_bytes(cfg, b'Qel [] font-size: "30'),
     b"cannot be loaded: it is kept as", True),
    ("a Latin-1 byte", lambda: write_bytes(cfg, b'Qel [] font-name: "caf\xe9"'),
     b"cannot be loaded: it is kept as", True),
    ("a link to another file", lambda: os.symlink(other, cfg),
     b"is a symbolic link: it is not read and the settings are not saved", False),
    ("a FIFO", lambda: os.mkfifo(cfg),
     b"is a FIFO: it is not read and the settings are not saved", False),
]:
    for path in (cfg, bad):
        if os.path.lexists(path):
            os.remove(path)
    make()
    before = contents(cfg)
    ok, rc, text = session([b"1 + 1"])
    if kept:
        # the settings are saved in its place; the copy holds what was there
        kept_ok = contents(bad) == before and b'history: ["1 + 1"]' in (contents(cfg) or b"")
    else:
        kept_ok = not os.path.lexists(bad) and os.path.lexists(cfg) and contents(cfg) is None
    verdict("text console, %s: said once, kept" % name,
            ok and rc == 0 and text.count(b"Console configuration: ") == 1 and said in text
            and kept_ok and open(other).read().endswith('["other"]'),
            "status %s, %r, file %r, copy %r" % (rc, text[-500:], contents(cfg), contents(bad)))
for path in (cfg, bad):
    if os.path.lexists(path):
        os.remove(path)

# A save that fails (here: the file size limit, as a full disk would) leaves
# the old file whole and says why; the next session has its settings.
old_text = 'Qel []\nfont-size: 14 history: [%s]' % " ".join('"line %d"' % i for i in range(20))
write_bytes(cfg, old_text.encode())


def small_files():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (len(old_text) // 2, len(old_text) // 2))


ok, rc, text = session([b"2 + 3"], extra=small_files)
verdict("text console: a save that fails leaves the old file whole, said",
        ok and contents(cfg) == old_text.encode()
        and b"settings were not saved" in text and b"File too large" in text
        and sorted(os.listdir(os.path.dirname(cfg))) == ["console-cfg.qel"],
        "status %s, %r, file %r" % (rc, text[-500:], contents(cfg)))

# Two consoles ending at the same moment: the file keeps the lines typed in
# both, and its other settings.
a, b = Pty([headless]), Pty([headless])
ok = a.wait_for(b">> ") and b.wait_for(b">> ")
a.send(b'"typed in a"\r')
b.send(b'"typed in b"\r')
ok = ok and a.wait_for(b">> ", 2) and b.wait_for(b">> ", 2)
a.send(b"\x04")
b.send(b"\x04")
rc_a, rc_b = a.finish(), b.finish()
text = (contents(cfg) or b"").decode(errors="replace")
verdict("text console: two consoles ending together keep both histories",
        ok and rc_a == 0 and rc_b == 0 and "font-size: 14" in text
        and '"{typed in a}"' not in text and '{"typed in a"}' in text
        and '{"typed in b"}' in text and '"line 0"' in text, text)

shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failures else 0)
