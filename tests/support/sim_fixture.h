// Test fixture for product tests on the simulated platform: a fresh machine per test, a private
// host folder for drive C:, and the resource check that every operation leaves no registry key,
// file, device set, INF, event source, process, module, window, class, timer or allocation open.
#ifndef TESTS_SIM_FIXTURE_H
#define TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>
#include <winsim.h>

#include <string>

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Fails the test with a list of what is still open.
  void ExpectNoOpenHandles();

  std::string root_;  // host folder behind drive C:
};

#endif  // TESTS_SIM_FIXTURE_H
