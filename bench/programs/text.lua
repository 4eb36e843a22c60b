-- Text processing: reads a web server's log of about 20 MB (log.csv, written
-- by gen.py) into a table of lines, splits each line into its fields, counts
-- the requests of each path and sums the bytes sent to each user in tables,
-- sorts both (the most first, ties by name) and prints the top ten of each.
-- Checks the number of lines and the head of both lists.

local function split(s, sep)
  local fields = {}
  for field in (s .. sep):gmatch("(.-)" .. sep) do fields[#fields + 1] = field end
  return fields
end

local function top(counts)
  local pairs_ = {}
  for k, n in pairs(counts) do pairs_[#pairs_ + 1] = {k, n} end
  table.sort(pairs_, function(a, b)
    if a[2] == b[2] then return a[1] < b[1] end
    return a[2] > b[2]
  end)
  local out = {}
  for i = 1, math.min(10, #pairs_) do out[i] = pairs_[i] end
  return out
end

local lines = {}
for line in io.lines(arg[1] .. "/log.csv") do lines[#lines + 1] = line end
local hits, sent = {}, {}
for _, line in ipairs(lines) do
  local fields = split(line, ",")
  local path = fields[4]
  hits[path] = (hits[path] or 0) + 1
  local user = fields[2]
  sent[user] = (sent[user] or 0) + tonumber(fields[6])
end
local top_paths, top_users = top(hits), top(sent)
print("lines " .. #lines)
for _, p in ipairs(top_paths) do print(p[1] .. " " .. p[2]) end
for _, u in ipairs(top_users) do print(u[1] .. " " .. u[2]) end
if #lines ~= 337867 or top_paths[1][1] ~= "/api/list/32" or top_paths[1][2] ~= 377
    or top_users[1][1] ~= "user0005" or top_users[1][2] ~= 27655360 then
  print("wrong answer")
  os.exit(1)
end
