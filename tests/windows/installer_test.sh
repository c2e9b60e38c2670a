#!/usr/bin/env bash
# installer_test.sh SOURCE_DIR BUILD_DIR: the Windows installer of BUILD_DIR, run silently under Wine
# (in the WINEPREFIX the caller set up) for each role: every file in the role's folder
# and equal to the build's, the Start-menu shortcut, the entry in the installed-programs
# list, the installed linkprobe.exe --version; the game role's logon start of the report
# service and its firewall rule (Wine's netsh keeps no rules: the command line the
# installer gave it is read from Wine's process trace). The game computer's install
# follows the therapist's without an uninstall, and replaces it: one installation per
# computer. Then the uninstaller, after which nothing of ours is left and what was there
# before is untouched. Exit code 0 when all passed.
set -uo pipefail
SRC=$(cd "$1" && pwd)
DIR=$(cd "$2" && pwd)
: "${WINEPREFIX:?the caller sets up the Wine prefix}"
SETUP=$(ls "$DIR"/qumex-linkprobe-*-setup.exe 2>/dev/null | head -n 1)
[ -n "$SETUP" ] || { echo "installer test: no installer in $DIR"; exit 1; }
DRIVE_C=$WINEPREFIX/drive_c
QUMEX=$DRIVE_C/Qumex
MENU="$DRIVE_C/ProgramData/Microsoft/Windows/Start Menu/Programs/Qumex"
STARTUP_LNK="$DRIVE_C/ProgramData/Microsoft/Windows/Start Menu/Programs/StartUp/Qumex Linkprobe report service.lnk"
RULE='advfirewall firewall add rule name="Qumex Linkprobe report service" dir=in action=allow protocol=TCP localport=5520 profile=private'
UNRULE='advfirewall firewall delete rule name="Qumex Linkprobe report service"'
TRACE=$(mktemp)
trap 'rm -f "$TRACE"' EXIT
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
run() {  # run PROGRAM ARGS...: its exit code once every Wine process ended
  wine "$@" >/dev/null 2>&1
  local rc=$?
  wineserver -w
  return $rc
}
traced() {  # traced COMMAND...: as run, the command lines of the programs it started into $TRACE
  WINEDEBUG=+process "$@" 2>&1 >/dev/null | sed -n 's/.*CreateProcessInternalW app .* cmdline L"\(.*\)"$/\1/p' |
    sed 's/\\\\/\\/g; s/\\"/"/g' >"$TRACE"
  local rc=${PIPESTATUS[0]}
  wineserver -w
  return $rc
}
lnk_texts() { (strings -a "$1"; strings -a -e l "$1") | tr -d '\r'; }

# The product's files: "their place in the program's folder=where the build has them".
FILES="$(for f in linkprobe.exe libqcomm.dll qcomm-harness.exe zrcdump.exe linkprobe-responder.exe; do
  echo "$f=$DIR/bin/$f"; done) SDK/include/qcomm.h=$SRC/commlib/qcomm.h
  SDK/lib/libqcomm.dll.a=$DIR/commlib/libqcomm.dll.a SDK/examples/loopback.c=$SRC/commlib/examples/loopback.c
  $(for d in linkprobe linkprobe-responder qcomm-harness zrcdump qcomm; do echo "DOC/$d.txt=$DIR/packaging/doc/$d.txt"; done)"

rm -rf "$QUMEX" "$MENU"
wine reg delete "$KEY" /f >/dev/null 2>&1

echo "silent install without a role, and with an unknown one"
for args in "/S" "/S /ROLE=kitchen"; do
  run "$SETUP" $args; rc=$?
  check "$args: exit code 2" [ $rc -eq 2 ]
done
check "nothing installed" absent "$QUMEX"

for role in therapist game; do
  if [ $role = therapist ]; then folder=BIN; else folder=GAMES; fi
  echo "role $role: C:\\Qumex\\$folder\\"
  # The therapist round starts on a computer with Qumex settings in place; they stay.
  # The game round installs over the therapist's installation.
  if [ $role = therapist ]; then
    mkdir -p "$QUMEX/PREFERENCES/SETTINGS"
    printf 'DISPLAYMODE=2\r\n' >"$QUMEX/PREFERENCES/SETTINGS/DEVS.NIN"
  fi
  traced wine "$SETUP" /S /ROLE=$role; rc=$?
  inst=$QUMEX/$folder
  other=BIN; [ $folder = BIN ] && other=GAMES
  check "installer exit code 0 ($rc), nothing in C:\\Qumex\\$other" eval '[ $rc -eq 0 ] && absent "$QUMEX/$other"'
  for f in $FILES; do check "$folder/${f%%=*} as built" same "${f#*=}" "$inst/${f%%=*}"; done
  lnk="$MENU/Qumex Linkprobe.lnk"
  check "the uninstaller and the Start-menu shortcuts" \
    eval '[ -f "$inst/Uninstall Linkprobe.exe" ] && [ -f "$lnk" ] && [ -f "$MENU/Uninstall Qumex Linkprobe.lnk" ]'
  # The link's texts: its target's path, and the folder it starts in (where the program
  # writes its files).
  texts=$(lnk_texts "$lnk")
  check "shortcut starts C:\\Qumex\\$folder\\linkprobe.exe" \
    grep -qixF "C:\\Qumex\\$folder\\linkprobe.exe" <<<"$texts"
  check "shortcut starts in C:\\Qumex\\$folder" grep -qixF "C:\\Qumex\\$folder" <<<"$texts"
  entry="$(reg_value DisplayName)|$(reg_value DisplayVersion)|$(reg_value InstallLocation)"
  check "installed programs: '$entry'" [ "$entry" = "Qumex Linkprobe|$VERSION|C:\\Qumex\\$folder" ]
  check "installed programs: UninstallString" \
    grep -qF "C:\\Qumex\\$folder\\Uninstall Linkprobe.exe" <<<"$(reg_value UninstallString)"
  out=$(cd "$inst" && wine "C:\\Qumex\\$folder\\linkprobe.exe" --version 2>/dev/null | tr -d '\r')
  when=$(LC_ALL=C date -r "$inst/linkprobe.exe" '+%a %b %d %H:%M:%S %Y')
  check "--version reads the installed file's version block and time: $out" \
    [ "$out" = "Qumex Linkprobe PB=$VERSION  $when" ]
  if [ $role = game ]; then
    check "logon start: the report service alone" eval 'grep -qixF "C:\\Qumex\\GAMES\\linkprobe-responder.exe" <<<"$(lnk_texts "$STARTUP_LNK")" &&
      grep -qxF -- "--report-only" <<<"$(lnk_texts "$STARTUP_LNK")"'
    check "firewall rule for TCP 5520, private profile, the responder" \
      grep -qF "$RULE program=\"C:\\Qumex\\GAMES\\linkprobe-responder.exe\" enable=yes" "$TRACE"
  else
    check "no logon start and no firewall rule" eval 'absent "$STARTUP_LNK" && ! grep -qF "$RULE" "$TRACE"'
  fi
done

# The uninstaller runs from a copy of itself and returns at once; the copy ends later.
traced wine "C:\\Qumex\\GAMES\\Uninstall Linkprobe.exe" /S
check "uninstalled: the logon start and the firewall rule" eval 'absent "$STARTUP_LNK" && grep -qF "$UNRULE" "$TRACE"'
check "uninstalled: the folder, the Start-menu folder and the entry" \
  eval 'absent "$QUMEX/GAMES" && absent "$MENU" && [ -z "$(reg_value DisplayName)" ]'
check "the settings file stays, nothing else" \
  eval '[ "$(cd "$QUMEX" && find . -type f)" = ./PREFERENCES/SETTINGS/DEVS.NIN ]'
rm -rf "$QUMEX"

[ $failures -eq 0 ] && { echo "installer test: passed for both roles"; exit 0; }
echo "installer test: $failures checks FAILED"
exit 1
