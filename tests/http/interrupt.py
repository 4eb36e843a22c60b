#!/usr/bin/env python3
"""An interrupt (Ctrl+C) ends an HTTP transfer in progress.

interrupt.py QEL PORT-FILE: the prompt loop reads a URL of a server that never
answers; SIGINT while it waits must halt the command at once (the loop says
"(halted)") and the loop goes on with the next line.
"""
import signal
import subprocess
import sys
import time

qel, port_file = sys.argv[1], sys.argv[2]
port = open(port_file).read().strip()
p = subprocess.Popen([qel], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                     stderr=subprocess.STDOUT)
p.stdin.write(b'read http://127.0.0.1:%s/hang\n' % port.encode())
p.stdin.flush()
time.sleep(1.5)
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
