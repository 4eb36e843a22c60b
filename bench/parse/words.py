# Splits a generated 20 MB text into words and counts each word in a dict.
# The text is the same in words.qel and words.lua: a chunk of 20000 words
# picked by a small linear congruential generator from a fixed vocabulary,
# repeated 159 times (about 20 MB; WORDS_REPEAT in the environment
# sets another count). Prints the number of words, of distinct words and the
# count of the most frequent one.
import os, re

VOCABULARY = (
    "lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor "
    "incididunt ut labore et dolore magna aliqua enim ad minim veniam quis nostrud "
    "exercitation ullamco laboris nisi aliquip ex ea commodo consequat duis aute irure "
    "in reprehenderit voluptate velit esse cillum fugiat nulla pariatur excepteur sint "
    "occaecat cupidatat non proident sunt culpa qui officia deserunt mollit anim id est "
    "laborum Alpha Beta"
).split()
assert len(VOCABULARY) == 64

seed = 42
parts = []
for i in range(1, 20001):
    seed = (seed * 75 + 74) % 65537
    parts.append(VOCABULARY[seed % 64])
    parts.append("\n" if i % 12 == 0 else (", " if i % 17 == 0 else " "))
text = "".join(parts) * int(os.environ.get("WORDS_REPEAT", 159))

counts = {}
for w in re.findall(r"[A-Za-z]+", text):
    counts[w] = counts.get(w, 0) + 1
print(sum(counts.values()), len(counts), max(counts.values()))
