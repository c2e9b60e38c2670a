#!/usr/bin/env bash
# report-pair.sh RESPONDER ASK: starts the responder's command line (a program, perhaps
# its launcher such as wine, and its arguments), waits until it serves, runs the asking
# command line (linkprobe --run remote-report ...), and checks that the game computer's
# report came whole, with its findings, and that the responder answered it. Exit 0 on
# success.
set -u
responder=$1 ask=$2
w=$(mktemp -d)
rpid=
trap '[ -n "$rpid" ] && kill $rpid 2>/dev/null; rm -rf "$w"' EXIT
$responder >"$w/log" 2>&1 & rpid=$!
for _ in $(seq 200); do grep -q "answering on\|report service on" "$w/log" && break; sleep 0.05; done
$ask >"$w/out" 2>&1
rc=$?
sleep 0.2  # the responder's line about it
if [ $rc -eq 0 ] && grep -q "^Game computer says:" "$w/out" && grep -q "^\[[a-zA-Z?]*\] game computer, " "$w/out" &&
    grep -q "report answered\|^report to " "$w/log"; then
  echo "ok: [$responder] asked by [$ask]"
  exit 0
fi
echo "FAILED: [$responder] asked by [$ask], exit $rc"
echo "--- the answer"; cat "$w/out"; echo "--- the responder"; cat "$w/log"
exit 1
