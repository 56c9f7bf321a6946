-- Typed values, value lists, nested objects and the invocation status, read
-- as a receiver reads them and shown in the tree. Every function also walks
-- without a tree (tree nil): that is how values beyond the display limits
-- are passed over and how an object's content is tried as a value list
-- before it is shown as one. Reading is bounded by the bytes left; showing,
-- by the context's limits (items, depth, decompressed bytes).
--
-- Loaded by drav.lua, which calls the returned function with its fields
-- (F), expert infos (E), the sibling modules and the kinds' names by tag;
-- run on its own by Wireshark, it defines nothing.

return function(F, E, reader, compressed, KINDS)
  local M = {}

  -- Kinds of a fixed size: bytes, the words a truncation names, the field.
  local FIXED = {
    [1] = { 4, "a 32-bit value", F.v_int }, [5] = { 1, "a 1-byte value", F.v_bool },
    [6] = { 2, "a 16-bit value", F.v_short }, [7] = { 4, "a 32-bit value", F.v_long },
    [8] = { 8, "a double", F.v_double }, [9] = { 4, "a float", F.v_float },
    [10] = { 1, "a 1-byte value", F.v_uchar }, [11] = { 1, "a 1-byte value", F.v_char },
    [12] = { 2, "a 16-bit value", F.v_ushort }, [13] = { 4, "a 32-bit value", F.v_ulong },
    [14] = { 4, "a 32-bit value", F.v_uint },
  }
  local SIGNED = { [1] = true, [6] = true, [7] = true }
  -- Payload widths of the kinds a walk passes over at once: the fixed ones and Empty.
  local WIDTH = { [0] = 0 }
  for tag, fixed in pairs(FIXED) do WIDTH[tag] = fixed[1] end
  local PREVIEW = 16  -- first bytes shown of a binary value, as dravdump shows them

  function M.count_words(count)
    return count == 1 and "1 value" or count .. " values"
  end

  function M.kind_name(tag)
    return KINDS[tag] or ("Tag" .. tag)
  end

  -- Whole UTF-8 characters of two bytes and more, the C1 controls left out
  -- (a terminal takes U+009B for ESC [): no overlong forms, no surrogates.
  local UTF8 = { "^[\194][\160-\191]", "^[\195-\223][\128-\191]", "^[\224][\160-\191][\128-\191]",
                 "^[\225-\236\238\239][\128-\191][\128-\191]", "^[\237][\128-\159][\128-\191]",
                 "^[\240][\144-\191][\128-\191][\128-\191]", "^[\241-\243][\128-\191][\128-\191][\128-\191]",
                 "^[\244][\128-\143][\128-\191][\128-\191]" }

  -- Text fit for a label, as the tools show peers' text: quotes, backslashes,
  -- controls and bytes of no whole UTF-8 character escaped (\xHH); at most
  -- 64 bytes of it, quoted.
  function M.quoted(text)
    local shown = text:sub(1, 64)
    local out, i = {}, 1
    while i <= #shown do
      local c, char = shown:byte(i), nil
      if c >= 0x80 then
        for _, pattern in ipairs(UTF8) do char = char or shown:match(pattern, i) end
      end
      if char then
        out[#out + 1] = char
        i = i + #char
      else
        out[#out + 1] = (c < 0x20 or c >= 0x7F) and string.format("\\x%02X", c) or (c == 0x22 or c == 0x5C)
                        and "\\" .. string.char(c) or string.char(c)
        i = i + 1
      end
    end
    return '"' .. table.concat(out) .. '"' .. (#text > 64 and "..." or "")
  end

  local function hex_preview(tvb, offset, length)
    if length == 0 then return "" end
    local shown = tvb:range(offset, math.min(length, PREVIEW)):bytes():tohex(false, " ")
    return ": " .. shown .. (length > PREVIEW and " ..." or "")
  end

  local function signed32(n)
    return n >= 0x80000000 and n - 0x100000000 or n
  end

  -- A fixed-size payload: its item and its words for the label.
  local function show_fixed(r, tree, tag, at, width, field)
    local range = r:range(at, width)
    if tag == 5 then
      tree:add(field, range, r:byte_at(at) ~= 0)
      return r:byte_at(at) ~= 0 and "true" or "false"
    end
    tree:add(field, range)
    if tag == 8 or tag == 9 then return string.format(tag == 8 and "%.17g" or "%.9g", range:float()) end
    if tag == 11 then return M.quoted(string.char(r:byte_at(at))) end
    return tostring(SIGNED[tag] and range:int() or range:uint())
  end

  -- A string value's block: its text up to the first NUL, as UTF-8.
  local function show_text(r, tree, tag, at, length)
    local text, closed, cut = r:text_at(at, length)
    if tree then
      tree:add_packet_field(tag == 2 and F.v_string or F.v_utf8, r:range(at, #text), ENC_UTF_8)
      if cut then
        tree:add_proto_expert_info(E.unusual, "the text ends at a NUL inside its block: receivers keep only what precedes it")
      elseif length > 0 and not closed then
        tree:add_proto_expert_info(E.unusual, "the block has no closing NUL")
      end
    end
    return M.quoted(text)
  end

  local read_value, read_object

  local function note_hidden(tree, hidden)
    if hidden > 0 then
      tree:add_proto_expert_info(E.comment, string.format("%d more values read but not shown (display limits)", hidden))
    end
  end

  -- The count and the values of a list. `path` prefixes the values' names
  -- in data sources ("2." for the list inside value 2).
  function M.read_list(r, ctx, tree, depth, path)
    local count, at = r:u32("the value count")
    if tree then tree:add(F.count, r:range(at, 4)) end
    local room = math.floor(r:left() / 2)  -- each value takes at least its two tag bytes
    if count > room then
      r:stop(string.format("truncated data: %d values announced, room for at most %d", count, room), at)
    end
    local hidden = 0  -- walked past, beyond the display limits
    for i = 0, count - 1 do
      if r:left() < 2 then r:stop(string.format("truncated data: value %d of %d is missing", i, count)) end
      local shown = tree ~= nil and i < ctx.per_list and ctx.shown < ctx.max_shown
      if shown then ctx.shown = ctx.shown + 1 elseif tree then hidden = hidden + 1 end
      read_value(r, ctx, shown and tree or nil, i, depth, path)
    end
    note_hidden(tree, hidden)
    return count
  end

  -- Values up to the end of the bytes, without a count (an object may be written so).
  local function read_sequence(r, ctx, tree, depth, path)
    local i, hidden = 0, 0
    while r:left() > 0 do
      local shown = tree ~= nil and ctx.shown < ctx.max_shown
      if shown then ctx.shown = ctx.shown + 1 elseif tree then hidden = hidden + 1 end
      read_value(r, ctx, shown and tree or nil, i, depth, path)
      i = i + 1
    end
    note_hidden(tree, hidden)
    return i
  end

  -- Whether `walk` reads all of `r` (a fresh copy of it) without a stop,
  -- strictly: as a writer writes values, with no byte a receiver only skips
  -- and no unknown kind (each of which would let any bytes pass).
  local function reads_whole(r, walk, ctx)
    local copy = r:sub(0, r.length)
    local ok, err = pcall(walk, copy, setmetatable({ strict = true }, { __index = ctx }), nil, 0, "")
    if not ok and not reader.is_stop(err) then error(err, 0) end
    return ok and copy:left() == 0
  end

  -- An object's bytes: the marker, a typed object's identifier, then the
  -- object's own content, shown as a value list or values when it reads as
  -- one exactly, else as bytes.
  read_object = function(r, ctx, tree, tag, depth, path)
    if r.length == 0 then
      tree:add_proto_expert_info(E.unusual, "an object of no bytes: not even the byte-order marker")
      return "no bytes"
    end
    tree:add(F.marker, r:range(0, 1))
    local start, words = 1, ""
    if tag == 16 then
      if r.length < 5 then
        tree:add_proto_expert_info(E.unusual, "too short for the type identifier")
        return string.format("%d bytes", r.length)
      end
      tree:add(F.type_id, r:range(1, 4))
      words, start = string.format("type %d, ", r:u32_at(1)), 5
    end
    local content = r:sub(start, r.length - start)
    words = words .. string.format("%d bytes", r.length)
    if content.length == 0 then return words end
    local item = tree:add(F.content, r:range(start, content.length))
    if depth >= ctx.max_depth then
      item:append_text(string.format(" (nested deeper than %d objects: not read)", ctx.max_depth))
      return words
    end
    local walk = reads_whole(content, M.read_list, ctx) and M.read_list or
                 reads_whole(content, read_sequence, ctx) and read_sequence or nil
    if not walk then
      item:append_text(string.format(": %d bytes of the application's own%s", content.length,
                                     hex_preview(content.tvb, content.offset, content.length)))
      return words
    end
    -- Shown for real now; only a decompression inside can still stop it,
    -- which fails this object's content, not the message around it.
    local ok, err = pcall(walk, content, ctx, item, depth + 1, path .. ".")
    if not ok then
      if not reader.is_stop(err) then error(err, 0) end
      item:add_proto_expert_info(E.unusual, "the content cannot be read: " .. err.why .. " (" .. err.reader:where(err.at) .. ")")
    end
    item:append_text(walk == M.read_list and " (a value list)" or " (values)")
    return words
  end

  -- A binary or object block: its length, its compression header and, when
  -- shown, its plain bytes or its object. Returns the words for the label.
  local function show_block(r, ctx, tree, tag, at, length, depth, path)
    local h = compressed.header(r, at, length)
    local why = h and compressed.problem(r, at, length, h)
    if why then r:stop("the compressed value cannot be read: " .. why, at) end
    if not tree then return "" end  -- walked only: inflated when shown
    tree:add(F.length, r:range(at - 4, 4))
    local plain, words = nil, string.format("%d bytes", length)
    if h then
      local head = tree:add(F.compressed, r:range(at, h.length))
      head:append_text(": " .. M.quoted(r.bytes:sub(at + 1, at + h.length)))
      head:add(F.plain_length, r:range(at + 8, h.length - 9), h.announced)
      local result = compressed.inflate(r, ctx, at, length, h, "Decompressed value " .. path)
      if result.error then r:stop("the compressed value cannot be read: " .. result.error, at) end
      words = string.format("%d bytes (%d compressed)", h.announced, length)
      plain = result.plain
      if result.skipped then
        head:add_proto_expert_info(E.comment, result.skipped)
        if not (result.partial and plain and tag == 3) then return words end
      else
        tree:add(F.decompressed_length, r:range(at, length), h.announced)
      end
    end
    if tag == 3 then
      local tvb, offset, size = r.tvb, r.offset + at, length
      if h then tvb, offset, size = plain, 0, plain and plain:len() or 0 end
      if size > 0 then tree:add(F.bytes, tvb:range(offset, math.min(size, PREVIEW))) end
      return words .. (size > 0 and hex_preview(tvb, offset, size) or "")
    end
    local content = r:sub(at, length)
    if h then  -- an empty plain form has no bytes to read
      content = plain and plain:len() > 0 and reader.new(plain, 0, plain:len(), { name = "decompressed value " .. path, base = 0 })
                or r:sub(at + length, 0)
    end
    return read_object(content, ctx, tree, tag, depth, path)
  end

  -- Value `index` at the reader's position: line breaks skipped, the tag's
  -- high byte (ignored) and the kind, the payload.
  read_value = function(r, ctx, tree, index, depth, path)
    if not tree then  -- walked only: the usual value in one step
      local high, tag = r.bytes:byte(r.pos + 1, r.pos + 2)
      local width = high == 0 and WIDTH[tag]
      if width and r.length - r.pos - 2 >= width then
        r.pos = r.pos + 2 + width
        return
      end
    end
    local start, name = r.pos, "Value " .. index
    local item = tree and tree:add(F.value, r:range(start, 1))
    local first = r:after_line_breaks()
    if ctx.strict and (first ~= start or r.length - first < 2 or r:byte_at(first) ~= 0 or r:byte_at(first + 1) > 16) then
      r:stop("not a value as a writer writes it")
    end
    if item and first ~= start then item:add(F.line_breaks, r:range(start, (first or r.length) - start)) end
    -- Data that ends before the kind leaves the value empty: no fault to a receiver.
    if not first or r.length - first < 2 then
      r.pos = r.length
      if item then
        item:set_len(r.pos - start)
        item:set_text(name .. ": Empty (the data ends before its kind)")
        item:add_proto_expert_info(E.unusual, "the data ends before the value's kind: receivers read an empty value")
      end
      return
    end
    r.pos = first + 2
    local high, tag = r:byte_at(first), r:byte_at(first + 1)
    local words = ""
    if item then
      if high ~= 0 then item:add(F.kind_high, r:range(first, 1)) end
      item:add(F.kind, r:range(first + 1, 1))
    end
    local fixed = FIXED[tag]
    if fixed then
      local at = r:skip(fixed[1], fixed[2])
      if item then words = " " .. show_fixed(r, item, tag, at, fixed[1], fixed[3]) end
    elseif tag == 2 or tag == 4 or tag == 3 or tag == 15 or tag == 16 then
      local length = r:u32("a block's length")
      local at = r:skip(length, "a block")
      if tag == 2 or tag == 4 then
        if item then
          item:add(F.length, r:range(at - 4, 4))
          words = " " .. show_text(r, item, tag, at, length)
        end
      else
        words = show_block(r, ctx, item, tag, at, length, depth, path .. index)
        words = words ~= "" and " " .. words or ""
      end
    elseif tag > 16 and item then
      item:add_proto_expert_info(E.unusual, "an unknown kind: receivers keep the tag and read nothing more")
    end
    if item then
      item:set_len(r.pos - start)
      item:set_text(string.format("%s: %s%s", name, M.kind_name(tag), words))
    end
  end

  -- The invocation status: three texts and the 32-bit code. Returns the
  -- code and the message.
  function M.read_status(r, tree)
    local start = r.pos
    local item = tree and tree:add(F.status, r:range(start, 1))
    local fields, texts = { F.status_text1, F.status_text2, F.status_message }, {}
    for i = 1, 3 do
      local length = r:u32("a status text's length")
      local at = r:skip(length, "a status text")
      texts[i] = r:text_at(at, length)
      if item then item:add_packet_field(fields[i], r:range(at, #texts[i]), ENC_UTF_8) end
    end
    local at = r:skip(4, "the status code")
    local code = signed32(r:u32_at(at))
    if item then
      item:add(F.status_code, r:range(at, 4))
      item:set_len(r.pos - start)
      item:set_text(string.format("Invocation status: %d %s", code, M.quoted(texts[3])))
      if code ~= 0 then item:add_proto_expert_info(E.status_error, "the bridge reports status " .. code) end
    end
    return code, texts[3]
  end

  -- The one value of a streamed answer: exactly kind 3 and its size, then
  -- its bytes as they came (a streamed value is never compressed).
  function M.read_streamed(r, tree)
    local start = r.pos
    local at = r:skip(2, "the streamed value's kind")
    local tag = r:u16_at(at)
    if tag ~= 3 then r:stop(string.format("not a streamed answer: it begins with a value of tag %d", tag), at) end
    local size = r:u32("the streamed value's size")
    local data = r:skip(size, "the streamed value")
    if not tree then return end
    local item = tree:add(F.value, r:range(start, r.pos - start))
    item:add(F.kind, r:range(at + 1, 1))
    item:add(F.length, r:range(at + 2, 4))
    if size > 0 then item:add(F.bytes, r:range(data, math.min(size, PREVIEW))) end
    item:set_text(string.format("Streamed value: BinaryArray %d bytes%s", size, hex_preview(r.tvb, r.offset + data, size)))
  end

  return M
end
