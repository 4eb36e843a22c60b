local function f(a, b, c) return a + b + c end
local total = 0
for _ = 1, 1000000 do total = f(total, 1, 2) end
print(total)
