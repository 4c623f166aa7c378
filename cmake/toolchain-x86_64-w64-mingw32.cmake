# 64-bit Windows DLL and the Windows test programs run under Wine, with mingw-w64 (Debian packages
# g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64). The posix threading flavour of the
# compiler is used here because GoogleTest needs std::mutex; everything is linked statically.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ONLCOIN_TOOL_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ONLCOIN_TOOL_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ONLCOIN_TOOL_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ONLCOIN_TOOL_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ONLCOIN_TOOL_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
