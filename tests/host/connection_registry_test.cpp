// The count of connections a listener holds, where idle ones give way to a
// newcomer: a connection cut to make room stops counting once it is gone,
// so the bound neither drifts up nor closes the listener for good.
#include "host/server/connection_registry.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using DRAVHost::ConnectionRegistry;

// One end of a socket pair as the connection's socket (cutting shuts it
// down), the other kept open so the cut is all that happens to it.
struct Socket {
  Socket() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()), 0); }
  ~Socket() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
  std::array<int, 2> fds{{-1, -1}};
};

struct Connection {
  Socket socket;
  ConnectionRegistry::Entry entry{socket.fds[0]};
};

TEST(ConnectionRegistry, ConnectionsThatGaveWayStopCountingOnceGone) {
  constexpr unsigned kMost = 2;
  ConnectionRegistry registry(kMost, 0, true);
  const auto idleWait = ConnectionRegistry::Clock::now() + std::chrono::minutes(1);
  for (int round = 0; round < 4; ++round) {
    // Both places idle; each newcomer cuts one of them and takes its place.
    std::vector<std::unique_ptr<Connection>> held;
    for (unsigned i = 0; i < kMost; ++i) {
      held.push_back(std::make_unique<Connection>());
      ASSERT_TRUE(registry.add(held.back()->entry)) << round;
      held.back()->entry.arm(idleWait, false, true);
    }
    std::vector<std::unique_ptr<Connection>> newcomers;
    for (unsigned i = 0; i < kMost; ++i) {
      newcomers.push_back(std::make_unique<Connection>());
      ASSERT_TRUE(registry.add(newcomers.back()->entry)) << round;
    }
    // Nobody idle is left to cut: the bound holds.
    Connection over;
    EXPECT_FALSE(registry.add(over.entry)) << round;
    for (auto& c : held) registry.remove(c->entry);
    for (auto& c : newcomers) registry.remove(c->entry);
    EXPECT_EQ(registry.size(), 0u) << round;
  }
  // After every round the listener takes its full count again, and no more.
  std::vector<std::unique_ptr<Connection>> again;
  for (unsigned i = 0; i < kMost; ++i) {
    again.push_back(std::make_unique<Connection>());
    EXPECT_TRUE(registry.add(again.back()->entry)) << i;
  }
  Connection over;
  EXPECT_FALSE(registry.add(over.entry));
  for (auto& c : again) registry.remove(c->entry);
}

}  // namespace
