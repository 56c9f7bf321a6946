#include "support/capture_trace.h"

namespace dravtest {

CaptureTrace::CaptureTrace(const Annal::Importance& lowest) : previousLowest_(&Annal::lowestImportance()) {
  Annal::setSink([this](const Annal::Importance& importance, const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::string(importance.name()) + " " + line);
  });
  Annal::setLowestImportance(lowest);
}

CaptureTrace::~CaptureTrace() {
  Annal::setSink(nullptr);
  Annal::setLowestImportance(*previousLowest_);
}

std::vector<std::string> CaptureTrace::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

bool CaptureTrace::contains(const std::string& fragment) const {
  for (const std::string& line : lines())
    if (line.find(fragment) != std::string::npos) return true;
  return false;
}

}  // namespace dravtest
