// DRAVServiceDescriptor: the interface a generated service descriptor
// implements, so client code can ask a service for its name, the bridge
// that hosts it and where it lives by default. Abstract and stateless; the
// library itself calls none of it.
#pragma once

#include <drav/config/endpoint_policy.h>
#include <drav/export.h>

#include <string>

class DRAV_EXPORT DRAVServiceDescriptor {
public:
  DRAVServiceDescriptor() = default;
  DRAVServiceDescriptor(const DRAVServiceDescriptor&) = default;             // copies nothing
  DRAVServiceDescriptor& operator=(const DRAVServiceDescriptor&) = default;  // copies nothing

  // The service's name, as used in lookup URLs (DRAVEndPoint::serviceName).
  virtual std::string getServiceName() const = 0;
  // The server-side bridge the service's calls are posted to (the name a
  // DRAVBridgeProxy is built with).
  virtual std::string getBridgeName() const = 0;
  // Where the service lives when the caller configures nothing else.
  virtual DRAVEndPoint getDefaultEndPoint() const = 0;
  // The service description texts; empty unless the descriptor carries them.
  virtual std::string getWsdl() const;
  virtual std::string getWsml() const;

  virtual ~DRAVServiceDescriptor();
};
