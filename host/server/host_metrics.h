// The host's counters for monitoring, and the page that shows them in the
// Prometheus text exposition format (version 0.0.4): requests by bridge,
// method name and HTTP status, body bytes in and out, call durations as a
// histogram, and what the host reads when the page is asked for (gauges,
// and the refusals made before a request is served). Label
// values stay bounded though paths and method names come from clients:
// - bridge: the path of a served bridge; any other path counts as "other";
// - method: a name gets a label of its own once its bridge answered it with
//   a 2xx status and an invocation status of 0 (a call without one earns
//   nothing), for the first kMethodLabels such names of each bridge that are
//   valid UTF-8 of at most kMethodLabelBytes; every other call is "other";
// - code: the HTTP status as a number (100 to 999: what the host sends).
// Not the access log (access_log.h). Thread-safe: one short lock per bridge.
#pragma once

#include "host/server/access_log.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace DRAVHost {

// What the host holds, and has turned away before a request was served,
// at the moment the page is made.
struct HostState {
  unsigned openConnections = 0;
  unsigned runningCalls = 0;
  std::uint64_t memoryInUse = 0;  // reserved by running bridge calls
  std::uint64_t memoryBudget = 0;
  std::uint64_t connectionsRefused = 0;  // closed at once: the host held its most
  std::uint64_t requestsRefused = 0;     // 503 at once: every thread busy, the line full
};

// `text` as a label value: backslash, double quote and line feed escaped,
// and each byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string escapeLabelValue(const std::string& text);

class HostMetrics {
public:
  static constexpr std::size_t kMethodLabels = 32;
  static constexpr std::size_t kMethodLabelBytes = 128;

  // `bridgePaths`: where bridges are served; fixed for the metrics' life.
  explicit HostMetrics(const std::vector<std::string>& bridgePaths);
  ~HostMetrics();
  HostMetrics(const HostMetrics&) = delete;
  HostMetrics& operator=(const HostMetrics&) = delete;

  // One request served: its path, method name, status, invocation status
  // and bytes as the access log has them, and how long it took.
  void record(const AccessEntry& request, std::chrono::nanoseconds duration);
  // The page: each family's HELP and TYPE, then its samples.
  std::string render(const HostState& host) const;

private:
  struct Bridge;
  Bridge& bridgeAt(const std::string& path);

  std::vector<std::unique_ptr<Bridge>> bridges_;  // by path, "other" last
  std::unordered_map<std::string, Bridge*> byPath_;
};

}  // namespace DRAVHost
