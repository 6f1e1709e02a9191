#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ (clang, ASan + UBSan) and runs each
# for a bounded time over a copy of its seed corpus; fails when any harness
# finds a crash, a failed check or a hang.
#
#   FUZZ_SECONDS   seconds per harness (default 30)
#   FUZZ_ONLY      run only these harnesses (space-separated names)
#
# The committed corpus in fuzz/corpus/ is never changed. Inputs that fail are
# kept in build/fuzz/findings/ and named in the output.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --fuzz
seconds="${FUZZ_SECONDS:-30}"
build="$root/build/fuzz"
findings="$build/findings"

cmake -S "$root" -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQV_FUZZ=ON \
  -DQV_WERROR=ON -DQV_BUILD_TESTS=OFF -DQV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

names="${FUZZ_ONLY:-$(cat "$build/fuzz/harnesses.txt")}"
work="$(mktemp -d "${TMPDIR:-/tmp}/qv-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
rm -rf "$findings"
mkdir -p "$findings"
status=0
for name in $names; do
  echo "== fuzz $name (${seconds} s)"
  mkdir -p "$work/$name/corpus" "$work/$name/run"
  if [ -d "$root/fuzz/corpus/$name" ]; then
    cp -r "$root/fuzz/corpus/$name/." "$work/$name/corpus/"
  fi
  # The library logs to ./QuorviaLog/ of the current directory; a plain file of
  # that name in the run directory makes it drop the lines instead of filling a
  # disk. Temporary files, if a harness makes any, stay in the run directory too.
  touch "$work/$name/run/QuorviaLog"
  if ! (cd "$work/$name/run" &&
        TMPDIR="$work/$name/run" \
        UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
          -artifact_prefix="$findings/$name-" -print_final_stats=1 "$work/$name/corpus" \
          >"$work/$name/log" 2>&1); then
    status=1
    # The report from its first line (a failed check, a sanitizer error or a
    # deadly signal), at most 60 lines.
    awk '/check failed|==ERROR|ERROR: libFuzzer|deadly signal|runtime error/ { on = 1 } on && n++ < 60' "$work/$name/log"
    echo "!! fuzz $name failed; the input is in $findings/"
  else
    grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$work/$name/log" || true
  fi
done
exit "$status"
