def main():
    para = "The quick brown Fox jumps over the lazy dog and The Dog sleeps while the fox runs"
    text = "".join(para + " " for _ in range(20000))
    counts = {}
    for w in text.split(" "):
        if w:
            w = w.lower()
            counts[w] = counts.get(w, 0) + 1
    print(counts["the"])

main()
