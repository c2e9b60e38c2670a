#!/usr/bin/env bash
# Fault-injection stage over the normal build (build/): the programs run under libfiu's
# fiu-run, first with one chosen failure each (checks with an exact expected outcome),
# then with random failures of POSIX I/O, memory or process calls at a few
# probabilities. Each random run is compared with the run without failures and counted as
#   N normal      the same exit code and output as without failures
#   E error       a non-zero exit code other than the normal one (standard error or the
#                 report says why)
#   W warned      the normal exit code, other output, and standard error (or the
#                 harness's own error line) says what failed
#   K known       a crash or hang inside the C library's name service (below), not ours
#   X crash       a signal, an abort, an uncaught exception or a sanitizer report
#   H hang        still running at its time limit (20 s; game-comm 30 s; the harness
#                 10 s after its x)
#   S silent      other output (or exit 0 where the normal run fails) without a word on
#                 standard error: a wrong result presented as the normal one
# The stage fails on X, H and S, and on a check that does not end as expected.
#
# Usage: scripts/fault-injection.sh                   the stage
#        scripts/fault-injection.sh SCENARIO FAMILY PROBABILITY SEED
#                                                     one run again; its folder is kept
# Environment: LP_FIU_RUNS (runs per scenario, family and probability; default 10),
# LP_FIU_JOBS (runs side by side; default 8), LP_BUILD (default build); to run a part:
# LP_FIU_SCENARIOS, LP_FIU_FAMILIES, LP_FIU_PROBS (lists, as in the table).
set -uo pipefail
cd "$(dirname "$0")/.."
SRC=$PWD
SELF=$SRC/scripts/fault-injection.sh
B=$SRC/${LP_BUILD:-build}
LP=$B/app/linkprobe
RESP=$B/diag/responder/linkprobe-responder
HARN=$B/commlib/harness/qcomm-harness
ZRC=$B/tools/zrcdump/zrcdump
SCENARIOS="pair game-comm rescan amplifier startup zrcdump"  # the pair first: its capture is zrcdump's
FAMILIES=${LP_FIU_FAMILIES:-io mm proc}
PROBS=${LP_FIU_PROBS:-0.01 0.05 0.2}
RUNS=${LP_FIU_RUNS:-10}
JOBS=${LP_FIU_JOBS:-8}

# Every run happens in a network namespace of its own with only lo up: port 5510 and the
# harness port are ours alone, and runs go side by side. The stage's full file systems
# are mounted in a mount namespace of its own.
if [ "${LP_FIU_NETNS:-}" != 1 ]; then
  [ "$(id -u)" -eq 0 ] || { echo "fault injection: needs root (network namespaces)"; exit 1; }
  command -v fiu-run >/dev/null || { echo "fault injection: fiu-run missing (scripts/deps.sh)"; exit 1; }
  for p in "$LP" "$RESP" "$HARN" "$ZRC"; do
    [ -x "$p" ] || { echo "fault injection: $p not built"; exit 1; }
  done
  LP_FIU_NETNS=1 exec unshare --net --mount -- "$SELF" "$@"
fi
ip link set lo up

# The failures of each family. File calls fail with EIO, so that an absent file is never
# faked; socket calls with an error number of their own, libfiu's choice.
fiu_args() {  # fiu_args FAMILY PROBABILITY: into the array FIU
  local p=$2 f
  case $1 in
    io) FIU=(-c "enable_random name=posix/io/net/*,probability=$p")
        for f in posix/io/oc posix/io/rw posix/io/dir posix/io/sync posix/stdio; do
          FIU+=(-c "enable_random name=$f/*,probability=$p,failinfo=5")
        done ;;
    mm) FIU=(-c "enable_random name=libc/mm/*,probability=$p"
             -c "enable_random name=libc/str/*,probability=$p") ;;
    proc) FIU=(-c "enable_random name=posix/proc/*,probability=$p") ;;
  esac
}

# ---------------------------------------------------------------- the world of a run

W=${LP_FIU_WORK:-}
setup_world() {
  W=$(mktemp -d /tmp/lp-fiu.XXXXXX)
  export LP_FIU_WORK=$W
  export QUMEX_SYSROOT=$SRC/tests/fixtures/sysroot-usb2cpu
  for r in amp startup; do
    cp -r "$SRC/tests/fixtures/root" "$W/root-$r"
    mkdir "$W/root-$r/dev"  # no COM ports: nothing of the machine is probed
  done
  # A J&J amplifier that the system root lists; a TTUSB that it does not (ampstatus.txt).
  sed -i 's/^Input_Source = .*/Input_Source = C2+/' "$W/root-amp/PREFERENCES/SETTINGS/DEVS.NIN"
  sed -i 's/^Input_Source = .*/Input_Source = TTUSB/' "$W/root-startup/PREFERENCES/SETTINGS/DEVS.NIN"
  printf 'RECORD=1\nLOGALL=1\n' >"$W/ZRCLOG.INI"
}

# pair_body FIU...: in the run's folder: a harness slave without failures, the master
# under them with capture on; stream and datagram messages each way, then x. The result
# is the master's output, what the slave received, and whether each capture file the
# master left is whole. A master still running 10 s after its x hangs.
pair_body() {
  trap '' PIPE  # a master that ended early makes its key pipe fail, not this shell
  wait_for() {  # wait_for FILE TEXT SECONDS
    local end=$((SECONDS + $3))
    until grep -q "$2" "$1" 2>/dev/null; do [ $SECONDS -lt $end ] || return 1; sleep 0.05; done
  }
  gone_within() {  # gone_within PID SECONDS
    local end=$((SECONDS + $2))
    while kill -0 "$1" 2>/dev/null; do [ $SECONDS -lt $end ] || return 1; sleep 0.05; done
  }
  mkdir -p slave
  mkfifo s_in m_in
  sleep 60 >s_in & local hold_s=$!
  sleep 60 >m_in & local hold_m=$!
  (cd slave && exec "$HARN" e <../s_in >../slave.out 2>&1) & local s_pid=$!
  wait_for slave.out "slave waiting" 10 || echo "pair: slave did not start" >>pair.log
  cp "$W/ZRCLOG.INI" .
  (ulimit -c unlimited; exec "$@" "$HARN" e localhost <m_in >out 2>err) & local m_pid=$!
  exec 3>m_in 4>s_in
  kill $hold_s $hold_m 2>/dev/null
  local up=0
  if wait_for out "waiting for user input" 10; then
    local end=$((SECONDS + 3))
    while [ $SECONDS -lt $end ]; do
      [ -n "$(ss -Htn state established '( sport = :8881 )')" ] && { up=1; break; }
      sleep 0.05
    done
  fi
  if [ $up = 1 ]; then
    printf t >&3; wait_for slave.out "^ 82  00  08  00" 3
    printf u >&3; wait_for slave.out "^ 99  00  08  00" 3
    printf t >&4; wait_for out "^ 82  00  08  00" 3
    printf u >&4; wait_for out "^ 99  00  08  00" 3
  else
    printf tu >&3  # no link: the keys all the same
  fi
  printf x >&3
  exec 3>&-
  if gone_within $m_pid 10; then
    wait $m_pid; echo $? >rc
  else
    kill -QUIT $m_pid  # a core of where it waits
    gone_within $m_pid 5 || kill -KILL $m_pid
    wait $m_pid; echo 124 >rc
  fi
  printf x >&4
  exec 4>&-
  gone_within $s_pid 10 || kill -KILL $s_pid
  wait $s_pid
  { cat out; echo "--- the slave received"; grep -oE "received [0-9]+ bytes|^ [0-9a-f]{2}  .*" slave.out; } >result
  for f in zrc*.bin zrc*.binFULL; do  # a capture file left behind must be whole
    [ -e "$f" ] || continue
    "$ZRC" "$f" >/dev/null 2>&1 || echo "capture file $f is not whole" >>result
  done
}

# run_one SCENARIO FAMILY PROBABILITY SEED: runs into its folder and prints its class.
run_one() {
  local scen=$1 fam=$2 p=$3 seed=$4
  local d=$W/runs/$scen.$fam.$p.$seed
  rm -rf "$d"; mkdir -p "$d"; cd "$d" || return 1
  local fiu=()
  if [ "$fam" != none ]; then
    fiu_args "$fam" "$p"
    fiu=(env FIU_PRNG_SEED="$seed" fiu-run -x -f "" "${FIU[@]}")
  fi
  local prog=$LP
  run() { (ulimit -c unlimited; exec timeout -s QUIT -k 5 "$1" "${@:2}" >out 2>err); echo $? >rc; cp out result; }
  case $scen in
    rescan) QUMEX_ROOT=$W/root-amp run 20 "${fiu[@]}" "$LP" --run rescan ;;
    amplifier) QUMEX_ROOT=$W/root-amp run 20 "${fiu[@]}" "$LP" --run amplifier ;;
    startup)
      QUMEX_ROOT=$W/root-startup run 20 "${fiu[@]}" "$LP" STARTUPTEST
      { echo "--- ampstatus.txt"; cat ampstatus.txt 2>/dev/null || echo "(none)"; } >>result ;;
    zrcdump) prog=$ZRC; run 20 "${fiu[@]}" "$ZRC" "$W"/capture/zrc* ;;
    game-comm)
      QUMEX_ROOT=$W/root-amp unshare --net -- bash -c '
        ip link set lo up; "$0" >resp.out 2>&1 & r=$!
        for _ in $(seq 100); do grep -q listening resp.out && break; sleep 0.05; done
        (ulimit -c unlimited; exec timeout -s QUIT -k 5 30 "$@" >out 2>err); echo $? >rc
        kill $r; wait $r' "$RESP" "${fiu[@]}" "$LP" --run game-comm
      cp out result ;;
    pair)
      prog=$HARN
      LP_FIU_PAIR=$d unshare --net -- "$SELF" "${fiu[@]}" ;;
  esac
  classify "$scen" "$prog" "$d"
}

# The C library's name service crashes, asserts or deadlocks when an allocation fails
# inside it (a host-name lookup). A crash or hang counts as that when the stack of the
# crashing thread (of the main thread, for a hang), from the top down to a getaddrinfo or
# gethostbyname frame, holds no frame of our sources; any other one is ours.
in_name_lookup() {  # in_name_lookup BACKTRACE
  awk -v src="$SRC/" '
    /^#[0-9]+ / { if (index($0, " at " src)) exit 1
                  if ($0 ~ /[ _](getaddrinfo|gethostbyname[_a-z0-9]*) \(/) { found = 1; exit 0 } }
    END { exit !found }' "$1"
}

classify() {  # classify SCENARIO PROGRAM FOLDER
  local scen=$1 prog=$2 d=$3 ref=$W/ref/$1
  local rc; rc=$(cat "$d/rc" 2>/dev/null || echo 255)
  local c
  local core=$d/core gdb=(gdb -batch -nx)
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    c=H  # timeout's SIGQUIT left a core: where each thread waited
    if [ -f "$core" ]; then
      "${gdb[@]}" -ex 'thread apply all bt' "$prog" "$core" >"$d/backtrace" 2>&1
      "${gdb[@]}" -ex 'thread 1' -ex bt "$prog" "$core" >"$d/main-thread" 2>&1
      in_name_lookup "$d/main-thread" && c=K
    fi
  elif [ "$rc" -gt 128 ] || grep -qE 'terminate called|Sanitizer|runtime error:|Segmentation|Aborted|double free|corrupted' "$d/err" 2>/dev/null; then
    c=X
    if [ -f "$core" ]; then
      "${gdb[@]}" -ex bt "$prog" "$core" >"$d/backtrace" 2>&1
      in_name_lookup "$d/backtrace" && c=K
    fi
  elif [ -d "$ref" ] && [ "$rc" -eq "$(cat "$ref/rc")" ] && cmp -s "$d/result" "$ref/result"; then c=N
  elif [ "$rc" -ne 0 ] && { [ ! -d "$ref" ] || [ "$rc" -ne "$(cat "$ref/rc")" ]; }; then c=E
  elif [ -s "$d/err" ] || { [ "$scen" = pair ] && grep -q "error" "$d/out"; }; then c=W  # the harness says its errors
  else c=S
  fi
  echo "$c $scen $(basename "$d" | cut -d. -f2-)"
}

# ---------------------------------------------------------------- entry points

if [ -n "${LP_FIU_PAIR:-}" ]; then  # inside a run's own namespace, in the run's folder
  cd "$LP_FIU_PAIR" || exit 1
  ip link set lo up
  pair_body "$@"
  exit 0
fi
if [ "${1:-}" = --one ]; then  # one run of the sweep, from xargs
  shift
  for a in "$@"; do
    read -r scen fam p seed <<<"$a"
    run_one "$scen" "$fam" "$p" "$seed"
  done
  exit 0
fi

# ---------------------------------------------------------------- checks

# One failure each, chosen, with the outcome it must have: the exit code, the files the
# program leaves in its folder, and what standard error (and the report) must say.
checks() {
  local c=$W/checks
  mkdir -p "$c"
  echo "=== fault injection: checks"
  fiu1() { env fiu-run -x -f "" -c "$1" "${@:2}"; }  # fiu1 'enable ...' PROGRAM...
  full_fs() {  # full_fs DIR: a file system with no room left, ZRCLOG.INI already in DIR
    mkdir -p "$1" && mount -t tmpfs -o size=64k tmpfs "$1" && cp "$W/ZRCLOG.INI" "$1/" &&
      { dd if=/dev/zero of="$1/.fill" bs=4k >/dev/null 2>&1; true; }
  }
  # check NAME 'EXIT FILES...' 'TEXT|TEXT...' COMMAND...: runs COMMAND in $c/NAME (made
  # first unless it exists); each TEXT must be in its standard error or output.
  check() {
    local name=$1 want=$2 texts=$3 d=$c/$1; shift 3
    mkdir -p "$d"
    (cd "$d" && "$@" >"$c/$name.out" 2>"$c/$name.err")
    local got="$? $(cd "$d" && ls | tr '\n' ' ')" missing="" t
    IFS='|' read -ra t <<<"$texts"
    for t in "${t[@]}"; do grep -qF -- "$t" "$c/$name.err" "$c/$name.out" || missing+=" [$t]"; done
    if [ "${got% }" = "$want" ] && [ -z "$missing" ]; then
      echo "  ok      $name"
    else
      echo "  FAILED  $name: exit and files '${got% }', wanted '$want'${missing:+; not said:$missing}"
      sed 's/^/    | /' "$c/$name.err"
      fail=1
    fi
  }
  local amp=$W/root-amp startup=$W/root-startup cap
  cap=$(ls "$W"/capture/zrc*.bin | head -n 1)

  # The start-up test's ampstatus.txt cut short: removed, named, exit 3. The write fails,
  # or the close on a full file system.
  QUMEX_ROOT=$startup check ampstatus-write "3" \
    "linkprobe: ampstatus.txt could not be written (No space left on device); removed" \
    fiu1 'enable name=posix/stdio/rw/fwrite,failinfo=28' "$LP" STARTUPTEST
  full_fs "$c/ampstatus-close"
  QUMEX_ROOT=$startup check ampstatus-close "3 ZRCLOG.INI" \
    "linkprobe: ampstatus.txt could not be written (No space left on device); removed" \
    "$LP" STARTUPTEST
  # A report that did not reach standard output is no pass.
  QUMEX_ROOT=$amp check report-output "3" \
    "linkprobe: the report could not be written: No space left on device" \
    sh -c "exec '$LP' --run rescan >/dev/full"
  # Settings and the version file that exist but cannot be read: named, exit 3.
  QUMEX_ROOT=$amp check settings-read "3" \
    "PREFERENCES/SETTINGS/DEVS.NIN could not be read: Input/output error|PREFERENCES/SETTINGS/DEVOPTS.NIN could not be read: Input/output error|BIN/Tunecfg. could not be read: Input/output error" \
    fiu1 'enable name=posix/stdio/gp/fgets,failinfo=5' "$LP" --run amplifier
  # Device files that cannot be read or listed: the query's failure text, the file, exit 3.
  QUMEX_ROOT=$amp check sysfs-read "3" \
    "Unable to query devices : 5|sys/bus/usb/devices/1-1/idVendor could not be read: Input/output error" \
    fiu1 'enable name=posix/io/rw/read,failinfo=5' "$LP" --run amplifier
  QUMEX_ROOT=$amp check sysfs-list "3" \
    "Unable to query devices : 5|sys/bus/usb/devices could not be read: Input/output error" \
    fiu1 'enable name=posix/io/dir/readdir,failinfo=5' "$LP" --run amplifier
  # zrcdump: a capture file too big for the memory it may have; output that went nowhere.
  check zrcdump-memory "1 big.bin" "zrcdump: big.bin: Cannot allocate memory" \
    sh -c 'head -c 67108840 /dev/zero >big.bin && ulimit -v 40000 && exec "$0" big.bin' "$ZRC"
  rm -f "$c/zrcdump-memory/big.bin"
  check zrcdump-output "3" "zrcdump: standard output could not be written: No space left on device" \
    sh -c "exec '$ZRC' '$cap' >/dev/full"
  # The harness: its output, its capture files, its options file and its key input.
  check harness-output "3" "qcomm-harness: the output could not be written whole" \
    sh -c "exec '$HARN' e </dev/null >/dev/full"
  full_fs "$c/capture-close"
  check capture-close "3 ZRCLOG.INI" \
    "qcomm: capture file zrcSRX10.bin could not be written (No space left on device); removed" \
    sh -c "exec '$HARN' e </dev/null"
  full_fs "$c/capture-writenow"
  echo WRITENOW=1 >>"$c/capture-writenow/ZRCLOG.INI"
  check capture-writenow "3 ZRCLOG.INI" \
    "qcomm: capture file zrcSRX10.bin could not be written (No space left on device); removed" \
    sh -c "exec '$HARN' e </dev/null"
  mkdir -p "$c/options-read" && cp "$W/ZRCLOG.INI" "$c/options-read/"
  check options-read "3 ZRCLOG.INI" \
    "qcomm: options file ZRCLOG.INI could not be read (Input/output error)" \
    fiu1 'enable name=posix/stdio/gp/fgets,failinfo=5' "$HARN" e </dev/null
  check key-input "3" "qcomm-harness: the key input failed: Cannot allocate memory" \
    fiu1 'enable name=posix/io/net/poll,failinfo=12' "$HARN" e </dev/null
  for m in "$c"/*/; do mountpoint -q "$m" && umount "$m"; done
}

setup_world
reference() {
  mkdir -p "$W/ref"
  for s in $SCENARIOS; do
    run_one "$s" none 0 0 >/dev/null
    mv "$W/runs/$s.none.0.0" "$W/ref/$s"
    if [ "$s" = pair ]; then
      mkdir -p "$W/capture"
      cp "$W/ref/pair"/zrcCRX*.bin* "$W/capture/" 2>/dev/null
    fi
  done
}
reference
fail=0
for s in $SCENARIOS; do
  want=0; [ "$s" = startup ] && want=1
  if [ "$(cat "$W/ref/$s/rc")" != $want ] || { [ "$s" = pair ] && ! grep -q "^ 99  00  08  00" "$W/ref/$s/result"; }; then
    echo "fault injection: the run of $s without failures is not normal (exit $(cat "$W/ref/$s/rc"))"
    cat "$W/ref/$s/result" "$W/ref/$s/err"
    fail=1
  fi
done
[ -n "$(ls "$W/capture" 2>/dev/null)" ] || { echo "fault injection: no capture file for zrcdump"; fail=1; }

if [ $# -eq 4 ]; then  # one run again
  [ $fail -eq 0 ] || exit 1
  run_one "$1" "$2" "$3" "$4"
  d=$W/runs/$1.$2.$3.$4
  echo "--- exit $(cat "$d/rc"); standard error:"; cat "$d/err"
  echo "--- result:"; cat "$d/result"
  echo "--- without failures:"; cat "$W/ref/$1/result"
  echo "(kept in $d)"
  exit 0
fi
[ $fail -eq 0 ] || exit 1
checks
if [ "$RUNS" -eq 0 ]; then  # the checks only
  [ $fail -eq 0 ] && rm -rf "$W" && echo "fault injection checks passed" && exit 0
  echo "(kept in $W)"; exit 1
fi

SWEEP=${LP_FIU_SCENARIOS:-$SCENARIOS}  # the slow network scenarios first
echo "=== fault injection: $RUNS runs per scenario, family and probability, seeds 1..$RUNS"
start=$(date +%s)
list=()
for s in $SWEEP; do
  for f in $FAMILIES; do
    for p in $PROBS; do
      for seed in $(seq "$RUNS"); do list+=("$s $f $p $seed"); done
    done
  done
done
printf '%s\0' "${list[@]}" |
  xargs -0 -n 4 -P "$JOBS" "$SELF" --one >"$W/classes" 2>"$W/sweep.log"  # the shells' notes
# The table.
printf '%-10s %-5s' scenario family
for p in $PROBS; do printf ' | %-6s N  E  W  K  X  H  S' "p=$p"; done
echo
for s in $SWEEP; do
  for f in $FAMILIES; do
    printf '%-10s %-5s' "$s" "$f"
    for p in $PROBS; do
      printf ' |       '
      for c in N E W K X H S; do
        printf ' %2d' "$(grep -c "^$c $s $f\.$p\." "$W/classes")"
      done
    done
    echo
  done
done
total=$(wc -l <"$W/classes")
bad=$(grep -E '^[XHS] ' "$W/classes" | sort -k2)
known=$(grep -E '^K ' "$W/classes" | sort -k2)
echo "$total runs in $(( $(date +%s) - start )) s"
[ "$total" -eq ${#list[@]} ] || { echo "fault injection: ${#list[@]} runs planned, $total classified"; fail=1; }
if [ -n "$known" ]; then
  echo "known results, not ours (the C library's name service crashed or hung on a failed allocation):"
  echo "$known" | while read -r c s rest; do
    d=$W/runs/$s.$rest
    IFS=. read -r f p1 p2 seed <<<"$rest"
    echo "  $c $s $f $p1.$p2 $seed"
    printf '      exit %s; %s\n' "$(cat "$d/rc")" "$(grep -v '^timeout:' "$d/err" | head -n 1)"
  done
fi
if [ -n "$bad" ]; then
  echo "FAILED runs (reproduce: scripts/fault-injection.sh SCENARIO FAMILY PROBABILITY SEED):"
  echo "$bad" | while read -r c s rest; do
    IFS=. read -r f p1 p2 seed <<<"$rest"
    d=$W/runs/$s.$rest
    echo "  $c $s $f $p1.$p2 $seed: exit $(cat "$d/rc"); $(head -c 300 "$d/err" | tr '\n' ' ')"
  done
  fail=1
fi
[ $fail -eq 0 ] && rm -rf "$W" || echo "(runs kept in $W)"
[ $fail -eq 0 ] && echo "fault injection passed" || echo "fault injection FAILED"
exit $fail
