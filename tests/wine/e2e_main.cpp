// Entry of the end-to-end program: module_e2e.exe [--dll=PATH] [GoogleTest options]
// PATH is the built onlcoin.dll of this program's architecture as a Windows path (under Wine,
// Z:\ is the Linux root); without it, the 64-bit program takes the DLL two folders above it,
// where the win64 build puts it, and the 32-bit program the shipped DLL of the win32 build.
// Exits 77 (skipped) when the DLL does not exist.
#include <cstring>
#include <string>

#include "e2e_support.h"

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // build\win64\tests\wine\ -> build\win64\onlcoin.dll;
  // build\win32-tests\tests\wine\ -> build\win32\onlcoin.dll
  std::string dll =
      e2e::ProgramFolder() + (sizeof(void *) == 8 ? "\\..\\..\\onlcoin.dll" : "\\..\\..\\..\\win32\\onlcoin.dll");
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
    printf("skipped: %s was not built (cmake --build --preset %s)\n", dll.c_str(),
           sizeof(void *) == 8 ? "win64" : "win32");
    return 77;
  }
  if (!e2e::InstallAndLoadModule(dll)) return 1;
  return RUN_ALL_TESTS();
}
