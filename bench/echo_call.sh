# The sample bridge's echo call (Long 1, String "abc") as the load scripts
# post it, sourced by them: write_echo_call WORK DRAVDUMP writes WORK/echo.body
# (the arguments) and WORK/echo.lua (wrk posting them with the call headers),
# and sets args_size.
write_echo_call() {
  local work=$1 dump_program=$2
  "$dump_program" --encode --output "$work/echo.body" long:1 string:abc >/dev/null 2>"$work/dump.err" ||
    { cat "$work/dump.err" >&2; return 2; }
  args_size=$(stat -c %s "$work/echo.body")
  cat >"$work/echo.lua" <<LUA
wrk.method = "POST"
wrk.headers["DRAVBridgeName"] = "sample"
wrk.headers["DRAVMethodName"] = "echo"
wrk.headers["DRAVMethodNeedSsoToken"] = "no"
wrk.headers["DRAVArgs-Size"] = "$args_size"
wrk.headers["DRAVExtraBlob-Size"] = "0"
local body = io.open("$work/echo.body", "rb")
wrk.body = body:read("*a")
body:close()
LUA
}
