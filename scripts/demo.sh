#!/usr/bin/env bash
# Builds Quorvia and runs QuorviaDemo against two simulated scanners on ptys,
# inside a private network namespace. Any arguments go to QuorviaDemo
# (for example --GetDeviceInfo or --SendCommand).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="$root/build/demo"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target Quorvia QuorviaDemo quorvia-sim -j"$(nproc)"
exec unshare -n "$root/scripts/demo-in-namespace.sh" "$build" "$@"
