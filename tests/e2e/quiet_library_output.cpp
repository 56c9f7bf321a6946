// The client library writes debugging lines to standard output (one per
// chunk sent, and the logon's answer); a suite that posts in one-byte chunks
// would print thousands. This environment drops them for the suite's run.
#include <gtest/gtest.h>

#include <iostream>
#include <streambuf>

namespace {

class DiscardingBuffer : public std::streambuf {
protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

class QuietLibraryOutput : public ::testing::Environment {
public:
  void SetUp() override { saved_ = std::cout.rdbuf(&discard_); }
  void TearDown() override { std::cout.rdbuf(saved_); }

private:
  DiscardingBuffer discard_;
  std::streambuf* saved_ = nullptr;
};

const auto* const kQuiet = ::testing::AddGlobalTestEnvironment(new QuietLibraryOutput);

}  // namespace
