def f(a, b, c):
    return a + b + c

def main():
    total = 0
    for _ in range(1000000):
        total = f(total, 1, 2)
    print(total)

main()
