// dravbridge: serves bridge plugins (the sample bridge unless told
// otherwise) over HTTP or HTTPS until it is interrupted (SIGINT or SIGTERM),
// then lets running calls finish and exits 0; with a call still running
// after the stop grace it names the call and exits 1. SIGHUP reopens the
// access log (for log rotation) and leaves calls alone.
#include "bridge_plugins.h"
#include "config_file.h"
#include <drav/host/bridge_host.h>
#include "host/sso/session_token.h"

#include <drav/platform/annal.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: dravbridge [OPTION]...\n"
    "Serves bridges until interrupted (Ctrl-C or SIGTERM): the sample bridge\n"
    "unless --bridge names plugins.\n"
    "\n"
    "  --config FILE          read the settings from FILE (TOML, see the README);\n"
    "                         the other options override it\n"
    "  --address ADDR         IP address to listen on (default 127.0.0.1)\n"
    "  --port PORT            port to listen on; 0 picks a free one (default 0)\n"
    "  --path PATH            where the sample bridge is served (default /bridges/sample)\n"
    "  --bridge FILE[=PATH]   serve the bridge plugin FILE (a shared object) at PATH\n"
    "                         (default /bridges/NAME: FILE's name without lib and .so);\n"
    "                         repeatable; --path and --bridge replace the configuration\n"
    "                         file's bridges\n"
    "  --user USER            require Basic authentication with USER ...\n"
    "  --password PASS        ... and PASS\n"
    "  --cert FILE            serve HTTPS with this PEM certificate ...\n"
    "  --key FILE             ... and this PEM key\n"
    "  --sso-user USER        serve a single-sign-on logon (GET, challenge cookie,\n"
    "  --sso-password PASS    Basic credentials) that hands out SMSESSION cookies\n"
    "  --sso-path PATH        where the logon is served (default /)\n"
    "  --sso-required         bridge calls need an SMSESSION cookie from the logon\n"
    "  --session-life SEC     a logon's session ends this long after it (default 28800)\n"
    "  --session-key-file FILE\n"
    "                         sign sessions with the key in FILE (32 bytes or more)\n"
    "                         so that all hosts with that key accept them\n"
    "                         (default: a random key, for this process only)\n"
    "  --logon-failures N     wrong credentials one address may send before it is\n"
    "                         locked out, 1 s doubling per further failure (default 5)\n"
    "  --max-connections N    connections held open at once (default: as many as\n"
    "                         the descriptor limit allows, at most 16384)\n"
    "  --max-calls N          requests running at once (default 16)\n"
    "  --event-loops N        threads that serve connections, each running the calls\n"
    "                         of its own (default: one per processor but one)\n"
    "  --timeout SECONDS      time for a request head to arrive, and the grace\n"
    "                         before a body or answer must keep its rate (default 10)\n"
    "  --drain SECONDS        on SIGTERM, serve on this long with /healthz answering\n"
    "                         503 before no longer listening (default 0)\n"
    "  --stop-grace SECONDS   time running calls get to finish on SIGTERM (default 10)\n"
    "  --access-log DEST      one line per request to DEST: - for standard error,\n"
    "                         else a file appended to (default: none)\n"
    "  --trusted-proxy ADDR   a reverse proxy whose X-Forwarded-For / X-Real-IP\n"
    "                         name the client in the access log (repeatable)\n"
    "  --admin-port PORT      serve GET /metrics (Prometheus text) and /healthz on\n"
    "                         a listener of their own at this port; 0 picks a\n"
    "                         free one (default: no such listener)\n"
    "  --admin-address ADDR   IP address of that listener (default 127.0.0.1)\n"
    "  --trace                print progress lines on standard error\n"
    "  --help                 this text\n"
    "\n"
    "Once listening, prints the port, the event loops and bounds it serves with\n"
    "(and the admin port) and the bridges' URLs on standard output.\n"
    "Methods of the sample bridge: echo, sum, generateBinary, checksumExtraBlob.\n";

// The exit status when a call outlived the stop grace.
constexpr int kAbandonedCalls = 1;

int fail(const std::string& message) {
  std::cerr << "dravbridge: " << message << '\n';
  return 2;
}

bool parseNumber(const std::string& text, unsigned long max, unsigned long& value) {
  if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = std::stoul(text);
  return value <= max;
}

bool isFlag(const std::string& option) {
  return option == "--help" || option == "-h" || option == "--trace" || option == "--sso-required";
}

// The configuration file is read before the other options, wherever --config
// stands, so that they override it.
std::string configFileIn(int argc, char** argv) {
  std::string file;
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string option = argv[i];
    if (isFlag(option)) continue;
    if (option == "--config") file = argv[i + 1];
    ++i;
  }
  return file;
}

// Takes the hard descriptor limit as the soft one, so that the host can hold
// thousands of connections.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// "10 s", "1500 ms".
std::string spoken(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// Serves until SIGINT or SIGTERM, reopening the access log on each SIGHUP;
// the three were blocked before any thread started.
void serveUntilStopped(const sigset_t& signals, DRAVHost::BridgeHost& host) {
  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received != SIGHUP) {
      const DRAVHost::HostSettings& settings = host.settings();
      std::cout << "dravbridge: " << (received == SIGINT ? "SIGINT" : "SIGTERM") << ": stopping";
      if (settings.drainTime.count() > 0) std::cout << " after draining for " << spoken(settings.drainTime);
      std::cout << "; running calls get " << spoken(settings.stopGrace) << std::endl;
      return;
    }
    if (host.settings().accessLog.empty() || host.settings().accessLog == "-") {
      std::cout << "dravbridge: SIGHUP: no access log file to reopen" << std::endl;
      continue;
    }
    try {
      host.reopenAccessLog();
      std::cout << "dravbridge: SIGHUP: reopened the access log " << host.settings().accessLog << std::endl;
    } catch (const std::exception& e) {
      std::cerr << "dravbridge: SIGHUP: " << e.what() << "; still writing to the file open before" << std::endl;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  dravbridge::BridgeConfig config;
  const std::string configFile = configFileIn(argc, argv);
  try {
    if (!configFile.empty()) dravbridge::readConfigFile(configFile, config);
  } catch (const dravbridge::ConfigError& e) {
    return fail(e.what());
  }
  if (config.trace) Annal::setLowestImportance(Annal::M);
  DRAVHost::HostSettings& settings = config.host;
  std::string sessionKeyFile;
  std::vector<dravbridge::BridgeEntry> commandLineBridges;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (option == "--trace") {
      Annal::setLowestImportance(Annal::M);
      continue;
    }
    if (option == "--sso-required") {
      settings.sso.requiredForBridges = true;
      continue;
    }
    if (option.rfind("--", 0) != 0) return fail("unexpected argument '" + option + "' (see --help)");
    if (i + 1 == argc) return fail(option + " needs a value (see --help)");
    const std::string value = argv[++i];
    unsigned long number = 0;
    if (option == "--config") continue;  // read above
    if (option == "--address") settings.address = value;
    else if (option == "--port" && parseNumber(value, 65535, number)) settings.port = static_cast<unsigned short>(number);
    else if (option == "--path") commandLineBridges.push_back({value, dravbridge::kSamplePlugin});
    else if (option == "--bridge") commandLineBridges.push_back(dravbridge::bridgeOption(value));
    else if (option == "--user") settings.user = value;
    else if (option == "--password") settings.password = value;
    else if (option == "--cert") settings.certFile = value;
    else if (option == "--key") settings.keyFile = value;
    else if (option == "--access-log") settings.accessLog = value;
    else if (option == "--trusted-proxy") settings.trustedProxies.push_back(value);
    else if (option == "--admin-address") {
      settings.admin.enabled = true;
      settings.admin.address = value;
    } else if (option == "--admin-port" && parseNumber(value, 65535, number)) {
      settings.admin.enabled = true;
      settings.admin.port = static_cast<unsigned short>(number);
    }
    else if (option == "--sso-user") settings.sso.user = value;
    else if (option == "--sso-password") settings.sso.password = value;
    else if (option == "--sso-path") settings.sso.path = value;
    else if (option == "--session-key-file") sessionKeyFile = value;
    else if (option == "--session-life" && parseNumber(value, 31536000, number) && number > 0)
      settings.auth.sessionLifetime = std::chrono::seconds(number);
    else if (option == "--logon-failures" && parseNumber(value, 1000, number))
      settings.auth.freeFailures = static_cast<unsigned>(number);
    else if (option == "--max-connections" && parseNumber(value, 1000000, number) && number > 0)
      settings.maxConnections = static_cast<unsigned>(number);
    else if (option == "--max-calls" && parseNumber(value, 1000, number) && number > 0)
      settings.maxRunningCalls = static_cast<unsigned>(number);
    else if (option == "--event-loops" && parseNumber(value, 1000, number))
      settings.eventLoops = static_cast<unsigned>(number);
    else if (option == "--timeout" && parseNumber(value, 3600, number) && number > 0)
      settings.headTimeout = settings.transferGrace = std::chrono::seconds(number);
    else if (option == "--stop-grace" && parseNumber(value, 3600, number))
      settings.stopGrace = std::chrono::seconds(number);
    else if (option == "--drain" && parseNumber(value, 3600, number))
      settings.drainTime = std::chrono::seconds(number);
    else return fail("bad option or value: " + option + " " + value + " (see --help)");
  }
  if (!commandLineBridges.empty()) config.bridges = commandLineBridges;
  settings.sso.enabled = !settings.sso.user.empty();
  if (settings.sso.requiredForBridges && !settings.sso.enabled)
    return fail("--sso-required (required in [sso]) needs --sso-user (user in [sso])");
  for (const auto& bridge : config.bridges)
    if (bridge.path.empty() || bridge.path[0] != '/') return fail("--path starts with /");

  raiseDescriptorLimit();
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    if (!sessionKeyFile.empty()) settings.auth.sessionKey = DRAVHost::sessionKeyFromFile(sessionKeyFile);
    DRAVHost::BridgeHost host(settings);
    for (const auto& bridge : config.bridges) host.addBridge(bridge.path, dravbridge::loadBridge(bridge));
    host.start();
    std::cout << "dravbridge: listening on port " << host.port() << std::endl;
    const DRAVHost::HostSettings& inForce = host.settings();
    std::cout << "dravbridge: serving with " << inForce.eventLoops
              << (inForce.eventLoops == 1 ? " event loop, at most " : " event loops, at most ") << inForce.maxRunningCalls
              << " calls and " << inForce.maxConnections << " connections at once" << std::endl;
    if (settings.admin.enabled) std::cout << "dravbridge: admin listening on port " << host.adminPort() << std::endl;
    for (const auto& bridge : config.bridges)
      std::cout << "dravbridge: " << dravbridge::describeBridge(bridge) << " at " << host.url(bridge.path) << std::endl;
    if (settings.sso.enabled) std::cout << "dravbridge: logon at " << host.url(settings.sso.path) << std::endl;
    serveUntilStopped(signals, host);
    const std::vector<std::string> abandoned = host.stop();
    if (!abandoned.empty()) {
      // The account of the stop, where a clean stop gives its own.
      std::cout << "dravbridge: stopped with " << abandoned.size()
                << (abandoned.size() == 1 ? " call" : " calls") << " still running after the stop grace, abandoned:";
      for (const std::string& call : abandoned) std::cout << "\n  " << call;
      std::cout << std::endl;
      // Their threads still run the bridge's code: no clean-up may run under them.
      std::_Exit(kAbandonedCalls);
    }
    const auto counts = host.statistics();
    std::cout << "dravbridge: stopped after " << counts.requestsServed << " requests on "
              << counts.connectionsAccepted << " connections" << std::endl;
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return 0;
}
