#include "nginx_site.h"

#include "support/local_programs.h"

#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace e2e {

namespace {

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// `text` with its one occurrence of `from` replaced; throws when it has none
// or several, so that a changed site file shows here instead of going untested.
std::string replaceOnce(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at == std::string::npos || text.find(from, at + 1) != std::string::npos)
    throw std::runtime_error("the site file should hold \"" + from + "\" once");
  return text.substr(0, at) + to + text.substr(at + from.size());
}

// The site's upstream server line, one copy for each of `ports`.
std::string withUpstreams(const std::string& site, const std::vector<unsigned short>& ports) {
  const std::string server = "server 127.0.0.1:8420 ";
  const std::size_t at = site.find(server);
  const std::size_t end = at == std::string::npos ? at : site.find('\n', at);
  if (end == std::string::npos) throw std::runtime_error("the site file should hold \"" + server + "\"");
  const std::string rest = site.substr(at + server.size(), end - at - server.size());
  std::string servers;
  for (const unsigned short port : ports)
    servers += (servers.empty() ? "" : "\n    ") + std::string("server 127.0.0.1:") + std::to_string(port) + " " + rest;
  return replaceOnce(site, server + rest, servers);
}

}  // namespace

std::string NginxSite::program() {
  std::string path;
  return drav_test::executableOnPath("nginx", path) ? path : std::string();
}

NginxSite::NginxSite(const std::string& program, const std::string& sitePath,
                     const std::vector<unsigned short>& upstreamPorts) {
  const std::string site = withUpstreams(readText(sitePath), upstreamPorts);
  char folder[] = "/tmp/drav-nginx-XXXXXX";
  if (!mkdtemp(folder)) throw std::runtime_error("cannot make a prefix folder for nginx");
  prefix_ = folder;
  // A free port may be taken between our probe and nginx's bind: try a few.
  for (int attempt = 0; attempt < 3 && !nginx_; ++attempt) {
    port_ = drav_test::freePort();
    std::ofstream(prefix_ + "/dravbridge.conf")
        << replaceOnce(site, "listen 80;", "listen 127.0.0.1:" + std::to_string(port_) + ";");
    std::ofstream(prefix_ + "/nginx.conf")
        << "daemon off;\nmaster_process off;\n"
        << "error_log " << prefix_ << "/error.log warn;\npid " << prefix_ << "/nginx.pid;\n"
        << "events { worker_connections 256; }\n"
        << "http {\n  access_log " << prefix_ << "/access.log;\n"
        << "  client_body_temp_path " << prefix_ << "/body;\n  proxy_temp_path " << prefix_ << "/proxy;\n"
        << "  fastcgi_temp_path " << prefix_ << "/fastcgi;\n  uwsgi_temp_path " << prefix_ << "/uwsgi;\n"
        << "  scgi_temp_path " << prefix_ << "/scgi;\n"
        << "  include " << prefix_ << "/dravbridge.conf;\n}\n";
    auto nginx = std::make_unique<BackgroundProgram>(
        program, std::vector<std::string>{"-p", prefix_, "-c", prefix_ + "/nginx.conf", "-e", prefix_ + "/error.log"});
    // Up to 5 s for it to listen.
    for (int wait = 0; wait < 250 && !nginx_; ++wait) {
      if (drav_test::accepting(port_)) nginx_ = std::move(nginx);
      else std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  if (!nginx_) {
    const std::string log = errorLog();
    std::system(("rm -rf '" + prefix_ + "'").c_str());
    throw std::runtime_error("nginx did not start: " + log);
  }
}

NginxSite::~NginxSite() {
  if (nginx_) nginx_->stop();
  std::system(("rm -rf '" + prefix_ + "'").c_str());
}

std::string NginxSite::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string NginxSite::errorLog() const { return readText(prefix_ + "/error.log"); }

}  // namespace e2e
