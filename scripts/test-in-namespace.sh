#!/usr/bin/env bash
# Runs the suites inside the private network namespace made by test.sh.
set -uo pipefail
builds="$1"
ip link set lo up
export QUORVIA_SYSTEM_PORTS=0
# Tests mostly wait on devices and time-outs, so many run at once.
parallel=$(( $(nproc) * 4 ))
status=0

echo "== suite"
ctest --test-dir "$builds/ci" -j"$parallel" --output-on-failure || status=1

echo "== suite under AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$builds/ci-asan" -j"$parallel" --output-on-failure || status=1

echo "== suite under ThreadSanitizer"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir "$builds/ci-tsan" -j"$parallel" --output-on-failure || status=1

exit "$status"
