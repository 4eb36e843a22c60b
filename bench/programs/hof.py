# Higher-order functions over a block of a million items: map, filter and
# fold (reduce) with small functions given as values, as a program that
# transforms data in stages does. Checks the results.
import sys
from functools import reduce


def main():
    xs = list(range(1, 1000001))
    ys = list(map(lambda x: x * 7 % 1000, xs))
    zs = list(filter(lambda y: y % 2 == 0, ys))
    total = reduce(lambda a, b: a + b, zs, 0)
    big = reduce(lambda a, b: b if b > a else a, ys, 0)
    words = list(map(str, zs[:100000]))
    length = reduce(lambda a, w: a + len(w), words, 0)
    result = "items %d kept %d total %d biggest %d length %d" % (
        len(ys), len(zs), total, big, length)
    print(result)
    if result != EXPECTED:
        print("wrong answer")
        sys.exit(1)


EXPECTED = "items 1000000 kept 500000 total 249500000 biggest 999 length 289000"
main()
