-- A cursor over one stretch of message bytes (a body, a decompressed value,
-- an object's content): big-endian numbers, length-counted blocks and texts,
-- each read only when the bytes left hold it. When they do not, reading
-- stops with a Stop (where, why) that the caller turns into a malformed
-- mark; nothing else is raised. Not a tree builder: ranges are handed out
-- for the caller's items.
--
-- Loaded by drav.lua; Wireshark also runs this file on its own as a plugin,
-- which defines nothing.

local Reader = {}
Reader.__index = Reader

local Stop = {}
Stop.__index = Stop

local function is_stop(value)
  return getmetatable(value) == Stop
end

-- `tvb`, `offset`, `length`: the bytes to read. `origin`: how the bytes are
-- named in messages ("byte 12 of the body"): the reader's position plus
-- origin.base, in origin.name.
local function new(tvb, offset, length, origin)
  local self = setmetatable({}, Reader)
  self.tvb = tvb
  self.offset = offset
  self.length = length
  self.pos = 0
  -- One copy of the bytes, read as a string: scanning for line breaks and
  -- NULs stays in C whatever the size.
  self.bytes = length > 0 and tvb:raw(offset, length) or ""
  self.origin = origin or { name = "the body", base = 0 }
  return self
end

function Reader:left()
  return self.length - self.pos
end

-- Reading stops here (or at `at`), for `why`.
function Reader:stop(why, at)
  error(setmetatable({ at = at or self.pos, why = why, reader = self }, Stop), 0)
end

-- Refuses to go on unless `count` bytes are left for `what`.
function Reader:need(count, what)
  if count > self:left() then
    self:stop(string.format("truncated data: %s needs %d bytes, %d left", what, count, self:left()))
  end
end

function Reader:byte_at(at)
  return self.bytes:byte(at + 1)
end

function Reader:u16_at(at)
  local a, b = self.bytes:byte(at + 1, at + 2)
  return a * 256 + b
end

function Reader:u32_at(at)
  local a, b, c, d = self.bytes:byte(at + 1, at + 4)
  return ((a * 256 + b) * 256 + c) * 256 + d
end

function Reader:u8(what)
  self:need(1, what)
  self.pos = self.pos + 1
  return self:byte_at(self.pos - 1), self.pos - 1
end

function Reader:u32(what)
  self:need(4, what)
  self.pos = self.pos + 4
  return self:u32_at(self.pos - 4), self.pos - 4
end

-- Skips `count` bytes that must be there.
function Reader:skip(count, what)
  self:need(count, what)
  self.pos = self.pos + count
  return self.pos - count
end

-- The position of the first byte from here on that is neither CR nor LF,
-- or nil when only line breaks are left.
function Reader:after_line_breaks()
  local found = self.bytes:find("[^\r\n]", self.pos + 1)
  return found and found - 1 or nil
end

-- The text of a block as a receiver keeps it: up to the first NUL.
function Reader:text_at(at, length)
  local block = self.bytes:sub(at + 1, at + length)
  local nul = block:find("\0", 1, true)
  return nul and block:sub(1, nul - 1) or block, nul ~= nil, nul ~= nil and nul < length
end

-- Whether the bytes at `at` begin with `prefix`.
function Reader:starts_with(at, prefix)
  return self.bytes:sub(at + 1, at + #prefix) == prefix
end

-- Where `char` next occurs in [at, at + length), or nil.
function Reader:find_char(char, at, length)
  local found = self.bytes:find(char, at + 1, true)
  if found and found - 1 < at + length then return found - 1 end
  return nil
end

-- The bytes [at, at + length) for an item, cut to the bytes there are (an
-- item at the very end covers none).
function Reader:range(at, length)
  at = math.min(math.max(at, 0), self.length)
  return self.tvb:range(self.offset + at, math.min(math.max(length, 0), self.length - at))
end

-- A reader over [at, at + length) of the same bytes, positions counted from
-- `at`, named as part of this one.
function Reader:sub(at, length)
  local inner = setmetatable({}, Reader)
  inner.tvb, inner.offset, inner.length, inner.pos = self.tvb, self.offset + at, length, 0
  inner.bytes = self.bytes:sub(at + 1, at + length)
  inner.origin = { name = self.origin.name, base = self.origin.base + at }
  return inner
end

-- "byte 12 of the body".
function Reader:where(at)
  return string.format("byte %d of %s", self.origin.base + at, self.origin.name)
end

return { new = new, is_stop = is_stop }
