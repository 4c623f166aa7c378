// The fixture of the tests of the simulation's own extras: a fresh machine whose drive C: is a
// folder of the test's own (so that files a test puts in the INF folder are seen by no other
// test), and at the end no handle of any kind left open.
#ifndef TESTS_PLATFORM_HOST_EXTRAS_TEST_H
#define TESTS_PLATFORM_HOST_EXTRAS_TEST_H

#include <gtest/gtest.h>
#include <winsim.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform_test.h"

class ExtrasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = (std::filesystem::temp_directory_path() / "winsim-extras-XXXXXX").string();
    ASSERT_NE(mkdtemp(root_.data()), nullptr);
    winsim::SetFileRoot(root_);
    winsim::Reset();
  }
  // Drive C: goes back to the shared folder before the next test (host_main.cpp).
  void TearDown() override {
    EXPECT_EQ(winsim::OpenHandles().Total(), 0) << "still open:\n" << winsim::DescribeOpenHandles();
    winsim::Reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  std::string root_;
};

#endif  // TESTS_PLATFORM_HOST_EXTRAS_TEST_H
