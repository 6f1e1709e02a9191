#!/usr/bin/env bash
# Builds Quorvia and runs QuorviaDemo against simulated scanners (two on ptys,
# two on 127.0.0.1) inside a private network namespace. Without arguments it
# runs the tour of scripts/demo-tour.sh; any arguments go to QuorviaDemo
# (for example --GetDeviceInfo or --SendCommand).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
build="$root/build/demo"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target Quorvia QuorviaDemo quorvia-sim quorvia-tour -j"$(nproc)"
exec unshare -n "$root/scripts/demo-in-namespace.sh" "$build" "$@"
