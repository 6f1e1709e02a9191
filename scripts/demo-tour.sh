# shellcheck shell=bash
# shellcheck disable=SC2154,SC2034  # build, run, ports, sim_in, sim_out come from, and status goes to, the sourcing script
# The demo tour, sourced by demo-in-namespace.sh inside its private network
# namespace once quorvia-sim runs ($build, $run, $ports and the simulator's
# control descriptors $sim_in and $sim_out are set there). QuorviaDemo runs against the simulated scanners one option
# after another, each run bounded in time: the default run, the identities, a
# command, a picture saved as BMP, the settings read to XML, a decode upload of
# that picture (quorvia-tour calls qv_SendBmpDecode, which the demo has no
# option for) and a firmware update from a package made for the simulator.

# One control command to the simulator; prints its answer.
sim_command() {
  local reply=""
  printf '%s\n' "$*" >&"$sim_in"
  IFS= read -r -t 15 reply <&"$sim_out" || reply="(no answer)"
  printf 'quorvia-sim> %s\n%s\n' "$*" "$reply"
}

step() {
  printf '\n======== %s\n' "$*"
}

# Runs one program in the run directory with the simulated ports declared,
# for at most $1 seconds; a failure is reported and the tour goes on.
bounded() {
  local limit="$1"
  shift
  local rc=0
  (cd "$run" && QUORVIA_COM_PORTS="$ports" QUORVIA_SYSTEM_PORTS=0 timeout "$limit" "$@" </dev/null) || rc=$?
  if [ "$rc" -ne 0 ]; then
    echo "(${1##*/} ended with status $rc)"
    status=1
  fi
}

demo_run() {
  step "QuorviaDemo $*"
  bounded 60 "$build/QuorviaDemo" "$@"
}

started=$SECONDS
rm -rf "$run/10.bmp" "$run/11.bmp" "$run/xml" "$run/firmware"

demo_run
demo_run --GetDeviceInfo
demo_run --SendCommand
demo_run --GetPicture
ls -l "$run"/1[0-9].bmp 2>/dev/null || true
demo_run --ReadDevCfgToXml
if [ -f "$run/xml/2.xml" ]; then
  # Each scanner's settings went to the same file: the last one's are left.
  echo "xml/2.xml ($(grep -c '<Command ' "$run/xml/2.xml") settings of the last scanner), its first lines:"
  head -n 5 "$run/xml/2.xml"
fi

step "decode upload of 10.bmp to the first scanner"
# The simulator checks every byte it receives against what the bitmap must
# give in grey mode.
sim_command decode 1 expect 1 "$run/10.bmp"
bounded 30 "$build/quorvia-tour" decode 10.bmp 1
sim_command decode 1 stats

step "firmware update"
mkdir -p "$run/firmware"
bounded 10 "$build/quorvia-tour" package firmware/QuorviaFirmware.nfp
demo_run --UpdateFirmware
sim_command loader 1 blocks
sim_command loader 2 blocks

printf '\nthe tour took %d s; each option alone: ./scripts/demo.sh --<option>\n' "$((SECONDS - started))"
