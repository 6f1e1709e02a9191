#!/usr/bin/env bash
# Checks Quorvia as a package. Installs a built tree into a temporary prefix and
# checks what landed there; builds the programs of tests/consumers against the
# installed package through CMake (find_package) and through pkg-config; builds
# them once more in a parent project that add_subdirectory()s the source tree
# (with -Werror and AddressSanitizer on, which must stay inside the tree); runs
# every one of them in a private network namespace.
#
#   scripts/check-install.sh [build directory]    (default build/ci, already built)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build/ci}" && pwd)"
consumers="$root/tests/consumers"
jobs="$(nproc)"
work="$(mktemp -d /tmp/quorvia-install.XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run"

fail() {
  echo "check-install: $*" >&2
  exit 1
}

quiet() {  # quiet <log name> <command...>: shows the output only when the command fails
  local log="$work/$1.log"
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "failed: $*"; }
}

run() {  # run <program>: no system port enumerated, no network reachable
  echo "   $*"
  (cd "$work/run" && unshare -n env QUORVIA_SYSTEM_PORTS=0 "$@") ||
    fail "$* failed"
}

# ---------------------------------------------------------------- install
prefix="$work/prefix"
echo "== cmake --install $build --prefix $prefix"
quiet install cmake --install "$build" --prefix "$prefix"

pc="$(find "$prefix" -name quorvia.pc)"
[ -n "$pc" ] || fail "no quorvia.pc installed"
export PKG_CONFIG_PATH="$(dirname "$pc")"
libdir="$(pkg-config --variable=libdir quorvia)"
version="$(pkg-config --modversion quorvia)"
major="${version%%.*}"
[ "$(pkg-config --variable=prefix quorvia)" = "$prefix" ] || fail "quorvia.pc names prefix $(pkg-config --variable=prefix quorvia)"
[ "$libdir" = "$(dirname "$(dirname "$pc")")" ] || fail "quorvia.pc names libdir $libdir, it sits in $(dirname "$pc")"

[ -f "$libdir/libQuorvia.so.$version" ] || fail "no $libdir/libQuorvia.so.$version"
[ "$(readlink "$libdir/libQuorvia.so")" = "libQuorvia.so.$major" ] || fail "libQuorvia.so does not link to libQuorvia.so.$major"
[ "$(readlink "$libdir/libQuorvia.so.$major")" = "libQuorvia.so.$version" ] ||
  fail "libQuorvia.so.$major does not link to libQuorvia.so.$version"
readelf -d "$libdir/libQuorvia.so.$version" | grep -q "Library soname: \[libQuorvia.so.$major\]" ||
  fail "the soname of libQuorvia.so.$version is not libQuorvia.so.$major"
cmp -s "$prefix/include/quorvia.h" "$root/include/quorvia.h" || fail "include/quorvia.h is not the tree's header"
for program in QuorviaDemo quorvia-sim; do
  [ -x "$prefix/bin/$program" ] || fail "no bin/$program"
done
# The installed demo finds the installed library by itself.
loaded="$(ldd "$prefix/bin/QuorviaDemo" | awk '$1 == "libQuorvia.so.'"$major"'" { print $3 }')"
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/libQuorvia.so.$version")" ] ||
  fail "bin/QuorviaDemo does not load $libdir/libQuorvia.so.$major: $(ldd "$prefix/bin/QuorviaDemo" | grep Quorvia)"
for file in QuorviaConfig.cmake QuorviaConfigVersion.cmake QuorviaTargets.cmake; do
  [ -f "$libdir/cmake/Quorvia/$file" ] || fail "no $libdir/cmake/Quorvia/$file"
done
quiet version-file cmake -DVERSION_FILE="$libdir/cmake/Quorvia/QuorviaConfigVersion.cmake" -DVERSION="$version" \
  -P "$consumers/check_version_file.cmake"
echo "   Quorvia $version: libQuorvia.so -> .so.$major -> .so.$version, header, programs, CMake package, quorvia.pc"

# ---------------------------------------------------------------- CMake
echo "== CMake: find_package(Quorvia 1.0 REQUIRED), Quorvia::Quorvia"
quiet cmake-configure cmake -S "$consumers" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release
grep -qx "Quorvia_DIR:PATH=$libdir/cmake/Quorvia" "$work/cmake/CMakeCache.txt" ||
  fail "find_package took $(grep '^Quorvia_DIR' "$work/cmake/CMakeCache.txt")"
quiet cmake-build cmake --build "$work/cmake" -j"$jobs"
run "$work/cmake/consumer_c"
run "$work/cmake/consumer_cpp"

# ---------------------------------------------------------------- pkg-config
echo "== pkg-config: pkg-config --cflags --libs quorvia"
mkdir -p "$work/pc"
quiet pc-c "${CC:-cc}" -std=c11 -pedantic-errors -Wall -Wextra -Werror -DQV_EXPECTED_VERSION="\"$version\"" \
  "$consumers/consumer.c" $(pkg-config --cflags --libs quorvia) -Wl,-rpath,"$libdir" -o "$work/pc/consumer_c"
quiet pc-cpp "${CXX:-c++}" -std=c++20 -Wall -Wextra -Werror -pthread -DQV_EXPECTED_VERSION="\"$version\"" \
  -DQV_EXPECTED_LIBDIR="\"$libdir\"" "$consumers/consumer.cpp" $(pkg-config --cflags --libs quorvia) \
  -ldl -Wl,-rpath,"$libdir" -o "$work/pc/consumer_cpp"
run "$work/pc/consumer_c"
run "$work/pc/consumer_cpp"

# ---------------------------------------------------------------- add_subdirectory
parent="$work/parent"
echo "== add_subdirectory: a parent project builds the tree with QV_WERROR=ON QV_SANITIZE=address"
quiet parent-configure cmake -S "$consumers" -B "$parent" -DQUORVIA_SOURCE_DIR="$root" -DCMAKE_BUILD_TYPE=Debug \
  -DQV_WERROR=ON -DQV_SANITIZE=address -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
quiet parent-build cmake --build "$parent" -j"$jobs"
# Not the top-level project: no tests, benchmarks or programs of the tree.
for unwanted in tests bench QuorviaDemo quorvia-sim libquorvia_static.a; do
  [ ! -e "$parent/quorvia/$unwanted" ] || fail "the parent project built quorvia/$unwanted"
done
quiet parent-options cmake -DCOMPILE_COMMANDS="$parent/compile_commands.json" -P "$consumers/check_options.cmake"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
run "$parent/consumer_c"
run "$parent/consumer_cpp"
# The parent's install carries the library and the package, not the tree's programs.
quiet parent-install cmake --install "$parent" --prefix "$work/parent-prefix"
[ -n "$(find "$work/parent-prefix" -name "libQuorvia.so.$version")" ] || fail "the parent's install has no libQuorvia.so.$version"
[ -n "$(find "$work/parent-prefix" -name quorvia.pc)" ] || fail "the parent's install has no quorvia.pc"
[ ! -e "$work/parent-prefix/bin" ] || fail "the parent's install has programs: $(ls "$work/parent-prefix/bin")"

echo "== package checks passed"
