-- Higher-order functions over a table of a million items: map, filter and
-- fold with small functions given as values, as a program that transforms
-- data in stages does. Checks the results.

local function map(f, t)
  local out = {}
  for i = 1, #t do out[i] = f(t[i]) end
  return out
end

local function filter(f, t)
  local out = {}
  for i = 1, #t do
    if f(t[i]) then out[#out + 1] = t[i] end
  end
  return out
end

local function fold(f, acc, t)
  for i = 1, #t do acc = f(acc, t[i]) end
  return acc
end

local xs = {}
for i = 1, 1000000 do xs[i] = i end
local ys = map(function(x) return x * 7 % 1000 end, xs)
local zs = filter(function(y) return y % 2 == 0 end, ys)
local total = fold(function(a, b) return a + b end, 0, zs)
local biggest = fold(function(a, b) if b > a then return b else return a end end, 0, ys)
local words = map(tostring, table.move(zs, 1, 100000, 1, {}))
local length = fold(function(a, w) return a + #w end, 0, words)
local result = string.format("items %d kept %d total %d biggest %d length %d",
  #ys, #zs, total, biggest, length)
print(result)
if result ~= "items 1000000 kept 500000 total 249500000 biggest 999 length 289000" then
  print("wrong answer")
  os.exit(1)
end
