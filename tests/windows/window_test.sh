#!/usr/bin/env bash
# window_test.sh SOURCE_DIR BUILD_DIR LINUX_BUILD_DIR: the window of the Windows
# linkprobe.exe under Wine on a private Xvfb, the twin of the Linux window tests. Runs in a
# network namespace of its own with a clinic computer's adapters (netns_adapters.sh), so
# the game link's port 5510 and the adapters are the test's: loopback for the Linux
# responder. Checked: the title from the executable's version resource, the layout's
# colours, rescan and game communications in the panel, the IP setup dialog's adapter rows
# (the wired adapter active, the wireless one inactive, the virtual ones left out), its
# role choice taken from the program's own folder outside the installation root, and
# "Done", and "Done (Exit)" and the close box ending the program with 0. Screenshots stay
# in BUILD_DIR/screenshots. The caller sets up WINEPREFIX. Exit code 0 when all passed.
set -uo pipefail
[ -n "${LP_NETNS_ADAPTERS:-}" ] || exec "$(dirname "$0")/netns_adapters.sh" "$0" "$@"
SRC=$(cd "$1" && pwd)
DIR=$(cd "$2" && pwd)
: "${WINEPREFIX:?the caller sets up the Wine prefix}"
EXE=$DIR/bin/linkprobe.exe
RESPONDER=$3/diag/responder/linkprobe-responder
WM_DELETE=$3/tests/app/lp_wm_delete
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
for f in "$EXE" "$RESPONDER" "$WM_DELETE"; do [ -x "$f" ] || { echo "window test: $f is missing"; exit 1; }; done
rm -rf "$WORK" "$SHOTS"
mkdir -p "$WORK" "$SHOTS"
# A COM port link of the prefix left pointing at a terminal that is gone would come and
# go with the host's terminal numbers, and the reports with it.
find "$WINEPREFIX/dosdevices" -maxdepth 1 -name 'com*' -xtype l -delete 2>/dev/null
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp -noreset 9>"$WORK/display" >/dev/null 2>&1 & pids+=($!)
for _ in $(seq 300); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$WORK/display")
# A Windows file name cannot end in a dot: "C:\Qumex\BIN\Tunecfg." is the file Tunecfg.
ROOT=$WORK/root
cp -r "$SRC/tests/fixtures/root" "$ROOT" && mv "$ROOT/BIN/Tunecfg." "$ROOT/BIN/Tunecfg" || exit 1
export QUMEX_ROOT
QUMEX_ROOT=$(winpath "$ROOT")
"$RESPONDER" --port 5510 >"$WORK/responder.log" 2>&1 & pids+=($!)
responder_heard() {
  for _ in $(seq 100); do grep -q "$1" "$WORK/responder.log" && return 0; sleep 0.1; done
  return 1
}
check "Linux responder listening on 5510" responder_heard "listening on port 5510"

find_window() {  # the first visible window whose title matches, waiting up to 60 s
  # Asked again and again rather than with --sync: a window destroyed while xdotool
  # looks at it (Wine makes a new X window each time one is shown) ends that search.
  local id
  for _ in $(seq 300); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.2
  done
  return 1
}
start_program() {  # start_program EXE [ARGS...]: sets prog_pid and win
  (cd "$WORK" && exec wine "$1" -geometry +0+0 "${@:2}") >"$WORK/program.log" 2>&1 &
  prog_pid=$!
  pids+=($prog_pid)
  win=$(find_window '^Qumex Linkprobe')
}
hidden() { [ -z "$(xdotool search --onlyvisible --name "$1" 2>/dev/null)" ]; }
click() { xdotool mousemove --window "$1" $2 click 1; sleep 0.3; }
exit_code_within() {  # exit_code_within SECONDS: the program's exit code, or 255 if it still runs
  for _ in $(seq $(($1 * 10))); do
    kill -0 "$prog_pid" 2>/dev/null || { wait "$prog_pid"; return $?; }
    sleep 0.1
  done
  return 255
}
shot() {  # shot WINDOW NAME: a PNG of the window, once two pictures in a row agree (the
  # dialog repaints its rows every 0.3 s); prints its path
  local path=$SHOTS/$2
  import -window "$1" "$path" 2>/dev/null
  for _ in $(seq 20); do
    cp "$path" "$WORK/previous.png"
    sleep 0.13
    import -window "$1" "$path" 2>/dev/null
    [ "$(differing "$WORK/previous.png" "$path" 0 0 2000 2000)" = 0 ] && break
  done
  echo "$path"
}
pixel() { convert "$1" -format "%[pixel:p{$2}]" info: 2>/dev/null; }
figure() {  # figure PNG X Y W H FX: an ImageMagick figure of a grey region
  convert "$1" -crop "$4x$5+$2+$3" +repage -colorspace Gray -format "%[fx:$6]" info: 2>/dev/null
}
differing() {  # differing A B X Y W H: pixels that differ between a region of two pictures
  compare -metric AE \( "$1" -crop "$5x$6+$3+$4" +repage \) \( "$2" -crop "$5x$6+$3+$4" +repage \) null: 2>&1 |
    cut -d' ' -f1
}
less_than() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a + 0 < b + 0) }'; }

# A copy in a BIN folder outside the installation root: its own folder tells the role.
mkdir -p "$WORK/Tools/BIN" && cp -p "$EXE" "$DIR/bin/libqcomm.dll" "$WORK/Tools/BIN/" || exit 1
start_program "$WORK/Tools/BIN/linkprobe.exe"
[ -n "$win" ] || { echo "  FAIL  main window shown"; exit 1; }
# The title ends with the time's line end, which the window system keeps or drops. Its
# text is --version's, which the installer test checks against the file.
title=$(xdotool getwindowname "$win" | tr -d '\r')
check "title from the version resource: '$title'" [ "$title" = "$(wine "$EXE" --version | tr -d '\r')" ]
sleep 1
main=$(shot "$win" main_window.png)
# Address field 254, "Try setting IP address" 133, "Done (Exit)" 19.
for p in "35,245 srgb(255,218,255)" "345,385 srgb(255,182,63)" "105,465 srgb(152,168,168)"; do
  check "colour at $p" [ "$(pixel "$main" "${p% *}")" = "${p#* }" ]
done
check "the first report is in the panel: dark text on white" less_than "$(figure "$main" 30 15 540 140 minima)" 0.2
printf '6.0 rescanned with a longer version text\r\n' >"$ROOT/BIN/Tunecfg"
click "$win" "172 340"
sleep 2
rescanned=$(shot "$win" main_window_rescanned.png)
check "rescan: the version line changed" less_than 50 "$(differing "$main" "$rescanned" 30 15 540 20)"
click "$win" "172 370"
check "game communications: the responder got the echo" responder_heard "type 224 command 4 length 8"
check "no action ends the program" [ "$(exit_code_within 2; echo $?)" = 255 ]

click "$win" "467 395"
dlg=$(find_window '^IP setup$')
check "IP setup dialog shown, the main window hidden" eval '[ -n "$dlg" ] && hidden "^Qumex Linkprobe"'
if [ -n "$dlg" ]; then
  sleep 1.5  # a few refresh rounds
  d=$(shot "$dlg" ip_dialog.png)
  # Of the namespace's four adapters the rules offer two: Ethernet, wired and active, then
  # Wi-Fi, wireless and inactive (its label greyed); the third row is blank.
  check "row 0: the wired adapter, active" less_than "$(figure "$d" 52 92 427 21 minima)" 0.15
  check "row 1: the wireless adapter, inactive" eval \
    'less_than 0.3 "$(figure "$d" 52 128 427 21 minima)" && less_than 0 "$(figure "$d" 52 128 427 21 standard_deviation)"'
  check "row 2 blank" [ "$(figure "$d" 52 164 427 21 standard_deviation)" = 0 ]
  # Started from ...\BIN\: "Therapist" chosen (its box darker with the mark), not "Client".
  check "the role from the program's folder: Therapist chosen" \
    less_than "$(figure "$d" 88 358 19 19 mean)" "$(figure "$d" 88 318 19 19 'mean - 0.05')"
  click "$dlg" "279 497"  # "Done"
  win=$(find_window '^Qumex Linkprobe')
  check "\"Done\" brings the main window back and hides the dialog" eval '[ -n "$win" ] && hidden "^IP setup$"'
fi
click "$win" "290 472"
exit_code_within 60; rc=$?
check "\"Done (Exit)\" ends the program with 0 ($rc)" [ $rc -eq 0 ]
start_program "$EXE" "STARTUPDIR=$(winpath "$ROOT")\\GAMES\\"
sleep 1
"$WM_DELETE" "$win"
exit_code_within 60; rc=$?
check "the close box ends the program with 0 ($rc)" [ $rc -eq 0 ]
[ $failures -eq 0 ] && { echo "window test under Wine: passed"; exit 0; }
echo "window test under Wine: $failures checks FAILED"
exit 1
