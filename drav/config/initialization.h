// DRAVInitialize: a client program's one initialisation of the library. The
// first one parses the "-DRAV..." options into the process-wide client core
// (client_core.h); destroying any DRAVInitialize while the library is
// initialised tears that state down again (the settings stay). It is no
// reference count: with nested objects the inner one's destruction already
// tears down.
#pragma once

#include <drav/common/recursive_mutex.h>
#include <drav/export.h>

#include <cstdint>

class DRAV_EXPORT DRAVInitialize {
public:
  // argv is read during the call only. Does nothing while initialised.
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
