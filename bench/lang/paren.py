def main():
    t = 0
    for i in range(1, 1000001):
        t = ((i * 2) + (i - 1)) - ((i + 1) - (3))
    print(t)

main()
