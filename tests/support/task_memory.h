// A fixture for tests of the OLE Automation shim: on hosts where the shim is
// ours, each test must give back every task-memory block it took (BSTRs,
// SAFEARRAY descriptors and data), so a missing free fails a plain build too.
#pragma once

#include <drav/platform/win32.h>

#include <gtest/gtest.h>

namespace dravtest {

class GivesBackTaskMemory : public ::testing::Test {
protected:
#ifndef _WIN32
  void SetUp() override { blocks_ = DravTaskMemoryBlocksInUse(); }
  void TearDown() override { EXPECT_EQ(DravTaskMemoryBlocksInUse(), blocks_) << "task-memory blocks left behind"; }

private:
  SIZE_T blocks_ = 0;
#endif
};

}  // namespace dravtest
