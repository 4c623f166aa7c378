# Linux host: the simulated platform, the product linked against it, the tests and the tools.
if(ONLCOIN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

file(GLOB WINSIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/winsim/src/*.cpp)
add_library(winsim STATIC ${WINSIM_SOURCES})
target_include_directories(winsim PUBLIC ${CMAKE_SOURCE_DIR}/winsim/include)

add_library(onlcoin_core STATIC ${ONLCOIN_PRODUCT_SOURCES})
target_include_directories(onlcoin_core PUBLIC ${ONLCOIN_PRODUCT_INCLUDES})
target_link_libraries(onlcoin_core PUBLIC winsim)

# The product as a loadable module of the simulated platform ("onlcoin.dll").
file(GLOB HOSTGLUE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/hostglue/*.cpp)
add_library(onlcoin_hosted STATIC ${HOSTGLUE_SOURCES})
target_link_libraries(onlcoin_hosted PUBLIC onlcoin_core)
target_include_directories(onlcoin_hosted PUBLIC ${CMAKE_SOURCE_DIR}/hostglue ${CMAKE_BINARY_DIR}/generated)
include(${CMAKE_SOURCE_DIR}/cmake/MessageTable.cmake)
onlcoin_generate_message_table(${CMAKE_SOURCE_DIR}/resources/messages.mc
                               ${CMAKE_BINARY_DIR}/generated/message_table.inc)

# Before the tools: a tool's own tests (the PE check of the built DLLs) are registered only once
# testing is enabled.
enable_testing()
file(GLOB TOOL_DIRS LIST_DIRECTORIES true ${CMAKE_SOURCE_DIR}/tools/*)
foreach(dir ${TOOL_DIRS})
  if(EXISTS ${dir}/CMakeLists.txt)
    add_subdirectory(${dir})
  endif()
endforeach()

add_subdirectory(tests)

# Benchmarks, separate from the tests (scripts/bench.sh).
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()

# libFuzzer targets, built only with clang in a build folder of their own (scripts/fuzz.sh).
if(ONLCOIN_FUZZ)
  add_subdirectory(fuzz)
endif()
