#!/usr/bin/env bash
# Builds Quorvia three times (warnings as errors; AddressSanitizer +
# UndefinedBehaviorSanitizer; ThreadSanitizer), checks the installed package,
# runs the whole test suite on each build inside a private network namespace,
# then runs every fuzz harness for a bounded time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
jobs="$(nproc)"
# ccache (installed by install-deps.sh) makes a rebuild of unchanged sources cheap.
export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache

build() {  # build <dir> <extra cmake args...>
  local dir="$1"
  shift
  cmake -S "$root" -B "$dir" -DQV_WERROR=ON -DQV_BUILD_BENCH=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

build "$root/build/ci" -DCMAKE_BUILD_TYPE=RelWithDebInfo
build "$root/build/ci-asan" -DCMAKE_BUILD_TYPE=Debug -DQV_SANITIZE=address -DQV_BUILD_BENCH=OFF
build "$root/build/ci-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SANITIZE=thread -DQV_BUILD_BENCH=OFF

# The installed package, used through CMake, pkg-config and add_subdirectory.
"$root/scripts/check-install.sh" "$root/build/ci"

status=0
unshare -n "$root/scripts/test-in-namespace.sh" "$root/build" || status=1
# Each harness for a bounded time (fuzz.sh alone runs 30 s each by default).
FUZZ_SECONDS="${FUZZ_SECONDS:-10}" "$root/scripts/fuzz.sh" || status=1
exit "$status"
