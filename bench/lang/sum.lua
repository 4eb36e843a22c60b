-- The total is a float from the start, as in sum.qel and sum.py (Qel's
-- 32-bit integers would turn into a float past 2147483647 anyway): every
-- language adds an integer to a float ten million times.
local total = 0.0
for i = 1, 10000000 do total = total + i end
print(string.format("%.0f", total))
