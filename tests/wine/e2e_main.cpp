// Entry of the end-to-end program: module_e2e.exe [--dll=PATH] [GoogleTest options]
// PATH is the built 64-bit onlcoin.dll as a Windows path (under Wine, Z:\ is the Linux root);
// without it, the DLL two folders above this program, where the win64 build puts it.
// Exits 77 (skipped) when the DLL does not exist.
#include <cstring>
#include <string>

#include "e2e_support.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  std::string dll = e2e::ProgramFolder() + "\\..\\..\\onlcoin.dll";
  constexpr char kDllOption[] = "--dll=";
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], kDllOption, sizeof kDllOption - 1) == 0) {
      dll = argv[i] + sizeof kDllOption - 1;
    } else {
      fprintf(stderr, "unknown argument %s\n", argv[i]);
      return 2;
    }
  }
  if (GetFileAttributesA(dll.c_str()) == INVALID_FILE_ATTRIBUTES) {
    printf("skipped: %s was not built (cmake --build --preset win64)\n", dll.c_str());
    return 77;
  }
  if (!e2e::InstallAndLoadModule(dll)) return 1;
  return RUN_ALL_TESTS();
}
