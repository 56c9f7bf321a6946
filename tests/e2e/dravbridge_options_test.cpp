// dravbridge's command line as a user meets it: durations spelled as in the
// configuration file, refusals that name the option and the form it takes,
// a hint at the option meant, and the per-call memory budget, whose 413
// names the setting that raises it.
#ifdef DRAVBRIDGE_PROGRAM

#include "program_runner.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

// Whether dravbridge listens with these options.
bool starts(const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {"--port", "0"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, arguments);
  return !host.waitForLine("dravbridge: listening on port ").empty();
}

// What dravbridge says to options it refuses: its exit status and standard error.
std::string verdict(const std::vector<std::string>& options) {
  std::vector<std::string> arguments = {"--port", "0"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  const ProgramResult run = runProgram(DRAVBRIDGE_PROGRAM, arguments, 10s);
  return std::to_string(run.exitCode) + " " + run.err + run.out;
}

TEST(DravbridgeOptions, DurationsAreSpelledAsInTheConfigurationFile) {
  EXPECT_TRUE(starts({"--stop-grace", "10s", "--timeout", "1500ms", "--session-life", "8h"}));
  EXPECT_TRUE(starts({"--stop-grace", "0s", "--timeout", "1h", "--session-life", "1s"}));
  const std::string timeout =
      "2 dravbridge: --timeout takes a duration from 1ms to 1h such as \"30s\" or \"500ms\", not ";
  EXPECT_EQ(timeout + "'30' (with its unit: \"30s\") (see --help)\n", verdict({"--timeout", "30"}));
  EXPECT_EQ(timeout + "'61m' (see --help)\n", verdict({"--timeout", "61m"}));
  EXPECT_EQ(timeout + "'0s' (see --help)\n", verdict({"--timeout", "0s"}));
  EXPECT_EQ(timeout + "'1.5s' (see --help)\n", verdict({"--timeout", "1.5s"}));
  EXPECT_EQ("2 dravbridge: --stop-grace takes a duration from 0s to 1h such as \"30s\" or \"500ms\", not '10' "
            "(with its unit: \"10s\") (see --help)\n",
            verdict({"--stop-grace", "10"}));
  EXPECT_EQ("2 dravbridge: --session-life takes a duration from 1s to 8760h such as \"30s\" or \"500ms\", not "
            "'999ms' (see --help)\n",
            verdict({"--session-life", "999ms"}));
  EXPECT_TRUE(starts({"--call-time-limit", "0s", "--max-stuck-calls", "0"}));
  EXPECT_EQ("2 dravbridge: --call-time-limit takes a duration from 0s to 1h such as \"30s\" or \"500ms\", not "
            "'61m' (see --help)\n",
            verdict({"--call-time-limit", "61m"}));
  EXPECT_EQ("2 dravbridge: --max-stuck-calls takes an integer from 0 to 1000, not '1001' (see --help)\n",
            verdict({"--max-stuck-calls", "1001"}));
}

TEST(DravbridgeOptions, RefusalsNameTheOptionAndWhatItTakes) {
  EXPECT_EQ("2 dravbridge: --port takes an integer from 0 to 65535, not '70000' (see --help)\n",
            verdict({"--port", "70000"}));
  EXPECT_EQ("2 dravbridge: --max-calls takes an integer from 1 to 1000, not '0' (see --help)\n",
            verdict({"--max-calls", "0"}));
  EXPECT_EQ("2 dravbridge: --admin-port takes an integer from 0 to 65535, not '-1' (see --help)\n",
            verdict({"--admin-port", "-1"}));
  EXPECT_EQ("2 dravbridge: --logon-failures takes an integer from 0 to 1000, not '5x' (see --help)\n",
            verdict({"--logon-failures", "5x"}));
  EXPECT_EQ("2 dravbridge: --call-memory-budget takes an integer from 65536 to 1099511627776, not '65535' "
            "(see --help)\n",
            verdict({"--call-memory-budget", "65535"}));
  EXPECT_EQ("2 dravbridge: --memory-budget takes an integer from 65536 to 1099511627776, not '1099511627777' "
            "(see --help)\n",
            verdict({"--memory-budget", "1099511627777"}));
  EXPECT_EQ("2 dravbridge: --path takes a URL path starting with '/', not 'api/kv' (see --help)\n",
            verdict({"--path", "api/kv"}));
  EXPECT_EQ("2 dravbridge: --sso-path takes a URL path starting with '/', not 'logon' (see --help)\n",
            verdict({"--sso-user", "u", "--sso-path", "logon"}));
  EXPECT_EQ("2 dravbridge: --path: \"/a?b\" holds \"?\", where a request's path ends and its query begins (see --help)\n",
            verdict({"--path", "/a?b"}));
  EXPECT_EQ("2 dravbridge: unknown option --max-conections (did you mean \"--max-connections\"?) (see --help)\n",
            verdict({"--max-conections", "5"}));
  EXPECT_EQ("2 dravbridge: unknown option --stop-grace-time (did you mean \"--stop-grace\"?) (see --help)\n",
            verdict({"--stop-grace-time", "5s"}));
  EXPECT_EQ("2 dravbridge: unknown option --frobnicate (see --help)\n", verdict({"--frobnicate", "5"}));
}

// A request's path ends at '?' or '#': a bridge path holding one is served at
// a URL no request reaches ("no bridge at /a"), so it is refused at the start,
// from the command line as from the configuration file (killed after 5 s if
// it listens instead).
TEST(DravbridgeOptions, ABridgePathWithAQueryOrFragmentIsRefused) {
  TempFolder folder;
  const std::string file = folder.file("bridge.toml");
  std::ofstream(file) << "[[bridge]]\npath = \"/kv?x=1\"\nplugin = \"sample\"\n";
  const std::vector<std::vector<std::string>> refused = {
      {"--path", "/a?b"},  {"--path", "/a#b"}, {"--sso-user", "u", "--sso-path", "/logon?x"}, {"--config", file},
      {"--bridge", "libx.so=/x?y"}};
  for (const auto& options : refused) {
    std::vector<std::string> arguments = {"--port", "0", "--event-loops", "1"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const ProgramResult run = runProgram(DRAVBRIDGE_PROGRAM, arguments, 5s);
    EXPECT_EQ(2, run.exitCode) << options.back() << ": " << run.out;
  }
}

// The budget reaches the host, and a call over it learns which setting to raise.
TEST(DravbridgeOptions, CallMemoryBudgetIsTheSettingThe413Names) {
  TempFolder folder;
  const std::string value = folder.file("value.bin");
  std::ofstream(value, std::ios::binary) << std::string(100000, 'v');
  BackgroundProgram host(DRAVBRIDGE_PROGRAM, {"--port", "0", "--call-memory-budget", "65536"});
  const std::string port = host.waitForLine("dravbridge: listening on port ");
  ASSERT_NE("", port) << host.stop().err;
  const std::string url = "http://127.0.0.1:" + port + "/bridges/sample";
  // Compressed, the value's bytes fit; decoded, they pass the budget.
  const ProgramResult call = runProgram(DRAVCALL_PROGRAM, {url, "sample", "echo", "bin:@" + value}, 60s);
  EXPECT_EQ(3, call.exitCode);
  EXPECT_EQ("dravcall: the host answered HTTP 413: decoding the arguments takes more than the 65536 bytes a call may "
            "hold; raise call_memory_budget in [limits] (--call-memory-budget)\n",
            call.err);
  const ProgramResult small = runProgram(DRAVCALL_PROGRAM, {url, "sample", "echo", "bin:0x0102"});
  EXPECT_EQ(0, small.exitCode) << small.err;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Prose as one line: comment marks at line starts, backticks and line breaks
// gone, so that a sentence split over comment lines reads whole.
std::string prose(const std::string& text) {
  std::string joined = std::regex_replace(text, std::regex("\n[ \t]*#*[ \t]*"), " ");
  joined.erase(std::remove(joined.begin(), joined.end(), '`'), joined.end());
  return std::regex_replace(joined, std::regex("[ \t]+"), " ");
}

// Each option's "(default X)" in dravbridge --help.
std::map<std::string, std::string> helpDefaults() {
  const ProgramResult help = runProgram(DRAVBRIDGE_PROGRAM, {"--help"}, 10s);
  std::map<std::string, std::string> defaults;
  const std::string text = std::regex_replace(help.out, std::regex("\n {20,}"), " ");
  const std::regex option("\n  (--[a-z-]+)[^\n]*\\(default ([^:)][^)]*)\\)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
    defaults[(*it)[1]] = (*it)[2];
  return defaults;
}

// The packaging, the README and the guides say what dravbridge's options default to and
// how the service starts it; each such word must be what the program says.
TEST(DravbridgeOptions, DocumentedDefaultsAreWhatHelpSays) {
  const std::map<std::string, std::string> defaults = helpDefaults();
  ASSERT_EQ("10s", defaults.at("--timeout"));
  ASSERT_EQ("67108864", defaults.at("--call-memory-budget"));

  // "(--timeout, default 10s)", "(dravbridge --timeout, default 10s)", "(and --admin-address, default ...)".
  const std::regex claim("\\((?:and )?(?:dravbridge )?(--[a-z][a-z-]*)[^,()]*, default ([^)]+)\\)");
  int claims = 0;
  std::vector<std::string> documents = {DRAV_README, DRAV_NGINX_SITE, DRAV_SYSTEMD_UNIT, DRAVBRIDGE_EXAMPLE_CONFIG};
  for (const auto& page : std::filesystem::directory_iterator(DRAV_DOCS))
    if (page.path().extension() == ".md") documents.push_back(page.path().string());
  for (const std::string& document : documents) {
    const std::string text = prose(readFile(document));
    const std::sregex_iterator end;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), claim); it != end; ++it, ++claims) {
      ASSERT_EQ(1u, defaults.count((*it)[1])) << document << ": " << (*it)[0] << " is no option with a default";
      EXPECT_EQ(defaults.at((*it)[1]), (*it)[2]) << document << ": " << (*it)[0];
    }
  }
  EXPECT_GE(claims, 2);

  // The example configuration's values are the defaults unless it says otherwise.
  const struct {
    const char* option;
    const char* table;
    const char* key;
  } keys[] = {
      {"--address", "listen", "address"},           {"--timeout", "limits", "head_timeout"},
      {"--timeout", "limits", "transfer_grace"},
      {"--max-calls", "limits", "max_running_calls"}, {"--call-memory-budget", "limits", "call_memory_budget"},
      {"--memory-budget", "limits", "memory_budget"}, {"--session-life", "sso", "session_life"},
      {"--sso-path", "sso", "path"},                {"--logon-failures", "lockout", "free_failures"},
      {"--admin-address", "admin", "address"},     {"--call-time-limit", "limits", "call_time_limit"},
      {"--max-stuck-calls", "limits", "max_stuck_calls"},
  };
  std::map<std::string, std::string> example;  // "table.key" -> value without quotes
  std::string table;
  std::istringstream lines(readFile(DRAVBRIDGE_EXAMPLE_CONFIG));
  std::smatch found;
  for (std::string line; std::getline(lines, line);) {
    // Settings left out ("#key = value") give their defaults too.
    if (std::regex_match(line, found, std::regex("#?\\[+([a-z_]+)\\]+"))) table = found[1];
    else if (std::regex_match(line, found, std::regex("#?([a-z_]+) = \"?([^\"]*)\"?")))
      example[table + "." + found[1].str()] = found[2];
  }
  for (const auto& k : keys)
    EXPECT_EQ(defaults.at(k.option), example[std::string(k.table) + "." + k.key]) << k.option << " and " << k.key;

  // The service runs with the example, its [listen] the nginx site's upstream;
  // systemd waits for the stop grace before it kills.
  const std::string unit = readFile(DRAV_SYSTEMD_UNIT);
  ASSERT_TRUE(std::regex_search(unit, found, std::regex("\nExecStart=/usr/bin/dravbridge ([^\n]*)")));
  EXPECT_EQ("--config /etc/dravbridge/dravbridge.toml", found[1].str());
  EXPECT_NE(std::string::npos, readFile(DRAV_NGINX_SITE).find("    server " + example["listen.address"] + ":" +
                                                            example["listen.port"] + " "));
  ASSERT_TRUE(std::regex_search(unit, found, std::regex("\nTimeoutStopSec=([0-9]+)s\n")));
  const int killedAfter = std::stoi(found[1]);
  ASSERT_TRUE(std::regex_match(example["limits.stop_grace"], found, std::regex("([0-9]+)s")));
  EXPECT_LT(std::stoi(found[1]), killedAfter);
}

}  // namespace
}  // namespace e2e

#endif
