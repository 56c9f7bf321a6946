// The process-wide client core: the defaults that "-DRAV..." options set
// (timeouts, authentication and proxy settings) and that every
// DRAVLookupPolicy copies when it is built. It holds settings only: it opens
// no connection and nothing else in the library asks whether it exists.
#pragma once

#include <drav/common/recursive_mutex.h>
#include <drav/config/auth_settings.h>
#include <drav/export.h>

#include <cstdint>

namespace DRAV_DRAVHttp {

// Hooks the client core calls at initialisation and teardown; here both do
// nothing and succeed.
class DRAV_EXPORT ClientCore {
public:
  virtual ~ClientCore();
  virtual bool coreInit(int argc, char** argv);
  virtual bool coreDestroy();
};

}  // namespace DRAV_DRAVHttp

class DRAV_EXPORT DRAVClientCore : public DRAV_DRAVHttp::ClientCore {
public:
  static constexpr std::uint32_t kDefaultRequestTimeout = 18000000;   // 5 hours, in ms
  static constexpr std::uint32_t kDefaultConnectionTimeout = 300000;  // 5 minutes, in ms

  // The one core, created by the first caller (also when several threads
  // ask at once) and never destroyed, so it outlives every static object
  // that may reach it at exit. Takes no lock once it exists.
  static DRAVClientCore& instance();

  DRAVClientCore(const DRAVClientCore&) = delete;
  DRAVClientCore& operator=(const DRAVClientCore&) = delete;

  // The first call parses the options (DRAVOptionParser) and runs coreInit;
  // later calls, until destroy(), read nothing.
  void init(int argc, char** argv);
  bool isInitialised() const;
  // Runs coreDestroy and marks the core uninitialised; the settings stay.
  void destroy();

  // The settings below take no lock: they are written during
  // initialisation, before calls start, and read afterwards.
  // 0 restores the default; a value beyond 32 bits is refused with DRAVException.
  void setRequestTimeout(unsigned long ms);
  unsigned long getRequestTimeout() const { return requestTimeout_; }
  void setConnectionTimeout(unsigned long ms);
  unsigned long getConnectionTimeout() const { return connectionTimeout_; }
  // References to the held records, valid for the life of the process.
  DRAVAuthenticationInfo& getAuthenticationInfo() { return authenticationInfo_; }
  const DRAVAuthenticationInfo& getAuthenticationInfo() const { return authenticationInfo_; }
  DRAVHttpProxyInfo& getHttpProxyInfo() { return proxyInfo_; }
  const DRAVHttpProxyInfo& getHttpProxyInfo() const { return proxyInfo_; }

private:
  DRAVClientCore() = default;

  bool initialised_ = false;
  mutable RecursiveMutex lock_;  // guards initialised_ through init and destroy
  std::uint32_t requestTimeout_ = kDefaultRequestTimeout;
  std::uint32_t connectionTimeout_ = kDefaultConnectionTimeout;
  DRAVAuthenticationInfo authenticationInfo_;
  DRAVHttpProxyInfo proxyInfo_;
};
