#include "sim_fixture.h"

#include <cstdlib>
#include <filesystem>

#include "onlcoin_module.h"

void SimTest::SetUp() {
  std::string pattern = (std::filesystem::temp_directory_path() / "onlcoin-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  root_ = pattern;
  winsim::SetFileRoot(root_);
  winsim::Reset();
  winsim::TakeVerifierStops();  // a test answers only for its own stops
  RegisterOnlcoinModule();
}

void SimTest::ExpectNoOpenHandles() {
  EXPECT_EQ(winsim::OpenHandles().Total(), 0) << "still open:\n" << winsim::DescribeOpenHandles();
}

void SimTest::TearDown() {
  if (!HasFatalFailure()) ExpectNoOpenHandles();
  const std::vector<winsim::VerifierStop> stops = winsim::TakeVerifierStops();
  EXPECT_TRUE(stops.empty()) << "the simulated platform stopped these calls:\n"
                             << winsim::DescribeVerifierStops(stops);
  winsim::Reset();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}
