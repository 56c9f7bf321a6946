#include "host/server/access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace DRAVHost {

namespace {

std::string utcTime(std::chrono::system_clock::time_point when) {
  const auto sinceEpoch = when.time_since_epoch();
  const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count() % 1000;
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, int(millis));
  return text;
}

}  // namespace

std::string accessLine(const AccessEntry& entry) {
  std::string line = utcTime(entry.start);
  line += ' ' + escapeLogField(entry.client);
  line += " \"" + escapeLogField(entry.path) + '"';
  line += entry.methodName.empty() ? std::string(" -") : " \"" + escapeLogField(entry.methodName) + '"';
  line += ' ' + (entry.cutOff ? std::string("cut") : std::to_string(entry.status));
  line += ' ' + (entry.invocationStatus ? std::to_string(*entry.invocationStatus) : std::string("-"));
  line += ' ' + std::to_string(entry.bytesIn);
  line += ' ' + std::to_string(entry.bytesOut);
  line += ' ' + std::to_string(entry.duration.count());
  line += '\n';
  return line;
}

// One open destination; closed when the last line written to it is done.
// Opened without blocking, as opening a FIFO nobody reads would wait for
// good, and so written: a pipe that is full loses the line instead of
// holding the call that writes it (a file never makes a write wait).
class AccessLog::File {
public:
  explicit File(const std::string& destination)
      : fd_(destination == "-" ? STDERR_FILENO
                               : ::open(destination.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK,
                                        0640)) {
    if (fd_ < 0)
      throw std::runtime_error("cannot open the access log " + destination + ": " +
                               (errno == ENXIO ? "a FIFO that nobody reads" : std::strerror(errno)));
  }
  ~File() {
    if (fd_ != STDERR_FILENO) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  void write(const std::string& line) const {
    // A log that cannot be written must not fail the call it reports.
    while (::write(fd_, line.data(), line.size()) < 0 && errno == EINTR) {
    }
  }

private:
  const int fd_;  // owned unless it is standard error's
};

AccessLog::AccessLog(const std::string& destination)
    : destination_(destination), file_(std::make_shared<const File>(destination)) {}

void AccessLog::write(const AccessEntry& entry) {
  const std::string line = accessLine(entry);
  std::atomic_load(&file_)->write(line);
}

void AccessLog::reopen() {
  if (destination_ == "-") return;
  std::atomic_store(&file_, std::shared_ptr<const File>(std::make_shared<const File>(destination_)));
}

}  // namespace DRAVHost
