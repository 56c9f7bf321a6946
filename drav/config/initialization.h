// DRAVInitialize: a client program's one initialisation of the library. The
// first one parses the "-DRAV..." options into the process-wide client core
// (client_core.h); destroying any DRAVInitialize while the library is
// initialised tears that state down again (the settings stay). It is no
// reference count: with nested objects the inner one's destruction already
// tears down.
//
// An argument that begins with "-DRAV" but names no option, or gives one a
// value it cannot take, stops the initialisation: DRAVOptionException,
// before any option is applied, so that a mistyped option is seen rather
// than silently ignored. The program's own arguments (anything else) are
// left alone.
#pragma once

#include <drav/common/exception.h>
#include <drav/common/recursive_mutex.h>
#include <drav/export.h>

#include <cstdint>
#include <string>
#include <vector>

// The "-DRAV..." arguments that were refused, one line each in refusals()
// (DRAVOptionParser::refusals); what() joins them with "; ".
class DRAV_EXPORT DRAVOptionException : public DRAVException {
public:
  explicit DRAVOptionException(std::vector<std::string> refusals);
  const std::vector<std::string>& refusals() const { return refusals_; }

private:
  std::vector<std::string> refusals_;
};

class DRAV_EXPORT DRAVInitialize {
public:
  // argv is read during the call only. Does nothing while initialised.
  // Throws DRAVOptionException (and initialises nothing) when an option is
  // refused.
  DRAVInitialize(int argc, char** argv);
  ~DRAVInitialize();
  // A copy would tear down without having initialised anything.
  DRAVInitialize(const DRAVInitialize&) = delete;
  DRAVInitialize& operator=(const DRAVInitialize&) { return *this; }  // copies nothing

  static bool isInitialized();

private:
  static void innerCountIncr(unsigned long n);
  static void innerCountDecr(unsigned long n);
  static RecursiveMutex& innerMutex();

  static std::uint32_t _initCount;  // 1 while initialised, else 0; under innerMutex()
};
