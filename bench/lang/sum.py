# The total is a float from the start, as in sum.qel and sum.lua (Qel's
# 32-bit integers would turn into a float past 2147483647 anyway): every
# language adds an integer to a float ten million times.
def main():
    total = 0.0
    for i in range(1, 10000001):
        total += i
    print("%.0f" % total)

main()
