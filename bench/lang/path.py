def main():
    b = [10, 20, 30]
    t = 0
    for _ in range(1000000):
        t = t + b[1]
    print(t)

main()
