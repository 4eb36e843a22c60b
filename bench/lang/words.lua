local para = "The quick brown Fox jumps over the lazy dog and The Dog sleeps while the fox runs"
local parts = {}
for _ = 1, 20000 do parts[#parts + 1] = para .. " " end
local text = table.concat(parts)
local counts = {}
for w in text:gmatch("[^ ]+") do
  w = w:lower()
  counts[w] = (counts[w] or 0) + 1
end
print(counts["the"])
