-- Integer keys hashed, as the Qel map! and the Python dict hash theirs:
-- negative keys, which Lua keeps in a table's hash part (its array part
-- holds only the keys 1 to n).
local m = {}
for i = 1, 1000000 do m[-i] = i end
local hits = 0
for i = 1, 1000000 do
  if m[-(i * 2)] ~= nil then hits = hits + 1 end
end
print(hits)
