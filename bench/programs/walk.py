# A recursive walk over decoded JSON: decodes a document of nested records
# (doc.json, about 8 MB, written by gen.py), then walks it, counting the
# values of each kind, summing the integers and the floats, the length of the
# strings and the keys of the objects, and finding the deepest nesting.
# Checks the counts.
import json
import sys


class Stats:
    def __init__(self):
        self.objects = self.arrays = self.strings = self.integers = 0
        self.floats = self.logics = self.nulls = self.keys = 0
        self.integer_sum = 0
        self.float_sum = 0.0
        self.text = 0
        self.depth = 0


def walk(value, depth, st):
    if depth > st.depth:
        st.depth = depth
    if isinstance(value, dict):
        st.objects += 1
        for key, item in value.items():
            st.keys += 1
            st.text += len(key)
            walk(item, depth + 1, st)
    elif isinstance(value, list):
        st.arrays += 1
        for item in value:
            walk(item, depth + 1, st)
    elif isinstance(value, str):
        st.strings += 1
        st.text += len(value)
    elif isinstance(value, bool):
        st.logics += 1
    elif isinstance(value, int):
        st.integers += 1
        st.integer_sum += value
    elif isinstance(value, float):
        st.floats += 1
        st.float_sum += value
    elif value is None:
        st.nulls += 1


def main(path):
    with open(path) as f:
        doc = json.load(f)
    st = Stats()
    walk(doc, 1, st)
    result = "objects %d arrays %d strings %d integers %d floats %d logics %d nulls %d keys %d" % (
        st.objects, st.arrays, st.strings, st.integers, st.floats, st.logics, st.nulls, st.keys)
    print(result)
    sums = "integer-sum %d float-sum %d text %d depth %d" % (
        st.integer_sum, st.float_sum * 4, st.text, st.depth)
    print(sums)
    if (result, sums) != EXPECTED:
        print("wrong answer")
        sys.exit(1)


EXPECTED = (
    "objects 77944 arrays 24001 strings 128330 integers 53944 floats 77943 logics 12000 nulls 39836 keys 323774",
    "integer-sum 92898109 float-sum -32660596 text 2288806 depth 6")
main(sys.argv[1] + "/doc.json")
