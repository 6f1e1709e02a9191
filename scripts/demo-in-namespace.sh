#!/usr/bin/env bash
# Runs inside a private network namespace (see demo.sh): starts quorvia-sim
# with two scanners on ptys and two network scanners on 127.0.0.1 and points
# QuorviaDemo at them, and only at them: once with the option given, or,
# without one, in the tour of demo-tour.sh.
set -euo pipefail
build="$(cd "$1" && pwd)"
shift
ip link set lo up
run="$build/demo-run"
mkdir -p "$run"
simdir="$(mktemp -d /tmp/quorvia-demo.XXXXXX)"
coproc SIM { exec "$build/quorvia-sim" --dir "$simdir" \
  --port "com=1,baud=115200,id=QuorviaSim Scanner A,product=QuorviaSim A" \
  --port "com=2,baud=9600,id=QuorviaSim Scanner B,product=QuorviaSim B" \
  --net "net=11,serial=QVNET0001,mac=02:51:56:00:00:01,id=QuorviaSim Net Scanner C" \
  --net "net=12,suppgr=1,id=QuorviaSim Net Scanner D"; }
# Bash drops SIM and SIM_PID once the simulator has ended: keep copies.
# shellcheck disable=SC2153  # SIM_PID is set by coproc
sim_pid="$SIM_PID"
sim_out="${SIM[0]}"
sim_in="${SIM[1]}"
ports=""
net=""
while IFS= read -r -t 20 line <&"$sim_out"; do
  case "$line" in
    PORTS\ *) ports="${line#PORTS }" ;;
    NET\ *) net="${line#NET }" ;;
    READY) break ;;
  esac
done
if [ -z "$ports" ]; then
  echo "quorvia-sim did not start" >&2
  exit 1
fi
echo "simulated scanners: $ports"
echo "simulated network scanners: $net"
status=0
if [ "$#" -eq 0 ]; then
  # No option: the tour of the options that need no waiting.
  # shellcheck source=scripts/demo-tour.sh
  . "$(dirname "$0")/demo-tour.sh"
else
  (cd "$run" && QUORVIA_COM_PORTS="$ports" QUORVIA_SYSTEM_PORTS=0 "$build/QuorviaDemo" "$@") || status=$?
fi
{ echo quit >&"$sim_in"; } 2>/dev/null || true
wait "$sim_pid" 2>/dev/null || true
rm -rf "$simdir"
exit "$status"
