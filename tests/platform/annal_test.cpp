// Tracing: one line per logger, filtering by importance, installable sinks.
#include <drav/platform/annal.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "support/capture_trace.h"

namespace {

TEST(Annal, ALoggerEmitsOneLineWhenDestroyed) {
  dravtest::CaptureTrace trace;
  {
    Annal::Logger log(Annal::M);
    log << "receiving " << 42ul << " bytes";
    EXPECT_TRUE(trace.lines().empty()) << "nothing before destruction";
  }
  Annal::Logger(Annal::Error) << "code " << -5 << ' ' << 7u << " " << std::string("done");
  EXPECT_EQ(trace.lines(), (std::vector<std::string>{"M receiving 42 bytes", "Error code -5 7 done"}));
}

TEST(Annal, LinesBelowTheLowestImportanceAreDropped) {
  dravtest::CaptureTrace trace(Annal::M);
  Annal::Logger(Annal::XS) << "minor";
  Annal::Logger(Annal::M) << "progress";
  Annal::setLowestImportance(Annal::Error);
  Annal::Logger(Annal::M) << "hidden";
  Annal::Logger(Annal::Error) << "failure";
  EXPECT_EQ(trace.lines(), (std::vector<std::string>{"M progress", "Error failure"}));
}

TEST(Annal, DefaultsToErrorsOnly) {
  EXPECT_EQ(&Annal::lowestImportance(), &Annal::Error);
  EXPECT_FALSE(Annal::isEnabled(Annal::M));
  EXPECT_TRUE(Annal::isEnabled(Annal::Error));
}

TEST(Annal, LinesFromManyThreadsStayWhole) {
  dravtest::CaptureTrace trace;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 100; ++i) Annal::Logger(Annal::M) << "thread " << t << " line " << i;
    });
  for (auto& thread : threads) thread.join();
  auto lines = trace.lines();
  ASSERT_EQ(lines.size(), 400u);
  for (const auto& line : lines) EXPECT_EQ(line.rfind("M thread ", 0), 0u) << line;
}

}  // namespace
