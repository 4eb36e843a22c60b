def main():
    m = {}
    for i in range(1, 1000001):
        m[i] = i
    hits = 0
    for i in range(1, 1000001):
        if m.get(i * 2) is not None:
            hits += 1
    print(hits)

main()
