# The same loop as json_names.qel, written as Python's users write it.
import json, os, sys, time
def main(d, docs):
    last = None
    for i in range(docs):
        with open(f"{d}/doc{i}.json") as f:
            last = json.loads(f.read())
    return last
t = time.perf_counter()
last = main(sys.argv[1], int(sys.argv[2]))
print('%.3f %d' % (time.perf_counter() - t, len(last)))
