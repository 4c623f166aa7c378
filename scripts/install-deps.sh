#!/usr/bin/env bash
# Installs what the project needs from Debian's packages, when run as root; otherwise says
# plainly what is missing. Usage: scripts/install-deps.sh [host|all]
#   host: what the simulator and the host tests need (compiler, CMake, Ninja, GoogleTest)
#   all:  also the mingw-w64 cross compilers for the Windows DLLs, Google Benchmark, clang for
#         the fuzzers, and Wine (64-bit) for the tests on a real implementation of the platform
set -euo pipefail
scope=${1:-all}

declare -A need=(
  [cmake]=cmake [ninja]=ninja-build [g++]=g++ [/usr/include/gtest/gtest.h]=libgtest-dev
)
if [ "$scope" = all ]; then
  need+=(
    [i686-w64-mingw32-g++-win32]=g++-mingw-w64-i686-win32
    [x86_64-w64-mingw32-g++-posix]=g++-mingw-w64-x86-64-posix
    [i686-w64-mingw32-windmc]=binutils-mingw-w64-i686
    [x86_64-w64-mingw32-windmc]=binutils-mingw-w64-x86-64
    [/usr/include/benchmark/benchmark.h]=libbenchmark-dev
    [clang++]=clang
  )
fi
# Wine is optional for a user who cannot install packages: without it the tests on Wine are
# skipped, and the test command says so.
declare -A optional=()
[ "$scope" = all ] && optional[/usr/lib/wine/wine64]=wine64

missing=()
for probe in "${!need[@]}"; do
  if [[ "$probe" == /* ]]; then
    [ -e "$probe" ] || missing+=("${need[$probe]}")
  else
    command -v "$probe" >/dev/null 2>&1 || missing+=("${need[$probe]}")
  fi
done
# libclang-rt-14-dev brings the fuzzer and sanitizer runtimes that clang needs.
if [ "$scope" = all ] && ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  missing+=(libclang-rt-dev)
fi

missing_optional=()
for probe in "${!optional[@]}"; do
  [ -e "$probe" ] || missing_optional+=("${optional[$probe]}")
done
if [ "$(id -u)" -eq 0 ]; then
  missing+=("${missing_optional[@]}")
elif [ ${#missing_optional[@]} -ne 0 ]; then
  echo "Not installed: ${missing_optional[*]} (as root: apt-get install --no-install-recommends ${missing_optional[*]});" \
    "the tests on Wine will be skipped." >&2
fi

[ ${#missing[@]} -eq 0 ] && exit 0
mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root: apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

echo "Installing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
