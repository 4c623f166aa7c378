// Entry of the host build of the platform tests: drive C: of the simulated platform is a fresh
// temporary folder, removed again at the end, and a test fails when the verifier stopped a call
// that the test did not expect to be stopped.
#include <gtest/gtest.h>
#include <winsim.h>

#include "platform_test.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

// Puts drive C: back on the shared folder before every test, in case a host-only test moved it
// to a folder of its own and did not move it back.
class KeepDriveC : public ::testing::EmptyTestEventListener {
 public:
  explicit KeepDriveC(std::string root) : root_(std::move(root)) {}
  void OnTestStart(const ::testing::TestInfo &) override {
    if (winsim::FileRoot() != root_) winsim::SetFileRoot(root_);
    winsim::TakeVerifierStops();  // a test answers only for its own stops
  }
  // Runs before the result is printed, while failures still count for the test.
  void OnTestEnd(const ::testing::TestInfo &) override {
    const std::vector<winsim::VerifierStop> stops = winsim::TakeVerifierStops();
    if (!stops.empty())
      ADD_FAILURE() << "the simulated platform stopped these calls:\n" << winsim::DescribeVerifierStops(stops);
  }

 private:
  std::string root_;
};

}  // namespace

void ExpectVerifierStop(const char *function) {
  const std::vector<winsim::VerifierStop> stops = winsim::TakeVerifierStops();
  ASSERT_EQ(stops.size(), 1u) << "expected one stop of " << function << ", got:\n"
                              << winsim::DescribeVerifierStops(stops);
  EXPECT_EQ(stops[0].function, function) << stops[0].what;
}

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string root = (std::filesystem::temp_directory_path() / "winsim-platform-XXXXXX").string();
  if (!mkdtemp(root.data())) {
    std::perror("mkdtemp");
    return EXIT_FAILURE;
  }
  winsim::SetFileRoot(root);
  winsim::Reset();
  ::testing::UnitTest::GetInstance()->listeners().Append(new KeepDriveC(root));
  int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return result;
}
