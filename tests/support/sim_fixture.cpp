#include "sim_fixture.h"

#include <algorithm>
#include <cctype>
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

namespace {

std::string Upper(std::string text) {
  for (char &c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The function of a trace line, and the rest of it in capitals.
std::pair<std::string, std::string> Split(const std::string &line) {
  const size_t blank = std::min(line.find(' '), line.size());
  return {line.substr(0, blank), Upper(line.substr(blank))};
}

}  // namespace

CallRecord::CallRecord() {
  winsim::SetCallTrace([this](const std::string &line) { lines_.push_back(line); });
}

CallRecord::~CallRecord() {
  winsim::SetCallTrace(nullptr);
}

::testing::AssertionResult CallRecord::MadeInOrder(const std::vector<Call> &expected) const {
  size_t found = 0;
  for (auto line = lines_.begin(); line != lines_.end() && found < expected.size(); ++line) {
    const auto [function, subject] = Split(*line);
    if (function == expected[found].first && subject.find(Upper(expected[found].second)) != std::string::npos)
      ++found;
  }
  if (found == expected.size()) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << "expected in this order (not found from the one marked >):\n";
  for (size_t i = 0; i < expected.size(); ++i)
    failure << (i == found ? "  > " : "    ") << expected[i].first << " ..." << expected[i].second << "...\n";
  failure << "made:\n";
  for (const std::string &line : lines_) {
    const std::string function = Split(line).first;
    if (std::any_of(expected.begin(), expected.end(), [&](const Call &call) { return call.first == function; }))
      failure << "    " << line << "\n";
  }
  return failure;
}
