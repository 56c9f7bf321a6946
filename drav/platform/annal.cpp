#include <drav/platform/annal.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <mutex>

namespace Annal {

const Importance XS(10, "XS");
const Importance M(20, "M");
const Importance Error(40, "Error");
const Importance Off(1000, "Off");

namespace {

struct Facility {
  std::mutex mutex;
  Sink sink;  // empty: standard error
  std::atomic<int> lowest{1000};
  std::atomic<const Importance*> lowestImportance{&Off};
};

// Constructed on first use, never destroyed: traces from static destructors
// of other translation units stay safe.
Facility& facility() {
  static Facility* f = new Facility;
  return *f;
}

void writeToStandardError(const Importance& importance, const std::string& line) {
  std::fprintf(stderr, "[%s] %s\n", importance.name(), line.c_str());
}

template <typename Number>
void appendNumber(std::string& line, Number value) {
  char digits[32];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  line.append(digits, result.ptr);
}

}  // namespace

void setSink(Sink sink) {
  Facility& f = facility();
  const bool chosen = static_cast<bool>(sink);
  {
    std::lock_guard<std::mutex> lock(f.mutex);
    f.sink = std::move(sink);
  }
  // A sink is asked for failures at least; a level chosen before stays.
  if (chosen && f.lowestImportance.load() == &Off) setLowestImportance(Error);
}

void setLowestImportance(const Importance& lowest) {
  facility().lowestImportance.store(&lowest);
  facility().lowest.store(lowest.level());
}

const Importance& lowestImportance() { return *facility().lowestImportance.load(); }

bool isEnabled(const Importance& importance) {
  return importance.level() >= facility().lowest.load(std::memory_order_relaxed);
}

Logger::Logger(const Importance& importance, Tag)
    : importance_(&importance), enabled_(isEnabled(importance)) {}

Logger::Logger(Logger&& other) noexcept
    : importance_(other.importance_), enabled_(other.enabled_), line_(std::move(other.line_)) {
  other.enabled_ = false;
}

Logger::~Logger() {
  if (!enabled_) return;
  Facility& f = facility();
  std::lock_guard<std::mutex> lock(f.mutex);
  try {
    if (f.sink)
      f.sink(*importance_, line_);
    else
      writeToStandardError(*importance_, line_);
  } catch (...) {
    // A failing sink must not take the traced operation down.
  }
}

Logger& Logger::operator<<(const char* text) {
  if (enabled_) line_ += text ? text : "(null)";
  return *this;
}
Logger& Logger::operator<<(const std::string& text) {
  if (enabled_) line_ += text;
  return *this;
}
Logger& Logger::operator<<(char c) {
  if (enabled_) line_ += c;
  return *this;
}
Logger& Logger::operator<<(int value) {
  if (enabled_) appendNumber(line_, value);
  return *this;
}
Logger& Logger::operator<<(unsigned int value) {
  if (enabled_) appendNumber(line_, value);
  return *this;
}
Logger& Logger::operator<<(long value) {
  if (enabled_) appendNumber(line_, value);
  return *this;
}
Logger& Logger::operator<<(unsigned long value) {
  if (enabled_) appendNumber(line_, value);
  return *this;
}
Logger& Logger::operator<<(long long value) {
  if (enabled_) appendNumber(line_, value);
  return *this;
}
Logger& Logger::operator<<(unsigned long long value) {
  if (enabled_) appendNumber(line_, value);
  return *this;
}
Logger& Logger::operator<<(double value) {
  if (enabled_) {
    char digits[64];
    int n = std::snprintf(digits, sizeof digits, "%g", value);
    if (n > 0) line_.append(digits, static_cast<size_t>(n) < sizeof digits ? n : sizeof digits - 1);
  }
  return *this;
}

AnnalInitExit::AnnalInitExit() { facility(); }
AnnalInitExit::~AnnalInitExit() = default;

}  // namespace Annal
