def g(x):
    return x + 1

def main():
    t = 0
    for _ in range(5000000):
        t = g(t)
    print(t)

main()
