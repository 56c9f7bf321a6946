// Argument lists on the wire, against msgpack-c on the same values in the
// same binary: its C++ API (the stronger peer: packing into a reused buffer,
// unpacking into a reused zone) and its C API. Encoding into a reused buffer,
// decoding into a reused list and into new values, and a 1 MiB binary value
// against memcpy. A 64 MiB body reports its peak memory.
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <benchmark/benchmark.h>
#include <msgpack.h>
#include <msgpack.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::string kShort(16, 's');
const std::string kLong(100, 'l');
unsigned char kBinary[64] = {1, 2, 3, 4, 5, 6, 7, 8};
// msgpack-c's C++ API packs a byte vector as a binary value.
const std::vector<unsigned char> kBinaryVector(kBinary, kBinary + sizeof kBinary);

// The mixed list: int, short, double, bool, a 16-byte string, a 100-byte
// string, a 64-byte binary array, unsigned int.
void buildList(DRAVArgs& args) {
  args.addArg(123456);
  args.addArg(static_cast<short>(-321));
  args.addArg(3.14159);
  args.addArg(true);
  args.addArg(kShort);
  args.addArg(kLong);
  args.addArg(kBinary, sizeof kBinary, true);
  args.addArg(4000000000u);
}

void packList(msgpack_packer& pk) {
  msgpack_pack_array(&pk, 8);
  msgpack_pack_int(&pk, 123456);
  msgpack_pack_short(&pk, -321);
  msgpack_pack_double(&pk, 3.14159);
  msgpack_pack_true(&pk);
  msgpack_pack_str(&pk, kShort.size());
  msgpack_pack_str_body(&pk, kShort.data(), kShort.size());
  msgpack_pack_str(&pk, kLong.size());
  msgpack_pack_str_body(&pk, kLong.data(), kLong.size());
  msgpack_pack_bin(&pk, sizeof kBinary);
  msgpack_pack_bin_body(&pk, kBinary, sizeof kBinary);
  msgpack_pack_unsigned_int(&pk, 4000000000u);
}

// The same eight values as one msgpack array, by reference (nothing copied).
void packListCxx(msgpack::sbuffer& buffer) {
  msgpack::pack(buffer, std::forward_as_tuple(123456, static_cast<short>(-321), 3.14159, true, kShort, kLong,
                                              kBinaryVector, 4000000000u));
}

void BM_Encode_Drav(benchmark::State& state) {
  DRAVArgs args;
  buildList(args);
  DRAVDataOutputStream out;
  for (auto _ : state) {
    out.reset();
    args.writeObject(out);
    benchmark::DoNotOptimize(out.getBuffer(0));
  }
}
BENCHMARK(BM_Encode_Drav);

void BM_Encode_MsgpackCxx(benchmark::State& state) {
  msgpack::sbuffer buffer;
  for (auto _ : state) {
    buffer.clear();
    packListCxx(buffer);
    benchmark::DoNotOptimize(buffer.data());
  }
}
BENCHMARK(BM_Encode_MsgpackCxx);

void BM_Encode_MsgpackC(benchmark::State& state) {
  msgpack_sbuffer buffer;
  msgpack_sbuffer_init(&buffer);
  msgpack_packer pk;
  msgpack_packer_init(&pk, &buffer, msgpack_sbuffer_write);
  for (auto _ : state) {
    msgpack_sbuffer_clear(&buffer);
    packList(pk);
    benchmark::DoNotOptimize(buffer.data);
  }
  msgpack_sbuffer_destroy(&buffer);
}
BENCHMARK(BM_Encode_MsgpackC);

void BM_BuildAndEncode_Drav(benchmark::State& state) {
  DRAVDataOutputStream out;
  for (auto _ : state) {
    DRAVArgs args;
    buildList(args);
    out.reset();
    args.writeObject(out);
    benchmark::DoNotOptimize(out.getBuffer(0));
  }
}
BENCHMARK(BM_BuildAndEncode_Drav);

void BM_Decode_Drav(benchmark::State& state) {
  DRAVArgs args;
  buildList(args);
  DRAVDataOutputStream out;
  args.writeObject(out);
  for (auto _ : state) {
    DRAVDataInputStream in(out.getBuffer(0), out.size());
    DRAVArgs decoded;
    decoded.readObject(in);
    benchmark::DoNotOptimize(decoded.getInt(0));
  }
}
BENCHMARK(BM_Decode_Drav);

// The same body into one list, emptied by clear() before each read: the
// values' storage is filled again, nothing is allocated. The peer of msgpack's
// reused zone.
void BM_DecodeReused_Drav(benchmark::State& state) {
  DRAVArgs args;
  buildList(args);
  DRAVDataOutputStream out;
  args.writeObject(out);
  DRAVArgs decoded;
  for (auto _ : state) {
    DRAVDataInputStream in(out.getBuffer(0), out.size());
    decoded.clear();
    decoded.readObject(in);
    benchmark::DoNotOptimize(decoded.getInt(0));
  }
}
BENCHMARK(BM_DecodeReused_Drav);

void BM_Decode_MsgpackCxx(benchmark::State& state) {
  msgpack::sbuffer buffer;
  packListCxx(buffer);
  msgpack::zone zone;
  for (auto _ : state) {
    zone.clear();
    std::size_t offset = 0;
    msgpack::object list = msgpack::unpack(zone, buffer.data(), buffer.size(), offset);
    if (list.via.array.size != 8) state.SkipWithError("msgpack failed");
    benchmark::DoNotOptimize(list.via.array.ptr);
  }
}
BENCHMARK(BM_Decode_MsgpackCxx);

void BM_Decode_MsgpackC(benchmark::State& state) {
  msgpack_sbuffer buffer;
  msgpack_sbuffer_init(&buffer);
  msgpack_packer pk;
  msgpack_packer_init(&pk, &buffer, msgpack_sbuffer_write);
  packList(pk);
  for (auto _ : state) {
    msgpack_unpacked result;
    msgpack_unpacked_init(&result);
    size_t offset = 0;
    msgpack_unpack_return ret = msgpack_unpack_next(&result, buffer.data, buffer.size, &offset);
    if (ret != MSGPACK_UNPACK_SUCCESS) state.SkipWithError("msgpack failed");
    benchmark::DoNotOptimize(result.data.via.array.ptr);
    msgpack_unpacked_destroy(&result);
  }
  msgpack_sbuffer_destroy(&buffer);
}
BENCHMARK(BM_Decode_MsgpackC);

constexpr unsigned long kMiB = 1 << 20;

void BM_EncodeBinary1MiB_Drav(benchmark::State& state) {
  std::vector<unsigned char> bytes(kMiB, 0x5A);
  DRAVArgs args;
  args.addArg(bytes.data(), kMiB, false);
  DRAVDataOutputStream out;
  for (auto _ : state) {
    out.reset();
    args.writeObject(out);
    benchmark::DoNotOptimize(out.getBuffer(0));
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_EncodeBinary1MiB_Drav);

void BM_Memcpy1MiB(benchmark::State& state) {
  std::vector<unsigned char> bytes(kMiB, 0x5A);
  std::vector<unsigned char> target(kMiB + 16);
  for (auto _ : state) {
    std::memcpy(target.data(), bytes.data(), kMiB);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}
BENCHMARK(BM_Memcpy1MiB);

// Peak resident memory in KiB since the last resetPeak() (Linux only; 0 elsewhere).
long peakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

void resetPeak() {
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

long residentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

// The body of one call carrying a 64 MiB value: how far memory grows beyond
// the value itself while it is serialized into a new stream.
void BM_Serialize64MiB_Drav(benchmark::State& state) {
  const unsigned long size = 64 * kMiB;
  std::vector<unsigned char> bytes(size, 0x33);
  DRAVArgs args;
  args.addArg(7);
  args.addArg(bytes.data(), size, false);
  double ratio = 0;
  for (auto _ : state) {
    long before = residentKiB();
    resetPeak();
    {
      DRAVDataOutputStream out;
      args.writeObject(out);
      benchmark::DoNotOptimize(out.getBuffer(0));
    }
    ratio = double(peakKiB() - before) * 1024 / size;
  }
  state.counters["peak_growth_x_body"] = ratio;
  state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(BM_Serialize64MiB_Drav)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

// ---- Appending one body at a time ----
// n readObject calls, each appending one value to the same list (which holds
// one value added on its own), and the list's release, timed apart. Both are
// amortised constant per value, so per_value (CPU seconds) stays flat from 1k
// to 80k.
namespace append_one_at_a_time {

std::vector<unsigned char> oneValueBody() {
  DRAVArgs one;
  one.addArg(7);
  DRAVDataOutputStream out;
  one.writeObject(out);
  return std::vector<unsigned char>(out.getBuffer(0), out.getBuffer(0) + out.size());
}

DRAVArgs* listOfBodies(const std::vector<unsigned char>& body, long n) {
  auto* args = new DRAVArgs;
  args->addArg(1);
  for (long i = 0; i < n; ++i) {
    DRAVDataInputStream in(body.data(), static_cast<unsigned long>(body.size()));
    args->readObject(in);
  }
  return args;
}

void perValue(benchmark::State& state) {
  state.counters["per_value"] = benchmark::Counter(
      double(state.range(0)), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_AppendBodies_Build(benchmark::State& state) {
  const std::vector<unsigned char> body = oneValueBody();
  for (auto _ : state) {
    DRAVArgs* args = listOfBodies(body, state.range(0));
    state.PauseTiming();
    delete args;
    state.ResumeTiming();
  }
  perValue(state);
}
BENCHMARK(BM_AppendBodies_Build)->Arg(1000)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);

void BM_AppendBodies_Release(benchmark::State& state) {
  const std::vector<unsigned char> body = oneValueBody();
  for (auto _ : state) {
    state.PauseTiming();
    DRAVArgs* args = listOfBodies(body, state.range(0));
    state.ResumeTiming();
    delete args;
  }
  perValue(state);
}
BENCHMARK(BM_AppendBodies_Release)->Arg(1000)->Arg(10000)->Arg(80000)->Unit(benchmark::kMillisecond);

}  // namespace append_one_at_a_time
