-- Recursion that allocates: binary trees of tables built and walked.
-- Trees of every even depth from 4 to 14 are built as tables of two
-- sub-trees (a leaf holds none) and walked to count their nodes; the
-- shallower a tree, the more of them are built, so that each depth does
-- about the same work. A tree of depth d has 2^(d + 1) - 1 nodes.

local function make_tree(depth)
  if depth == 0 then return {false, false} end
  return {make_tree(depth - 1), make_tree(depth - 1)}
end

local function nodes(tree)
  if not tree[1] then return 1 end
  return 1 + nodes(tree[1]) + nodes(tree[2])
end

local min_depth, max_depth = 4, 14
local total = 0
for depth = min_depth, max_depth, 2 do
  local rounds = 1 << (max_depth - depth + min_depth)
  local count = 0
  for _ = 1, rounds do
    count = count + nodes(make_tree(depth))
  end
  local expected = rounds * ((1 << (depth + 1)) - 1)
  if count ~= expected then
    print("wrong count at depth", depth, count, expected)
    os.exit(1)
  end
  total = total + count
end
print("nodes " .. total)
