// dravbridge: serves bridge plugins (the sample bridge unless told
// otherwise) over HTTP or HTTPS until it is interrupted (SIGINT or SIGTERM),
// then lets running calls finish and exits 0; with a call still running
// after the stop grace it names the call and exits 1. SIGHUP reopens the
// access log (for log rotation) and leaves calls alone, during the stop
// too; a further SIGINT or SIGTERM during the stop ends its drain, then its
// grace.
#include "bridge_plugins.h"
#include "config_file.h"
#include "duration_text.h"
#include <drav/host/bridge_host.h>
#include "host/sso/session_token.h"

#include <drav/common/near_names.h>
#include <drav/platform/annal.h>

#include <sys/resource.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <future>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* const kUsage =
    "Usage: dravbridge [OPTION]...\n"
    "Serves bridges until interrupted (Ctrl-C or SIGTERM): the sample bridge\n"
    "unless --bridge names plugins.\n"
    "\n"
    "  --config FILE          read the settings from FILE (TOML: dravbridge.toml(5));\n"
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
    "  --session-life DURATION\n"
    "                         a logon's session ends this long after it (default 8h)\n"
    "  --session-key-file FILE\n"
    "                         sign sessions with the key in FILE (32 bytes or more)\n"
    "                         so that all hosts with that key accept them\n"
    "                         (default: a random key, for this process only)\n"
    "  --logon-failures N     wrong credentials one client may send for a user name\n"
    "                         before it is locked out, 1 s doubling per further\n"
    "                         failure (default 5)\n"
    "  --max-connections N    connections held open at once (default: as many as\n"
    "                         the descriptor limit allows, at most 16384)\n"
    "  --max-calls N          requests running at once (default 16)\n"
    "  --event-loops N        threads that serve connections, each running the calls\n"
    "                         of its own (default: one per processor but one)\n"
    "  --timeout DURATION     time for a request head to arrive, and the grace\n"
    "                         before a body or answer must keep its rate (default 10s)\n"
    "  --drain DURATION       on SIGTERM, serve on this long with /healthz answering\n"
    "                         503 before no longer listening (default 0s)\n"
    "  --stop-grace DURATION  time running calls get to finish on SIGTERM (default 10s);\n"
    "                         a further SIGTERM ends the drain, then the grace\n"
    "  --call-time-limit DURATION\n"
    "                         a call whose bridge runs this long without reading\n"
    "                         or writing is given up: answered 504, its slot handed\n"
    "                         on, its thread left to the bridge; 0s: never\n"
    "                         (default 4m)\n"
    "  --max-stuck-calls N    calls given up whose bridges have not returned, at\n"
    "                         most; each keeps a thread and its memory share\n"
    "                         (default 4)\n"
    "  --call-memory-budget BYTES\n"
    "                         memory one call may hold: its arguments, what decoding\n"
    "                         them takes and a buffered answer; a call that needs\n"
    "                         more is answered 413 (default 67108864)\n"
    "  --memory-budget BYTES  memory running calls may hold together; a call that\n"
    "                         finds too little left is answered 503 (default 1073741824)\n"
    "  --compression auto|always|never\n"
    "                         binary values the bridges answer with, at or above\n"
    "                         the compression threshold (64000 bytes): compressed\n"
    "                         when a sample of them shows it pays, always, or never\n"
    "                         (default auto)\n"
    "  --access-log DEST      one line per request to DEST: - for standard error,\n"
    "                         else a file appended to (default: none)\n"
    "  --trusted-proxy ADDR   a reverse proxy whose X-Forwarded-For / X-Real-IP\n"
    "                         name the client in the access log and for the\n"
    "                         logon lockout (repeatable)\n"
    "  --admin-port PORT      serve GET /metrics (Prometheus text) and /healthz on\n"
    "                         a listener of their own at this port; 0 picks a\n"
    "                         free one (default: no such listener)\n"
    "  --admin-address ADDR   IP address of that listener (default 127.0.0.1)\n"
    "  --no-describe          refuse the dravDescribe method (the description of a\n"
    "                         method table's methods) with 404 for every bridge\n"
    "  --trace                print progress lines on standard error\n"
    "  --help                 this text\n"
    "\n"
    "A DURATION is a whole number and a unit: 500ms, 30s, 15m, 8h.\n"
    "Once listening, prints the port, the event loops and bounds it serves with\n"
    "(and the admin port) and the bridges' URLs on standard output.\n"
    "Methods of the sample bridge: echo, sum, generateBinary, checksumExtraBlob.\n";

// The exit status when a call outlived the stop grace.
constexpr int kAbandonedCalls = 1;

int fail(const std::string& message) {
  std::cerr << "dravbridge: " << message << '\n';
  return 2;
}

// Ends the program at an option's value it cannot take; before anything is
// started, so nothing is lost.
[[noreturn]] void refuseOption(const std::string& message) {
  fail(message + " (see --help)");
  std::exit(2);
}

std::uint64_t integerOption(const std::string& option, const std::string& value, std::uint64_t min,
                            std::uint64_t max) {
  const bool digits =
      !value.empty() && value.size() <= 15 && value.find_first_not_of("0123456789") == std::string::npos;
  const std::uint64_t number = digits ? std::stoull(value) : 0;
  if (!digits || number < min || number > max)
    refuseOption(option + " takes an integer from " + std::to_string(min) + " to " + std::to_string(max) + ", not '" +
                 value + "'");
  return number;
}

std::chrono::milliseconds durationOption(const std::string& option, const std::string& value, std::uint64_t min,
                                         std::uint64_t max) {
  const auto duration = dravbridge::parseDuration(value);
  if (!duration || static_cast<std::uint64_t>(duration->count()) < min ||
      static_cast<std::uint64_t>(duration->count()) > max)
    refuseOption(option + " takes " + dravbridge::durationForm(min, max) + ", not '" + value + "'" +
                 dravbridge::unitHint(value));
  return *duration;
}

std::string urlPathOption(const std::string& option, const std::string& value) {
  if (value.empty() || value[0] != '/')
    refuseOption(option + " takes a URL path starting with '/', not '" + value + "'");
  const std::string unreachable = dravbridge::unreachablePath(value);
  if (!unreachable.empty()) refuseOption(option + ": " + unreachable);
  return value;
}

dravbridge::BridgeEntry bridgeOption(const std::string& value) {
  try {
    return dravbridge::bridgeOption(value);
  } catch (const std::invalid_argument& e) {
    refuseOption(e.what());
  }
}

constexpr std::uint64_t kSecond = 1000, kHour = 3600 * kSecond, kYear = 8760 * kHour, kTebibyte = 1ull << 40;

// The options --help lists, for a hint at one it does not.
std::vector<std::string> knownOptions() {
  std::vector<std::string> names;
  std::istringstream usage(kUsage);
  for (std::string line; std::getline(usage, line);)
    if (line.compare(0, 4, "  --") == 0) names.push_back(line.substr(2, line.find(' ', 2) - 2));
  return names;
}

bool isFlag(const std::string& option) {
  return option == "--help" || option == "-h" || option == "--trace" || option == "--sso-required" ||
         option == "--no-describe";
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

const char* signalName(int signal) { return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP"; }

// SIGHUP: the access log's file anew, after logrotate moved it.
void reopenAccessLog(DRAVHost::BridgeHost& host) {
  if (host.settings().accessLog.empty() || host.settings().accessLog == "-") {
    std::cout << "dravbridge: SIGHUP: no access log file to reopen" << std::endl;
    return;
  }
  try {
    host.reopenAccessLog();
    std::cout << "dravbridge: SIGHUP: reopened the access log " << host.settings().accessLog << std::endl;
  } catch (const std::exception& e) {
    std::cerr << "dravbridge: SIGHUP: " << e.what() << "; still writing to the file open before" << std::endl;
  }
}

// Serves until SIGINT or SIGTERM, reopening the access log on each SIGHUP;
// the three were blocked before any thread started.
void serveUntilStopped(const sigset_t& signals, DRAVHost::BridgeHost& host) {
  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGHUP) {
      reopenAccessLog(host);
      continue;
    }
    const DRAVHost::HostSettings& settings = host.settings();
    std::cout << "dravbridge: " << signalName(received) << ": stopping";
    if (settings.drainTime.count() > 0) std::cout << " after draining for " << spoken(settings.drainTime);
    std::cout << "; running calls get " << spoken(settings.stopGrace) << std::endl;
    return;
  }
}

// Stops the host, handling the signals that come meanwhile as they come:
// SIGHUP as before the stop, a further SIGINT or SIGTERM by ending the step
// the stop is in (the drain, then the grace). The calls left running.
std::vector<std::string> stopHandlingSignals(const sigset_t& signals, DRAVHost::BridgeHost& host) {
  auto stopped = std::async(std::launch::async, [&host] { return host.stop(); });
  // How long a signal may wait to be handled, and the stop's end to be seen.
  const timespec tick{0, 20 * 1000 * 1000};
  while (stopped.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    const int received = sigtimedwait(&signals, nullptr, &tick);
    if (received == SIGHUP) {
      reopenAccessLog(host);
    } else if (received == SIGINT || received == SIGTERM) {
      std::cout << "dravbridge: " << signalName(received) << " again: ";
      switch (host.hurryStop()) {
        case DRAVHost::BridgeHost::StopStep::Draining: std::cout << "ending the drain now"; break;
        case DRAVHost::BridgeHost::StopStep::Grace: std::cout << "ending the stop grace now"; break;
        default: std::cout << "the stop is ending already"; break;
      }
      std::cout << std::endl;
    }
  }
  return stopped.get();
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
  // The library is quiet unless asked: the host's failures go to standard error.
  Annal::setLowestImportance(config.trace ? Annal::M : Annal::Error);
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
    if (option == "--no-describe") {
      config.describe = false;
      continue;
    }
    if (option == "--sso-required") {
      settings.sso.requiredForBridges = true;
      continue;
    }
    if (option.rfind("--", 0) != 0) return fail("unexpected argument '" + option + "' (see --help)");
    if (i + 1 == argc) return fail(option + " needs a value (see --help)");
    const std::string value = argv[++i];
    if (option == "--config") continue;  // read above
    if (option == "--address") settings.address = value;
    else if (option == "--port") settings.port = static_cast<unsigned short>(integerOption(option, value, 0, 65535));
    else if (option == "--path")
      commandLineBridges.push_back({urlPathOption(option, value), dravbridge::kSamplePlugin});
    else if (option == "--bridge") commandLineBridges.push_back(bridgeOption(value));
    else if (option == "--user") settings.user = value;
    else if (option == "--password") settings.password = value;
    else if (option == "--cert") settings.certFile = value;
    else if (option == "--key") settings.keyFile = value;
    else if (option == "--access-log") settings.accessLog = value;
    else if (option == "--compression") {
      if (!DRAVCompression::parseCompressionChoice(value, config.compression))
        refuseOption("--compression takes auto, always or never, not '" + value + "'");
    }
    else if (option == "--trusted-proxy") settings.trustedProxies.push_back(value);
    else if (option == "--admin-address") {
      settings.admin.enabled = true;
      settings.admin.address = value;
    } else if (option == "--admin-port") {
      settings.admin.enabled = true;
      settings.admin.port = static_cast<unsigned short>(integerOption(option, value, 0, 65535));
    }
    else if (option == "--sso-user") settings.sso.user = value;
    else if (option == "--sso-password") settings.sso.password = value;
    else if (option == "--sso-path") settings.sso.path = urlPathOption(option, value);
    else if (option == "--session-key-file") sessionKeyFile = value;
    else if (option == "--session-life") settings.auth.sessionLifetime = durationOption(option, value, kSecond, kYear);
    else if (option == "--logon-failures")
      settings.auth.freeFailures = static_cast<unsigned>(integerOption(option, value, 0, 1000));
    else if (option == "--max-connections")
      settings.maxConnections = static_cast<unsigned>(integerOption(option, value, 1, 1000000));
    else if (option == "--max-calls")
      settings.maxRunningCalls = static_cast<unsigned>(integerOption(option, value, 1, 1000));
    else if (option == "--event-loops")
      settings.eventLoops = static_cast<unsigned>(integerOption(option, value, 0, 1000));
    else if (option == "--timeout")
      settings.headTimeout = settings.transferGrace = durationOption(option, value, 1, kHour);
    else if (option == "--stop-grace")
      settings.stopGrace = durationOption(option, value, 0, kHour);
    else if (option == "--drain") settings.drainTime = durationOption(option, value, 0, kHour);
    else if (option == "--call-time-limit") settings.callTimeLimit = durationOption(option, value, 0, kHour);
    else if (option == "--max-stuck-calls")
      settings.maxStuckCalls = static_cast<unsigned>(integerOption(option, value, 0, 1000));
    else if (option == "--call-memory-budget")
      settings.callMemoryBudget = integerOption(option, value, 65536, kTebibyte);
    else if (option == "--memory-budget") settings.memoryBudget = integerOption(option, value, 65536, kTebibyte);
    else refuseOption("unknown option " + option + DRAV::detail::didYouMean(option, knownOptions()));
  }
  if (!commandLineBridges.empty()) config.bridges = commandLineBridges;
  settings.sso.enabled = !settings.sso.user.empty();
  if (settings.sso.requiredForBridges && !settings.sso.enabled)
    return fail("--sso-required (required in [sso]) needs --sso-user (user in [sso])");

  DRAVCompression::DRAVCompressedData::setCompressionChoice(config.compression);
  raiseDescriptorLimit();
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    settings.listBridges = config.describe;
    if (!sessionKeyFile.empty()) settings.auth.sessionKey = DRAVHost::sessionKeyFromFile(sessionKeyFile);
    DRAVHost::BridgeHost host(settings);
    for (const auto& bridge : config.bridges) {
      std::shared_ptr<DRAVHost::BridgeHandler> handler = dravbridge::loadBridge(bridge);
      host.addBridge(bridge.path, config.describe ? handler : dravbridge::withoutDescription(handler),
                     bridge.name.empty() ? dravbridge::bridgeNameOf(bridge.plugin) : bridge.name);
    }
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
    const std::vector<std::string> abandoned = stopHandlingSignals(signals, host);
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
