# Writes a generated JSON document and CSV table, or checks that what Qel
# wrote back decodes to the same values.
import csv, json, random, sys

def document():
    rnd = random.Random(7)
    def text():
        pool = 'ab "\\/\n\t\r\b\f\x01\x1f' + 'é€😀\u2028' + 'xyz,;:'
        return ''.join(rnd.choice(pool) for _ in range(rnd.randint(0, 12)))
    def value(depth):
        k = rnd.randint(0, 7 if depth < 5 else 4)
        if k == 0: return None
        if k == 1: return rnd.choice([True, False])
        if k == 2: return rnd.randint(-2**31, 2**31 - 1)
        if k == 3: return rnd.choice([0.5, -1.25e-7, 3.0e100, 123456.75])
        if k == 4: return text()
        if k == 5: return [value(depth + 1) for _ in range(rnd.randint(0, 5))]
        return {text() + str(i): value(depth + 1) for i in range(rnd.randint(0, 5))}
    return {"items": [value(0) for _ in range(60)], "Key": 1, "key": 2}

def table():
    rnd = random.Random(11)
    pool = 'ab ,"\n\r;x\u00e9'
    return [[''.join(rnd.choice(pool) for _ in range(rnd.randint(0, 8))) for _ in range(4)]
            for _ in range(80)]

mode, d = sys.argv[1], sys.argv[2]
if mode == 'write':
    with open(d + '/in.json', 'w', encoding='utf-8') as f:
        json.dump(document(), f, ensure_ascii=False)
    with open(d + '/in.csv', 'w', encoding='utf-8', newline='') as f:
        csv.writer(f).writerows(table())
else:
    for name in ('out.json', 'out-ascii.json'):
        with open(d + '/' + name, encoding='utf-8') as f:
            got = json.load(f)
        if got != document():
            sys.exit(name + ': values differ')
    with open(d + '/out.csv', encoding='utf-8', newline='') as f:
        got = list(csv.reader(f))
    if got != table():
        sys.exit('out.csv: rows differ')
    # The benchmark's files, value by value: floats are written as their
    # formed text, which keeps fifteen significant digits.
    def same(a, b):
        if isinstance(a, float) and isinstance(b, (float, int)):
            return a == b or abs(a - b) <= 1e-14 * max(abs(a), abs(b))
        if isinstance(a, list) and isinstance(b, list):
            return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
        if isinstance(a, dict) and isinstance(b, dict):
            return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
        return a == b
    with open(d + '/bench.json', encoding='utf-8') as f:
        want = json.load(f)
    with open(d + '/out-bench.json', encoding='utf-8') as f:
        if not same(want, json.load(f)):
            sys.exit('out-bench.json: values differ')
    with open(d + '/bench.csv', encoding='utf-8', newline='') as f:
        want = list(csv.reader(f))
    with open(d + '/out-bench.csv', encoding='utf-8', newline='') as f:
        if list(csv.reader(f)) != want:
            sys.exit('out-bench.csv: rows differ')
