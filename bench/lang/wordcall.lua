local function g(x) return x + 1 end
local t = 0
for _ = 1, 5000000 do t = g(t) end
print(t)
