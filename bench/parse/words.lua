-- Splits a generated 20 MB text into words and counts each word in a table.
-- The text is the same in words.qel and words.py: a chunk of 20000 words
-- picked by a small linear congruential generator from a fixed vocabulary,
-- repeated 159 times (about 20 MB; WORDS_REPEAT in the environment
-- sets another count). Prints the number of words, of distinct
-- words and the count of the most frequent one.
local vocabulary = {}
for w in ([[
lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor
incididunt ut labore et dolore magna aliqua enim ad minim veniam quis nostrud
exercitation ullamco laboris nisi aliquip ex ea commodo consequat duis aute irure
in reprehenderit voluptate velit esse cillum fugiat nulla pariatur excepteur sint
occaecat cupidatat non proident sunt culpa qui officia deserunt mollit anim id est
laborum Alpha Beta]]):gmatch("%S+") do
  vocabulary[#vocabulary + 1] = w
end
assert(#vocabulary == 64)

local seed = 42
local parts = {}
for i = 1, 20000 do
  seed = (seed * 75 + 74) % 65537
  parts[#parts + 1] = vocabulary[seed % 64 + 1]
  if i % 12 == 0 then
    parts[#parts + 1] = "\n"
  elseif i % 17 == 0 then
    parts[#parts + 1] = ", "
  else
    parts[#parts + 1] = " "
  end
end
local text = string.rep(table.concat(parts), tonumber(os.getenv("WORDS_REPEAT")) or 159)

local counts, total, distinct, most = {}, 0, 0, 0
for w in text:gmatch("[A-Za-z]+") do
  counts[w] = (counts[w] or 0) + 1
end
for _, n in pairs(counts) do
  total = total + n
  distinct = distinct + 1
  if n > most then most = n end
end
print(total, distinct, most)
