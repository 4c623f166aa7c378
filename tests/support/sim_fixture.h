// Test fixture for product tests on the simulated platform: a fresh machine per test, a private
// host folder for drive C:, and the resource check that every operation leaves no registry key,
// file, device set, INF, event source, process, module, window, class, timer or allocation open.
#ifndef TESTS_SIM_FIXTURE_H
#define TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>
#include <winsim.h>

#include <string>
#include <utility>
#include <vector>

// The platform calls made while it exists, each as the call trace names it: the function, then
// what the call is about ("RegSetValueExA HKEY_LOCAL_MACHINE\SOFTWARE\ORVIK\CAPI\Path\ -> 0").
class CallRecord {
 public:
  using Call = std::pair<std::string, std::string>;  // function, part of its subject

  CallRecord();
  ~CallRecord();
  CallRecord(const CallRecord &) = delete;
  CallRecord &operator=(const CallRecord &) = delete;

  // Passes when calls matching `expected` were made in this order, other calls coming between
  // them; subjects are compared without regard to letter case. A failure shows the expected calls
  // and the recorded calls of the same functions.
  ::testing::AssertionResult MadeInOrder(const std::vector<Call> &expected) const;

 private:
  std::vector<std::string> lines_;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Fails the test with a list of what is still open.
  void ExpectNoOpenHandles();

  std::string root_;  // host folder behind drive C:
};

#endif  // TESTS_SIM_FIXTURE_H
