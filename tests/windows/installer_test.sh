#!/usr/bin/env bash
# installer_test.sh SOURCE_DIR BUILD_DIR: the Windows installer of BUILD_DIR, run silently under Wine
# (in the WINEPREFIX the caller set up) for each role: every file in the role's folder
# and equal to the build's, the Start-menu shortcut, the entry in the installed-programs
# list, the installed linkprobe.exe --version; then the uninstaller, after which nothing
# of ours is left and what was there before is untouched. Then once with its own page on
# a private Xvfb, the game computer chosen. Exit code 0 when all passed.
set -uo pipefail
SRC=$(cd "$1" && pwd)
DIR=$(cd "$2" && pwd)
: "${WINEPREFIX:?the caller sets up the Wine prefix}"
SETUP=$(ls "$DIR"/qumex-linkprobe-*-setup.exe 2>/dev/null | head -n 1)
[ -n "$SETUP" ] || { echo "installer test: no installer in $DIR"; exit 1; }
DRIVE_C=$WINEPREFIX/drive_c
QUMEX=$DRIVE_C/Qumex
MENU="$DRIVE_C/ProgramData/Microsoft/Windows/Start Menu/Programs/Qumex"
KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\QumexLinkprobe'
VERSION=$(sed -n 's/^project(linkprobe VERSION \([0-9.]*\).*/\1/p' "$SRC/CMakeLists.txt")
failures=0

check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "  ok    $what"; else echo "  FAIL  $what"; failures=$((failures + 1)); fi
}
same() { cmp -s "$1" "$2"; }
absent() { [ ! -e "$1" ]; }
reg_value() {  # reg_value NAME: the value of NAME under the uninstall key, or nothing
  wine reg query "$KEY" /v "$1" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$1 *REG_[A-Z_]* *//p"
}
run_setup() {  # run_setup ARGS...: the installer's exit code once every Wine process ended
  wine "$SETUP" "$@" >/dev/null 2>&1
  local rc=$?
  wineserver -w
  return $rc
}

# The product's files by their place in the program's folder, and where the build has them.
build_file() {
  case $1 in
    linkprobe.exe) echo "$DIR/app/linkprobe.exe" ;;
    libqcomm.dll) echo "$DIR/commlib/libqcomm.dll" ;;
    qcomm-harness.exe) echo "$DIR/commlib/harness/qcomm-harness.exe" ;;
    linkprobe-responder.exe) echo "$DIR/diag/responder/linkprobe-responder.exe" ;;
    zrcdump.exe) echo "$DIR/tools/zrcdump/zrcdump.exe" ;;
    SDK/include/qcomm.h) echo "$SRC/commlib/qcomm.h" ;;
    SDK/lib/libqcomm.dll.a) echo "$DIR/commlib/libqcomm.dll.a" ;;
    SDK/examples/loopback.c) echo "$SRC/commlib/examples/loopback.c" ;;
    DOC/*) echo "$DIR/packaging/doc/${1#DOC/}" ;;
  esac
}
FILES="linkprobe.exe libqcomm.dll qcomm-harness.exe linkprobe-responder.exe zrcdump.exe
  SDK/include/qcomm.h SDK/lib/libqcomm.dll.a SDK/examples/loopback.c
  DOC/linkprobe.txt DOC/linkprobe-responder.txt DOC/qcomm-harness.txt DOC/zrcdump.txt DOC/qcomm.txt"

echo "installer: $SETUP ($(stat -c %s "$SETUP") bytes)"
rm -rf "$QUMEX" "$MENU"
wine reg delete "$KEY" /f >/dev/null 2>&1

echo "silent install without a role, and with an unknown one"
run_setup /S; rc=$?
check "no /ROLE: exit code 2" [ $rc -eq 2 ]
run_setup /S /ROLE=kitchen; rc=$?
check "/ROLE=kitchen: exit code 2" [ $rc -eq 2 ]
check "nothing installed" absent "$QUMEX"

for role in therapist game; do
  if [ $role = therapist ]; then folder=BIN; else folder=GAMES; fi
  echo "role $role: C:\\Qumex\\$folder\\"
  # The therapist round starts on a computer with Qumex settings in place; they stay.
  if [ $role = therapist ]; then
    mkdir -p "$QUMEX/PREFERENCES/SETTINGS"
    printf 'DISPLAYMODE=2\r\n' >"$QUMEX/PREFERENCES/SETTINGS/DEVS.NIN"
  fi
  run_setup /S /ROLE=$role; rc=$?
  check "installer exit code 0" [ $rc -eq 0 ]
  inst=$QUMEX/$folder
  for f in $FILES; do
    check "$folder/$f as built" same "$(build_file "$f")" "$inst/$f"
  done
  check "$folder/Uninstall Linkprobe.exe" [ -f "$inst/Uninstall Linkprobe.exe" ]
  other=BIN; [ $folder = BIN ] && other=GAMES
  check "nothing in C:\\Qumex\\$other" absent "$QUMEX/$other"
  lnk="$MENU/Qumex Linkprobe.lnk"
  check "Start-menu shortcut" [ -f "$lnk" ]
  # The link's texts: its target's path, and the folder it starts in (where the program
  # writes its files).
  texts=$( (strings -a "$lnk"; strings -a -e l "$lnk") | tr -d '\r')
  check "shortcut starts C:\\Qumex\\$folder\\linkprobe.exe" \
    grep -qixF "C:\\Qumex\\$folder\\linkprobe.exe" <<<"$texts"
  check "shortcut starts in C:\\Qumex\\$folder" grep -qixF "C:\\Qumex\\$folder" <<<"$texts"
  check "Start-menu uninstaller shortcut" [ -f "$MENU/Uninstall Qumex Linkprobe.lnk" ]
  name=$(reg_value DisplayName); ver=$(reg_value DisplayVersion); loc=$(reg_value InstallLocation)
  check "installed programs: DisplayName '$name'" [ "$name" = "Qumex Linkprobe" ]
  check "installed programs: DisplayVersion '$ver'" [ "$ver" = "$VERSION" ]
  check "installed programs: InstallLocation '$loc'" [ "$loc" = "C:\\Qumex\\$folder" ]
  check "installed programs: UninstallString" \
    grep -qF "C:\\Qumex\\$folder\\Uninstall Linkprobe.exe" <<<"$(reg_value UninstallString)"
  out=$(cd "$inst" && wine "C:\\Qumex\\$folder\\linkprobe.exe" --version 2>/dev/null | tr -d '\r')
  rc=$?
  echo "        linkprobe.exe --version: $out"
  check "--version exit code 0" [ $rc -eq 0 ]
  when=$(LC_ALL=C date -r "$inst/linkprobe.exe" '+%a %b %e %H:%M:%S %Y')
  check "--version reads the installed file's version block and time" \
    [ "$out" = "Qumex Linkprobe PB=$VERSION  $when" ]

  wine "C:\\Qumex\\$folder\\Uninstall Linkprobe.exe" /S >/dev/null 2>&1
  # The uninstaller runs from a copy of itself and returns at once; the copy ends later.
  wineserver -w
  check "C:\\Qumex\\$folder removed" absent "$inst"
  check "Start-menu folder removed" absent "$MENU"
  check "installed-programs entry removed" [ -z "$(reg_value DisplayName)" ]
  if [ $role = therapist ]; then
    check "the settings file stays" [ -f "$QUMEX/PREFERENCES/SETTINGS/DEVS.NIN" ]
    rm -rf "$QUMEX"
  else
    check "C:\\Qumex removed: nothing else was there" absent "$QUMEX"
  fi
done

# Asked on its own page: the game computer chosen with the mouse, on a private X server.
echo "installer's own page: the game computer chosen"
XDIR=$(mktemp -d)
Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp -noreset 9>"$XDIR/display" >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 300); do [ -s "$XDIR/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n 1 "$XDIR/display" 2>/dev/null)
# A Wine server started without a display keeps its desktop without one.
wineserver -k 2>/dev/null; wineserver -w
wine "$SETUP" >/dev/null 2>&1 &
setup_pid=$!
win=$(timeout 60 xdotool search --sync --onlyvisible --name '^Qumex Linkprobe .* Setup$' 2>/dev/null | head -n 1)
check "the installer's window" [ -n "$win" ]
if [ -n "$win" ]; then
  sleep 1
  mkdir -p "$DIR/screenshots"
  import -window "$win" "$DIR/screenshots/installer_role_page.png" 2>/dev/null
  # The page's two choices, and the button that goes on ("Install", then "Close").
  xdotool mousemove --window "$win" 40 115 click 1
  sleep 0.3
  xdotool mousemove --window "$win" 371 223 click 1
  for _ in $(seq 300); do [ -f "$QUMEX/GAMES/Uninstall Linkprobe.exe" ] && break; sleep 0.1; done
  sleep 1
  import -window "$win" "$DIR/screenshots/installer_done.png" 2>/dev/null
  for _ in $(seq 20); do
    kill -0 $setup_pid 2>/dev/null || break
    xdotool mousemove --window "$win" 371 223 click 1 2>/dev/null
    sleep 1
  done
fi
kill -0 $setup_pid 2>/dev/null && { echo "        the installer did not end: stopped"; kill $setup_pid; }
wait $setup_pid; rc=$?
check "installer exit code 0 after \"Close\"" [ $rc -eq 0 ]
check "C:\\Qumex\\GAMES\\linkprobe.exe as built" same "$(build_file linkprobe.exe)" "$QUMEX/GAMES/linkprobe.exe"
check "nothing in C:\\Qumex\\BIN" absent "$QUMEX/BIN"
wineserver -w
kill $xvfb_pid 2>/dev/null; wait $xvfb_pid 2>/dev/null; rm -rf "$XDIR"
wine "C:\\Qumex\\GAMES\\Uninstall Linkprobe.exe" /S >/dev/null 2>&1
wineserver -w
check "uninstalled: C:\\Qumex removed" absent "$QUMEX"
rm -rf "$QUMEX"

if [ $failures -eq 0 ]; then
  echo "installer test: passed for both roles"
  exit 0
fi
echo "installer test: $failures checks FAILED"
exit 1
