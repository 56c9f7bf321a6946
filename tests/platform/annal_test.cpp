// Tracing: one line per logger, filtering by importance, installable sinks.
#include <drav/platform/annal.h>

#include <gtest/gtest.h>

#include <stdexcept>
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
  Annal::Logger(Annal::Error) << -3000000000l << ' ' << -9000000000000000000ll << ' ' << 18446744073709551615ull
                              << ' ' << 2.5 << ' ' << 1e300 << ' ' << static_cast<const char*>(nullptr);
  EXPECT_EQ(trace.lines(), (std::vector<std::string>{"M receiving 42 bytes", "Error code -5 7 done",
                                                     "Error -3000000000 -9000000000000000000 18446744073709551615 "
                                                     "2.5 1e+300 (null)"}));
}

TEST(Annal, AMovedLoggerEmitsItsLineOnceFromTheNewOwner) {
  dravtest::CaptureTrace trace;
  {
    Annal::Logger first(Annal::M);
    first << "one ";
    Annal::Logger second(std::move(first));
    second << "line";
  }
  EXPECT_EQ(trace.lines(), (std::vector<std::string>{"M one line"}));
}

// A library inside a program is quiet until the program asks: then lines go
// to standard error, or to the sink it chose (failures at least).
TEST(Annal, NothingIsTracedUntilTheProgramChoosesALevelOrASink) {
  testing::internal::CaptureStderr();
  testing::internal::CaptureStdout();
  Annal::Logger(Annal::Error) << "unasked";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  Annal::setLowestImportance(Annal::Error);
  testing::internal::CaptureStderr();
  Annal::Logger(Annal::Error) << "to the console " << 3;
  Annal::Logger(Annal::M) << "below the chosen level";
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[Error] to the console 3\n");
  Annal::setLowestImportance(Annal::Off);

  std::vector<std::string> seen;
  const auto collect = [&seen](const Annal::Importance& i, const std::string& line) {
    seen.push_back(std::string(i.name()) + " " + line);
  };
  testing::internal::CaptureStderr();
  Annal::setSink(collect);
  Annal::Logger(Annal::Error) << "failure";
  Annal::Logger(Annal::M) << "progress";
  Annal::setSink(nullptr);
  Annal::setLowestImportance(Annal::M);  // a level chosen first stays with the sink
  Annal::setSink(collect);
  Annal::Logger(Annal::M) << "progress";
  Annal::setSink(nullptr);
  Annal::setLowestImportance(Annal::Off);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(seen, (std::vector<std::string>{"Error failure", "M progress"}));
}

TEST(Annal, AFailingSinkDoesNotReachTheTracedCode) {
  Annal::setSink([](const Annal::Importance&, const std::string&) { throw std::runtime_error("sink down"); });
  EXPECT_NO_THROW(Annal::Logger(Annal::Error) << "lost");
  Annal::setSink(nullptr);
  Annal::setLowestImportance(Annal::Off);
}

TEST(Annal, LinesBelowTheLowestImportanceAreDropped) {
  dravtest::CaptureTrace trace(Annal::M);
  EXPECT_EQ(&Annal::lowestImportance(), &Annal::M);
  Annal::Logger(Annal::XS) << "minor";
  Annal::Logger(Annal::M) << "progress";
  Annal::setLowestImportance(Annal::Error);
  EXPECT_EQ(&Annal::lowestImportance(), &Annal::Error);
  EXPECT_FALSE(Annal::isEnabled(Annal::M));
  Annal::Logger(Annal::M) << "hidden";
  Annal::Logger(Annal::Error) << "failure";
  EXPECT_EQ(trace.lines(), (std::vector<std::string>{"M progress", "Error failure"}));
}

TEST(Annal, DefaultsToNothing) {
  EXPECT_EQ(&Annal::lowestImportance(), &Annal::Off);
  EXPECT_FALSE(Annal::isEnabled(Annal::Error));
  // The levels order XS < M < Error, with room between them for others.
  EXPECT_EQ(Annal::XS.level(), 10);
  EXPECT_EQ(Annal::M.level(), 20);
  EXPECT_EQ(Annal::Error.level(), 40);
  EXPECT_STREQ(Annal::XS.name(), "XS");
  Annal::setLowestImportance(Annal::Error);
  EXPECT_TRUE(Annal::isEnabled(Annal::Importance(40, "other")));
  EXPECT_FALSE(Annal::isEnabled(Annal::Importance(39, "other")));
  Annal::setLowestImportance(Annal::Off);
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
