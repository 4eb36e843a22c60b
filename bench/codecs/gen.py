# Writes a JSON document and a CSV table of about 20 MB each into a directory
# (or of the size given in bytes: gen.py DIR [SIZE]), and a CSV table of
# records with a header line, 200,000 rows for 20 MB.
import csv, json, random, sys

d = sys.argv[1]
target = int(sys.argv[2]) if len(sys.argv) > 2 else 20_000_000
rnd = random.Random(3)
words = ['alpha', 'beta', 'gamma', 'delta "q"', 'caf\u00e9', 'line\nbreak', 'x,y', '']
def record(i):
    return {"id": i, "name": rnd.choice(words) + str(i), "score": rnd.random() * 1000,
            "tags": [rnd.choice(words) for _ in range(3)], "ok": i % 3 == 0, "none": None,
            "nested": {"a": i * 7, "b": [1, 2.5, "three"]}}
doc, size, i = [], 0, 0
while size < target:
    r = record(i); doc.append(r); size += len(json.dumps(r)); i += 1
with open(d + '/bench.json', 'w', encoding='utf-8') as f:
    json.dump(doc, f, ensure_ascii=False)
with open(d + '/bench.csv', 'w', encoding='utf-8', newline='') as f:
    w = csv.writer(f, lineterminator='\n')
    size, i = 0, 0
    while size < target:
        row = [str(i), rnd.choice(words), '%.6f' % (rnd.random() * 1000), rnd.choice(words), 'plain text here']
        w.writerow(row); size += sum(len(c) for c in row) + 5; i += 1
with open(d + '/records.csv', 'w', encoding='utf-8', newline='') as f:
    w = csv.writer(f, lineterminator='\n')
    w.writerow(['id', 'name', 'score', 'city', 'flag'])
    for i in range(max(1, target // 100)):
        w.writerow([str(i), rnd.choice(words[:3]), '%.3f' % (rnd.random() * 100),
                    rnd.choice(['Oslo', 'Rome', 'Lima']), rnd.choice(['yes', 'no'])])
