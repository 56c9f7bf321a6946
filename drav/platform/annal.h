// Annal: the tracing facility every trace site of the library writes through.
//
// A Logger collects one line by stream insertion and hands it to the
// installed sink when it is destroyed. Lines below the lowest enabled
// importance cost one comparison and are never formatted. This is not a
// general logging framework: no files, rotation or formatting options.
#pragma once

#include <drav/export.h>

#include <functional>
#include <string>

namespace Annal {

// An importance level; a higher level is more important.
class DRAV_EXPORT Importance {
public:
  constexpr Importance(int level, const char* name) : level_(level), name_(name) {}
  constexpr int level() const { return level_; }
  constexpr const char* name() const { return name_; }  // static text, never freed

private:
  int level_;
  const char* name_;
};

DRAV_EXPORT extern const Importance XS;     // minor notes
DRAV_EXPORT extern const Importance M;      // progress lines
DRAV_EXPORT extern const Importance Error;  // failures
DRAV_EXPORT extern const Importance Off;    // above every line: nothing is traced

// Receives each finished line. Called on the thread that traced, one call at a time.
using Sink = std::function<void(const Importance& importance, const std::string& line)>;

// Quiet by default: a library traces nothing until its program asks (the
// reason of a failure travels in the exception). The program chooses, in
// one line each:
//   Annal::setSink(f)                  lines go to f (from Error up, unless a level was chosen)
//   Annal::setLowestImportance(level)  lines from `level` up go to the sink, else to standard error
// Installs the sink for all later lines; an empty function restores the
// default sink (standard error, one line each).
DRAV_EXPORT void setSink(Sink sink);
// Lines of importance below `lowest` are dropped. Default: Off.
DRAV_EXPORT void setLowestImportance(const Importance& lowest);
// The lowest importance traced now.
DRAV_EXPORT const Importance& lowestImportance();
// Whether a line of `importance` would be traced.
DRAV_EXPORT bool isEnabled(const Importance& importance);

// One trace line in the making; emitted at destruction.
class DRAV_EXPORT Logger {
public:
  enum Tag { Default = 0 };

  explicit Logger(const Importance& importance, Tag tag = Default);
  Logger(Logger&& other) noexcept;
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;
  Logger& operator=(Logger&&) = delete;
  ~Logger();

  Logger& operator<<(const char* text);
  Logger& operator<<(const std::string& text);
  Logger& operator<<(char c);
  Logger& operator<<(int value);
  Logger& operator<<(unsigned int value);
  Logger& operator<<(long value);
  Logger& operator<<(unsigned long value);
  Logger& operator<<(long long value);
  Logger& operator<<(unsigned long long value);
  Logger& operator<<(double value);

private:
  const Importance* importance_;
  bool enabled_;
  std::string line_;
};

// Held as a static object by each translation unit that traces, so the
// facility is ready before the first line and outlives the last one.
class DRAV_EXPORT AnnalInitExit {
public:
  AnnalInitExit();
  ~AnnalInitExit();
  AnnalInitExit(const AnnalInitExit&) = delete;
  AnnalInitExit& operator=(const AnnalInitExit&) = delete;
};

}  // namespace Annal
