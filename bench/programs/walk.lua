-- A recursive walk over decoded data: loads a document of nested records
-- (doc.lua, written by gen.py: the JSON document of the Qel and Python
-- programs as a Lua table constructor, since Lua has no JSON decoder of its
-- own), then walks it, counting the values of each kind, summing the integers
-- and the floats, the length of the strings and the keys of the objects, and
-- finding the deepest nesting. Checks the counts. JSON's null is one table
-- given to the document's chunk; an array is a table with a first item.

local null = {}
local doc = assert(loadfile(arg[1] .. "/doc.lua"))(null)

local stats = {
  objects = 0, arrays = 0, strings = 0, integers = 0, floats = 0, logics = 0,
  nulls = 0, keys = 0, integer_sum = 0, float_sum = 0.0, text = 0, depth = 0,
}

local function walk(value, depth)
  if depth > stats.depth then stats.depth = depth end
  local t = type(value)
  if value == null then
    stats.nulls = stats.nulls + 1
  elseif t == "table" then
    if value[1] ~= nil then
      stats.arrays = stats.arrays + 1
      for _, item in ipairs(value) do walk(item, depth + 1) end
    else
      stats.objects = stats.objects + 1
      for key, item in pairs(value) do
        stats.keys = stats.keys + 1
        stats.text = stats.text + #key
        walk(item, depth + 1)
      end
    end
  elseif t == "string" then
    stats.strings = stats.strings + 1
    stats.text = stats.text + #value
  elseif t == "boolean" then
    stats.logics = stats.logics + 1
  elseif math.type(value) == "integer" then
    stats.integers = stats.integers + 1
    stats.integer_sum = stats.integer_sum + value
  else
    stats.floats = stats.floats + 1
    stats.float_sum = stats.float_sum + value
  end
end

walk(doc, 1)
local result = string.format(
  "objects %d arrays %d strings %d integers %d floats %d logics %d nulls %d keys %d",
  stats.objects, stats.arrays, stats.strings, stats.integers, stats.floats, stats.logics,
  stats.nulls, stats.keys)
print(result)
local sums = string.format("integer-sum %d float-sum %d text %d depth %d",
  stats.integer_sum, math.tointeger(stats.float_sum * 4), stats.text, stats.depth)
print(sums)
if result ~= "objects 77944 arrays 24001 strings 128330 integers 53944 floats 77943 logics 12000 nulls 39836 keys 323774"
    or sums ~= "integer-sum 92898109 float-sum -32660596 text 2288806 depth 6" then
  print("wrong answer")
  os.exit(1)
end
