local o = {f = function(x) return x + 1 end}
local t = 0
for _ = 1, 5000000 do t = o.f(t) end
print(t)
