-- Wireshark dissector for dravCommon bridge calls: an HTTP POST with the
-- DRAV... call headers whose body is the serialized arguments (and an extra
-- blob), answered by the results and the invocation status, or by the
-- bridge host's own refusal.
--
-- It rides on Wireshark's HTTP dissector as a post-dissector: reassembly,
-- chunked bodies and TLS decryption come from there, on any port. A call is
-- recognised by its DRAVBridgeName or DRAVMethodName header, its answer by
-- HTTP's request/response matching. Hostile bodies are marked malformed
-- where reading stopped; reading never goes past the bytes there are, and
-- showing is bounded by the preferences (values shown, nesting, bytes
-- decompressed).
--
-- Install: copy this file and the drav/ folder beside it into a Lua plugin
-- folder (~/.local/lib/wireshark/plugins for one user), or load it with
-- tshark -X lua_script:drav.lua. docs/wireshark.md lists the fields.

local here = debug.getinfo(1, "S").source:match("^@(.*[/\\])") or "./"
local function module(name)
  return dofile(here .. "drav/" .. name .. ".lua")
end

local proto = Proto("drav", "dravCommon bridge call")

local KIND_NAMES = { [0] = "Empty", "Int", "String", "BinaryArray", "UTF8String", "Bool", "Short", "Long", "Double",
                     "Float", "UChar", "Char", "UShort", "ULong", "UInt", "Object", "TypedObject" }

local F = {
  bridge = ProtoField.string("drav.bridge", "Bridge"),
  method = ProtoField.string("drav.method", "Method"),
  need_sso_token = ProtoField.bool("drav.need_sso_token", "Needs the sign-on token"),
  streaming = ProtoField.string("drav.streaming", "Streaming mode"),
  args_size = ProtoField.uint32("drav.args_size", "Argument size"),
  extra_blob_size = ProtoField.uint32("drav.extra_blob_size", "Extra blob size"),
  request_in = ProtoField.framenum("drav.request_in", "Call in frame", base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("drav.response_in", "Answer in frame", base.NONE, frametype.RESPONSE),
  time = ProtoField.relative_time("drav.time", "Time since the call"),
  arguments = ProtoField.none("drav.arguments", "Arguments"),
  results = ProtoField.none("drav.results", "Results"),
  streamed = ProtoField.bool("drav.streamed", "Streamed answer"),
  marker = ProtoField.uint8("drav.marker", "Byte-order marker", base.HEX,
                            { [0] = "written most significant byte first", [1] = "written least significant byte first" }),
  count = ProtoField.uint32("drav.count", "Value count"),
  value = ProtoField.none("drav.value", "Value"),
  kind = ProtoField.uint8("drav.value.kind", "Kind", base.DEC, KIND_NAMES),
  kind_high = ProtoField.uint8("drav.value.kind_high", "Kind's high byte (ignored)", base.HEX),
  line_breaks = ProtoField.bytes("drav.value.line_breaks", "Line breaks before the value (skipped)", base.SPACE),
  v_int = ProtoField.int32("drav.value.int", "Int"),
  v_long = ProtoField.int32("drav.value.long", "Long"),
  v_short = ProtoField.int16("drav.value.short", "Short"),
  v_uint = ProtoField.uint32("drav.value.uint", "UInt"),
  v_ulong = ProtoField.uint32("drav.value.ulong", "ULong"),
  v_ushort = ProtoField.uint16("drav.value.ushort", "UShort"),
  v_uchar = ProtoField.uint8("drav.value.uchar", "UChar"),
  v_char = ProtoField.char("drav.value.char", "Char"),
  v_bool = ProtoField.bool("drav.value.bool", "Bool"),
  v_double = ProtoField.double("drav.value.double", "Double"),
  v_float = ProtoField.float("drav.value.float", "Float"),
  v_string = ProtoField.string("drav.value.string", "String", base.UNICODE),
  v_utf8 = ProtoField.string("drav.value.utf8string", "UTF8String", base.UNICODE),
  length = ProtoField.uint32("drav.value.length", "Length"),
  bytes = ProtoField.bytes("drav.value.bytes", "First bytes", base.SPACE),
  compressed = ProtoField.none("drav.value.compression", "Compression header"),
  plain_length = ProtoField.uint32("drav.value.plain_length", "Plain length"),
  decompressed_length = ProtoField.uint32("drav.value.decompressed_length", "Decompressed length"),
  type_id = ProtoField.uint32("drav.value.type_id", "Type identifier"),
  content = ProtoField.none("drav.value.content", "Content"),
  extra_blob = ProtoField.none("drav.extra_blob", "Extra blob"),
  extra_blob_length = ProtoField.uint32("drav.extra_blob.length", "Length"),
  extra_blob_bytes = ProtoField.bytes("drav.extra_blob.bytes", "First bytes", base.SPACE),
  status = ProtoField.none("drav.status", "Invocation status"),
  status_text1 = ProtoField.string("drav.status.text1", "Text 1", base.UNICODE),
  status_text2 = ProtoField.string("drav.status.text2", "Text 2", base.UNICODE),
  status_message = ProtoField.string("drav.status.message", "Message", base.UNICODE),
  status_code = ProtoField.int32("drav.status.code", "Code"),
  refusal = ProtoField.none("drav.refusal", "Refusal"),
  refusal_status = ProtoField.uint16("drav.refusal.status", "HTTP status"),
  refusal_message = ProtoField.string("drav.refusal.message", "Message", base.UNICODE),
  refusal_retry_after = ProtoField.string("drav.refusal.retry_after", "Retry-After"),
  stopped_at = ProtoField.uint32("drav.malformed.offset", "Reading stopped at byte"),
}
local field_list = {}
for _, field in pairs(F) do field_list[#field_list + 1] = field end
proto.fields = field_list

local E = {
  malformed = ProtoExpert.new("drav.malformed", "Malformed message", expert.group.MALFORMED, expert.severity.ERROR),
  unusual = ProtoExpert.new("drav.unusual", "Unusual but read", expert.group.PROTOCOL, expert.severity.WARN),
  comment = ProtoExpert.new("drav.not_shown", "Not shown", expert.group.UNDECODED, expert.severity.NOTE),
  status_error = ProtoExpert.new("drav.status.error", "Bridge status", expert.group.RESPONSE_CODE,
                                 expert.severity.NOTE),
  refused = ProtoExpert.new("drav.refused", "Refused", expert.group.RESPONSE_CODE, expert.severity.WARN),
  fault = ProtoExpert.new("drav.fault", "Dissector fault", expert.group.UNDECODED, expert.severity.ERROR),
}
proto.experts = { E.malformed, E.unusual, E.comment, E.status_error, E.refused, E.fault }

-- 384 MiB: the demo's 5 MB value (311 KB compressed) inflates whole; the
-- worst a crafted message then costs is about 1 GB and 5 s.
proto.prefs.decompression_budget = Pref.uint("Decompression budget per message (bytes)", 384 * 1024 * 1024,
  "The most one message may inflate; a value whose compressed bytes could inflate past what is left (1032 bytes per byte) is decompressed from its first bytes only")
proto.prefs.values_per_list = Pref.uint("Values shown per list", 1000, "Further values are read but not shown")
proto.prefs.values_per_message = Pref.uint("Values shown per message", 10000, "Further values are read but not shown")
-- Each nested object shown costs a protected call, of the 200 nested C calls Lua allows.
local DEEPEST = 50
proto.prefs.max_depth = Pref.uint("Nested objects shown, deepest", 16,
  "Deeper objects are shown as bytes; at most " .. DEEPEST)

local reader = module("reader")
local compressed = module("compressed")
local values = module("values")(F, E, reader, compressed, KIND_NAMES)
local message = module("message")(F, E, reader, compressed, values)

-- Calls seen, by the frame of their request: what their answers need to
-- be read (streaming mode) and linked (frame, time).
local calls = {}
function proto.init()
  calls = {}
end

local http = {
  request = Field.new("http.request"),
  request_line = Field.new("http.request.line"),
  response_line = Field.new("http.response.line"),
  code = Field.new("http.response.code"),
  phrase = Field.new("http.response.phrase"),
  content_type = Field.new("http.content_type"),
  file_data = Field.new("http.file_data"),
  request_in = Field.new("http.request_in"),
  server = Field.new("http.server"),
  content_length = Field.new("http.content_length"),
}
local frame_time = Field.new("frame.time")

-- The Info column says what the message is, in place of HTTP's words.
local function set_columns(pinfo, info)
  pinfo.cols.protocol = "DRAV"
  pinfo.cols.info:clear_fence()
  pinfo.cols.info = info
end

-- The header lines as { name (lower case) = { { value, range }, ... } }.
local function headers_of(lines)
  local headers = {}
  for _, line in ipairs(lines) do
    local name, value = tostring(line.value):match("^([^:]+):[ \t]*(.-)[ \t\r\n]*$")
    if name then
      name = name:lower()
      headers[name] = headers[name] or {}
      table.insert(headers[name], { value = value, range = line.range })
    end
  end
  return headers
end

local function last(...)
  local all = { ... }
  return all[#all]
end

local function context()
  return { budget = proto.prefs.decompression_budget, inflated = 0, shown = 0,
           max_shown = proto.prefs.values_per_message, per_list = proto.prefs.values_per_list,
           max_depth = math.min(proto.prefs.max_depth, DEEPEST) }
end

-- The body of the message in this frame: a range, "empty" for none at
-- all, or nil when the capture does not hold it.
local function message_body()
  local body = http.file_data()
  if body then return body.range end
  local length = last(http.content_length())
  if length and tostring(length.value) == "0" then return "empty" end
  return nil
end

local function dissect_call(pinfo, tree, headers)
  local body = message_body()
  local root = type(body) == "userdata" and tree:add(proto, body) or tree:add(proto)
  local call = message.call_headers(root, headers)
  call.time = frame_time().value
  local known = calls[pinfo.number]
  if known and known.answer then root:add(F.response_in, known.answer):set_generated() end
  calls[pinfo.number] = { bridge = call.bridge, method = call.method, mode = call.mode, time = call.time,
                          answer = known and known.answer }
  local name = string.format("%s.%s", call.bridge or "?", call.method or "?")
  root:append_text(": call of " .. name)
  set_columns(pinfo, name .. " call" .. message.read_call(root, body, call, context()))
end

local function dissect_answer(pinfo, tree, code, call, request_frame)
  local body = message_body()
  local root = type(body) == "userdata" and tree:add(proto, body) or tree:add(proto)
  if call then
    call.answer = pinfo.number
    root:add(F.bridge, call.bridge or ""):set_generated()
    root:add(F.method, call.method or ""):set_generated()
    root:add(F.request_in, request_frame):set_generated()
    root:add(F.time, frame_time().value - call.time):set_generated()
  end
  local content_type = tostring(http.content_type() or "")
  local name = call and string.format("%s.%s", call.bridge or "?", call.method or "?") or "bridge host"
  -- The host's own text, or an error of anything between (a proxy's 502 page):
  -- a bridge answers 200 with its results.
  if content_type:lower():find("^text/plain") or code >= 300 then
    root:append_text(": refusal" .. (call and " of " .. name or ""))
    local retry = headers_of({ http.response_line() })["retry-after"]
    local words = message.show_refusal(root, code, tostring(last(http.phrase()) or ""), type(body) == "userdata" and body,
                                       retry and retry[1])
    set_columns(pinfo, string.format("%s refused: %s", name, words))
    return
  end
  root:append_text(": answer" .. (call and " of " .. name or ""))
  set_columns(pinfo, name .. " answer" .. message.read_answer(root, body, call and call.mode, code, context()))
end

local function dissect(pinfo, tree)
  if http.request() then
    local headers = headers_of({ http.request_line() })
    if headers["dravbridgename"] or headers["dravmethodname"] then dissect_call(pinfo, tree, headers) end
    return
  end
  local code = last(http.code())
  if not code or code.value < 200 then return end  -- no response, or an interim one
  local request = last(http.request_in())
  local call = request and calls[request.value]
  if call or tostring(last(http.server()) or "") == "dravbridge" then
    dissect_answer(pinfo, tree, code.value, call, request and request.value)
  end
end

function proto.dissector(_, pinfo, tree)
  local ok, err = pcall(dissect, pinfo, tree)
  if not ok then tree:add(proto):add_proto_expert_info(E.fault, "the dissector failed on this frame: " .. tostring(err)) end
end

register_postdissector(proto)
