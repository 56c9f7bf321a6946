// Captures trace lines for the lifetime of the object, then restores the
// default sink and importance.
#pragma once

#include <drav/platform/annal.h>

#include <mutex>
#include <string>
#include <vector>

namespace dravtest {

class CaptureTrace {
public:
  explicit CaptureTrace(const Annal::Importance& lowest = Annal::XS);
  ~CaptureTrace();
  CaptureTrace(const CaptureTrace&) = delete;
  CaptureTrace& operator=(const CaptureTrace&) = delete;

  std::vector<std::string> lines() const;  // "<importance> <text>", in order
  bool contains(const std::string& fragment) const;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  const Annal::Importance* previousLowest_;
};

}  // namespace dravtest
