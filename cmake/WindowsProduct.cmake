# Windows builds (mingw-w64): the product DLL onlcoin.dll with its export definition, message
# table and version resource; for the 64-bit build also the Windows test programs run under Wine.
# With ONLCOIN_TEST_PROGRAMS_ONLY (the win32-tests preset) only the test programs are built, as
# 32-bit programs that run under 32-bit Wine against the win32 preset's DLL, the one shipped.
if(ONLCOIN_TEST_PROGRAMS_ONLY)
  add_subdirectory(tests/wine)
  return()
endif()

enable_language(RC)
find_program(ONLCOIN_WINDMC NAMES ${ONLCOIN_TOOL_PREFIX}-windmc REQUIRED)

set(ONLCOIN_GENERATED ${CMAKE_BINARY_DIR}/generated)
file(MAKE_DIRECTORY ${ONLCOIN_GENERATED})
add_custom_command(
  OUTPUT ${ONLCOIN_GENERATED}/messages.rc ${ONLCOIN_GENERATED}/messages.h ${ONLCOIN_GENERATED}/MSG00409.bin
  COMMAND ${ONLCOIN_WINDMC} -A -h ${ONLCOIN_GENERATED} -r ${ONLCOIN_GENERATED} ${CMAKE_SOURCE_DIR}/resources/messages.mc
  DEPENDS ${CMAKE_SOURCE_DIR}/resources/messages.mc
  COMMENT "Compiling the message table")
add_custom_target(onlcoin_messages DEPENDS ${ONLCOIN_GENERATED}/messages.rc)

add_library(onlcoin SHARED ${ONLCOIN_PRODUCT_SOURCES} ${CMAKE_SOURCE_DIR}/resources/onlcoin.rc
                           ${CMAKE_SOURCE_DIR}/resources/onlcoin.def)
add_dependencies(onlcoin onlcoin_messages)
set_target_properties(onlcoin PROPERTIES PREFIX "" OUTPUT_NAME onlcoin)
target_include_directories(onlcoin PRIVATE ${ONLCOIN_PRODUCT_INCLUDES} ${ONLCOIN_GENERATED})
set_source_files_properties(${CMAKE_SOURCE_DIR}/resources/onlcoin.rc PROPERTIES
                            OBJECT_DEPENDS "${ONLCOIN_GENERATED}/messages.rc;${ONLCOIN_GENERATED}/MSG00409.bin")
# Only system DLLs may be imported: the compiler's runtimes are linked in statically.
target_link_options(onlcoin PRIVATE -static -static-libgcc -static-libstdc++)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The export definition names the plain entry; the linker maps it to the stdcall-decorated symbol.
  target_link_options(onlcoin PRIVATE -Wl,--enable-stdcall-fixup)
endif()
target_link_libraries(onlcoin PRIVATE setupapi advapi32 user32 gdi32 kernel32)

if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND EXISTS ${CMAKE_SOURCE_DIR}/tests/wine/CMakeLists.txt)
  add_subdirectory(tests/wine)
endif()
