# Recursion that allocates: binary trees of lists built and walked.
# Trees of every even depth from 4 to 14 are built as lists of two sub-trees
# (a leaf holds two Nones) and walked to count their nodes; the shallower a
# tree, the more of them are built, so that each depth does about the same
# work. A tree of depth d has 2^(d + 1) - 1 nodes.
import sys


def make_tree(depth):
    if depth == 0:
        return [None, None]
    return [make_tree(depth - 1), make_tree(depth - 1)]


def nodes(tree):
    if tree[0] is None:
        return 1
    return 1 + nodes(tree[0]) + nodes(tree[1])


def main():
    min_depth, max_depth = 4, 14
    total = 0
    for depth in range(min_depth, max_depth + 1, 2):
        rounds = 2 ** (max_depth - depth + min_depth)
        count = 0
        for _ in range(rounds):
            count += nodes(make_tree(depth))
        expected = rounds * (2 ** (depth + 1) - 1)
        if count != expected:
            print("wrong count at depth", depth, count, expected)
            sys.exit(1)
        total += count
    print("nodes", total)


main()
