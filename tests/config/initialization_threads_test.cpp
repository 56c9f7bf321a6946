#include <drav/config/client_core.h>
#include <drav/config/initialization.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;

// Holds each thread until all have started (at most two seconds), so their
// first calls overlap.
class StartLine {
public:
  void arriveAndWait() {
    ++arrived_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (arrived_.load() < kThreads && std::chrono::steady_clock::now() < deadline)
      std::this_thread::yield();
  }

private:
  std::atomic<int> arrived_{0};
};

// Runs in a fresh process (the death-test child re-runs only this test), so
// the core does not exist yet when the threads ask for it together.
[[noreturn]] void raceForTheCore() {
  StartLine start;
  std::vector<DRAVClientCore*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&start, &seen, i] {
      start.arriveAndWait();
      seen[i] = &DRAVClientCore::instance();
    });
  for (std::thread& t : threads) t.join();
  for (DRAVClientCore* core : seen)
    if (core != seen[0] || core != &DRAVClientCore::instance()) std::_Exit(1);
  std::_Exit(0);
}

TEST(DRAVClientCore, ThreadsAskingAtOnceShareOneCore) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(raceForTheCore(), ::testing::ExitedWithCode(0), "");
}

TEST(DRAVInitialize, ConcurrentInitialisationsAndTeardownsKeepTheCountAtZeroOrOne) {
  StartLine start;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&start] {
      char program[] = "prog";
      char* argv[] = {program, nullptr};
      start.arriveAndWait();
      // A count tested and changed in two steps went wrong in every run at
      // this many rounds on two cores; the whole test takes ~0.1 s.
      for (int round = 0; round < 20000; ++round) {
        DRAVInitialize init(1, argv);
      }
    });
  for (std::thread& t : threads) t.join();

  // A count that went past 1 or wrapped below 0 would still read as initialised.
  EXPECT_FALSE(DRAVInitialize::isInitialized());
  EXPECT_FALSE(DRAVClientCore::instance().isInitialised());
  {
    DRAVInitialize once(0, nullptr);
    EXPECT_TRUE(DRAVInitialize::isInitialized());
  }
  EXPECT_FALSE(DRAVInitialize::isInitialized());
}

}  // namespace
