#!/usr/bin/env bash
# zelvoflash.exe under Wine against the Linux simulator, each run beside the
# Linux zelvoflash over the same link: the two must end with the same exit
# code and the same JSON record (times, paths and the link's name aside).
# The link is a network dock, zelvo-sim serve-dock on a loopback address.
#
# A COM port cannot be tried here. Wine 8.0 maps COMn to a pseudo-terminal
# (dosdevices/comn), and Qt's serial port does not run over it:
# - Qt learns that bytes arrived from WaitCommEvent; on a pseudo-terminal
#   Wine's wait ends at once, cancelled, because it cannot read the modem
#   lines (WINEDEBUG=+comm: "wait_for_event get_modem_status failed");
# - with the modem lines faked (an LD_PRELOAD shim, tried and dropped), Wine
#   waits for the event in the caller's thread when the request has no event
#   handle, as Qt's (it uses a completion port) has not: the program stops
#   until a byte arrives, and the PC speaks first;
# - with a byte faked as well, a wait that ends at once posts nothing to the
#   completion port, so Qt never starts its read: zelvo-sim received the ENQ
#   and wrote its answer, which zelvoflash.exe never read.
# The Linux zelvoflash over the same pseudo-terminal uploads the whole file,
# so the COM port leg is left to a Windows PC.
#   tests/windows/wine-e2e.sh WINDOWS_BUILD LINUX_BUILD
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../scripts/windows-env.sh"
windows_build=$(cd "$1" && pwd)
linux_build=$(cd "$2" && pwd)
sim=$linux_build/src/sim/zelvo-sim
linux_flash=$linux_build/src/cli/zelvoflash
windows_flash=$windows_build/dist/zelvoflash.exe
firmware=$linux_build/sample-firmware
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
failures=0 runs=0

# The record without what differs between two runs and two systems.
normalized() {
  python3 -c '
import json, sys
r = json.loads(sys.stdin.read() or "{}")
for key in ("elapsed_s", "started", "transport"):
    r.pop(key, None)
r.get("file", {}).pop("path", None)
print(json.dumps(r, sort_keys=True))'
}

# run_pair NAME "DOCK ARGS" "FLASH ARGS" EXIT: one run of each program
# through a simulated network dock of its own.
run_pair() {
  local name=$1 dock_args=$2 flash_args=$3 expected=$4
  local -A json code
  for system in linux windows; do
    : >"$work/sim.err"
    "$sim" serve-dock $dock_args --address 127.0.0.85 >"$work/sim.out" 2>"$work/sim.err" &
    for _ in $(seq 100); do [ -s "$work/sim.err" ] && break; sleep 0.1; done
    local program=$linux_flash
    [ $system = windows ] && program="wine $windows_flash"
    # shellcheck disable=SC2086
    json[$system]=$($program flash $flash_args --dock-net 127.0.0.85 --json </dev/null 2>"$work/$system.err")
    code[$system]=$?
    kill %1 2>/dev/null
    wait 2>/dev/null
  done
  runs=$((runs + 1))
  local linux_record windows_record
  linux_record=$(normalized <<<"${json[linux]}")
  windows_record=$(normalized <<<"${json[windows]}")
  if [ "${code[linux]}" = "$expected" ] && [ "${code[windows]}" = "$expected" ] &&
     [ "$linux_record" = "$windows_record" ]; then
    echo "[       OK ] $name: exit ${code[windows]}, $(python3 -c 'import json,sys; r=json.loads(sys.argv[1]); print(r["outcome"] + ",", r.get("pages"), "pages")' "$windows_record")"
  else
    failures=$((failures + 1))
    echo "[  FAILED  ] $name: exit linux ${code[linux]}, windows ${code[windows]} (expected $expected)"
    echo "  linux:   $linux_record"
    echo "  windows: $windows_record"
    tail -15 "$work/windows.err" | sed 's/^/  windows stderr: /'
  fi
}

run_pair "NG upload" "--version 9.05" "$firmware/ZelvoPro-NG-9.12-A.bin --yes" 0
run_pair "classic upload" "--version 7.50" "$firmware/ZelvoPro-classic-7.62-A.bin --yes" 0
run_pair "another type's file refused" "--version 9.05" "$firmware/ZelvoPro-NG-9.12-B.bin --yes" 1
run_pair "a wrong page acknowledgement" "--version 9.05 --wrong-ack-at 50" "$firmware/ZelvoPro-NG-9.12-A.bin --yes" 1
run_pair "the instrument taken out of the dock" "--version 9.05 --remove-at 30" "$firmware/ZelvoPro-NG-9.12-A.bin --yes" 1

echo "wine-e2e: $runs runs of each program, $failures failed"
[ $failures -eq 0 ]
