-- Compressed binary values: the ASCII header "[DRAV_Z=<plain length>]" in
-- front of one zlib stream, read as a receiver reads it, and the stream
-- inflated with Wireshark's zlib within bounds of memory and time.
--
-- Wireshark's inflater has no output limit, and a stream may inflate to far
-- more than its header announces (up to 1032 bytes per byte). So a stream
-- is inflated whole only when even that much fits in what is left of the
-- message's decompression budget; a longer one is inflated from its first
-- bytes only, as many as fit. Output beyond the announced length is a fault.
-- One message thus never inflates more than its budget, in one call per
-- value.
--
-- The inflater (Wireshark 4.0) works in passes of twice the bytes from the
-- stream to the end of its buffer (32 KiB to 10 MiB) and copies all it has
-- made at every pass, so its time grows with the square of the output over
-- the pass. A stream that could need many passes is inflated from a copy
-- with room behind it, for passes of 10 MiB: 5 s rather than 66 s of CPU
-- for 370 MB made of 370 KB.
--
-- Loaded by drav.lua; run on its own, it defines nothing.

local MARKER = "[DRAV_Z="
local MAX_RATIO = 1032  -- the most bytes deflate produces from one byte
local RATIO_SLACK = 64  -- what a receiver allows above that for tiny streams

-- The header at `at` of a block of `length` bytes, or nil when the block
-- is stored as it is: { length = header bytes, announced = the plain length
-- (nil when it does not fit 32 bits), digits = the text between "=" and "]" }.
local function header(r, at, length)
  if length < #MARKER or not r:starts_with(at, MARKER) then return nil end
  local close = r:find_char("]", at + #MARKER, length - #MARKER)
  if not close then return nil end
  local digits = r.bytes:sub(at + #MARKER + 1, close)
  -- As atol reads it: blanks, one sign, the digits up to the first other byte.
  local sign, number = digits:match("^[ \t\n\v\f\r]*([+-]?)(%d*)")
  local announced = tonumber(number ~= "" and number or "0")
  if #number > 10 or announced > 0xFFFFFFFF or (sign == "-" and announced ~= 0) then announced = nil end
  return { length = close - at + 1, announced = announced, digits = digits }
end

-- Whether the two bytes open a zlib stream (deflate, window of at most 32 KiB).
local function zlib_head(r, at)
  local cmf, flg = r:byte_at(at), r:byte_at(at + 1)
  return cmf % 16 == 8 and math.floor(cmf / 16) <= 7 and (cmf * 256 + flg) % 31 == 0
end

-- Why a receiver refuses the stream behind header `h` (block at `at`,
-- `length` bytes) without inflating it, or nil.
local function problem(r, at, length, h)
  local stream = length - h.length
  if not h.announced then
    return "the plain length " .. h.digits .. " is not a byte count from 0 to 4294967295"
  end
  if h.announced > stream * MAX_RATIO + RATIO_SLACK then
    return string.format("%d plain bytes cannot come from %d compressed bytes", h.announced, stream)
  end
  if stream < 2 or not zlib_head(r, at + h.length) then return "the compressed bytes are not a zlib stream" end
  return nil
end

local SMALLEST_PASS, LARGEST_PASS = 32 * 1024, 10 * 1024 * 1024
local PASSES = 16  -- as many as cost little even when each copies all before it

-- The `fed` stream bytes at `at` as the inflater should get them: in place
-- when `worst` output takes few passes there, else in a copy with room
-- behind it (a data source of its own, named after `name`).
local function inflater_input(r, at, fed, worst, name)
  local room = r.tvb:len() - (r.offset + at)
  local pass = math.min(math.max(2 * room, SMALLEST_PASS), LARGEST_PASS)
  if worst <= PASSES * pass then return r:range(at, fed) end
  local copy = r:range(at, fed):bytes()
  copy:set_size(math.max(fed, LARGEST_PASS / 2))
  return copy:tvb(name .. ": the compressed bytes, copied with room to inflate"):range(0, fed)
end

-- Inflates the stream behind header `h`, which problem() passed, in one
-- call. `ctx.inflated` counts this message's output against `ctx.budget`.
-- `name` names the data source. Returns { plain = Tvb (nil for no output),
-- error = why a receiver refuses the value, skipped = why it was not
-- inflated, or not whole: then partial is true and plain holds what the
-- first bytes gave }.
local function inflate(r, ctx, at, length, h, name)
  local stream = length - h.length
  -- No more stream than can inflate within what is left of the budget.
  local fed = math.min(stream, math.floor((ctx.budget - ctx.inflated) / MAX_RATIO))
  if fed <= 0 then return { skipped = "not decompressed: this message has used its decompression budget" } end
  local whole = fed == stream
  local input = inflater_input(r, at + h.length, fed, fed * MAX_RATIO, name)
  local plain = input:uncompress(whole and name or name .. " (its first bytes)")
  local produced = plain and plain:len() or 0
  ctx.inflated = ctx.inflated + produced
  if produced > h.announced then
    return { error = string.format("the compressed bytes inflate to more than the %d announced", h.announced) }
  end
  if not whole then
    return { plain = plain, partial = true, skipped = string.format(
      "decompressed from its first %d of %d compressed bytes only: the rest could pass this message's decompression budget",
      fed, stream) }
  end
  if produced ~= h.announced then
    return { error = string.format("the compressed bytes inflate to %d bytes, not the %d announced", produced,
                                   h.announced) }
  end
  return { plain = plain }
end

return { header = header, problem = problem, inflate = inflate }
