// Reads dravbridge's configuration file through toml++. One table below maps
// each key onto its field with its type and range, so that a new setting is
// one line there; everything else refuses what does not fit, with the
// file, the line and the reason.
#include "config_file.h"

#include "duration_text.h"

#include <drav/common/near_names.h>

#include "host/server/forwarded_client.h"
#include "host/server/header_text.h"
#include "host/server/url_path.h"
#include "host/sso/session_token.h"

#include <boost/asio/ip/address.hpp>
#include <toml++/toml.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <type_traits>
#include <vector>

namespace dravbridge {
namespace {

using DRAV::detail::didYouMean;

constexpr std::uint64_t kSecond = 1000, kMinute = 60 * kSecond, kHour = 60 * kMinute;
// Longer is no setting anyone means, and a later clock reading plus it would
// come near what the host's clocks can hold.
constexpr std::uint64_t kYear = 8760 * kHour;
constexpr std::uint64_t kLargestBody = 0x7FFFFFFF;  // lengths are signed 32-bit counts
constexpr std::size_t kConfigFileLimit = 1024 * 1024;
constexpr std::size_t kSecretFileLimit = 4096;

// A value of the file and where it stands.
struct Found {
  const toml::node& node;
  std::string at;      // "FILE:LINE"
  std::string name;    // "key in [table]"
  std::string folder;  // the file's folder with its '/', or "": relative names start there
};

std::string lineOf(const std::string& file, const toml::source_region& where) {
  return file + ":" + std::to_string(where.begin.line);
}

// The value as the file spells it, or what kind of value it is.
std::string shown(const toml::node& node) {
  if (node.is_table()) return "a table";
  if (node.is_array()) return node.as_array()->empty() ? "an empty array" : "an array";
  if (node.is_date() || node.is_time() || node.is_date_time()) return "a date or time";
  if (const auto* text = node.as_string()) return "\"" + text->get() + "\"";
  std::ostringstream text;
  node.visit([&text](const auto& value) { text << value; });
  return text.str();
}

[[noreturn]] void refuse(const Found& found, const std::string& expected, const std::string& hint = "") {
  throw ConfigError(found.at + ": " + found.name + " must be " + expected + ", not " + shown(found.node) + hint);
}

[[noreturn]] void fail(const Found& found, const std::string& reason) {
  throw ConfigError(found.at + ": " + found.name + ": " + reason);
}

std::string text(const Found& found) {
  const auto value = found.node.value_exact<std::string>();
  if (!value) refuse(found, "a string");
  return *value;
}

std::string urlPath(const Found& found) {
  const auto value = found.node.value_exact<std::string>();
  if (!value || value->empty() || (*value)[0] != '/') refuse(found, "a URL path starting with \"/\"");
  if (const auto fault = DRAVHost::pathFault(*value)) fail(found, "\"" + *value + "\" " + *fault);
  return *value;
}

std::string besideFile(const Found& found, const std::string& name) {
  return name.empty() || name[0] == '/' ? name : found.folder + name;
}

// The first line of a file only its owner and group may read, so that the
// secret stays out of the configuration file.
std::string readSecret(const Found& found, const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) fail(found, "cannot read \"" + path + "\": " + std::strerror(errno));
  if (!S_ISREG(status.st_mode)) fail(found, "\"" + path + "\" is not a regular file");
  if (status.st_mode & S_IROTH) fail(found, "\"" + path + "\" can be read by every user (chmod o-r it)");
  if (static_cast<std::uint64_t>(status.st_size) > kSecretFileLimit)
    fail(found, "\"" + path + "\" is larger than " + std::to_string(kSecretFileLimit) + " bytes");
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(found, "cannot read \"" + path + "\": " + std::strerror(errno));
  std::string secret;
  std::getline(in, secret);
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  if (secret.empty()) fail(found, "\"" + path + "\" is empty");
  return secret;
}

using Apply = std::function<void(const Found&, BridgeConfig&)>;

template <class Field>
Apply textKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) { field(config) = text(found); };
}

template <class Field>
Apply urlPathKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) { field(config) = urlPath(found); };
}

template <class Field>
Apply fileKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) { field(config) = besideFile(found, text(found)); };
}

// "" (none), "-" (standard error) or a file, relative to the configuration file.
template <class Field>
Apply logDestinationKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) {
    const std::string value = text(found);
    field(config) = value == "-" ? value : besideFile(found, value);
  };
}

// An IP address to listen on: the host would only find out later, without
// a word of the file.
template <class Field>
Apply listeningAddressKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) {
    const std::string value = text(found);
    boost::system::error_code error;
    boost::asio::ip::make_address(value, error);
    if (error) refuse(found, "an IP address such as \"127.0.0.1\" or \"::1\"");
    field(config) = value;
  };
}

// "auto", "always" or "never".
template <class Field>
Apply compressionKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) {
    if (!DRAVCompression::parseCompressionChoice(text(found), field(config)))
      refuse(found, "\"auto\", \"always\" or \"never\"");
  };
}

// An array of IP addresses.
template <class Field>
Apply addressListKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) {
    const toml::array* list = found.node.as_array();
    if (!list) refuse(found, "an array of IP addresses as strings");
    std::vector<std::string> texts;
    for (const toml::node& item : *list) {
      const auto one = item.value_exact<std::string>();
      if (!one) refuse(found, "an array of IP addresses as strings");
      texts.push_back(*one);
    }
    try {
      DRAVHost::parseTrustedProxies(texts);
    } catch (const std::invalid_argument& e) {
      fail(found, e.what());
    }
    field(config) = texts;
  };
}

template <class Field>
Apply secretFileKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) {
    field(config) = readSecret(found, besideFile(found, text(found)));
  };
}

// A session key, read as dravbridge --session-key-file reads it.
template <class Field>
Apply sessionKeyFileKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) {
    const std::string path = besideFile(found, text(found));
    try {
      field(config) = DRAVHost::sessionKeyFromFile(path);
    } catch (const std::runtime_error& e) {
      fail(found, e.what());
    }
  };
}

template <class Field>
Apply flagKey(Field field) {
  return [field](const Found& found, BridgeConfig& config) {
    const auto value = found.node.value_exact<bool>();
    if (!value) refuse(found, "true or false");
    field(config) = *value;
  };
}

template <std::uint64_t Min, std::uint64_t Max, class Field>
Apply numberKey(Field field) {
  using Number = std::remove_reference_t<decltype(field(std::declval<BridgeConfig&>()))>;
  static_assert(Min <= Max && Max <= std::numeric_limits<Number>::max(), "a range the field holds");
  return [field](const Found& found, BridgeConfig& config) {
    const auto value = found.node.value_exact<std::int64_t>();
    if (!value || *value < 0 || static_cast<std::uint64_t>(*value) < Min || static_cast<std::uint64_t>(*value) > Max)
      refuse(found, "an integer from " + std::to_string(Min) + " to " + std::to_string(Max));
    field(config) = static_cast<Number>(*value);
  };
}

template <std::uint64_t Min, std::uint64_t Max, class Field>
Apply durationKey(Field field) {
  static_assert(Min <= Max && Max <= kYear, "a range the host honours");
  return [field](const Found& found, BridgeConfig& config) {
    const auto spelling = found.node.value_exact<std::string>();
    const auto value = spelling ? parseDuration(*spelling) : std::nullopt;
    const auto ms = value ? static_cast<std::uint64_t>(value->count()) : 0;
    if (!value || ms < Min || ms > Max) {
      const auto count = found.node.value_exact<std::int64_t>();
      refuse(found, durationForm(Min, Max),
             unitHint(spelling ? *spelling : count ? std::to_string(*count) : std::string()));
    }
    field(config) = *value;
  };
}

struct Key {
  const char* table;  // "" for the top level
  const char* name;
  Apply apply;
};

// The field a key sets, as a function from the configuration to it.
#define FIELD(member) [](BridgeConfig& config) -> auto& { return config.member; }

// Every key but [[bridge]]: where it stands, what it holds, where it goes.
const std::vector<Key>& keys() {
  static const std::vector<Key> all = {
      {"", "trace", flagKey(FIELD(trace))},
      {"", "compression", compressionKey(FIELD(compression))},
      {"", "describe", flagKey(FIELD(describe))},
      {"listen", "address", listeningAddressKey(FIELD(host.address))},
      {"listen", "port", numberKey<0, 65535>(FIELD(host.port))},
      {"tls", "cert_file", fileKey(FIELD(host.certFile))},
      {"tls", "key_file", fileKey(FIELD(host.keyFile))},
      {"basic_auth", "user", textKey(FIELD(host.user))},
      {"basic_auth", "password", textKey(FIELD(host.password))},
      {"basic_auth", "password_file", secretFileKey(FIELD(host.password))},
      {"basic_auth", "realm", textKey(FIELD(host.realm))},
      {"sso", "user", textKey(FIELD(host.sso.user))},
      {"sso", "password", textKey(FIELD(host.sso.password))},
      {"sso", "password_file", secretFileKey(FIELD(host.sso.password))},
      {"sso", "path", urlPathKey(FIELD(host.sso.path))},
      {"sso", "required", flagKey(FIELD(host.sso.requiredForBridges))},
      {"sso", "session_life", durationKey<kSecond, kYear>(FIELD(host.auth.sessionLifetime))},
      {"sso", "session_key_file", sessionKeyFileKey(FIELD(host.auth.sessionKey))},
      {"lockout", "free_failures", numberKey<0, 1000>(FIELD(host.auth.freeFailures))},
      {"lockout", "first_lockout", durationKey<1, kYear>(FIELD(host.auth.firstLockout))},
      {"lockout", "longest_lockout", durationKey<1, kYear>(FIELD(host.auth.longestLockout))},
      {"lockout", "forget_failures_after", durationKey<1, kYear>(FIELD(host.auth.forgetFailuresAfter))},
      {"lockout", "tracked_clients", numberKey<0, 1048576>(FIELD(host.auth.trackedClients))},
      {"log", "access_log", logDestinationKey(FIELD(host.accessLog))},
      {"log", "trusted_proxies", addressListKey(FIELD(host.trustedProxies))},
      {"admin", "enabled", flagKey(FIELD(host.admin.enabled))},
      {"admin", "address", listeningAddressKey(FIELD(host.admin.address))},
      {"admin", "port", numberKey<0, 65535>(FIELD(host.admin.port))},
      {"admin", "max_connections", numberKey<1, 1000>(FIELD(host.admin.maxConnections))},
      {"limits", "max_connections", numberKey<0, 1000000>(FIELD(host.maxConnections))},
      {"limits", "max_running_calls", numberKey<1, 1000>(FIELD(host.maxRunningCalls))},
      {"limits", "event_loops", numberKey<0, 1000>(FIELD(host.eventLoops))},
      {"limits", "max_waiting_calls", numberKey<0, 1000000>(FIELD(host.maxWaitingCalls))},
      {"limits", "max_client_waits", numberKey<0, 10000>(FIELD(host.maxClientWaits))},
      {"limits", "retry_after_seconds", numberKey<0, 86400>(FIELD(host.retryAfterSeconds))},
      {"limits", "max_requests_per_connection", numberKey<1, 4294967295>(FIELD(host.maxRequestsPerConnection))},
      {"limits", "head_timeout", durationKey<1, kHour>(FIELD(host.headTimeout))},
      {"limits", "idle_timeout", durationKey<1, kHour>(FIELD(host.idleTimeout))},
      {"limits", "header_limit", numberKey<1024, 1048576>(FIELD(host.headerLimit))},
      {"limits", "body_limit", numberKey<0, kLargestBody>(FIELD(host.bodyLimit))},
      {"limits", "response_buffer_limit", numberKey<0, kLargestBody>(FIELD(host.responseBufferLimit))},
      {"limits", "drain_limit", numberKey<0, kLargestBody>(FIELD(host.drainLimit))},
      {"limits", "min_transfer_rate", numberKey<1, kLargestBody>(FIELD(host.minTransferRate))},
      {"limits", "transfer_grace", durationKey<1, kHour>(FIELD(host.transferGrace))},
      {"limits", "drain_time", durationKey<0, kHour>(FIELD(host.drainTime))},
      {"limits", "stop_grace", durationKey<0, kHour>(FIELD(host.stopGrace))},
      {"limits", "call_time_limit", durationKey<0, kHour>(FIELD(host.callTimeLimit))},
      {"limits", "max_stuck_calls", numberKey<0, 1000>(FIELD(host.maxStuckCalls))},
      {"limits", "call_memory_budget", numberKey<65536, 1099511627776>(FIELD(host.callMemoryBudget))},
      {"limits", "memory_budget", numberKey<65536, 1099511627776>(FIELD(host.memoryBudget))},
  };
  return all;
}
#undef FIELD

// toml++ keeps a table's keys sorted by name; refusals should name the
// first fault in the file, so keys are taken in the order they stand.
std::vector<std::pair<const toml::key*, const toml::node*>> inFileOrder(const toml::table& table) {
  std::vector<std::pair<const toml::key*, const toml::node*>> entries;
  for (const auto& [key, node] : table) entries.emplace_back(&key, &node);
  std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
    const toml::source_position& x = a.first->source().begin;
    const toml::source_position& y = b.first->source().begin;
    return x.line != y.line ? x.line < y.line : x.column < y.column;
  });
  return entries;
}

const Key* findKey(const std::string& table, const std::string& name) {
  for (const Key& key : keys())
    if (table == key.table && name == key.name) return &key;
  return nullptr;
}

// The names that may stand in a table: for [[bridge]] its keys; for the
// top level ("") its keys, the tables and "bridge".
std::vector<std::string> namesIn(const std::string& table) {
  if (table == "bridge") return {"path", "plugin", "name"};
  std::vector<std::string> names;
  if (table.empty()) names.push_back("bridge");
  for (const Key& key : keys()) {
    if (table == key.table) names.push_back(key.name);
    if (table.empty() && *key.table && std::find(names.begin(), names.end(), key.table) == names.end())
      names.push_back(key.table);
  }
  return names;
}

// "unknown key" with the name the user likely meant: a near one of the same
// table, or the table where the very name belongs.
std::string unknownKey(const std::string& name, const std::string& table, const std::string& where) {
  std::string hint = didYouMean(name, namesIn(table)), homes;
  for (const Key& key : keys())
    if (name == key.name && table != key.table)
      homes += (homes.empty() ? "" : " or ") +
               (*key.table ? "in [" + std::string(key.table) + "]" : "at the top, before any table");
  if (hint.empty() && !homes.empty()) hint = " (it belongs " + homes + ")";
  return "unknown key \"" + name + "\"" + where + hint;
}

class Reader {
public:
  Reader(const std::string& file, BridgeConfig& config)
      : file_(file), folder_(file.substr(0, file.rfind('/') + 1)), config_(config) {}

  void read(const toml::table& root) {
    for (const auto& [key, node] : inFileOrder(root)) {
      const std::string name(key->str());
      const Found found{*node, lineOf(file_, node->source()), name, folder_};
      if (name == "bridge") readBridges(found);
      else if (const Key* rule = findKey("", name)) rule->apply(found, config_);
      else if (isTable(name)) readTable(found);
      else throw ConfigError(lineOf(file_, key->source()) + ": " + unknownKey(name, "", ""));
    }
    checkTogether();
  }

private:
  static bool isTable(const std::string& name) {
    for (const Key& key : keys())
      if (!name.empty() && name == key.table) return true;
    return false;
  }

  void readTable(const Found& found) {
    const toml::table* table = found.node.as_table();
    if (!table) refuse(found, "a table");
    const std::string where = " in [" + found.name + "]";
    if (findKey(found.name, "password_file") && table->contains("password") && table->contains("password_file"))
      throw ConfigError(lineOf(file_, table->get("password_file")->source()) + ": password and password_file" +
                        where + " exclude each other");
    for (const auto& [key, node] : inFileOrder(*table)) {
      const std::string name(key->str());
      const Key* rule = findKey(found.name, name);
      if (!rule) throw ConfigError(lineOf(file_, key->source()) + ": " + unknownKey(name, found.name, where));
      rule->apply(Found{*node, lineOf(file_, node->source()), name + where, folder_}, config_);
      lines_[name + where] = lineOf(file_, node->source());
    }
  }

  // What no single key shows: settings that together would fail open, or
  // serve nothing; config_ holds the file's values over the earlier ones.
  void checkTogether() const {
    for (const char* table : {"basic_auth", "sso"}) {
      const std::string where = std::string(" in [") + table + "]";
      const bool basic = table == std::string("basic_auth");
      const DRAVHost::HostSettings& host = config_.host;
      if (lines_.count("user" + where) && (basic ? host.user : host.sso.user).empty())
        throw ConfigError(lines_.at("user" + where) + ": user" + where + " is empty");
      if (lines_.count("password" + where) && (basic ? host.password : host.sso.password).empty())
        throw ConfigError(lines_.at("password" + where) + ": password" + where + " is empty");
      const bool user = lines_.count("user" + where) != 0;
      const bool password = lines_.count("password" + where) || lines_.count("password_file" + where);
      if (user && !password)
        throw ConfigError(lines_.at("user" + where) + ": user" + where +
                          " has no password: add password or password_file (an empty one would let anyone in)");
      if (password && !user) {
        const std::string key = lines_.count("password" + where) ? "password" : "password_file";
        throw ConfigError(lines_.at(key + where) + ": " + key + where + " has no user to go with it");
      }
    }
    const std::uint64_t call = config_.host.callMemoryBudget, all = config_.host.memoryBudget;
    const std::string key = lines_.count("call_memory_budget in [limits]") ? "call_memory_budget" : "memory_budget";
    if (call > all && lines_.count(key + " in [limits]")) {
      throw ConfigError(lines_.at(key + " in [limits]") + ": call_memory_budget in [limits] (" + std::to_string(call) +
                        ") is above memory_budget (" + std::to_string(all) +
                        "): a call could never reserve its share, and every call would get 503");
    }
  }

  void readBridges(const Found& found) {
    const toml::array* list = found.node.as_array();
    if (!list || list->empty() || !list->is_array_of_tables()) refuse(found, "one or more [[bridge]] tables");
    std::vector<BridgeEntry> bridges;
    std::map<std::string, std::uint32_t> served;  // path -> its line
    for (const toml::node& item : *list) {
      const toml::table& table = *item.as_table();
      BridgeEntry entry;
      for (const auto& [key, node] : inFileOrder(table)) {
        const std::string name(key->str());
        const Found value{*node, lineOf(file_, node->source()), name + " in [[bridge]]", folder_};
        if (name == "path") entry.path = urlPath(value);
        else if (name == "plugin") {
          entry.plugin = plugin(value);
          entry.origin = value.at;
          entry.given = text(value);
        }
        else if (name == "name") entry.name = bridgeName(value);
        else throw ConfigError(lineOf(file_, key->source()) + ": " + unknownKey(name, "bridge", " in [[bridge]]"));
      }
      const std::string at = lineOf(file_, table.source());
      const std::uint32_t line = table.source().begin.line;
      if (entry.path.empty()) throw ConfigError(at + ": [[bridge]] has no path");
      if (entry.plugin.empty()) throw ConfigError(at + ": [[bridge]] has no plugin");
      const auto [first, added] = served.emplace(entry.path, line);
      if (!added)
        throw ConfigError(at + ": [[bridge]] path \"" + entry.path + "\" is served already (line " +
                          std::to_string(first->second) + ")");
      bridges.push_back(std::move(entry));
    }
    config_.bridges = std::move(bridges);
  }

  // What a call can carry in DRAVBridgeName: a header value loses its blanks
  // at either end and holds no control characters.
  static std::string bridgeName(const Found& found) {
    const std::string name = text(found);
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (name.empty() || control || DRAVHost::trimBlanks(name) != name)
      refuse(found, "a name without control characters or blanks at either end");
    return name;
  }

  // "sample", or a plugin's file (relative to the configuration file).
  static std::string plugin(const Found& found) {
    const std::string name = text(found);
    if (name.empty()) refuse(found, "\"sample\" or a bridge plugin's file");
    return name == kSamplePlugin ? name : besideFile(found, name);
  }

  const std::string& file_;
  const std::string folder_;
  BridgeConfig& config_;
  std::map<std::string, std::string> lines_;  // "key in [table]" -> "FILE:LINE" of the keys in tables
};

std::string readWhole(const std::string& file) {
  struct stat status {};
  if (stat(file.c_str(), &status) != 0) throw ConfigError(file + ": cannot read: " + std::strerror(errno));
  if (S_ISDIR(status.st_mode)) throw ConfigError(file + ": is a folder");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw ConfigError(file + ": cannot read: " + std::strerror(errno));
  std::string text(kConfigFileLimit + 1, '\0');
  in.read(&text[0], static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kConfigFileLimit) throw ConfigError(file + ": larger than 1 MiB");
  return text;
}

// toml++ nests a table per part of a dotted key ("[a.b.c]") by recursion,
// so that a long enough name (100,000 parts fit in 200 KB) overflows the
// stack before any check of ours sees it. Every part takes an unquoted dot,
// and TOML keeps a key and an inline table to one line: a bound on the dots
// of a line outside strings and comments bounds the nesting. No setting
// comes near it.
constexpr std::size_t kMostDotsInALine = 32;

// The number of the first line with more such dots, or 0.
std::size_t lineWithTooManyDots(const std::string& text) {
  std::size_t line = 1, dots = 0;
  std::string quote;  // what opened the string the scan is in (one or three quotes), or ""
  bool comment = false;
  for (std::size_t at = 0; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '\n') {
      ++line, dots = 0, comment = false;
      if (quote.size() == 1) quote.clear();  // an unclosed one-line string: toml++ refuses it
    } else if (comment) {
      continue;
    } else if (!quote.empty()) {
      if (c == '\\' && quote[0] == '"' && at + 1 < text.size() && text[at + 1] != '\n') ++at;
      else if (text.compare(at, quote.size(), quote) == 0) at += quote.size() - 1, quote.clear();
    } else if (c == '"' || c == '\'') {
      quote.assign(text.compare(at, 3, std::string(3, c)) == 0 ? 3 : 1, c);
      at += quote.size() - 1;
    } else if (c == '#') {
      comment = true;
    } else if (c == '.' && ++dots > kMostDotsInALine) {
      return line;
    }
  }
  return 0;
}

}  // namespace

std::vector<std::string> configKeys() {
  std::vector<std::string> names;
  for (const Key& key : keys()) names.push_back(*key.table ? std::string(key.table) + "." + key.name : key.name);
  for (const std::string& name : namesIn("bridge")) names.push_back("bridge." + name);
  return names;
}

std::string unreachablePath(const std::string& path) {
  const auto fault = DRAVHost::pathFault(path);
  return fault ? "\"" + path + "\" " + *fault : "";
}

void readConfigFile(const std::string& file, BridgeConfig& config) {
  const std::string text = readWhole(file);
  if (const std::size_t line = lineWithTooManyDots(text))
    throw ConfigError(file + ":" + std::to_string(line) + ": more than " + std::to_string(kMostDotsInALine) +
                      " dotted key parts on one line: no setting is nested that deep");
  toml::table root;
  try {
    root = toml::parse(text, file);
  } catch (const toml::parse_error& error) {
    throw ConfigError(lineOf(file, error.source()) + ": " + std::string(error.description()));
  }
  BridgeConfig read = config;  // nothing changes unless the whole file is good
  Reader(file, read).read(root);
  config = std::move(read);
}

}  // namespace dravbridge
