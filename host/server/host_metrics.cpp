#include "host/server/host_metrics.h"

#include <utf8.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <map>
#include <mutex>

namespace DRAVHost {

namespace {

const char* const kOther = "other";

// Upper bounds of the duration buckets: from a fast call on loopback (an echo
// takes about 50 us) to one that computes for minutes.
struct Bound {
  std::uint64_t nanoseconds;
  const char* le;
};
constexpr Bound kBounds[] = {
    {500000, "0.0005"},       {1000000, "0.001"},     {2500000, "0.0025"},    {5000000, "0.005"},
    {10000000, "0.01"},       {25000000, "0.025"},    {50000000, "0.05"},     {100000000, "0.1"},
    {250000000, "0.25"},      {500000000, "0.5"},     {1000000000, "1"},      {2500000000, "2.5"},
    {5000000000, "5"},        {10000000000, "10"},    {30000000000, "30"},    {60000000000, "60"},
    {300000000000, "300"}};
constexpr std::size_t kBucketCount = sizeof kBounds / sizeof kBounds[0] + 1;  // the last: above every bound

// Exact decimal seconds, without the locale or rounding of floating point.
std::string seconds(std::uint64_t nanoseconds) {
  std::string fraction = std::to_string(nanoseconds % 1000000000);
  fraction.insert(0, 9 - fraction.size(), '0');
  return std::to_string(nanoseconds / 1000000000) + "." + fraction;
}

bool earnsMethodLabel(const AccessEntry& request) {
  const std::string& name = request.methodName;
  return request.status >= 200 && request.status < 300 && request.invocationStatus == 0L && !name.empty() &&
         name.size() <= HostMetrics::kMethodLabelBytes && name != kOther && utf8::is_valid(name.begin(), name.end());
}

// The counts of one bridge and method label.
struct Series {
  explicit Series(std::string name) : method(std::move(name)) {}

  std::string method;
  std::map<unsigned, std::uint64_t> calls;  // by status
  std::array<std::uint64_t, kBucketCount> buckets{};
  std::uint64_t count = 0;
  std::uint64_t nanoseconds = 0;

  void add(unsigned status, std::chrono::nanoseconds duration) {
    ++calls[status];
    const auto taken = static_cast<std::uint64_t>(std::max<std::int64_t>(0, duration.count()));
    std::size_t bucket = 0;
    while (bucket + 1 < kBucketCount && taken > kBounds[bucket].nanoseconds) ++bucket;
    ++buckets[bucket];
    ++count;
    nanoseconds += taken;
  }
};

}  // namespace

std::string escapeLabelValue(const std::string& text) {
  std::string valid;
  if (!utf8::is_valid(text.begin(), text.end())) utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(valid));
  const std::string& source = valid.empty() ? text : valid;
  std::string escaped;
  escaped.reserve(source.size());
  for (const char c : source) {
    if (c == '\\') escaped += "\\\\";
    else if (c == '"') escaped += "\\\"";
    else if (c == '\n') escaped += "\\n";
    else escaped += c;
  }
  return escaped;
}

struct HostMetrics::Bridge {
  // A copy of the counts, taken under the lock, for the page.
  struct Counts {
    std::string label;  // escaped
    std::vector<Series> series;
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
  };

  Bridge(const std::string& path, bool labelsMethods) : label(escapeLabelValue(path)), labelsMethods_(labelsMethods) {
    named_.reserve(kMethodLabels);
  }

  void record(const AccessEntry& request, std::chrono::nanoseconds duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    seriesOf(request).add(request.status, duration);
    bytesIn_ += request.bytesIn;
    bytesOut_ += request.bytesOut;
  }

  Counts counts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Counts counts{label, named_, bytesIn_, bytesOut_};
    counts.series.push_back(other_);
    return counts;
  }

  const std::string label;

private:
  Series& seriesOf(const AccessEntry& request) {
    for (Series& series : named_)
      if (series.method == request.methodName) return series;
    if (!labelsMethods_ || named_.size() == kMethodLabels || !earnsMethodLabel(request)) return other_;
    named_.emplace_back(request.methodName);
    return named_.back();
  }

  const bool labelsMethods_;
  mutable std::mutex mutex_;
  std::vector<Series> named_;
  Series other_{kOther};
  std::uint64_t bytesIn_ = 0;
  std::uint64_t bytesOut_ = 0;
};

HostMetrics::HostMetrics(const std::vector<std::string>& bridgePaths) {
  std::vector<std::string> paths = bridgePaths;
  std::sort(paths.begin(), paths.end());
  for (const std::string& path : paths) {
    bridges_.push_back(std::make_unique<Bridge>(path, true));
    byPath_.emplace(path, bridges_.back().get());
  }
  bridges_.push_back(std::make_unique<Bridge>(kOther, false));
}

HostMetrics::~HostMetrics() = default;

HostMetrics::Bridge& HostMetrics::bridgeAt(const std::string& path) {
  const auto found = byPath_.find(path);
  return found != byPath_.end() ? *found->second : *bridges_.back();
}

void HostMetrics::record(const AccessEntry& request, std::chrono::nanoseconds duration) {
  bridgeAt(request.path).record(request, duration);
}

namespace {

void family(std::string& page, const char* name, const char* type, const char* help) {
  page += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& page, const std::string& name, const std::string& labels, const std::string& value) {
  page += name;
  if (!labels.empty()) page += "{" + labels + "}";
  page += " " + value + "\n";
}

std::string seriesLabels(const std::string& bridge, const Series& series) {
  return "bridge=\"" + bridge + "\",method=\"" + escapeLabelValue(series.method) + "\"";
}

void histogram(std::string& page, const std::string& labels, const Series& series) {
  const std::string name = "drav_host_call_duration_seconds";
  std::uint64_t below = 0;
  for (std::size_t bucket = 0; bucket + 1 < kBucketCount; ++bucket) {
    below += series.buckets[bucket];
    sample(page, name + "_bucket", labels + ",le=\"" + kBounds[bucket].le + "\"", std::to_string(below));
  }
  sample(page, name + "_bucket", labels + ",le=\"+Inf\"", std::to_string(series.count));
  sample(page, name + "_sum", labels, seconds(series.nanoseconds));
  sample(page, name + "_count", labels, std::to_string(series.count));
}

}  // namespace

std::string HostMetrics::render(const HostState& host) const {
  std::vector<Bridge::Counts> all;
  for (const auto& bridge : bridges_) all.push_back(bridge->counts());

  std::string page;
  family(page, "drav_host_calls_total", "counter",
         "Requests served, by bridge path (other: no bridge there), method name and HTTP status.");
  for (const auto& bridge : all)
    for (const Series& series : bridge.series)
      for (const auto& [status, count] : series.calls)
        sample(page, "drav_host_calls_total",
               seriesLabels(bridge.label, series) + ",code=\"" + std::to_string(status) + "\"", std::to_string(count));
  family(page, "drav_host_received_bytes_total", "counter", "Request body bytes read, by bridge path.");
  for (const auto& bridge : all)
    sample(page, "drav_host_received_bytes_total", "bridge=\"" + bridge.label + "\"", std::to_string(bridge.bytesIn));
  family(page, "drav_host_sent_bytes_total", "counter",
         "Response bytes written (heads, bodies, chunk framing), by bridge path.");
  for (const auto& bridge : all)
    sample(page, "drav_host_sent_bytes_total", "bridge=\"" + bridge.label + "\"", std::to_string(bridge.bytesOut));
  family(page, "drav_host_call_duration_seconds", "histogram",
         "Time from a request's head to its answer's end, by bridge path and method name.");
  for (const auto& bridge : all)
    for (const Series& series : bridge.series)
      if (series.count > 0) histogram(page, seriesLabels(bridge.label, series), series);

  family(page, "drav_host_connections_refused_total", "counter",
         "Connections closed at once with 503: the host held its most.");
  sample(page, "drav_host_connections_refused_total", "", std::to_string(host.connectionsRefused));
  family(page, "drav_host_requests_refused_total", "counter",
         "Requests answered 503 at once: every thread busy and the line of waiting requests full.");
  sample(page, "drav_host_requests_refused_total", "", std::to_string(host.requestsRefused));
  family(page, "drav_host_open_connections", "gauge", "Connections open on the bridge listener.");
  sample(page, "drav_host_open_connections", "", std::to_string(host.openConnections));
  family(page, "drav_host_running_calls", "gauge", "Requests running on the host's threads.");
  sample(page, "drav_host_running_calls", "", std::to_string(host.runningCalls));
  family(page, "drav_host_memory_in_use_bytes", "gauge", "Memory budget reserved by running bridge calls.");
  sample(page, "drav_host_memory_in_use_bytes", "", std::to_string(host.memoryInUse));
  family(page, "drav_host_memory_budget_bytes", "gauge", "Memory budget of all running bridge calls together.");
  sample(page, "drav_host_memory_budget_bytes", "", std::to_string(host.memoryBudget));
  return page;
}

}  // namespace DRAVHost
