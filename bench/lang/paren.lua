local t = 0
for i = 1, 1000000 do t = ((i * 2) + (i - 1)) - ((i + 1) - (3)) end
print(t)
