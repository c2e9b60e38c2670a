#!/usr/bin/env bash
# linkprobe.exe under Wine: the headless options and diagnostics over fixture roots,
# compared with the texts in tests/golden/windows/. The game link check gets its echo
# from the Linux responder, both inside a network namespace of their own.
#
# Usage: scripts/windows-linkprobe-check.sh BUILD_WIN LINUX_RESPONDER
# WINEPREFIX and WINEDEBUG come from the caller
# (scripts/test-windows.sh), and LP_WINDOW_BUILT when linkprobe.exe has its window. Prints one line per check; exits non-zero when one fails.
#
# Comparing: Windows writes the reports in text mode, so every line must end in CR LF;
# the CRs are then dropped. Lines that tell the host's own figures are masked first:
# the processor and memory lines (absent under Wine, which lists no instances of
# CIM_OperatingSystem) and the serial ports found (Wine maps the host's /dev/ttyS*),
# whose count must still match the ports listed.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
if [ $# -lt 2 ] && [ "${1:-}" != --game-link ]; then
  echo "usage: $0 BUILD_WIN LINUX_RESPONDER" >&2
  exit 2
fi
GOLD=$ROOT/tests/golden/windows

winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

# A fixture installation root under $1 with DEVS.NIN holding $2. On Windows a file name
# cannot end in a dot: "C:\Qumex\BIN\Tunecfg." is the file Tunecfg.
make_root() {
  rm -rf "$1" && mkdir -p "$1" && cp -R "$ROOT/tests/fixtures/root/." "$1/" &&
    mv "$1/BIN/Tunecfg." "$1/BIN/Tunecfg" &&
    printf '%b' "$2" >"$1/PREFERENCES/SETTINGS/DEVS.NIN"
}

# The text of a Windows text-mode file with LF line ends, or failure when a line
# ends without CR.
unix_text() {
  perl -0777 -ne 'exit(/(?<!\r)\n/ ? 1 : 0)' "$1" || { echo "(a line ends without CR)"; return 1; }
  tr -d '\r' <"$1"
}

mask() {
  awk '
    /^Cores=[0-9]+,Procs=[0-9]+,Speed=[0-9]+,Mem=[0-9]+$/ { next }
    /^CPU=/ { next }
    /^COMM PORTS found/ {
      if (match($0, /^COMM PORTS found\(([0-9]+)\)$/)) { want = substr($0, 18) + 0; ports = 1 }
      else if ($0 == "COMM PORTS found(NONE)") { want = 0; ports = 1 }
      else { print "(malformed) " $0; next }
      seen = 0; print "COMM PORTS found(...)"; next
    }
    ports && /^   COM[0-9]+ [ *]$/ { seen++; next }
    ports { if (seen != want) print "(" want " ports counted, " seen " listed)"; ports = 0 }
    { print }'
}

fails=0
checks=0
# check NAME WANT_RC GOT_RC GOLDEN_FILE OUTPUT_FILE [mask]
check() {
  local name=$1 want_rc=$2 got_rc=$3 golden=$4 out=$5 how=${6:-}
  checks=$((checks + 1))
  if ! unix_text "$out" >"$out.lf"; then
    echo "FAIL $name: $(cat "$out.lf")"; fails=$((fails + 1)); return
  fi
  local got=$out.lf
  if [ "$how" = mask ]; then mask <"$out.lf" >"$out.masked"; got=$out.masked; fi
  if [ "$got_rc" != "$want_rc" ]; then
    echo "FAIL $name: exit code $got_rc, expected $want_rc"; fails=$((fails + 1))
  elif ! cmp -s "$got" "$golden"; then
    echo "FAIL $name: differs from ${golden#"$ROOT"/} (< got, > expected):"
    diff "$got" "$golden" | head -n 20
    fails=$((fails + 1))
  else
    echo "ok   $name"
  fi
}

# The game link, run inside the namespace: no game computer, then the responder.
if [ "${1:-}" = --game-link ]; then
  EXE=$2 RESPONDER=$3 WORK=$4
  ip link set lo up || exit 1
  wine "$EXE" --run game-comm >"$WORK/nogame.out" 2>"$WORK/nogame.err"
  echo $? >"$WORK/nogame.rc"
  "$RESPONDER" --port 5510 >"$WORK/responder.log" 2>&1 &
  rpid=$!
  for _ in $(seq 100); do grep -q "listening on port 5510" "$WORK/responder.log" && break; sleep 0.05; done
  wine "$EXE" --run game-comm >"$WORK/echo.out" 2>"$WORK/echo.err"
  echo $? >"$WORK/echo.rc"
  sleep 0.2
  kill "$rpid" 2>/dev/null
  wait "$rpid" 2>/dev/null
  wineserver -k 2>/dev/null
  exit 0
fi

DIR=$(cd "$1" && pwd)
RESPONDER=$2
EXE=$DIR/bin/linkprobe.exe
WORK=$DIR/linkprobe-check
rm -rf "$WORK" && mkdir -p "$WORK/cwd" || exit 1
QUMEX_ROOT=$(winpath "$WORK/root")
export QUMEX_ROOT
run() {  # run NAME ARGS...: output in $WORK/NAME.out, .err, exit code in $rc
  local name=$1
  shift
  (cd "$WORK/cwd" && wine "$EXE" "$@" >"$WORK/$name.out" 2>"$WORK/$name.err")
  rc=$?
}

make_root "$WORK/root" 'Input_Source=J202\n' || exit 1
run help --help
check "--help" 0 $rc "$GOLD/help.txt" "$WORK/help.out"

run version --version
checks=$((checks + 1))
if [ $rc -eq 0 ] && tr -d '\r' <"$WORK/version.out" |
    grep -qxE "Qumex Linkprobe PB=[^ ]+(    SB=[^ ]+)?  [A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9:]{8} [0-9]{4}"; then
  echo "ok   --version"
else
  echo "FAIL --version (exit code $rc): $(cat "$WORK/version.out")"; fails=$((fails + 1))
fi

# Without an option the program opens its window when it has one (LP_WINDOW_BUILT set:
# tests/windows/window_test.sh checks that); otherwise it says it has none.
if [ -z "${LP_WINDOW_BUILT:-}" ]; then
  run nowindow
  check "no option: no window in this build" 2 $rc "$GOLD/no-window.txt" "$WORK/nowindow.err"
  checks=$((checks + 1))
  if [ -s "$WORK/nowindow.out" ]; then echo "FAIL no option: wrote to standard output"; fails=$((fails + 1)); fi
fi

run rescan --run rescan
check "--run rescan" 0 $rc "$GOLD/rescan.txt" "$WORK/rescan.out" mask

run amplifier --run amplifier
check "--run amplifier (J202 not there)" 1 $rc "$GOLD/amplifier-j202.txt" "$WORK/amplifier.out"

make_root "$WORK/root" 'Input_Source=TTUSB\n' || exit 1
run startuptest --run rescan STARTUPTEST
check "STARTUPTEST (output)" 1 $rc /dev/null "$WORK/startuptest.out"
check "STARTUPTEST (ampstatus.txt)" 1 $rc "$GOLD/startuptest-ttusb.txt" "$WORK/cwd/ampstatus.txt"

make_root "$WORK/root" 'DisplayMode=2\nCommunications_class=Ethernet\nEthernetAddress=127.0.0.1\n' || exit 1
# Wine's sockets live in its server: a fresh one starts inside the namespace.
wineserver -k 2>/dev/null
sleep 0.5
unshare -n "$0" --game-link "$EXE" "$RESPONDER" "$WORK"
check "--run game-comm (no game computer)" 1 "$(cat "$WORK/nogame.rc")" "$GOLD/game-comm-no-answer.txt" \
  "$WORK/nogame.out" mask
check "--run game-comm (Linux responder)" 0 "$(cat "$WORK/echo.rc")" "$GOLD/game-comm-echo.txt" \
  "$WORK/echo.out" mask
checks=$((checks + 1))
if grep -q "type 224 command 4 length 8" "$WORK/responder.log"; then
  echo "ok   the responder saw the echo request"
else
  echo "FAIL the responder saw no echo request:"; cat "$WORK/responder.log"; fails=$((fails + 1))
fi

echo "linkprobe.exe checks: $((checks - fails)) of $checks passed"
[ $fails -eq 0 ]
