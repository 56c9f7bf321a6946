// The access log: one line per request the host served, for operators. A
// line reads
//   2026-12-07T16:23:18.123Z 10.0.0.7 "/bridges/sample" "Echo" 200 0 120 345 12
// time (UTC), client address, path, method name ("DRAVMethodName"), HTTP
// status, invocation-status code the bridge wrote ("-" when none), body bytes
// read, bytes written, duration in milliseconds. Whatever came from the
// request is quoted and escaped, so no client can break or forge a line.
// Not the diagnostic log (drav/platform/annal.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace DRAVHost {

struct AccessEntry {
  std::chrono::system_clock::time_point start;
  std::string client;      // the address the host counts the request from
  std::string path;        // the request target's path
  std::string methodName;  // "DRAVMethodName"; empty when the request carried none
  unsigned status = 0;
  std::optional<long> invocationStatus;
  std::uint64_t bytesIn = 0;
  std::uint64_t bytesOut = 0;
  std::chrono::milliseconds duration{0};
};

// `text` as printable ASCII: \" \\ and \xHH for quotes, backslashes, control
// characters and bytes above 0x7E.
std::string escapeLogField(const std::string& text);

// The entry's line, with its newline.
std::string accessLine(const AccessEntry& entry);

// Where lines go: standard error for "-", else the file at that path
// (appended). Safe to write from several threads without a lock: each line
// goes out in one append-mode write, which the kernel keeps whole.
class AccessLog {
public:
  // std::runtime_error naming the file when it cannot be opened.
  explicit AccessLog(const std::string& destination);
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  void write(const AccessEntry& entry);

private:
  int fd_;  // owned unless it is standard error's
};

}  // namespace DRAVHost
