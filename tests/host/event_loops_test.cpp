// The event loops' watcher: it sleeps while the host is idle, and a call that
// holds its loop after such a sleep still gets a spare thread for the loop.
#include "host/server/event_loops.h"

#include <gtest/gtest.h>

#include <boost/asio/post.hpp>

#include <chrono>
#include <dirent.h>
#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// A channel that takes everything and holds nothing.
class NullChannel : public DRAVHost::Channel {
public:
  std::size_t readSome(void*, std::size_t, std::chrono::milliseconds) override { return 0; }
  void writeAll(const DRAVHost::ConstPiece*, std::size_t, std::chrono::milliseconds) override {}
};

std::set<std::string> threadIds() {
  std::set<std::string> ids;
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return ids;
  while (const dirent* entry = readdir(tasks))
    if (entry->d_name[0] != '.') ids.insert(entry->d_name);
  closedir(tasks);
  return ids;
}

// How often the threads `ids` have gone to sleep and woken since they began.
unsigned long wakeUps(const std::set<std::string>& ids) {
  unsigned long total = 0;
  for (const std::string& id : ids) {
    std::ifstream status("/proc/self/task/" + id + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stoul(line.substr(24));
  }
  return total;
}

// The threads an EventLoops started: those that were not there before it.
std::set<std::string> threadsSince(const std::set<std::string>& before) {
  std::set<std::string> started;
  for (const std::string& id : threadIds())
    if (!before.count(id)) started.insert(id);
  return started;
}

}  // namespace

TEST(EventLoops, AnIdleHostWakesNoThread) {
  const auto before = threadIds();
  DRAVHost::EventLoops loops(2, 2, 10ms);
  const auto started = threadsSince(before);
  ASSERT_EQ(5u, started.size());  // two loops, two spares, the watcher
  std::this_thread::sleep_for(300ms);
  const unsigned long first = wakeUps(started);
  std::this_thread::sleep_for(500ms);
  // A watcher ticking every 10 ms would have woken about 50 times.
  EXPECT_LE(wakeUps(started) - first, 5u);
}

TEST(EventLoops, ACallBegunAfterTheWatcherSleptStillGetsASpareForItsLoop) {
  // What the handlers use outlives the loops, which join their threads first.
  NullChannel channel;
  std::promise<void> release, held, served;
  const std::shared_future<void> released = release.get_future().share();
  std::future<void> heldNow = held.get_future(), servedNow = served.get_future();
  DRAVHost::EventLoops loops(1, 1, 10ms);
  std::this_thread::sleep_for(300ms);  // long enough for the watcher to sleep
  DRAVHost::EventLoop& loop = loops.loop(0);
  boost::asio::post(loop.context(), [&loop, &channel, &held, released] {
    DRAVHost::EventLoop::Call call(loop, false, channel);
    held.set_value();
    released.wait_for(10s);
  });
  ASSERT_EQ(std::future_status::ready, heldNow.wait_for(2s));
  // The loop's only thread is in the call: the handler runs only on a spare.
  boost::asio::post(loop.context(), [&served] { served.set_value(); });
  EXPECT_EQ(std::future_status::ready, servedNow.wait_for(2s));
  release.set_value();
}
