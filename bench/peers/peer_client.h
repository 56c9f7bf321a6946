// The one small service the peer benchmark measures in each framework:
// greet (a name in, a greeting out), sum (two 32-bit integers) and echo (a
// binary value back as it came). Each framework's client implements it in a
// file of its own; the driver (driver.cpp) measures them all the same way.
// Not a test: it checks each answer only so that a broken peer cannot
// report figures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace peers {

struct Bytes {
  const unsigned char* data = nullptr;
  std::size_t size = 0;
};

class PeerClient {
public:
  virtual ~PeerClient() = default;
  virtual std::string greet(const std::string& name) = 0;
  virtual std::int32_t sum(std::int32_t a, std::int32_t b) = 0;
  // Sends `payload` and returns the answer, owned by this client and valid
  // until its next call or drop(). `payload` may be moved out during the
  // call (to spare a framework a copy) but is the same again on return.
  virtual Bytes echo(std::string& payload) = 0;
  virtual void drop() = 0;
};

// Takes the framework's own options from the command line (ours: the
// library's -DRAV... options, the compression threshold among them).
void initialize(int argc, char** argv);

// A client on one connection to the framework's server at `address`
// (host:port, or the bridge's URL for ours), for one thread at a time.
std::unique_ptr<PeerClient> connectPeer(const std::string& address);

// The framework's name in the table ("drav", "grpc", "thrift").
extern const char* const kFramework;

// A client whose greet and sum any number of threads may call at once
// (gRPC's channel, our client with `threads` connections), or null when each
// thread needs one of its own (Thrift).
std::unique_ptr<PeerClient> connectShared(const std::string& address, unsigned threads);

}  // namespace peers
