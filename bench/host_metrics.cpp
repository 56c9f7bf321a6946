// What the host's metrics cost a call: recording one finished request (the
// lock of its bridge, the method's label, the status count, the histogram),
// from one thread and from several on the same bridge, and making the page
// for a bridge with every method label taken. A bridge call on loopback
// takes tens of microseconds; recording should stay well under one.
#include "host/server/host_metrics.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

DRAVHost::HostMetrics& metrics() {
  static DRAVHost::HostMetrics shared({"/bridges/sample", "/bridges/other"});
  return shared;
}

DRAVHost::AccessEntry echoCall() {
  DRAVHost::AccessEntry entry;
  entry.path = "/bridges/sample";
  entry.methodName = "echo";
  entry.status = 200;
  entry.invocationStatus = 0;
  entry.bytesIn = 40;
  entry.bytesOut = 180;
  return entry;
}

void RecordACall(benchmark::State& state) {
  const DRAVHost::AccessEntry entry = echoCall();
  for (auto _ : state) metrics().record(entry, std::chrono::microseconds(40));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(RecordACall)->ThreadRange(1, 4)->UseRealTime();

void RenderAFullPage(benchmark::State& state) {
  DRAVHost::HostMetrics full({"/bridges/sample"});
  DRAVHost::AccessEntry entry = echoCall();
  for (std::size_t i = 0; i < DRAVHost::HostMetrics::kMethodLabels; ++i) {
    entry.methodName = "method" + std::to_string(i);
    for (const unsigned status : {200u, 401u, 500u}) {
      entry.status = status;
      full.record(entry, std::chrono::microseconds(40 * i));
    }
  }
  std::size_t size = 0;
  for (auto _ : state) size = full.render(DRAVHost::HostState{}).size();
  state.counters["page_bytes"] = static_cast<double>(size);
}
BENCHMARK(RenderAFullPage);

}  // namespace
