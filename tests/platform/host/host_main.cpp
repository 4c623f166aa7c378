// Entry of the host build of the platform tests: drive C: of the simulated platform is a fresh
// temporary folder, removed again at the end.
#include <gtest/gtest.h>
#include <winsim.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string root = (std::filesystem::temp_directory_path() / "winsim-platform-XXXXXX").string();
  if (!mkdtemp(root.data())) {
    std::perror("mkdtemp");
    return EXIT_FAILURE;
  }
  winsim::SetFileRoot(root);
  winsim::Reset();
  int result = RUN_ALL_TESTS();
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return result;
}
