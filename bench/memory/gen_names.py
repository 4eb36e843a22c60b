# Writes N JSON documents of K members each, every member name fresh.
import json, sys
out, docs, names = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
for d in range(docs):
    with open(f"{out}/doc{d}.json", "w") as f:
        json.dump({f"k{d}_{i}": i for i in range(names)}, f)
