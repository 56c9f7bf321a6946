-- The three messages of a bridge call: the call (its DRAV... headers, the
-- arguments and the extra blob), the answer (the results, as a list or one
-- streamed value, and the invocation status) and the host's own refusal (a
-- text/plain answer such as 413, 431 or 503). Each is read from the HTTP
-- body Wireshark reassembled; a malformed one is marked where reading
-- stopped, and no Lua error leaves these functions.
--
-- Loaded by drav.lua, which calls the returned function with its fields (F),
-- expert infos (E) and the sibling modules; run on its own by Wireshark, it
-- defines nothing.

return function(F, E, reader, compressed, values)
  local M = {}

  local STREAMING = { NO = true, IN = true, OUT = true, INOUT = true }
  local LARGEST_SIZE = 2147483647  -- what the host takes for a size header
  local REFUSALS = {
    [413] = "the call needs more than the host lets one call hold, or its body is larger than the host accepts",
    [431] = "the request head is larger than the host accepts",
    [503] = "the host is busy, stopping or out of room now: the call may be tried again later",
  }

  -- Runs `read`; a stop becomes the malformed mark under `root` and any
  -- other error a fault mark. True when `read` ended normally.
  local function guarded(root, read)
    local ok, err = pcall(read)
    if ok then return true end
    if reader.is_stop(err) then
      local r = err.reader
      local item = root:add(F.stopped_at, r:range(err.at, 1), r.origin.base + err.at)
      item:add_proto_expert_info(E.malformed, err.why .. " (reading stopped at " .. r:where(err.at) .. ")")
    else
      root:add_proto_expert_info(E.fault, "the dissector failed on this message: " .. tostring(err))
    end
    return false
  end

  -- A body of no bytes at all: malformed at its first byte.
  local function empty(root)
    root:add(F.stopped_at, 0):add_proto_expert_info(E.malformed,
      "truncated data: the byte-order marker needs 1 bytes, 0 left (reading stopped at byte 0 of the body)")
    return ", malformed"
  end

  -- The value of a call header sent once; every copy is shown, and copies
  -- that differ are flagged (the host refuses such a call).
  local function sole(root, headers, name, field, convert)
    local copies = headers[name:lower()]
    if not copies then return nil end
    local first = copies[1].value
    for _, copy in ipairs(copies) do
      local value = copy.value
      if convert then value = convert(value) end
      local item = root:add(field, copy.range, value == nil and 0 or value)
      if value == nil then item:add_proto_expert_info(E.unusual, name .. " is not what the host takes: " .. values.quoted(copy.value)) end
      if copy.value ~= first then
        item:add_proto_expert_info(E.unusual, name .. " is sent twice with different values: the host refuses the call")
      end
    end
    if convert then return convert(first) end
    return first
  end

  local function byte_count(text)
    local n = text:match("^%d+$") and #text <= 10 and tonumber(text)
    return n and n <= LARGEST_SIZE and n or nil
  end

  local function yes_no(text)
    if text == "yes" then return true elseif text == "no" then return false end
    return nil
  end

  local function streaming_word(text)
    return STREAMING[text] and text or nil
  end

  -- The header block of a call, shown under `root`: { bridge, method, mode,
  -- args_size, blob_size } (nil where a header is missing or unreadable).
  function M.call_headers(root, headers)
    for _, name in ipairs({ "DRAVBridgeName", "DRAVMethodName", "DRAVArgs-Size", "DRAVExtraBlob-Size" }) do
      if not headers[name:lower()] then
        root:add_proto_expert_info(E.unusual, "no " .. name .. " header: the host refuses the call")
      end
    end
    local call = {}
    call.bridge = sole(root, headers, "DRAVBridgeName", F.bridge)
    call.method = sole(root, headers, "DRAVMethodName", F.method)
    sole(root, headers, "DRAVMethodNeedSsoToken", F.need_sso_token, yes_no)
    call.mode = sole(root, headers, "DRAVStreamingMode", F.streaming, streaming_word)
    call.args_size = sole(root, headers, "DRAVArgs-Size", F.args_size, byte_count)
    call.blob_size = sole(root, headers, "DRAVExtraBlob-Size", F.extra_blob_size, byte_count)
    return call
  end

  local function read_marker(r, tree)
    local marker, at = r:u8("the byte-order marker")
    local item = tree:add(F.marker, r:range(at, 1))
    if marker > 1 then item:add_proto_expert_info(E.unusual, "a byte-order marker is 00 or 01") end
  end

  -- Arguments sent compressed as a whole: the reader of their plain bytes.
  local function plain_arguments(r, tree, ctx)
    local h = compressed.header(r, 0, r.length)
    if not h then return r end
    local why = compressed.problem(r, 0, r.length, h)
    if why then r:stop("the compressed arguments cannot be read: " .. why, 0) end
    local head = tree:add(F.compressed, r:range(0, h.length))
    head:add(F.plain_length, r:range(8, h.length - 9), h.announced)
    local result = compressed.inflate(r, ctx, 0, r.length, h, "Decompressed arguments")
    if result.error then r:stop("the compressed arguments cannot be read: " .. result.error, 0) end
    if result.skipped then r:stop(result.skipped, 0) end
    tree:add(F.decompressed_length, r:range(0, r.length), h.announced)
    r.pos = r.length
    if not result.plain or result.plain:len() == 0 then return r:sub(r.length, 0) end  -- no plain bytes at all
    return reader.new(result.plain, 0, h.announced, { name = "the decompressed arguments", base = 0 })
  end

  -- The body of a call under `root` (a range, "empty" or nil when not
  -- captured): the arguments, then the extra blob. Returns words for the
  -- Info column.
  function M.read_call(root, body, call, ctx)
    if body == "empty" then return empty(root) end
    if not body then
      root:add_proto_expert_info(E.comment, "no body in the capture")
      return ""
    end
    local total = body:len()
    local declared = (call.args_size or 0) + (call.blob_size or 0)
    if call.args_size and call.blob_size and declared ~= total then
      root:add_proto_expert_info(E.unusual, string.format(
        "the body holds %d bytes, not DRAVArgs-Size + DRAVExtraBlob-Size (%d): the host refuses the call", total, declared))
    end
    local args_length = math.min(call.args_size or total, total)
    local r = reader.new(body:tvb(), 0, args_length, { name = "the body", base = 0 })
    local arguments = root:add(F.arguments, args_length > 0 and r:range(0, args_length) or nil)
    local words = ""
    if total > args_length then
      local blob = r.tvb:range(args_length, total - args_length)
      local item = root:add(F.extra_blob, blob)
      item:add(F.extra_blob_length, blob, blob:len())
      item:add(F.extra_blob_bytes, blob:range(0, math.min(blob:len(), 16)))
      item:set_text(string.format("Extra blob: %d bytes", blob:len()))
      words = string.format(", extra blob of %d bytes", blob:len())
    end
    local count
    guarded(root, function()
      local plain = plain_arguments(r, arguments, ctx)
      read_marker(plain, arguments)
      count = values.read_list(plain, ctx, arguments, 0, "")
      if plain:left() > 0 then plain:stop(string.format("malformed arguments: %d bytes follow the list", plain:left())) end
    end)
    if count then arguments:append_text(": " .. values.count_words(count)) end
    return (count and ", " .. values.count_words(count) or ", malformed") .. words
  end

  -- Whether an answer of unknown form reads whole as a result list.
  local function reads_as_list(r, ctx)
    local copy = r:sub(0, r.length)
    return pcall(function()
      copy:u8("the byte-order marker")
      values.read_list(copy, ctx, nil, 0, "")
      values.read_status(copy, nil)
      if copy:left() > 0 then copy:stop("bytes after the status") end
    end)
  end

  -- The body of an answer under `root`: the results (a list, or one streamed
  -- value for streaming mode OUT and INOUT), then the invocation status.
  -- `mode` is the call's streaming mode, nil when the call was not seen.
  function M.read_answer(root, body, mode, code, ctx)
    if code ~= 200 then root:add_proto_expert_info(E.unusual, "the bridge answered with HTTP status " .. code) end
    if body == "empty" then return empty(root) end
    if not body then
      root:add_proto_expert_info(E.comment, "no body in the capture")
      return ""
    end
    local r = reader.new(body:tvb(), 0, body:len(), { name = "the body", base = 0 })
    local streamed = mode == "OUT" or mode == "INOUT" or (mode == nil and not reads_as_list(r, ctx))
    local flag = root:add(F.streamed, streamed)
    if mode == nil then flag:set_generated() end
    local results = root:add(F.results, r:range(0, 1))
    local words = ", malformed"
    guarded(root, function()
      read_marker(r, results)
      local count = 1
      if streamed then values.read_streamed(r, results) else count = values.read_list(r, ctx, results, 0, "") end
      results:set_len(r.pos)
      results:append_text(streamed and ": one streamed value" or ": " .. values.count_words(count))
      local status, message = values.read_status(r, root)
      if r:left() > 0 then r:stop(string.format("%d bytes follow the status", r:left())) end
      words = string.format(", status %d %s", status, values.quoted(message))
    end)
    return words
  end

  -- The host's own answer (text/plain) to a call: status, message, when to
  -- try again. Returns words for the Info column.
  function M.show_refusal(root, code, phrase, body, retry)
    local item = root:add(F.refusal, body)
    item:add(F.refusal_status, code)
    local text = ""
    if body then
      local shown = body:range(0, math.min(body:len(), 1024))
      text = shown:string(ENC_UTF_8):gsub("[\r\n]+$", "")
      item:add(F.refusal_message, shown, text)
    end
    if retry then item:add(F.refusal_retry_after, retry.range, retry.value) end
    item:set_text(string.format("Refused: %d %s: %s", code, phrase, values.quoted(text)))
    item:add_proto_expert_info(E.refused, string.format("%d %s%s", code, phrase,
                                                         REFUSALS[code] and ": " .. REFUSALS[code] or ""))
    return string.format("%d %s", code, phrase)
  end

  return M
end
