// A one-line progress display on standard error for a long transfer: bytes
// done, and a bar with the share when the total is known. Shown only when
// enabled (dravcall enables it when standard error is a terminal). Not a logger.
#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>

namespace dravtools {

class ProgressMeter {
public:
  // `out` must outlive the meter.
  ProgressMeter(std::ostream& out, std::string label, bool enabled);
  ~ProgressMeter();  // ends the line if one was drawn

  void setTotal(std::uint64_t bytes) { total_ = bytes; }  // 0: not known
  // Redraws at most ten times a second, and at once when `done` reaches the total.
  void update(std::uint64_t done);
  // "upload   [#######             ]  35%  358.4 MiB / 1.0 GiB"
  static std::string line(const std::string& label, std::uint64_t done, std::uint64_t total);

private:
  std::ostream& out_;
  std::string label_;
  bool enabled_;
  bool drawn_ = false;
  std::uint64_t total_ = 0;
  std::chrono::steady_clock::time_point last_;
};

}  // namespace dravtools
