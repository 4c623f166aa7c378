#!/usr/bin/env bash
# Installs what the project needs from Debian's packages, when run as root; otherwise says
# plainly what is missing. Usage: scripts/install-deps.sh [host|all]
#   host: what the simulator and the host tests need (compiler, CMake, Ninja, GoogleTest)
#   all:  also the mingw-w64 cross compilers for the Windows DLLs and test programs, Google
#         Benchmark, clang for the fuzzers, and Wine (64-bit, and 32-bit for the shipped DLL)
#         for the tests on a real implementation of the platform
# A second run on the same machine installs nothing.
set -euo pipefail
scope=${1:-all}
export DEBIAN_FRONTEND=noninteractive

declare -A need=(
  [cmake]=cmake [ninja]=ninja-build [g++]=g++ [/usr/include/gtest/gtest.h]=libgtest-dev
)
if [ "$scope" = all ]; then
  # The product DLL is built with the win32 threading flavour; the test programs with the posix
  # one, because GoogleTest needs std::mutex.
  need+=(
    [i686-w64-mingw32-g++-win32]=g++-mingw-w64-i686-win32
    [i686-w64-mingw32-g++-posix]=g++-mingw-w64-i686-posix
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
# 32-bit Wine (its loader is /usr/lib/wine/wine) comes from Debian's i386 architecture and needs
# more care than a plain installation: see install_wine32.
wine32_loader=/usr/lib/wine/wine
want_wine32=0
[ "$scope" = all ] && [ ! -x "$wine32_loader" ] && want_wine32=1

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
else
  if [ ${#missing_optional[@]} -ne 0 ]; then
    echo "Not installed: ${missing_optional[*]} (as root: apt-get install --no-install-recommends ${missing_optional[*]});" \
      "the tests on Wine will be skipped." >&2
  fi
  if [ "$want_wine32" -eq 1 ]; then
    echo "Not installed: 32-bit Wine (wine32:i386; as root, this script installs it);" \
      "the wine32.* runs of the shipped 32-bit DLL will be skipped." >&2
  fi
  want_wine32=0
fi

[ ${#missing[@]} -eq 0 ] && [ "$want_wine32" -eq 0 ] && exit 0
if [ ${#missing[@]} -ne 0 ]; then
  mapfile -t missing < <(printf '%s\n' "${missing[@]}" | sort -u)
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}" >&2
  echo "Install them as root: apt-get install --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

# An index that fails to download (a mirror in the middle of a sync, as the security archive's
# i386 index was seen to be) must not stop the installation: apt goes on with the indexes it has,
# and a package that is then missing is reported by the installation itself.
update_indexes() {
  local log
  if ! log=$(apt-get update -qq 2>&1); then
    echo "apt-get update could not fetch every index; going on with the ones it has:" >&2
    grep -E '^(E|W):' <<<"$log" | grep -v 'Some index files failed' | head -n 5 >&2 || true
  fi
}

# The i386 packages that apt names in a refusal and whose amd64 twin is installed at another
# version than the one the i386 index offers (a shared library that multiarch needs at the same
# version on both architectures), as "name=version name:i386=version" words for apt-get install.
conflicting_pairs() {
  local answer=$1 pin=$2 name installed multiarch candidate
  sed -n '/unmet dependencies/,$p' <<<"$answer" | grep -oE '[a-z0-9][a-z0-9.+-]*:i386' | sort -u |
  while read -r name; do
    name=${name%:i386}
    installed=$(dpkg-query -W -f='${db:Status-Abbrev}|${Version}|${Multi-Arch}' "$name:amd64" 2>/dev/null || true)
    [[ "$installed" == "ii "* ]] || continue
    IFS='|' read -r _ installed multiarch <<<"$installed"
    [ "$multiarch" = same ] || continue
    candidate=$(apt-cache -o Dir::Etc::Preferences="$pin" policy "$name:i386" | awk '/Candidate:/ {print $2}')
    if [ -z "$candidate" ] || [ "$candidate" = "(none)" ] || [ "$candidate" = "$installed" ]; then continue; fi
    echo "$name=$candidate $name:i386=$candidate"
  done
}

# 32-bit Wine beside the 64-bit one. Multiarch needs every shared library that both architectures
# use at the same version on both. Where the security archive's i386 index is missing (or its
# versions differ from the amd64 ones that are installed), apt refuses wine32:i386; then the
# security archive is left out of this one installation (an APT pin of priority 100 given on the
# command line only, so the machine's own settings stay as they were), and each library that apt
# names in its refusal and whose amd64 twin is installed at another version is installed on both
# architectures at the version the i386 index offers, downgrading the amd64 one where needed.
install_wine32() {
  local pin answer status word pairs=() more
  if apt-get install -s -qq --no-install-recommends wine32:i386 >/dev/null 2>&1; then
    apt-get install -y -qq --no-install-recommends wine32:i386 >/dev/null
    return
  fi
  pin=$(mktemp)
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' >"$pin"
  local apt=(apt-get -o Dir::Etc::Preferences="$pin" -q --no-install-recommends --allow-downgrades)
  for _ in 1 2 3 4 5 6; do
    if answer=$("${apt[@]}" install -s wine32:i386 "${pairs[@]}" 2>&1); then
      [ ${#pairs[@]} -eq 0 ] || echo "On both architectures at the i386 index's version: ${pairs[*]}"
      "${apt[@]}" install -y wine32:i386 "${pairs[@]}" >/dev/null
      status=$?
      rm -f "$pin"
      return "$status"
    fi
    more=0
    for word in $(conflicting_pairs "$answer" "$pin"); do
      if [[ " ${pairs[*]} " != *" $word "* ]]; then
        pairs+=("$word")
        more=1
      fi
    done
    [ "$more" -eq 1 ] || break
  done
  rm -f "$pin"
  echo "apt refuses to install wine32:i386:" >&2
  sed -n '/unmet dependencies/,$p' <<<"$answer" >&2
  return 1
}

if [ "$want_wine32" -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
update_indexes
if [ ${#missing[@]} -ne 0 ]; then
  echo "Installing Debian packages: ${missing[*]}"
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if [ "$want_wine32" -eq 1 ]; then
  echo "Installing 32-bit Wine (wine32:i386)"
  started=$SECONDS
  if install_wine32 && [ -x "$wine32_loader" ]; then
    echo "32-bit Wine installed in $((SECONDS - started)) s"
  else
    echo "32-bit Wine could not be installed: the wine32.* runs of the shipped 32-bit DLL will be skipped." >&2
  fi
fi
