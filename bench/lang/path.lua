local b = {10, 20, 30}
local t = 0
for _ = 1, 1000000 do t = t + b[2] end
print(t)
