// dravbridge's configuration file: every key onto its setting, refusals with
// file, line and reason, secrets in files of their own, the shipped example,
// and the command line over the file.
#ifdef DRAVBRIDGE_PROGRAM

#include "config_file.h"
#include "host_test_support.h"
#include "program_runner.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

namespace dravbridge {
bool operator==(const BridgeEntry& a, const BridgeEntry& b) {
  return a.path == b.path && a.plugin == b.plugin && a.name == b.name;
}
}  // namespace dravbridge

namespace e2e {
namespace {

using dravbridge::BridgeConfig;
using dravbridge::BridgeEntry;
using dravbridge::ConfigError;
using DRAVHost::HostSettings;
using std::chrono::milliseconds;

void expectSameSettings(const HostSettings& expected, const HostSettings& actual) {
  EXPECT_EQ(expected.address, actual.address);
  EXPECT_EQ(expected.port, actual.port);
  EXPECT_EQ(expected.user, actual.user);
  EXPECT_EQ(expected.password, actual.password);
  EXPECT_EQ(expected.realm, actual.realm);
  EXPECT_EQ(expected.certFile, actual.certFile);
  EXPECT_EQ(expected.keyFile, actual.keyFile);
  EXPECT_EQ(expected.accessLog, actual.accessLog);
  EXPECT_EQ(expected.trustedProxies, actual.trustedProxies);
  EXPECT_EQ(expected.maxConnections, actual.maxConnections);
  EXPECT_EQ(expected.maxRequestsPerConnection, actual.maxRequestsPerConnection);
  EXPECT_EQ(expected.headTimeout.count(), actual.headTimeout.count());
  EXPECT_EQ(expected.idleTimeout.count(), actual.idleTimeout.count());
  EXPECT_EQ(expected.headerLimit, actual.headerLimit);
  EXPECT_EQ(expected.bodyLimit, actual.bodyLimit);
  EXPECT_EQ(expected.responseBufferLimit, actual.responseBufferLimit);
  EXPECT_EQ(expected.drainLimit, actual.drainLimit);
  EXPECT_EQ(expected.maxRunningCalls, actual.maxRunningCalls);
  EXPECT_EQ(expected.eventLoops, actual.eventLoops);
  EXPECT_EQ(expected.maxWaitingCalls, actual.maxWaitingCalls);
  EXPECT_EQ(expected.retryAfterSeconds, actual.retryAfterSeconds);
  EXPECT_EQ(expected.minTransferRate, actual.minTransferRate);
  EXPECT_EQ(expected.transferGrace.count(), actual.transferGrace.count());
  EXPECT_EQ(expected.drainTime.count(), actual.drainTime.count());
  EXPECT_EQ(expected.stopGrace.count(), actual.stopGrace.count());
  EXPECT_EQ(expected.callTimeLimit.count(), actual.callTimeLimit.count());
  EXPECT_EQ(expected.maxStuckCalls, actual.maxStuckCalls);
  EXPECT_EQ(expected.callMemoryBudget, actual.callMemoryBudget);
  EXPECT_EQ(expected.memoryBudget, actual.memoryBudget);
  EXPECT_EQ(expected.sso.enabled, actual.sso.enabled);
  EXPECT_EQ(expected.sso.path, actual.sso.path);
  EXPECT_EQ(expected.sso.user, actual.sso.user);
  EXPECT_EQ(expected.sso.password, actual.sso.password);
  EXPECT_EQ(expected.sso.requiredForBridges, actual.sso.requiredForBridges);
  EXPECT_EQ(expected.auth.freeFailures, actual.auth.freeFailures);
  EXPECT_EQ(expected.auth.firstLockout.count(), actual.auth.firstLockout.count());
  EXPECT_EQ(expected.auth.longestLockout.count(), actual.auth.longestLockout.count());
  EXPECT_EQ(expected.auth.forgetFailuresAfter.count(), actual.auth.forgetFailuresAfter.count());
  EXPECT_EQ(expected.auth.trackedClients, actual.auth.trackedClients);
  EXPECT_EQ(expected.auth.sessionLifetime.count(), actual.auth.sessionLifetime.count());
  EXPECT_EQ(expected.auth.sessionKey, actual.auth.sessionKey);
  EXPECT_EQ(expected.admin.enabled, actual.admin.enabled);
  EXPECT_EQ(expected.admin.address, actual.admin.address);
  EXPECT_EQ(expected.admin.port, actual.admin.port);
  EXPECT_EQ(expected.admin.maxConnections, actual.admin.maxConnections);
}

class ConfigFile : public ::testing::Test {
protected:
  std::string write(const std::string& name, const std::string& text, mode_t mode = 0600) const {
    const std::string path = folder_.file(name);
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), mode);
    return path;
  }
  BridgeConfig read(const std::string& text) const {
    BridgeConfig config;
    dravbridge::readConfigFile(write("bridge.toml", text), config);
    return config;
  }
  // The refusal with the file's name as "F", or "accepted".
  std::string refusal(const std::string& text) const {
    try {
      read(text);
    } catch (const ConfigError& e) {
      std::string message = e.what();
      const std::string file = folder_.file("bridge.toml");
      if (message.compare(0, file.size(), file) == 0) message.replace(0, file.size(), "F");
      return message;
    }
    return "accepted";
  }

  TempFolder folder_;
};

TEST_F(ConfigFile, EveryKeyReachesItsSetting) {
  write("sso-secret", "s3cret \n", 0640);
  write("session-key", "a key of 32 bytes or more, shared\n", 0600);
  const BridgeConfig config = read(R"(trace = true
compression = "never"
describe = false
[listen]
address = "0.0.0.0"
port = 8420
[tls]
cert_file = "cert.pem"
key_file = "/etc/x/key.pem"
[basic_auth]
user = "ann"
password = "pw"
realm = "bridges"
[sso]
user = "bob"
password_file = "sso-secret"
path = "/logon"
required = true
session_life = "2h"
session_key_file = "session-key"
[lockout]
free_failures = 0
first_lockout = "250ms"
longest_lockout = "1m"
forget_failures_after = "90s"
tracked_clients = 0
[log]
access_log = "access.log"
trusted_proxies = ["127.0.0.2", "::1"]
[admin]
enabled = true
address = "10.1.2.3"
port = 9420
max_connections = 9
[limits]
max_connections = 10
max_requests_per_connection = 7
head_timeout = "5s"
idle_timeout = "1500ms"
header_limit = 8192
body_limit = 1000000
response_buffer_limit = 65536
drain_limit = 0
max_running_calls = 3
event_loops = 2
max_waiting_calls = 4
retry_after_seconds = 5
min_transfer_rate = 1000
transfer_grace = "2s"
drain_time = "1500ms"
stop_grace = "3s"
call_time_limit = "0s"
max_stuck_calls = 9
call_memory_budget = 1048576
memory_budget = 8388608
[[bridge]]
path = "/a"
plugin = "sample"
[[bridge]]
path = "/b/c"
plugin = "sample"
)");
  HostSettings expected;
  expected.address = "0.0.0.0";
  expected.port = 8420;
  expected.certFile = folder_.file("cert.pem");
  expected.keyFile = "/etc/x/key.pem";
  expected.user = "ann";
  expected.password = "pw";
  expected.realm = "bridges";
  expected.sso.user = "bob";
  expected.sso.password = "s3cret ";
  expected.sso.path = "/logon";
  expected.sso.requiredForBridges = true;
  expected.auth.sessionKey = "a key of 32 bytes or more, shared";
  expected.auth.sessionLifetime = milliseconds(7200000);
  expected.auth.freeFailures = 0;
  expected.auth.firstLockout = milliseconds(250);
  expected.auth.longestLockout = milliseconds(60000);
  expected.auth.forgetFailuresAfter = milliseconds(90000);
  expected.auth.trackedClients = 0;
  expected.accessLog = folder_.file("access.log");
  expected.trustedProxies = {"127.0.0.2", "::1"};
  expected.admin = {true, "10.1.2.3", 9420, 9};
  expected.maxConnections = 10;
  expected.maxRequestsPerConnection = 7;
  expected.headTimeout = milliseconds(5000);
  expected.idleTimeout = milliseconds(1500);
  expected.headerLimit = 8192;
  expected.bodyLimit = 1000000;
  expected.responseBufferLimit = 65536;
  expected.drainLimit = 0;
  expected.maxRunningCalls = 3;
  expected.eventLoops = 2;
  expected.maxWaitingCalls = 4;
  expected.retryAfterSeconds = 5;
  expected.minTransferRate = 1000;
  expected.transferGrace = milliseconds(2000);
  expected.drainTime = milliseconds(1500);
  expected.stopGrace = milliseconds(3000);
  expected.callTimeLimit = milliseconds(0);
  expected.maxStuckCalls = 9;
  expected.callMemoryBudget = 1048576;
  expected.memoryBudget = 8388608;
  expectSameSettings(expected, config.host);
  EXPECT_TRUE(config.trace);
  EXPECT_EQ(DRAVCompression::DRAVCompressionChoice::Never, config.compression);
  EXPECT_FALSE(config.describe);
  EXPECT_EQ((std::vector<BridgeEntry>{{"/a", "sample", ""}, {"/b/c", "sample", ""}}), config.bridges);
}

TEST_F(ConfigFile, KeysLeftOutKeepWhatTheConfigurationHeld) {
  BridgeConfig config;
  config.host.user = "earlier";
  config.host.port = 99;
  dravbridge::readConfigFile(write("some.toml", "[listen]\nport = 1\n"), config);
  HostSettings expected;
  expected.user = "earlier";
  expected.port = 1;
  expectSameSettings(expected, config.host);
  EXPECT_EQ((std::vector<BridgeEntry>{{"/bridges/sample", "sample", ""}}), config.bridges);
  EXPECT_FALSE(config.trace);

  // A refused file changes nothing, not even the keys before the fault.
  EXPECT_THROW(dravbridge::readConfigFile(write("bad.toml", "[listen]\nport = 2\naddress = 1\n"), config), ConfigError);
  EXPECT_EQ(1, config.host.port);
}

TEST_F(ConfigFile, RefusesUnknownKeysWhereTheyStand) {
  EXPECT_EQ("F:2: unknown key \"listen_port\"", refusal("trace = false\nlisten_port = 1"));
  EXPECT_EQ("F:1: unknown key \"x\" in [limits]", refusal("[limits.x]\ny = 1"));
  EXPECT_EQ("F:1: unknown key \"tls_files\"", refusal("[tls_files]"));
  // A slip of the keyboard gets the name meant; a key in the wrong table, its own.
  EXPECT_EQ("F:3: unknown key \"max_conections\" in [limits] (did you mean \"max_connections\"?)",
            refusal("[limits]\nhead_timeout = \"1s\"\nmax_conections = 5"));
  EXPECT_EQ("F:3: unknown key \"plugn\" in [[bridge]] (did you mean \"plugin\"?)",
            refusal("[[bridge]]\npath = \"/a\"\nplugn = \"sample\""));
  EXPECT_EQ("F:1: unknown key \"limit\" (did you mean \"limits\"?)", refusal("[limit]\nbody_limit = 1"));
  EXPECT_EQ("F:1: unknown key \"trcae\" (did you mean \"trace\"?)", refusal("trcae = true"));
  EXPECT_EQ("F:1: unknown key \"bridges\" (did you mean \"bridge\"?)",
            refusal("[[bridges]]\npath = \"/a\"\nplugin = \"sample\""));
  EXPECT_EQ("F:2: unknown key \"head_timeout\" in [listen] (it belongs in [limits])",
            refusal("[listen]\nhead_timeout = \"1s\""));
  EXPECT_EQ("F:1: unknown key \"port\" (it belongs in [listen] or in [admin])", refusal("port = 8420"));
  EXPECT_EQ("F:2: unknown key \"trace\" in [limits] (it belongs at the top, before any table)",
            refusal("[limits]\ntrace = true"));
  // The first fault in the file, though toml++ sorts keys by name.
  EXPECT_EQ("F:2: port in [listen] must be an integer from 0 to 65535, not \"x\"",
            refusal("[listen]\nport = \"x\"\n[limits]\nhead_timeout = 30"));
}

TEST_F(ConfigFile, RefusesValuesOfTheWrongKind) {
  EXPECT_EQ("F:1: limits must be a table, not 5", refusal("limits = 5"));
  EXPECT_EQ("F:1: trace must be true or false, not \"yes\"", refusal("trace = \"yes\""));
  EXPECT_EQ("F:1: compression must be \"auto\", \"always\" or \"never\", not \"off\"",
            refusal("compression = \"off\""));
  EXPECT_EQ("F:2: address in [listen] must be a string, not 127", refusal("[listen]\naddress = 127"));
  EXPECT_EQ("F:2: user in [basic_auth] must be a string, not an array", refusal("[basic_auth]\nuser = [\"a\"]"));
  EXPECT_EQ("F:2: body_limit in [limits] must be an integer from 0 to 2147483647, not 1.5",
            refusal("[limits]\nbody_limit = 1.5"));
  EXPECT_EQ("F:2: port in [listen] must be an integer from 0 to 65535, not true", refusal("[listen]\nport = true"));
  EXPECT_EQ("F:2: first_lockout in [lockout] must be a duration from 1ms to 8760h such as \"30s\" or \"500ms\", "
            "not a date or time",
            refusal("[lockout]\nfirst_lockout = 10:00:00"));
  EXPECT_EQ("F:2: path in [sso] must be a URL path starting with \"/\", not \"logon\"",
            refusal("[sso]\npath = \"logon\""));
  EXPECT_EQ("-", read("[log]\naccess_log = \"-\"").host.accessLog);
  EXPECT_EQ("F:2: trusted_proxies in [log] must be an array of IP addresses as strings, not \"10.0.0.1\"",
            refusal("[log]\ntrusted_proxies = \"10.0.0.1\""));
  EXPECT_EQ("F:2: trusted_proxies in [log] must be an array of IP addresses as strings, not an array",
            refusal("[log]\ntrusted_proxies = [\"10.0.0.1\", 7]"));
  EXPECT_EQ("F:2: trusted_proxies in [log]: trusted proxy '10.0.0.0/8' is not an IP address",
            refusal("[log]\ntrusted_proxies = [\"10.0.0.1\", \"10.0.0.0/8\"]"));
}

TEST_F(ConfigFile, RefusesSettingsThatTogetherWouldFailOpenOrServeNothing) {
  EXPECT_EQ("F:3: user in [basic_auth] has no password: add password or password_file (an empty one would let "
            "anyone in)",
            refusal("[basic_auth]\nrealm = \"r\"\nuser = \"u\"\n"));
  EXPECT_EQ("F:2: user in [sso] has no password: add password or password_file (an empty one would let anyone in)",
            refusal("[sso]\nuser = \"op\"\npath = \"/logon\""));
  EXPECT_EQ("F:2: password in [basic_auth] has no user to go with it", refusal("[basic_auth]\npassword = \"pw\""));
  EXPECT_EQ("F:3: password in [basic_auth] is empty", refusal("[basic_auth]\nuser = \"u\"\npassword = \"\""));
  EXPECT_EQ("F:2: user in [sso] is empty", refusal("[sso]\nuser = \"\"\npassword = \"p\""));
  write("secret", "pw\n");
  EXPECT_EQ("F:2: password_file in [sso] has no user to go with it", refusal("[sso]\npassword_file = \"secret\""));
  EXPECT_EQ("op", read("[sso]\npassword_file = \"secret\"\nuser = \"op\"").host.sso.user);

  EXPECT_EQ("F:2: call_memory_budget in [limits] (2147483648) is above memory_budget (1073741824): a call could "
            "never reserve its share, and every call would get 503",
            refusal("[limits]\ncall_memory_budget = 2147483648"));
  EXPECT_EQ("F:3: call_memory_budget in [limits] (67108864) is above memory_budget (65536): a call could never "
            "reserve its share, and every call would get 503",
            refusal("[limits]\n\nmemory_budget = 65536"));
  EXPECT_EQ(65536u, read("[limits]\nmemory_budget = 65536\ncall_memory_budget = 65536").host.memoryBudget);
}

TEST_F(ConfigFile, RefusesPathsNoRequestCanReach) {
  const std::string bridge = "[[bridge]]\nplugin = \"sample\"\npath = ";
  EXPECT_EQ("F:3: path in [[bridge]]: \"/b?x\" holds \"?\", where a request's path ends and its query begins",
            refusal(bridge + "\"/b?x\""));
  EXPECT_EQ("F:3: path in [[bridge]]: \"/c d\" holds a blank, which a request cannot carry (write it as %20)",
            refusal(bridge + "\"/c d\""));
  EXPECT_EQ("F:3: path in [[bridge]]: \"/a#b\" holds \"#\", which begins a fragment that clients never send",
            refusal(bridge + "\"/a#b\""));
  EXPECT_EQ("F:3: path in [[bridge]]: \"/a%2\" holds \"%\" without two hex digits after it",
            refusal(bridge + "\"/a%2\""));
  EXPECT_EQ("F:3: path in [[bridge]]: \"/a%zz\" holds \"%\" without two hex digits after it",
            refusal(bridge + "\"/a%zz\""));
  EXPECT_EQ("F:3: path in [[bridge]]: \"/\u00e9\" holds the byte 0xC3, which a request cannot carry (write it as %C3)",
            refusal(bridge + "\"/\u00e9\""));
  EXPECT_EQ("F:3: path in [[bridge]]: \"/a\\b\" holds the byte 0x5C, which a request cannot carry (write it as %5C)",
            refusal(bridge + "\"/a\\\\b\""));
  for (const std::string dots : {"/a/../b", "/./a", "/a/.."})
    EXPECT_EQ("F:3: path in [[bridge]]: \"" + dots +
                  "\" holds a \".\" or \"..\" segment, which clients remove before they send a path",
              refusal(bridge + "\"" + dots + "\""))
        << dots;
  EXPECT_EQ("F:2: path in [sso]: \"/log on\" holds a blank, which a request cannot carry (write it as %20)",
            refusal("[sso]\npath = \"/log on\""));
  // What a request can name as it stands is served.
  for (const std::string good : {"/a%20b/c", "/a/.b/..c/x.", "/~u/a-b_c;v=1/@:!$&'()*+,="})
    EXPECT_EQ(good, read(bridge + "\"" + good + "\"").bridges.at(0).path) << good;
}

TEST_F(ConfigFile, HoldsIntegersToTheirRanges) {
  EXPECT_EQ(65535, read("[listen]\nport = 65535").host.port);
  EXPECT_EQ("F:2: port in [listen] must be an integer from 0 to 65535, not 65536", refusal("[listen]\nport = 65536"));
  EXPECT_EQ("F:2: port in [listen] must be an integer from 0 to 65535, not -1", refusal("[listen]\nport = -1"));
  EXPECT_EQ(0u, read("[limits]\nmax_connections = 0").host.maxConnections);
  EXPECT_EQ(1000000u, read("[limits]\nmax_connections = 1000000").host.maxConnections);
  EXPECT_EQ("F:2: max_connections in [limits] must be an integer from 0 to 1000000, not 1000001",
            refusal("[limits]\nmax_connections = 1000001"));
  EXPECT_EQ("F:2: max_running_calls in [limits] must be an integer from 1 to 1000, not 0",
            refusal("[limits]\nmax_running_calls = 0"));
  EXPECT_EQ(65536u, read("[limits]\ncall_memory_budget = 65536").host.callMemoryBudget);
  EXPECT_EQ("F:2: call_memory_budget in [limits] must be an integer from 65536 to 1099511627776, not 65535",
            refusal("[limits]\ncall_memory_budget = 65535"));
  EXPECT_EQ(0x7FFFFFFFu, read("[limits]\nbody_limit = 2147483647").host.bodyLimit);
  EXPECT_EQ("F:2: body_limit in [limits] must be an integer from 0 to 2147483647, not 2147483648",
            refusal("[limits]\nbody_limit = 2147483648"));
  EXPECT_EQ(4294967295u, read("[limits]\nmax_requests_per_connection = 4294967295").host.maxRequestsPerConnection);
  EXPECT_EQ("F:2: max_requests_per_connection in [limits] must be an integer from 1 to 4294967295, not 4294967296",
            refusal("[limits]\nmax_requests_per_connection = 4294967296"));
  EXPECT_EQ("F:2: max_connections in [admin] must be an integer from 1 to 1000, not 0",
            refusal("[admin]\nmax_connections = 0"));
  EXPECT_EQ("F:2: header_limit in [limits] must be an integer from 1024 to 1048576, not 1023",
            refusal("[limits]\nheader_limit = 1023"));
  EXPECT_EQ("F:2: free_failures in [lockout] must be an integer from 0 to 1000, not -9223372036854775808",
            refusal("[lockout]\nfree_failures = -9223372036854775808"));
}

// Listening addresses are checked as trusted_proxies are: where they stand,
// not later by the host with no word of the file.
TEST_F(ConfigFile, RefusesListeningAddressesThatAreNoIpAddressWhereTheyStand) {
  EXPECT_EQ(0u, refusal("[listen]\naddress = \"localhost\"\n").rfind("F:2: address in [listen]", 0))
      << refusal("[listen]\naddress = \"localhost\"\n");
  EXPECT_EQ(0u, refusal("[admin]\nenabled = true\naddress = \"127.1\"\n").rfind("F:3: address in [admin]", 0))
      << refusal("[admin]\nenabled = true\naddress = \"127.1\"\n");
}

// Each part of a dotted key nests a table; an inline table keeps them all
// on one line, and dots in strings and comments are no parts.
TEST_F(ConfigFile, BoundsTheDottedPartsOfALine) {
  std::string deep = "x = {";
  for (int i = 0; i < 33; ++i) deep += "a.";
  EXPECT_EQ("F:2: more than 32 dotted key parts on one line: no setting is nested that deep",
            refusal("trace = true\n" + deep + "b = 1}\n"));
  std::string proxies = "[log]\ntrusted_proxies = [";
  for (int i = 0; i < 40; ++i) proxies += "\"10.0.0." + std::to_string(i) + "\", ";
  const std::string dots(100, '.');
  const BridgeConfig config = read(proxies + "] # " + dots + "\n[basic_auth]\nuser = \"u\"\npassword = \"\"\"\n" + dots +
                                   "\\\"\n" + dots + "\"\"\"\nrealm = '''\n" + dots + "'''\n");
  EXPECT_EQ(40u, config.host.trustedProxies.size());
  EXPECT_EQ(dots + "\"\n" + dots, config.host.password);
  EXPECT_EQ(dots, config.host.realm);
}

TEST_F(ConfigFile, ReadsDurationsAsAWholeNumberAndOneUnit) {
  EXPECT_EQ(1, read("[limits]\nhead_timeout = \"1ms\"").host.headTimeout.count());
  EXPECT_EQ(3600000, read("[limits]\nhead_timeout = \"1h\"").host.headTimeout.count());
  EXPECT_EQ(3600000, read("[limits]\nhead_timeout = \"60m\"").host.headTimeout.count());
  EXPECT_EQ(1000, read("[sso]\nsession_life = \"1s\"").host.auth.sessionLifetime.count());
  EXPECT_EQ(31536000000, read("[sso]\nsession_life = \"8760h\"").host.auth.sessionLifetime.count());
  const std::string headTimeout = "F:2: head_timeout in [limits] must be a duration from 1ms to 1h such as \"30s\" or "
                                "\"500ms\", not ";
  for (const std::string bad : {"\"3600001ms\"", "\"61m\"", "\"0ms\"", "\"1.5s\"", "\"30 s\"", "\"-1s\"",
                                 "\"30S\"", "\"s\"", "\"\"", "\"1000000000000ms\"", "-30", "1.5"})
    EXPECT_EQ(headTimeout + bad, refusal("[limits]\nhead_timeout = " + bad)) << bad;
  // A bare number, as a string or not, gets the spelling meant most often.
  EXPECT_EQ(headTimeout + "\"30\" (with its unit: \"30s\")", refusal("[limits]\nhead_timeout = \"30\""));
  EXPECT_EQ(headTimeout + "30 (with its unit: \"30s\")", refusal("[limits]\nhead_timeout = 30"));
  EXPECT_EQ("F:2: session_life in [sso] must be a duration from 1s to 8760h such as \"30s\" or \"500ms\", "
            "not \"999ms\"",
            refusal("[sso]\nsession_life = \"999ms\""));
  EXPECT_EQ("F:2: session_life in [sso] must be a duration from 1s to 8760h such as \"30s\" or \"500ms\", "
            "not \"8761h\"",
            refusal("[sso]\nsession_life = \"8761h\""));
}

TEST_F(ConfigFile, ReadsBridgesWithPluginsBesideTheFile) {
  EXPECT_EQ((std::vector<BridgeEntry>{
                {"/b", "/usr/lib/b.so", ""}, {"/c", folder_.file("c/libc.so"), "kv"}, {"/s", "sample", ""}}),
            read("[[bridge]]\npath = \"/b\"\nplugin = \"/usr/lib/b.so\"\n[[bridge]]\npath = \"/c\"\n"
                 "plugin = \"c/libc.so\"\nname = \"kv\"\n[[bridge]]\npath = \"/s\"\nplugin = \"sample\"")
                .bridges);
  EXPECT_EQ("F:3: name in [[bridge]] must be a name without control characters or blanks at either end, not \"\"",
            refusal("[[bridge]]\npath = \"/b\"\nname = \"\"\nplugin = \"sample\""));
  EXPECT_EQ("F:3: plugin in [[bridge]] must be \"sample\" or a bridge plugin's file, not \"\"",
            refusal("[[bridge]]\npath = \"/b\"\nplugin = \"\""));
  EXPECT_EQ("F:2: [[bridge]] has no path", refusal("trace = false\n[[bridge]]\nplugin = \"sample\""));
  EXPECT_EQ("F:1: [[bridge]] has no plugin", refusal("[[bridge]]\npath = \"/a\""));
  EXPECT_EQ("F:2: path in [[bridge]] must be a URL path starting with \"/\", not \"a\"",
            refusal("[[bridge]]\npath = \"a\"\nplugin = \"sample\""));
  EXPECT_EQ("F:4: [[bridge]] path \"/a\" is served already (line 1)",
            refusal("[[bridge]]\npath = \"/a\"\nplugin = \"sample\"\n[[bridge]]\npath = \"/a\"\nplugin = \"sample\""));
  EXPECT_EQ("F:1: bridge must be one or more [[bridge]] tables, not an empty array", refusal("bridge = []"));
  EXPECT_EQ("F:1: bridge must be one or more [[bridge]] tables, not \"/a\"", refusal("bridge = \"/a\""));
}

TEST_F(ConfigFile, ReadsPasswordsFromFilesOnlyTheirOwnerAndGroupRead) {
  write("secret", "first line\r\nsecond line\n", 0640);
  EXPECT_EQ("first line", read("[basic_auth]\nuser = \"u\"\npassword_file = \"secret\"").host.password);
  EXPECT_EQ("first line",
            read("[sso]\nuser = \"u\"\npassword_file = \"" + folder_.file("secret") + "\"").host.sso.password);

  write("open", "pw\n", 0644);
  EXPECT_EQ("F:2: password_file in [sso]: \"" + folder_.file("open") + "\" can be read by every user (chmod o-r it)",
            refusal("[sso]\npassword_file = \"open\""));
  EXPECT_EQ("F:2: password_file in [basic_auth]: cannot read \"" + folder_.file("none") +
                "\": No such file or directory",
            refusal("[basic_auth]\npassword_file = \"none\""));
  write("empty", "\n", 0600);
  EXPECT_EQ("F:2: password_file in [basic_auth]: \"" + folder_.file("empty") + "\" is empty",
            refusal("[basic_auth]\npassword_file = \"empty\""));
  write("large", std::string(4097, 'x'), 0600);
  EXPECT_EQ("F:2: password_file in [basic_auth]: \"" + folder_.file("large") + "\" is larger than 4096 bytes",
            refusal("[basic_auth]\npassword_file = \"large\""));
  EXPECT_EQ("F:2: password_file in [basic_auth]: \"/tmp\" is not a regular file",
            refusal("[basic_auth]\npassword_file = \"/tmp\""));
  EXPECT_EQ("F:3: password and password_file in [sso] exclude each other",
            refusal("[sso]\npassword = \"a\"\npassword_file = \"secret\""));

  // A session key as --session-key-file reads it.
  write("short-key", std::string(31, 'k') + "\n", 0600);
  EXPECT_EQ("F:2: session_key_file in [sso]: the session key in '" + folder_.file("short-key") +
                "' has 31 bytes; it needs at least 32",
            refusal("[sso]\nsession_key_file = \"short-key\""));
  write("open-key", std::string(32, 'k'), 0644);
  EXPECT_EQ("F:2: session_key_file in [sso]: '" + folder_.file("open-key") +
                "' can be read by every user (chmod o-r it)",
            refusal("[sso]\nsession_key_file = \"open-key\""));
}

TEST_F(ConfigFile, RefusesBadSyntaxWithTheParsersLineAndFilesItCannotRead) {
  EXPECT_EQ("F:3: Error while parsing key-value pair: expected value, saw '\\n'",
            refusal("[listen]\nport = 1\naddress =\n"));
  BridgeConfig config;
  const std::string none = folder_.file("none.toml");
  try {
    dravbridge::readConfigFile(none, config);
    ADD_FAILURE() << "read a missing file";
  } catch (const ConfigError& e) {
    EXPECT_EQ(none + ": cannot read: No such file or directory", std::string(e.what()));
  }
  EXPECT_THROW(dravbridge::readConfigFile(folder_.path(), config), ConfigError);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The example with the settings it leaves out ("#key = value", "#[table]")
// put back.
std::string withLeftOutSettings(const std::string& example) {
  return std::regex_replace(example, std::regex("(^|\n)#(?=[^ \n])"), "$1");
}

// The example in the package is the configuration the service runs with:
// its comments say its values are the defaults unless they tell otherwise,
// and the settings it leaves out are read beside the secret files they
// name.
TEST_F(ConfigFile, ShippedExampleHoldsTheDefaultsItClaims) {
  const std::string example = readFile(DRAVBRIDGE_EXAMPLE_CONFIG);
  HostSettings expected;
  expected.port = 8420;
  expected.stopGrace = std::chrono::seconds(30);
  expected.admin.port = 9420;
  expected.trustedProxies = {"127.0.0.1"};
  BridgeConfig config = read(example);
  expectSameSettings(expected, config.host);
  EXPECT_FALSE(config.trace);
  EXPECT_TRUE(config.describe);
  EXPECT_EQ(DRAVCompression::DRAVCompressionChoice::WhenItPays, config.compression);
  EXPECT_EQ(BridgeConfig().bridges, config.bridges);

  write("basic-password", "caller's\n", 0600);
  write("sso-password", "operator's\n", 0600);
  write("session-key", std::string(64, 'c') + "\n", 0600);
  // password and password_file exclude each other: the files are read.
  config = read(std::regex_replace(withLeftOutSettings(example), std::regex("\npassword = [^\n]*"), ""));
  expected.certFile = folder_.file("cert.pem");
  expected.keyFile = folder_.file("key.pem");
  expected.user = "caller";
  expected.password = "caller's";
  expected.sso.user = "operator";
  expected.sso.password = "operator's";
  expected.auth.sessionKey = std::string(64, 'c');
  expectSameSettings(expected, config.host);
}

// Its settings, those it leaves out included, are every key the file may
// hold: the reference of the file (dravbridge.toml(5)) is made from it.
TEST_F(ConfigFile, ShippedExampleNamesEveryKey) {
  std::set<std::string> named;
  std::string table;
  std::istringstream lines(withLeftOutSettings(readFile(DRAVBRIDGE_EXAMPLE_CONFIG)));
  std::smatch found;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, found, std::regex("\\[+([a-z_]+)\\]+"))) table = found[1].str() + ".";
    else if (std::regex_match(line, found, std::regex("([a-z_]+) = .*"))) named.insert(table + found[1].str());
  }
  const std::vector<std::string> keys = dravbridge::configKeys();
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), named);
}

// dravbridge itself: the file first, then the command line over it.
TEST_F(ConfigFile, CommandLineOverridesTheFile) {
  hosttest::SampleHost busy;  // holds the port the file names
  const std::string file = write("bridge.toml", "[listen]\nport = " + std::to_string(busy.port()) +
                                                    "\n[sso]\nuser = \"u\"\npassword = \"p\"\npath = \"/file-logon\"\n"
                                                    "[[bridge]]\npath = \"/file/a\"\nplugin = \"sample\"\n");
  {
    BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--port", "0", "--config", file, "--sso-path", "/cli-logon"});
    const std::string port = host.waitForLine("dravbridge: listening on port ");
    ASSERT_NE("", port) << host.stop().err;
    EXPECT_NE(std::to_string(busy.port()), port);
    EXPECT_EQ("http://127.0.0.1:" + port + "/file/a", host.waitForLine("dravbridge: sample bridge at "));
    EXPECT_EQ("http://127.0.0.1:" + port + "/cli-logon", host.waitForLine("dravbridge: logon at "));
  }
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--config", file, "--path", "/cli", "--port", "0"});
  const std::string port = host.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", port) << host.stop().err;
  EXPECT_EQ("http://127.0.0.1:" + port + "/cli", host.waitForLine("dravbridge: sample bridge at "));
  EXPECT_EQ("http://127.0.0.1:" + port + "/file-logon", host.waitForLine("dravbridge: logon at "));
  const ProgramResult stopped = host.stop();
  EXPECT_EQ(std::string::npos, stopped.out.find("/file/a")) << stopped.out;
}

TEST_F(ConfigFile, RefusesABridgeNameNoCallCanCarry) {
  // A header value loses its blanks at either end and holds no control
  // characters: a bridge named so would answer every call 404.
  for (const char* name : {"\" kv\"", "\"kv \"", "\"kv\\t\"", "\"k\\u0001v\"", "\"k\\u007fv\""}) {
    SCOPED_TRACE(name);
    EXPECT_NE("accepted", refusal(std::string("[[bridge]]\npath = \"/b\"\nname = ") + name + "\nplugin = \"sample\""));
  }
  EXPECT_EQ("k v", read("[[bridge]]\npath = \"/b\"\nname = \"k v\"\nplugin = \"sample\"").bridges[0].name);
}

TEST_F(ConfigFile, ProgramRefusesABadFileWithItsReason) {
  const std::string file = write("bridge.toml", "[limits]\nmax_running_calls = 0\n");
  const ProgramResult run = runProgram(DRAVBRIDGE_PROGRAM, {"--port", "0", "--config", file}, 10s);
  EXPECT_EQ(2, run.exitCode);
  EXPECT_EQ("dravbridge: " + file + ":2: max_running_calls in [limits] must be an integer from 1 to 1000, not 0\n",
            run.err);
  EXPECT_EQ("", run.out);
}

// A table header of dotted keys nests one table per key: 100,000 of them fit
// in 200 KB, well within the file's size bound, and must be refused like
// any other unknown key, not take the program down.
TEST_F(ConfigFile, ProgramRefusesADeeplyDottedTableHeader) {
  std::string header = "[";
  for (int i = 0; i < 100000; ++i) header += "a.";
  const std::string file = write("bridge.toml", header + "b]\n");
  const ProgramResult run = runProgram(DRAVBRIDGE_PROGRAM, {"--port", "0", "--config", file}, 10s);
  EXPECT_EQ(2, run.exitCode);
  EXPECT_EQ(0u, run.err.rfind("dravbridge: " + file + ":1: ", 0)) << run.err.substr(0, 200);
}

}  // namespace
}  // namespace e2e

#endif
