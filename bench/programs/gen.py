# Writes the inputs of the benchmark programs into a directory (gen.py DIR):
#   log.csv   a web server's log of about 20 MB, one request a line:
#             time,user,method,path,status,bytes (text.*)
#   doc.json  a JSON document of nested records, about 6 MB (json.qel, json.py)
#   doc.lua   the same document as a Lua table constructor (json.lua: Lua has
#             no JSON decoder of its own; a Lua program reads its data so)
# The inputs are the same at every run: a small linear congruential generator
# picks every value. Only ASCII text, and floats that are multiples of 1/4, so
# that lengths and sums come out alike in every language whatever the order of
# the walk.
import json
import sys

d = sys.argv[1]
seed = 12345


def rand(n):
    """A number in [0, n)."""
    global seed
    seed = (seed * 1103515245 + 12345) % 2147483648
    return (seed >> 8) % n


def skewed(n):
    """A number in [0, n), small ones far more often (a few hot entries)."""
    return min(rand(n), rand(n), rand(n))


sections = ["api", "static", "blog", "shop", "user", "search", "docs", "img"]
paths = ["/%s/%s/%d" % (sections[i % 8], ["items", "view", "list", "edit", "page"][i % 5], i)
         for i in range(3000)]
methods = ["GET", "GET", "GET", "POST", "PUT", "DELETE"]
statuses = ["200", "200", "200", "200", "304", "404", "500"]

with open(d + "/log.csv", "w", newline="\n") as f:
    size = 0
    i = 0
    while size < 20_000_000:
        line = "2024-%02d-%02dT%02d:%02d:%02d,user%04d,%s,%s,%s,%d\n" % (
            1 + rand(12), 1 + rand(28), rand(24), rand(60), rand(60), skewed(2000),
            methods[rand(6)], paths[skewed(3000)], statuses[rand(7)], rand(100000))
        f.write(line)
        size += len(line)
        i += 1

words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "iota", "kappa"]


def text():
    return " ".join(words[rand(10)] for _ in range(1 + rand(4)))


def amount():
    return rand(400000) / 4 - 50000


def record(i):
    return {
        "id": i,
        "name": text(),
        "active": rand(2) == 0,
        "score": amount(),
        "tags": [words[rand(10)] for _ in range(rand(5) + 1)],
        "address": {"city": text(), "zip": "%05d" % rand(100000),
                    "geo": {"lat": amount(), "lon": amount()}},
        "history": [{"at": rand(1000), "kind": words[rand(10)], "amount": amount(),
                     "note": None if rand(3) else text()} for _ in range(rand(6) + 1)],
        "parent": None,
    }


doc = {"version": 3, "records": [record(i) for i in range(12000)]}
with open(d + "/doc.json", "w") as f:
    json.dump(doc, f, indent=1)


def lua(v, out):
    if isinstance(v, dict):
        out.append("{")
        for k, x in v.items():
            out.append("[%s]=" % json.dumps(k))
            lua(x, out)
            out.append(",")
        out.append("}")
    elif isinstance(v, list):
        out.append("{")
        for x in v:
            lua(x, out)
            out.append(",")
        out.append("}")
    elif v is None:
        out.append("null")
    elif v is True:
        out.append("true")
    elif v is False:
        out.append("false")
    elif isinstance(v, str):
        out.append(json.dumps(v))
    else:
        out.append(repr(v))


out = ["local null = ...\nreturn "]
lua(doc, out)
with open(d + "/doc.lua", "w") as f:
    f.write("".join(out) + "\n")
