local m = {}
for i = 1, 1000000 do m[i] = i end
local hits = 0
for i = 1, 1000000 do
  if m[i * 2] ~= nil then hits = hits + 1 end
end
print(hits)
