#!/usr/bin/env bash
# harness-pair.sh SLAVE MASTER: runs two qcomm-harness command lines (a program, perhaps
# its launcher such as wine, and its arguments: "... e" and "... e localhost", or
# "... sCOM2" and "... sCOM1 m"), sends a stream (t) and a datagram (u) message each way,
# and checks that each side dumps what the other sent. Exit 0 on success.
set -u
slave=$1 master=$2
w=$(mktemp -d)
trap 'exec 3>&- 4>&- 2>/dev/null; kill $hold_s $hold_m 2>/dev/null; rm -rf "$w"' EXIT
mkfifo "$w/s_in" "$w/m_in"
sleep 60 >"$w/s_in" & hold_s=$!   # keeps the key pipes open until we write to them
sleep 60 >"$w/m_in" & hold_m=$!
$slave <"$w/s_in" >"$w/s_out" 2>&1 & s_pid=$!
wait_for() {  # wait_for FILE TEXT
  for _ in $(seq 200); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.05; done
  return 1
}
ok=0
wait_for "$w/s_out" "slave waiting" || { echo "slave did not start"; cat "$w/s_out"; exit 1; }
$master <"$w/m_in" >"$w/m_out" 2>&1 & m_pid=$!
wait_for "$w/m_out" "waiting for user input" || { echo "master did not start"; cat "$w/m_out"; exit 1; }
exec 3>"$w/m_in" 4>"$w/s_in"
kill $hold_s $hold_m 2>/dev/null
# A message sent while the other side still connects is lost, as the operator knows:
# the key is repeated until the other side dumps that class (0x82 stream, 0x99 datagram).
send_until() {  # send_until FD KEY TYPE OUTFILE
  for _ in $(seq 10); do
    printf %s "$2" >&"$1"
    for _ in $(seq 20); do grep -q "^ $3  00  08  00" "$4" && return 0; sleep 0.1; done
  done
  return 1
}
send_until 3 t 82 "$w/s_out" && send_until 3 u 99 "$w/s_out" &&
  send_until 4 t 82 "$w/m_out" && send_until 4 u 99 "$w/m_out" && ok=1
printf x >&3; printf x >&4
exec 3>&- 4>&-
wait $m_pid; m_rc=$?
wait $s_pid; s_rc=$?
# Killed (SIGKILL) after the last line, "Disconnecting": the exchange was whole and the
# program had returned; Wine's server kills a process whose exit takes over a second.
# Exit 3 says only that, so the caller may run the pair once more.
killed_at_exit() {  # killed_at_exit RC OUTFILE
  [ "$1" -eq 0 ] || { [ "$1" -eq 137 ] && [ "$(tail -n 1 "$2" | sed 's/.*: *//')" = "Disconnecting" ]; }
}
exchanged=0  # every message dumped on its side, no error said
[ $ok -eq 1 ] && ! grep -q "error" "$w/m_out" "$w/s_out" && exchanged=1
if [ $exchanged -ne 1 ] || [ $m_rc -ne 0 ] || [ $s_rc -ne 0 ]; then
  echo "FAILED: slave [$slave] rc=$s_rc, master [$master] rc=$m_rc"
  echo "--- slave"; cat "$w/s_out"; echo "--- master"; cat "$w/m_out"
  [ $exchanged -eq 1 ] && killed_at_exit $m_rc "$w/m_out" && killed_at_exit $s_rc "$w/s_out" && exit 3
  exit 1
fi
echo "ok: slave [$slave], master [$master]"
