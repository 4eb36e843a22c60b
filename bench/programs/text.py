# Text processing: reads a web server's log of about 20 MB (log.csv, written
# by gen.py) into a list of lines, splits each line into its fields, counts
# the requests of each path and sums the bytes sent to each user in dicts,
# sorts both (the most first, ties by name) and prints the top ten of each.
# Checks the number of lines and the head of both lists.
import sys


def main(path):
    with open(path) as f:
        lines = f.read().splitlines()
    hits = {}
    sent = {}
    for line in lines:
        fields = line.split(",")
        p = fields[3]
        hits[p] = hits.get(p, 0) + 1
        user = fields[1]
        sent[user] = sent.get(user, 0) + int(fields[5])
    top_paths = sorted(hits.items(), key=lambda kv: (-kv[1], kv[0]))[:10]
    top_users = sorted(sent.items(), key=lambda kv: (-kv[1], kv[0]))[:10]
    print("lines", len(lines))
    for p, n in top_paths:
        print(p, n)
    for user, n in top_users:
        print(user, n)
    if (len(lines), top_paths[0], top_users[0]) != EXPECTED:
        print("wrong answer")
        sys.exit(1)


EXPECTED = (337867, ("/api/list/32", 377), ("user0005", 27655360))
main(sys.argv[1] + "/log.csv")
