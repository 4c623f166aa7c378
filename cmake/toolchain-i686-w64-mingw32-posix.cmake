# The Windows test programs as 32-bit programs, run under 32-bit Wine against the win32 preset's
# DLL (Debian packages g++-mingw-w64-i686-posix, binutils-mingw-w64-i686). The posix threading
# flavour of the compiler is used here because GoogleTest needs std::mutex; the product DLL itself
# is built by the win32 preset with the win32 flavour, as it is shipped.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-i686-w64-mingw32.cmake)
set(CMAKE_C_COMPILER ${ONLCOIN_TOOL_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ONLCOIN_TOOL_PREFIX}-g++-posix)
