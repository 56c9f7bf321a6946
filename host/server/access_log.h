// The access log: one line per request the host served, for operators. A
// line reads
//   2026-12-07T16:23:18.123Z 10.0.0.7 "/bridges/sample" "Echo" 200 0 120 345 12
// time (UTC), client address, path, method name ("DRAVMethodName"), HTTP
// status ("cut" for an answer that did not go out whole: the client left, a
// write missed its deadline, the bridge failed mid-answer or the host
// stopped), invocation-status code the bridge wrote ("-" when none), body
// bytes read, bytes written, duration in milliseconds. Whatever came from the
// request is quoted and escaped, so no client can break or forge a line, and
// capped at kLogFieldLimit characters as written: a field cut there ends in
// \... (which escaping never writes), so no request makes a line longer than
// kAccessLineLimit. Lines go to a file that SIGHUP's reopen() swaps for a new
// one, for log rotation. Not the diagnostic log (drav/platform/annal.h).
#pragma once

#include <drav/common/log_field.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace DRAVHost {

struct AccessEntry {
  std::chrono::system_clock::time_point start;
  std::string client;      // the address the host counts the request from
  std::string path;        // the request target's path
  std::string methodName;  // "DRAVMethodName"; empty when the request carried none
  unsigned status = 0;
  bool cutOff = false;  // the answer did not go out whole
  std::optional<long> invocationStatus;
  std::uint64_t bytesIn = 0;
  std::uint64_t bytesOut = 0;
  std::chrono::milliseconds duration{0};
};

// Fields are escaped and capped as any peer's text is (drav/common/log_field.h).
using DRAV::detail::escapeLogField;
using DRAV::detail::kLogFieldLimit;
// The time, three fields, the quotes and the numbers: no line is longer.
constexpr std::size_t kAccessLineLimit = 1024;

// The entry's line, with its newline.
std::string accessLine(const AccessEntry& entry);

// Where lines go: standard error for "-", else the file at that path
// (appended). Safe to write and reopen from several threads: each line goes
// out in one append-mode write, which the kernel keeps whole, to the file
// open when it began.
class AccessLog {
public:
  // std::runtime_error naming the file when it cannot be opened.
  explicit AccessLog(const std::string& destination);
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  void write(const AccessEntry& entry);
  // Opens the destination anew (after a rotation moved the file away); lines
  // being written finish in the old file. std::runtime_error naming the file
  // when it cannot be opened: the old one stays in use.
  void reopen();

private:
  class File;
  const std::string destination_;
  std::shared_ptr<const File> file_;  // swapped atomically by reopen()
};

}  // namespace DRAVHost
