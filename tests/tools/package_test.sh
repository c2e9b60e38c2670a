#!/bin/sh
# Builds the Debian package with cpack and checks it as a user would meet it: its control
# data, every file in its place and nothing else, the programs running from the extracted
# tree, the man pages and the desktop entry free of warnings, and apt accepting it.
# Usage: package_test.sh BUILD_DIR SCRATCH_DIR PROGRAM...
set -u
build=$1 scratch=$2
shift 2
fail=0
bad() { echo "FAIL: $*"; fail=1; }
rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1 || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/qumex-linkprobe_*.deb | head -n 1)
# The libraries the programs link must be declared, each a name apt knows.
depends=$(dpkg-deb -f "$deb" Depends)
for dep in libc6 libstdc++6 libfltk1.3 libasound2 libsndfile1 $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*//; s/ //g'); do
  case ", $depends," in *", $dep "* | *", $dep,"*) ;; *) bad "Depends lacks $dep: $depends" ;; esac
  apt-cache show "$dep" >/dev/null 2>&1 || bad "dependency $dep unknown to apt"
done
# Exactly the product's files under /usr (tests/golden/package_files.txt, with the
# library's folder and version left open), the soname links and pkg-config's folders.
root="$scratch/root"
dpkg-deb -x "$deb" "$root" || exit 1
lib=$(cd "$root" && ls -d usr/lib/*/libqcomm.so.*.*.* usr/lib/libqcomm.so.*.*.* 2>/dev/null | head -n 1)
libdir=$(dirname "${lib:-usr/lib/x}")
dpkg-deb -c "$deb" | awk '{ p = $6; sub("^\\./", "/", p); print p }' | grep -v '/$' |
  sed "s#^/$libdir/\(libqcomm\|pkgconfig/\)#/LIBDIR/\1#; s|libqcomm\.so\.[0-9]*\.[0-9]*\.[0-9]*$|libqcomm.so.X.Y.Z|" | sort >"$scratch/listed"
{ for p in "$@"; do echo "/usr/bin/$p"; done; cat "$(dirname "$0")/../golden/package_files.txt"; } | sort |
  diff -u - "$scratch/listed" || bad "file list differs (- wanted, + in the package)"
[ "$(readlink "$root/$libdir/libqcomm.so.0") $(readlink "$root/$libdir/libqcomm.so")" = "$(basename "${lib:-x}") libqcomm.so.0" ] ||
  bad "soname links"
pc() { realpath -m "$(PKG_CONFIG_PATH="$root/$libdir/pkgconfig" pkg-config --variable="$1" qcomm)"; }
[ "$(pc includedir) $(pc libdir)" = "$(realpath "$root/usr/include") $(realpath "$root/$libdir")" ] || bad "qcomm.pc folders"
# The programs run from the extracted tree, with no display, through their own run path.
for p in "$@"; do ! ldd "$root/usr/bin/$p" 2>&1 | grep 'not found' || bad "$p: library not found"; done
v=$(env -u DISPLAY -u LD_LIBRARY_PATH "$root/usr/bin/linkprobe" --version)
case "$v" in "Qumex Linkprobe PB="*) ;; *) bad "linkprobe --version: $v" ;; esac
# The report service's unit starts a program of the package, and nothing enables it.
unit="$root/usr/lib/systemd/system/linkprobe-report.service"
exec=$(sed -n 's/^ExecStart=//p' "$unit")
[ -x "$root${exec%% *}" ] && "$root/usr/bin/linkprobe-responder" ${exec#* } --report-port 70000 2>&1 | grep -q '^--report-port' ||
  bad "the unit's ExecStart: $exec"
! dpkg-deb -I "$deb" postinst 2>/dev/null | grep -q systemctl || bad "the postinst enables a unit: it is to stay disabled"
"$root/usr/bin/zrcdump" --help | grep -q '^usage: zrcdump' || bad "zrcdump --help"
for m in "$root"/usr/share/man/man1/*.1 "$root"/usr/share/man/man3/*.3; do
  out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$m" 2>&1 >/dev/null)
  [ -z "$out" ] && [ -n "$(MANWIDTH=80 man -l "$m" 2>/dev/null | head -n 3)" ] || bad "man $(basename "$m"): $out"
done
desktop="$root/usr/share/applications/linkprobe.desktop"
[ "$(grep -x 'Exec=linkprobe\|Icon=linkprobe' "$desktop" | sort | tr '\n' ' ')" = "Exec=linkprobe Icon=linkprobe " ] &&
  v=$(desktop-file-validate "$desktop" 2>&1) && [ -z "$v" ] || bad "desktop entry: $v"
# apt resolves the package's dependencies (a simulation: nothing is installed).
apt-get install --simulate -o Debug::NoLocking=1 "$deb" >"$scratch/apt.log" 2>&1 &&
  grep -q '^Inst qumex-linkprobe' "$scratch/apt.log" || { cat "$scratch/apt.log"; bad "apt would not install it"; }
[ $fail -eq 0 ] && echo "package checks passed"
exit $fail
