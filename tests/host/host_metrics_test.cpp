// The host's metrics page, read with a strict exposition parser: exact
// counts after a known sequence of calls, label values escaped and bounded
// against hostile method names, and the gauges of a busy host. The parser
// itself is shown to refuse what a scraper would misread.
#include "exposition_parser.h"
#include "host_test_support.h"

#include "host/server/host_metrics.h"

#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/output_stream.h>

#include <gtest/gtest.h>

#include <set>
#include <thread>

namespace hosttest {
namespace {

TEST(ExpositionParser, RefusesWhatAScraperWouldRefuseOrMisread) {
  const std::string head = "# HELP c_total Calls.\n# TYPE c_total counter\n";
  const std::string histogram = "# HELP h Time.\n# TYPE h histogram\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"c_total 1\n", "line 1: sample c_total has no family declared before it"},
      {"# TYPE c_total counter\nc_total 1\n", "line 2: sample c_total before HELP and TYPE"},
      {head + "c_total 1", "line 0: the text does not end with a line feed"},
      {head + "c_total{a=\"x\"} 1\nc_total{a=\"x\"} 2\n", "line 4: series c_total twice"},
      {head + "c_total{a=\"x\\t\"} 1\n", "line 3: unknown escape \\t"},
      {head + "c_total{a=\"x} 1\n", "line 3: '\"' is expected at column 16"},
      {head + "c_total{a=\"x\",} 1\n", "line 3: a name is expected at column 15"},
      {head + "c_total{a=\"x\",a=\"y\"} 1\n", "line 3: label a twice"},
      {head + "c_total  1\n", "line 3: not a number: "},
      {head + "c_total 0x10\n", "line 3: not a number: 0x10"},
      {head + "c_total -1\n", "line 3: c_total is negative or NaN"},
      {head + "c_total 1 12ab\n", "line 3: bad timestamp 12ab"},
      {head + "9c 1\n", "line 3: a name is expected at column 1"},
      {head + "# TYPE c_total gauge\n", "line 3: a second TYPE for c_total"},
      {head + "c_total 1\n# HELP c_total Again.\n", "line 4: c_total is declared after its samples"},
      {"# HELP g G.\n", "line 1: family g lacks HELP or TYPE"},
      {head + "c_total{a=\"1\"} 1\n# HELP g G.\n# TYPE g gauge\ng 1\nc_total{a=\"2\"} 1\n",
       "line 7: samples of c_total are split"},
      {histogram + "h_bucket{le=\"1\"} 2\nh_bucket{le=\"2\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 2\n",
       "line 7: h: bucket le=\"2\" falls"},
      {histogram + "h_bucket{le=\"2\"} 1\nh_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 2\n",
       "line 7: h: bucket le=\"1\" out of order"},
      {histogram + "h_bucket{le=\"1\"} 1\nh_bucket{le=\"+Inf\"} 2\nh_sum 1\nh_count 3\n",
       "line 6: h: the +Inf bucket is not _count"},
      {histogram + "h_bucket{le=\"1\"} 1\nh_sum 1\nh_count 1\n", "line 5: h: a series lacks +Inf, _sum or _count"},
      {histogram + "h 1\n", "line 3: sample h has no family declared before it"},
      {head + "c_total{a=\"\xc3(\"} 1\n", "line 3: text that is not UTF-8"},
      {"# HELP c_total \xed\xa0\x80\n# TYPE c_total counter\n", "line 1: text that is not UTF-8"},
  };
  for (const auto& [text, message] : cases) {
    try {
      parseExposition(text);
      ADD_FAILURE() << "accepted:\n" << text;
    } catch (const ExpositionError& e) {
      EXPECT_EQ(message, e.what()) << text;
    }
  }
  const Exposition good = parseExposition(head + "\n# a comment\nc_total{a=\"q\\\"b\\\\s\\nn\"} 3 1700000000\n");
  EXPECT_EQ(3, good.value("c_total", {{"a", "q\"b\\s\nn"}}));
  EXPECT_EQ("Calls.", good.family("c_total")->help);
}

using DRAVHost::AccessEntry;
using DRAVHost::HostMetrics;

AccessEntry request(const std::string& path, const std::string& method, unsigned status,
                    std::optional<long> invocationStatus = std::nullopt) {
  AccessEntry entry;
  entry.path = path;
  entry.methodName = method;
  entry.status = status;
  entry.invocationStatus = invocationStatus;
  return entry;
}

std::set<std::string> methodLabels(const Exposition& page) {
  std::set<std::string> labels;
  for (const MetricSample& sample : page.samples("drav_host_calls_total")) labels.insert(sample.labels.at("method"));
  return labels;
}

// Which calls earn a method its own label, and the escapes that keep a hostile one from breaking the page.
TEST(HostMetrics, AMethodEarnsALabelByASuccessfulAnswerAndLabelsAreEscaped) {
  const std::string odd = "/odd\"\\\npath\xff";
  const std::string longest(HostMetrics::kMethodLabelBytes, 'n');
  HostMetrics metrics({"/b", odd});
  metrics.record(request("/b", "failed", 200, 1), std::chrono::microseconds(1));
  metrics.record(request("/b", "refused", 503), std::chrono::microseconds(1));
  metrics.record(request("/b", "other", 200, 0), std::chrono::microseconds(1));
  metrics.record(request("/b", "unsure", 200), std::chrono::microseconds(1));
  metrics.record(request("/b", "bad\xc3(", 200, 0), std::chrono::microseconds(1));
  metrics.record(request("/b", "surrogate\xed\xa0\x80", 200, 0), std::chrono::microseconds(1));
  metrics.record(request("/b", longest + "n", 200, 0), std::chrono::microseconds(1));
  metrics.record(request("/b", longest, 200, 0), std::chrono::microseconds(1));
  metrics.record(request("/b", "gr\xc3\xbc\xc3\x9f", 200, 0), std::chrono::microseconds(1));
  metrics.record(request("/b", "q\"\\x", 200, 0), std::chrono::microseconds(700));
  metrics.record(request("/b", "q\"\\x", 500), std::chrono::milliseconds(2));
  metrics.record(request("/nowhere", "free", 200, 0), std::chrono::microseconds(1));
  metrics.record(request(odd, "m", 204), std::chrono::seconds(400));

  // The strict parser refuses a page with text that is not UTF-8.
  const Exposition page = parseExposition(metrics.render(DRAVHost::HostState{}));
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", "/b"}, {"method", "q\"\\x"}, {"code", "200"}}));
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", "/b"}, {"method", "q\"\\x"}, {"code", "500"}}));
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", "/b"}, {"method", longest}, {"code", "200"}}));
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", "/b"}, {"method", "gr\xc3\xbc\xc3\x9f"}, {"code", "200"}}));
  EXPECT_EQ(6, page.value("drav_host_calls_total", {{"bridge", "/b"}, {"method", "other"}, {"code", "200"}}))
      << "a failing or missing status, a name that is not UTF-8 or is too long earns no label";
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", "/b"}, {"method", "other"}, {"code", "503"}}));
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", "other"}, {"method", "other"}, {"code", "200"}}));
  const std::string oddLabel = "/odd\"\\\npath\xef\xbf\xbd";  // the stray byte as U+FFFD
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", oddLabel}, {"method", "other"}, {"code", "204"}}));
  EXPECT_EQ(8u, page.samples("drav_host_calls_total").size());
  EXPECT_EQ(0, page.value("drav_host_received_bytes_total", {{"bridge", oddLabel}}));

  const Labels q = {{"bridge", "/b"}, {"method", "q\"\\x"}};
  const auto bucket = [&](const Labels& series, const char* le) {
    Labels labels = series;
    labels["le"] = le;
    return page.value("drav_host_call_duration_seconds_bucket", labels);
  };
  EXPECT_EQ(0, bucket(q, "0.0005"));
  EXPECT_EQ(1, bucket(q, "0.001"));
  EXPECT_EQ(2, bucket(q, "0.0025")) << "2 ms is in the bucket up to 2.5 ms";
  EXPECT_EQ(2, bucket(q, "0.005"));
  EXPECT_DOUBLE_EQ(0.0027, page.value("drav_host_call_duration_seconds_sum", q));
  const Labels slow = {{"bridge", oddLabel}, {"method", "other"}};
  EXPECT_EQ(0, bucket(slow, "300"));
  EXPECT_EQ(1, bucket(slow, "+Inf"));
  EXPECT_EQ(400, page.value("drav_host_call_duration_seconds_sum", slow));
}

std::string echoArgs();

// Answers every method with success, as a careless bridge might: no results
// and status 0, written through the response wrapper (no report).
class AnswerAnything : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall&, IDispatch*, IDispatch* response) override {
    DRAVHelpers::IIS::ResponseWrapper writer(response);
    DRAVDataOutputStream results;
    DRAVArgs().writeObject(results);
    DRAVInvocation::Bridge::Status status;
    writer.WriteBufferChunk(results.getBuffer(0), results.size());
    writer.WriteStatus(DRAVInvocation::Bridge::StatusWrapper(status.getVariant()));
  }
};

// Answers with 200 and an empty body: no status at all.
class AnswerNothing : public DRAVHost::BridgeHandler {
public:
  void serve(const DRAVHost::BridgeCall&, IDispatch*, IDispatch*) override {}
};

DRAVHost::HostSettings withAdmin(DRAVHost::HostSettings settings) {
  settings.admin.enabled = true;
  return settings;
}

Exposition scrape(DRAVHost::BridgeHost& host) {
  CurlClient client;
  const HttpReply reply = client.get("http://127.0.0.1:" + std::to_string(host.adminPort()) + "/metrics");
  EXPECT_EQ(200, reply.status);
  return parseExposition(reply.body);
}

// A call is counted once its answer has left, which its client may see
// first: this scrapes until no call runs any more (for at most 2 s).
Exposition settledScrape(DRAVHost::BridgeHost& host) {
  Exposition page = scrape(host);
  for (int i = 0; i < 200 && page.value("drav_host_running_calls") != 0; ++i) {
    std::this_thread::sleep_for(10ms);
    page = scrape(host);
  }
  return page;
}

TEST(HostMetrics, TenThousandHostileMethodNamesLeaveTheLabelSetBounded) {
  DRAVHost::BridgeHost host(withAdmin(testSettings()));
  host.addBridge("/any", std::make_shared<AnswerAnything>());
  host.start();
  RawClient client(host.port());
  // In batches of 100 on one connection, so that 10,000 take a second or so.
  for (int batch = 0; batch < 100; ++batch) {
    std::string calls;
    for (int i = 0; i < 100; ++i)
      calls += callRequest("m\\\"" + std::to_string(batch * 100 + i) + "{le=\"x\"}", "", 0, "", "/any");
    client.send(calls);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(200, client.readReply().status) << batch * 100 + i;
  }
  const Exposition page = settledScrape(host);
  const auto labels = methodLabels(page);
  EXPECT_EQ(HostMetrics::kMethodLabels + 1, labels.size());
  EXPECT_EQ(1u, labels.count("m\\\"0{le=\"x\"}")) << "the first names keep theirs, escaped and read back whole";
  EXPECT_EQ(1u, labels.count("other"));
  EXPECT_EQ(10000 - HostMetrics::kMethodLabels,
            page.value("drav_host_calls_total", {{"bridge", "/any"}, {"method", "other"}, {"code", "200"}}));
  EXPECT_EQ(HostMetrics::kMethodLabels + 1,
            page.samples("drav_host_call_duration_seconds_count", {{"bridge", "/any"}}).size());
}

// The host reads the status each bridge wrote: made-up names a bridge answers
// with a failing status, or with none, take no label from the names it offers.
TEST(HostMetrics, OnlyAStatusOfSuccessWrittenByTheBridgeEarnsALabel) {
  DRAVHost::BridgeHost host(withAdmin(testSettings()));
  host.addBridge(kSamplePath, std::make_shared<DRAVHost::SampleBridge>());
  host.addBridge("/silent", std::make_shared<AnswerNothing>());
  host.start();
  RawClient client(host.port());
  for (int i = 0; i < 40; ++i) {
    client.send(callRequest("made-up" + std::to_string(i), "") + callRequest("made-up", "", 0, "", "/silent"));
    ASSERT_EQ(200, client.readReply().status);
    ASSERT_EQ(200, client.readReply().status);
  }
  client.send(callRequest("echo", echoArgs()));
  ASSERT_EQ(200, client.readReply().status);
  const Exposition page = settledScrape(host);
  EXPECT_EQ((std::set<std::string>{"echo", "other"}), methodLabels(page));
  EXPECT_EQ(40, page.value("drav_host_calls_total", {{"bridge", kSamplePath}, {"method", "other"}, {"code", "200"}}));
  EXPECT_EQ(40, page.value("drav_host_calls_total", {{"bridge", "/silent"}, {"method", "other"}, {"code", "200"}}));
  EXPECT_EQ(1, page.value("drav_host_calls_total", {{"bridge", kSamplePath}, {"method", "echo"}, {"code", "200"}}));
}

std::string echoArgs() {
  DRAVArgs args;
  args.addArg(7);
  args.addArg(std::string("seven"));
  return encodeArgs(args);
}

// Sends `request` and returns every byte of its answer.
std::string exchange(RawClient& client, const std::string& request, int expectedStatus) {
  client.send(request);
  const std::string answer = client.readUntilQuiet(300ms);
  std::size_t used = 0;
  EXPECT_EQ(expectedStatus, parseReply(answer, used).status);
  EXPECT_EQ(answer.size(), used);
  return answer;
}

TEST(HostMetrics, CountsAKnownSequenceOfCallsExactly) {
  auto settings = withAdmin(testSettings());
  settings.user = "ann";
  settings.password = "pw";
  SampleHost host(settings);
  const std::string args = echoArgs();
  const std::string auth = basicAuthorization("ann", "pw");
  RawClient client(host.port());
  std::uint64_t sent = 0;
  for (int i = 0; i < 3; ++i) sent += exchange(client, callRequest("echo", args, 0, auth), 200).size();
  sent += exchange(client, callRequest("nosuch", args, 0, auth), 200).size();
  sent += exchange(client, callRequest("sum", args), 401).size();

  const Exposition page = scrape(host.host());
  const Labels echo = {{"bridge", kSamplePath}, {"method", "echo"}};
  const Labels other = {{"bridge", kSamplePath}, {"method", "other"}};
  const auto withCode = [](Labels labels, const char* code) {
    labels["code"] = code;
    return labels;
  };
  EXPECT_EQ(3, page.value("drav_host_calls_total", withCode(echo, "200")));
  EXPECT_EQ(1, page.value("drav_host_calls_total", withCode(other, "200"))) << "an unknown method earns no label";
  EXPECT_EQ(1, page.value("drav_host_calls_total", withCode(other, "401")));
  EXPECT_EQ(3u, page.samples("drav_host_calls_total").size());
  EXPECT_EQ(5 * args.size(), page.value("drav_host_received_bytes_total", {{"bridge", kSamplePath}}));
  EXPECT_EQ(sent, page.value("drav_host_sent_bytes_total", {{"bridge", kSamplePath}}));
  EXPECT_EQ(0, page.value("drav_host_sent_bytes_total", {{"bridge", "other"}}));
  EXPECT_EQ(3, page.value("drav_host_call_duration_seconds_count", echo));
  EXPECT_EQ(2, page.value("drav_host_call_duration_seconds_count", other));
  EXPECT_GT(page.value("drav_host_call_duration_seconds_sum", echo), 0);
  EXPECT_LT(page.value("drav_host_call_duration_seconds_sum", echo), 3);
  EXPECT_EQ(1, page.value("drav_host_open_connections"));
  EXPECT_EQ(0, page.value("drav_host_running_calls"));
  EXPECT_EQ(0, page.value("drav_host_memory_in_use_bytes"));
  EXPECT_EQ(settings.memoryBudget, page.value("drav_host_memory_budget_bytes"));
  for (const char* family : {"drav_host_calls_total", "drav_host_received_bytes_total", "drav_host_sent_bytes_total",
                             "drav_host_call_duration_seconds", "drav_host_open_connections",
                             "drav_host_running_calls", "drav_host_memory_in_use_bytes",
                             "drav_host_memory_budget_bytes"})
    EXPECT_NE(nullptr, page.family(family)) << family;
}

// The refusals happen before a request is served, so only the host's own counts show them.
TEST(HostMetrics, ShowsTheCallsRunningTheMemoryTheyHoldAndWhatWasRefused) {
  auto settings = withAdmin(testSettings());
  settings.callMemoryBudget = 1024 * 1024;
  settings.maxRunningCalls = 2;
  settings.maxWaitingCalls = 0;
  settings.maxConnections = 4;
  DRAVHost::BridgeHost host(settings);
  auto holding = std::make_shared<HoldingBridge>();
  host.addBridge("/hold", holding);
  host.start();
  const std::string call = callRequest("wait", echoArgs(), 0, "", "/hold");
  RawClient first(host.port()), second(host.port()), idle(host.port());
  first.send(call);
  second.send(call);
  ASSERT_TRUE(holding->waitForHeld(2));
  RawClient busy(host.port());
  busy.send(call);
  EXPECT_EQ(503, busy.readReply().status);
  RawClient full(host.port());
  EXPECT_EQ(503, full.readReply().status);

  const Exposition page = scrape(host);
  EXPECT_EQ(4, page.value("drav_host_open_connections"));
  EXPECT_EQ(2, page.value("drav_host_running_calls"));
  EXPECT_EQ(2 * 1024 * 1024, page.value("drav_host_memory_in_use_bytes"));
  EXPECT_EQ(1, page.value("drav_host_requests_refused_total"));
  EXPECT_EQ(1, page.value("drav_host_connections_refused_total"));
  EXPECT_EQ(0u, page.samples("drav_host_calls_total").size()) << "nothing was served yet";
  holding->release();
  EXPECT_EQ(200, first.readReply().status);
  EXPECT_EQ(200, second.readReply().status);
}

}  // namespace
}  // namespace hosttest
