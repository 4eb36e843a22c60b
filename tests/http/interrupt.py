#!/usr/bin/env python3
"""An interrupt (Ctrl+C) ends an HTTP transfer in progress.

interrupt.py QEL PORT-FILE: the prompt loop reads a URL of a server that never
answers; SIGINT while it waits must halt the command at once (the loop says
"(halted)") and the loop goes on with the next line.
"""
import os
import signal
import subprocess
import sys
import time
import urllib.request

qel, port_file = sys.argv[1], sys.argv[2]
port = open(port_file).read().strip()
# (SIGINT as a foreground command has it: qel keeps it ignored when started
# with it ignored)
p = subprocess.Popen([qel], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                     stderr=subprocess.STDOUT,
                     preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
name = "interrupt-%d" % os.getpid()
p.stdin.write(b'read http://127.0.0.1:%s/hang/%s\n' % (port.encode(), name.encode()))
p.stdin.flush()
# The signal goes once the server holds the request. Start-up may be slow:
# under the collector stress with the sanitizers it takes minutes on a busy
# machine.
seen = "http://127.0.0.1:%s/seen/%s" % (port, name)
direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
stressed = os.environ.get("QEL_GC_STRESS", "0") not in ("", "0")
deadline = time.time() + (900 if stressed else 100)
while direct.open(seen).read() == b"0":
    if time.time() > deadline:
        p.kill()
        sys.exit("the request never reached the server")
    time.sleep(0.1)
time.sleep(0.2)
p.send_signal(signal.SIGINT)
p.stdin.write(b'print "after"\n')
p.stdin.close()
try:
    out = p.stdout.read().decode("utf-8", "replace")
    p.wait(timeout=60)
except subprocess.TimeoutExpired:
    p.kill()
    sys.exit("qel did not end")
lines = [l for l in out.splitlines() if l.startswith(">>") or l == "after"]
expected = [">> (halted)", ">> after", ">> "]
if lines != expected:
    sys.exit("expected %r, got:\n%s" % (expected, out))
