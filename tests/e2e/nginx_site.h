// nginx serving the package's site file (packaging/nginx/dravbridge.conf) in
// front of an upstream on 127.0.0.1, as an operator would run it but with no
// system path: a private prefix in a temporary folder, a free port, and a
// main configuration made here that includes the site with the listener's and
// the upstreams' addresses put in. One process (no master), so that its
// memory is all of nginx's.
#pragma once

#include "program_runner.h"

#include <memory>
#include <string>
#include <vector>

namespace e2e {

class NginxSite {
public:
  // The nginx program, or "" when it is not installed.
  static std::string program();

  // Starts `program` with the site file `sitePath` in front of
  // 127.0.0.1:`upstreamPort`; throws std::runtime_error saying why when it cannot.
  NginxSite(const std::string& program, const std::string& sitePath, unsigned short upstreamPort)
      : NginxSite(program, sitePath, std::vector<unsigned short>{upstreamPort}) {}
  // The same with the site's one upstream server made one per port, each
  // with the site's settings; nginx takes them in turn.
  NginxSite(const std::string& program, const std::string& sitePath, const std::vector<unsigned short>& upstreamPorts);
  ~NginxSite();  // stops nginx and removes its prefix
  NginxSite(const NginxSite&) = delete;
  NginxSite& operator=(const NginxSite&) = delete;

  unsigned short port() const { return port_; }
  std::string url(const std::string& path) const;
  int pid() const { return nginx_ ? nginx_->pid() : -1; }
  // What nginx has written to its error log so far (warnings and worse).
  std::string errorLog() const;

private:
  std::string prefix_;
  unsigned short port_ = 0;
  std::unique_ptr<BackgroundProgram> nginx_;
};

}  // namespace e2e
