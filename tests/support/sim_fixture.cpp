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

bool Matches(const std::string &line, const CallRecord::Call &call) {
  return line.compare(0, call.first.size(), call.first) == 0 &&
         (line.size() == call.first.size() || line[call.first.size()] == ' ') &&
         Upper(line.substr(call.first.size())).find(Upper(call.second)) != std::string::npos;
}

}  // namespace

CallRecord::CallRecord() {
  winsim::SetCallTrace([this](const std::string &line) { lines_.push_back(line); });
}

CallRecord::~CallRecord() {
  winsim::SetCallTrace(nullptr);
}

::testing::AssertionResult CallRecord::MadeInOrder(const std::vector<Call> &expected) const {
  size_t next = 0, found = 0;
  for (; found < expected.size(); ++found, ++next) {
    while (next < lines_.size() && !Matches(lines_[next], expected[found])) ++next;
    if (next == lines_.size()) break;
  }
  if (found == expected.size()) return ::testing::AssertionSuccess();
  ::testing::AssertionResult failure = ::testing::AssertionFailure();
  failure << "expected in this order (not found from the one marked >):\n";
  for (size_t i = 0; i < expected.size(); ++i)
    failure << (i == found ? "  > " : "    ") << expected[i].first << " ..." << expected[i].second << "...\n";
  failure << "made:\n";
  for (const std::string &line : lines_) {
    const bool relevant = std::any_of(expected.begin(), expected.end(), [&](const Call &call) {
      return line.compare(0, call.first.size() + 1, call.first + " ") == 0 || line == call.first;
    });
    if (relevant) failure << "    " << line << "\n";
  }
  return failure;
}
