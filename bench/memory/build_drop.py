# Builds 300,000 small blocks (each an integer, a string and an empty block),
# drops them and collects: the time and the resident set at the start, at the
# peak and after.
import gc, os, sys, time
def rss():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
def main(items):
    start = rss()
    t = time.perf_counter()
    data = []
    for i in range(1, items + 1):
        data.append([i, str(i), []])
    peak = rss()
    data = None
    gc.collect()
    print(time.perf_counter() - t, start, peak, rss())
main(int(os.environ.get("QEL_BENCH_ITEMS", "300000")))
