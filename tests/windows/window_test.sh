#!/usr/bin/env bash
# window_test.sh SOURCE_DIR BUILD_DIR LINUX_BUILD_DIR: the window of the Windows
# linkprobe.exe under Wine on a private Xvfb, the twin of the Linux window tests. Runs in a
# network namespace of its own (it makes one when started outside), so the game link's
# port 5510 and the adapters are the test's: loopback for the Linux responder, and a veth
# pair whose two ends Wine lists as adapters.
#   - the title reads "Qumex Linkprobe PB=...  <time>" from the executable's own version
#     resource; the layout's colours; "Done (Exit)" ends the program with 0, the close
#     box too;
#   - "Rescan ports/Qumex config" shows a changed version file; "Test  Game Communications"
#     sends the echo to the Linux responder and fills the panel;
#   - the IP setup dialog replaces the main window, lists the adapters with the rest of
#     the rows blank, has the role's choice selected, and "Done" brings the main window back;
#   - "Start cmd" starts the command interpreter with the NT family's command.
# Screenshots stay in BUILD_DIR/screenshots. The caller sets up WINEPREFIX. Exit code 0
# when everything passed.
set -uo pipefail
if [ -z "${LP_WINDOW_TEST_NETNS:-}" ]; then
  exec unshare -n env LP_WINDOW_TEST_NETNS=1 "$0" "$@"
fi
SRC=$(cd "$1" && pwd)
DIR=$(cd "$2" && pwd)
LINUX=$(cd "$3" && pwd)
: "${WINEPREFIX:?the caller sets up the Wine prefix}"
EXE=$DIR/app/linkprobe.exe
RESPONDER=$LINUX/diag/responder/linkprobe-responder
WM_DELETE=$LINUX/tests/app/lp_wm_delete
SHOTS=$DIR/screenshots
WORK=$DIR/window-test
failures=0
pids=()

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "  ok    $what"; else echo "  FAIL  $what"; failures=$((failures + 1)); fi
}
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  wineserver -k 2>/dev/null
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
}
trap cleanup EXIT
winpath() { echo "Z:$(echo "$1" | tr / '\\')"; }

for f in "$EXE" "$RESPONDER" "$WM_DELETE"; do
  [ -x "$f" ] || { echo "window test: $f is missing"; exit 1; }
done
rm -rf "$WORK" "$SHOTS"
mkdir -p "$WORK" "$SHOTS"
# A COM port link of the prefix left pointing at a terminal that is gone would come and
# go with the host's terminal numbers, and the reports with it.
find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' -xtype l -delete 2>/dev/null

# The namespace's network: loopback, and two adapters with the therapist's address on one.
ip link set lo up &&
  ip link add vwire type veth peer name vwifi &&
  ip link set vwire up && ip link set vwifi up &&
  ip addr add 192.168.10.1/24 dev vwire || { echo "window test: cannot set up the network"; exit 1; }

# A private X server; it writes its display number once it accepts clients.
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp -noreset 9>"$WORK/display" \
  >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 300); do [ -s "$WORK/display" ] && break; sleep 0.1; done
[ -s "$WORK/display" ] || { echo "window test: Xvfb did not start"; exit 1; }
export DISPLAY=:$(head -n 1 "$WORK/display")

# The fixture root, with the therapist's folder as the start-up directory.
# A Windows file name cannot end in a dot: "C:\Qumex\BIN\Tunecfg." is the file Tunecfg.
ROOT=$WORK/root
cp -r "$SRC/tests/fixtures/root" "$ROOT" && mv "$ROOT/BIN/Tunecfg." "$ROOT/BIN/Tunecfg" || exit 1
export QUMEX_ROOT
QUMEX_ROOT=$(winpath "$ROOT")

"$RESPONDER" --port 5510 >"$WORK/responder.log" 2>&1 & pids+=($!)
for _ in $(seq 100); do grep -q "listening on port 5510" "$WORK/responder.log" && break; sleep 0.1; done
check "Linux responder listening on 5510" grep -q "listening on port 5510" "$WORK/responder.log"

start_program() {  # start_program FOLDER: linkprobe.exe started from <root>\FOLDER\; sets
  # prog_pid and win (the main window's id)
  (cd "$WORK" && exec wine "$EXE" -geometry +0+0 "STARTUPDIR=$(winpath "$ROOT")\\$1\\") \
    >"$WORK/program.log" 2>&1 &
  prog_pid=$!
  pids+=($prog_pid)
  win=$(find_window '^Qumex Linkprobe')
}
find_window() {  # the first visible window whose title matches, waiting up to 60 s
  # Asked again and again rather than with --sync: a window destroyed while xdotool
  # looks at it (Wine makes a new X window each time one is shown) ends that search.
  local i id
  for i in $(seq 300); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  return 1
}
hidden() { [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null)" ]; }
click() { xdotool mousemove --window "$1" $2 click 1; sleep 0.3; }
exit_code_within() {  # exit_code_within SECONDS: the program's exit code, or 255 if it still runs
  local i
  for i in $(seq $(($1 * 10))); do
    kill -0 "$prog_pid" 2>/dev/null || { wait "$prog_pid"; return $?; }
    sleep 0.1
  done
  return 255
}
shot() {  # shot WINDOW NAME: a PNG of the window in the screenshot folder; prints its path
  import -window "$1" "$SHOTS/$2" 2>/dev/null
  echo "$SHOTS/$2"
}
stable_shot() {  # stable_shot WINDOW NAME: as shot, once two pictures in a row agree
  # The dialog repaints its rows at every refresh (0.3 s), and a picture taken during a
  # repaint can miss a label.
  local i path prev=$SHOTS/.previous.png
  path=$(shot "$1" "$2")
  for i in $(seq 20); do
    cp "$path" "$prev"
    sleep 0.13
    shot "$1" "$2" >/dev/null
    [ "$(compare -metric AE "$prev" "$path" null: 2>&1 | cut -d' ' -f1)" = 0 ] && break
  done
  rm -f "$prev"
  echo "$path"
}
pixel() { convert "$1" -format "%[pixel:p{$2}]" info: 2>/dev/null; }
figure() {  # figure PNG X Y W H FX: an ImageMagick figure of a grey region
  convert "$1" -crop "$4x$5+$2+$3" +repage -colorspace Gray -format "%[fx:$6]" info: 2>/dev/null
}
differing() {  # differing A B X Y W H: pixels that differ between a region of two pictures
  compare -metric AE \( "$1" -crop "$5x$6+$3+$4" +repage \) \
    \( "$2" -crop "$5x$6+$3+$4" +repage \) null: 2>&1 | cut -d' ' -f1
}
text_lines() {  # text_lines PNG: the lines of text the main window's panel shows
  # Rows of the panel with any dark pixel, counted as bands.
  convert "$1" -crop 540x212+30+13 +repage -colorspace Gray -threshold 60% -scale 1x212! \
    -depth 8 txt:- 2>/dev/null | sed -n 's/.*gray(\([0-9.]*\)).*/\1/p' |
    awk '{ dark = ($1 + 0 < 255); if (dark && !prev) n++; prev = dark } END { print n + 0 }'
}
report_lines() {  # report_lines NAME: the lines of `linkprobe.exe --run NAME` that the
  # panel has room for (13 of 16 pixels)
  (cd "$WORK" && wine "$EXE" --run "$1" 2>/dev/null) | tr -d '\r' >"$WORK/run-$1.txt"
  grep -c . "$WORK/run-$1.txt" | awk '{ print ($1 > 13 ? 13 : $1) }'
}
less_than() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 < b + 0) }'; }

echo "main window"
start_program BIN
check "main window shown" [ -n "$win" ]
[ -n "$win" ] || exit 1
# The title ends with the time's line end, which the window system keeps or drops.
title=$(xdotool getwindowname "$win" | tr -d '\r')
when=$(LC_ALL=C date -r "$EXE" '+%a %b %e %H:%M:%S %Y')
pb=$(sed -n 's/^set(LP_PRIVATE_BUILD "\(.*\)" CACHE.*/\1/p' "$SRC/CMakeLists.txt")
[ "$pb" = '${PROJECT_VERSION}' ] &&
  pb=$(sed -n 's/^project(linkprobe VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
echo "        title: $title"
check "title from the version resource: 'Qumex Linkprobe PB=$pb  $when'" \
  [ "$title" = "Qumex Linkprobe PB=$pb  $when" ]
sleep 1
shot root main_window_screen.png >/dev/null
main=$(shot "$win" main_window.png)
while read -r xy rgb what; do
  got=$(pixel "$main" "$xy")
  check "$what at $xy is $rgb ($got)" [ "$got" = "$rgb" ]
done <<'EOF'
35,245 srgb(255,218,255) address-field-254
345,385 srgb(255,182,63) try-setting-IP-address-133
415,245 srgb(255,255,127) start-device-manager-175
415,290 srgb(63,182,255) start-network-connections-229
105,465 srgb(152,168,168) done-exit-19
EOF
check "the first report is in the panel: dark text on white" \
  less_than "$(figure "$main" 30 15 540 140 minima)" 0.2
got=$(text_lines "$main"); want=$(report_lines rescan)
check "the panel shows the report's $want lines, as --run rescan prints it ($got)" [ "$got" = "$want" ]

echo "rescan"
printf '6.0 rescanned with a longer version text\r\n' >"$ROOT/BIN/Tunecfg"
click "$win" "172 340"
sleep 2
rescanned=$(shot "$win" main_window_rescanned.png)
check "the version line changed" less_than 50 "$(differing "$main" "$rescanned" 30 15 540 20)"

echo "game communications"
click "$win" "172 370"
# The test waits a second before it sends, then polls for the answer.
for _ in $(seq 100); do grep -q "type 224 command 4 length 8" "$WORK/responder.log" && break; sleep 0.1; done
check "the responder got the echo from the window's test" \
  grep -q "type 224 command 4 length 8" "$WORK/responder.log"
sleep 3
gamecomm=$(shot "$win" main_window_game_comm.png)
check "the panel shows the game communications report" \
  less_than 500 "$(differing "$rescanned" "$gamecomm" 30 15 540 210)"
check "and still dark text on white" less_than "$(figure "$gamecomm" 30 15 540 200 minima)" 0.2
# The game link's report is the last configuration report and its one line of result.
got=$(text_lines "$gamecomm"); want=$(($(text_lines "$rescanned") + 1))
check "the panel shows the configuration report and one line more ($got lines)" [ "$got" = "$want" ]
check "no action ends the program" [ "$(exit_code_within 1; echo $?)" = 255 ]

echo "IP setup dialog"
click "$win" "467 395"
dlg=$(find_window '^IP setup$')
check "dialog shown" [ -n "$dlg" ]
if [ -n "$dlg" ]; then
  check "the main window is hidden" hidden '^Qumex Linkprobe'
  sleep 1.5  # a few refresh rounds
  d=$(stable_shot "$dlg" ip_dialog.png)
  check "group colour 207 (191,255,191)" [ "$(pixel "$d" 30,85)" = "srgb(191,255,191)" ]
  check "\"Try Setting Address\" colour 93 (255,182,0)" [ "$(pixel "$d" 220,430)" = "srgb(255,182,0)" ]
  check "group field colour 246 (191,218,255)" [ "$(pixel "$d" 368,323)" = "srgb(191,218,255)" ]
  check "\"Done\" colour 22 (156,156,168)" [ "$(pixel "$d" 222,485)" = "srgb(156,156,168)" ]
  # The two adapters of the namespace fill the first two rows, both wired and active.
  row_min() { figure "$d" 52 $((92 + 36 * $1)) 427 21 minima; }
  row_dev() { figure "$d" 52 $((92 + 36 * $1)) 427 21 standard_deviation; }
  for r in 0 1; do
    check "row $r: an adapter, active (dark label)" less_than "$(row_min $r)" 0.15
  done
  for r in 2 3 4 5; do
    check "row $r blank" [ "$(row_dev $r)" = 0 ]
  done
  # Started from <root>\BIN\: the therapist's choice is the one selected.
  # The check boxes sit at x 88, 5 pixels below each choice's top.
  mark() { figure "$d" 88 $(($1 + 5)) 14 14 mean; }
  check "therapist selected" less_than "$(mark 355)" "$(awk -v m="$(mark 315)" 'BEGIN { print m - 0.05 }')"
  check "client and automatic not selected" \
    awk -v a="$(mark 315)" -v b="$(mark 390)" 'BEGIN { d = a - b; exit !(d < 0.01 && d > -0.01) }'
  click "$dlg" "279 497"  # "Done"
  win=$(find_window '^Qumex Linkprobe')
  check "\"Done\" brings the main window back" [ -n "$win" ]
  check "and hides the dialog" hidden '^IP setup$'
fi

echo "launcher"
# "Start cmd" passes the NT family's "start cmd.exe" to the command interpreter, which
# opens the interpreter in a window of its own ("start command.com" would open none).
click "$win" "482 347"
cmd_win=$(find_window '\\cmd\.exe$')
check "\"Start cmd\" opens cmd.exe" [ -n "$cmd_win" ]
check "and the program goes on" [ "$(exit_code_within 1; echo $?)" = 255 ]
# Out of the way of the buttons clicked next, and closed (Wine's console, not ours to test).
if [ -n "$cmd_win" ]; then
  xdotool windowmove "$cmd_win" 620 0 2>/dev/null
  "$WM_DELETE" "$cmd_win" >/dev/null 2>&1
fi

echo "\"Done (Exit)\""
[ -n "$win" ] && click "$win" "290 472"
exit_code_within 60; rc=$?
check "\"Done (Exit)\" ends the program with 0 ($rc)" [ $rc -eq 0 ]

echo "started from <root>\\GAMES\\: the client's choice; the close boxes"
start_program GAMES
check "main window shown again" [ -n "$win" ]
if [ -n "$win" ]; then
  sleep 1
  click "$win" "467 395"
  dlg=$(find_window '^IP setup$')
  check "dialog shown" [ -n "$dlg" ]
  if [ -n "$dlg" ]; then
    g=$(stable_shot "$dlg" ip_dialog_game.png)
    mark() { figure "$g" 88 $(($1 + 5)) 14 14 mean; }
    check "client selected" less_than "$(mark 315)" "$(awk -v m="$(mark 355)" 'BEGIN { print m - 0.05 }')"
    check "therapist and automatic not selected" \
      awk -v a="$(mark 355)" -v b="$(mark 390)" 'BEGIN { d = a - b; exit !(d < 0.01 && d > -0.01) }'
    "$WM_DELETE" "$dlg"
    win=$(find_window '^Qumex Linkprobe')
    check "the dialog's close box brings the main window back" [ -n "$win" ]
    check "and hides the dialog" hidden '^IP setup$'
  fi
  "$WM_DELETE" "$win"
  exit_code_within 60; rc=$?
  check "the close box ends the program with 0 ($rc)" [ $rc -eq 0 ]
fi

echo "screenshots: $(cd "$SHOTS" && ls | tr '\n' ' ')"
if [ $failures -eq 0 ]; then
  echo "window test under Wine: passed"
  exit 0
fi
echo "window test under Wine: $failures checks FAILED"
exit 1
