#!/bin/sh
# Builds the Debian package with cpack and checks it as a user would meet it: its
# control data, every file in its place and nothing else, the programs running from
# the extracted tree, the man pages rendering without warnings, and apt accepting it.
# Usage: package_test.sh BUILD_DIR SCRATCH_DIR PROGRAM...
set -u
build=$1 scratch=$2
shift 2
fail=0
bad() { echo "FAIL: $*"; fail=1; }

rm -rf "$scratch" && mkdir -p "$scratch" || exit 1
if ! cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"; exit 1
fi
deb=$(ls "$scratch"/qumex-linkprobe_*.deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no .deb made"; cat "$scratch/cpack.log"; exit 1; }
echo "package: $deb"

# Control data: the libraries the programs link must be declared.
info=$(dpkg-deb -I "$deb") || { echo "dpkg-deb -I failed"; exit 1; }
echo "$info" | grep -q '^ *Package: qumex-linkprobe$' || bad "package name"
depends=$(echo "$info" | sed -n 's/^ *Depends: //p')
echo "Depends: $depends"
for dep in libc6 libstdc++6 libfltk1.3 libasound2 libsndfile1; do
  case ", $depends," in *", $dep "* | *", $dep,"*) ;; *) bad "Depends lacks $dep" ;; esac
done
# Every name must be one apt can find.
for dep in $(echo "$depends" | tr ',|' '\n\n' | sed 's/(.*//; s/ //g'); do
  apt-cache show "$dep" >/dev/null 2>&1 || bad "dependency $dep unknown to apt"
done

# The file list: exactly the product's files under /usr.
dpkg-deb -c "$deb" | awk '{ p = $6; sub("^\\./", "/", p); print p }' | grep -v '/$' | sort \
  >"$scratch/listed" || bad "dpkg-deb -c"
root="$scratch/root"
dpkg-deb -x "$deb" "$root" || { echo "dpkg-deb -x failed"; exit 1; }
lib=$(cd "$root" && ls -d usr/lib/*/libqcomm.so.*.*.* usr/lib/libqcomm.so.*.*.* 2>/dev/null | head -n 1)
[ -n "$lib" ] || bad "no libqcomm.so.X.Y.Z"
libdir=$(dirname "${lib:-usr/lib/x}")
{
  for p in "$@"; do echo "/usr/bin/$p"; done
  echo "/$lib"
  echo "/$libdir/libqcomm.so"
  echo "/$libdir/libqcomm.so.0"
  echo "/$libdir/pkgconfig/qcomm.pc"
  echo "/usr/include/qcomm.h"
  for m in linkprobe linkprobe-responder qcomm-harness zrcdump; do echo "/usr/share/man/man1/$m.1"; done
  echo "/usr/share/man/man3/qcomm.3"
  echo "/usr/share/applications/linkprobe.desktop"
  echo "/usr/share/icons/hicolor/scalable/apps/linkprobe.svg"
} | sort >"$scratch/wanted"
if ! diff -u "$scratch/wanted" "$scratch/listed"; then bad "file list differs (- wanted, + in the package)"; fi

# Soname links, and the pkg-config file naming the package's own prefix.
[ "$(readlink "$root/$libdir/libqcomm.so.0")" = "$(basename "${lib:-x}")" ] || bad "libqcomm.so.0 link"
[ "$(readlink "$root/$libdir/libqcomm.so")" = "libqcomm.so.0" ] || bad "libqcomm.so link"
# pkg-config must lead from the packaged qcomm.pc to the packaged header and library.
pc() { PKG_CONFIG_PATH="$root/$libdir/pkgconfig" pkg-config --variable="$1" qcomm; }
[ "$(realpath -m "$(pc includedir)")" = "$(realpath "$root/usr/include")" ] || bad "qcomm.pc includedir: $(pc includedir)"
[ "$(realpath -m "$(pc libdir)")" = "$(realpath "$root/$libdir")" ] || bad "qcomm.pc libdir: $(pc libdir)"
grep -q 'conn_alloc' "$root/usr/include/qcomm.h" || bad "qcomm.h content"

# The programs run from the extracted tree against the packaged library, with no display.
for p in "$@"; do
  for x in "$root"/usr/bin/$p; do [ -x "$x" ] || bad "$p not executable"; done
done
# They find the library through their own run path, relative to where they lie.
for p in "$@"; do
  missing=$(ldd "$root/usr/bin/$p" 2>&1 | grep 'not found')
  [ -z "$missing" ] || bad "$p: $missing"
done
v=$(env -u DISPLAY -u LD_LIBRARY_PATH "$root/usr/bin/linkprobe" --version)
case "$v" in "Qumex Linkprobe PB="*) ;; *) bad "linkprobe --version: $v" ;; esac
"$root/usr/bin/zrcdump" --help | grep -q '^usage: zrcdump' || bad "zrcdump --help"

# Man pages: render each, and any warning of the formatter is a fault.
for m in "$root"/usr/share/man/man1/*.1 "$root"/usr/share/man/man3/*.3; do
  out=$(MANWIDTH=80 man --warnings -E UTF-8 -l "$m" 2>&1 >/dev/null)
  [ -z "$out" ] || bad "man $(basename "$m"): $out"
  [ -n "$(MANWIDTH=80 man -l "$m" 2>/dev/null | head -n 3)" ] || bad "man $(basename "$m") renders nothing"
done

# The desktop entry starts the installed program with the installed icon.
grep -qx 'Exec=linkprobe' "$root/usr/share/applications/linkprobe.desktop" || bad "desktop Exec"
grep -qx 'Icon=linkprobe' "$root/usr/share/applications/linkprobe.desktop" || bad "desktop Icon"
if command -v desktop-file-validate >/dev/null 2>&1; then
  # Hints count too: each one is something a menu would show oddly.
  v=$(desktop-file-validate "$root/usr/share/applications/linkprobe.desktop" 2>&1) && [ -z "$v" ] ||
    bad "desktop entry: $v"
fi

# apt resolves the package's dependencies (a simulation: nothing is installed).
if command -v apt-get >/dev/null 2>&1; then
  if ! apt-get install --simulate -o Debug::NoLocking=1 "$deb" >"$scratch/apt.log" 2>&1; then
    cat "$scratch/apt.log"; bad "apt-get install --simulate"
  fi
  grep -q '^Inst qumex-linkprobe' "$scratch/apt.log" || { cat "$scratch/apt.log"; bad "apt would not install it"; }
fi

[ $fail -eq 0 ] && echo "package checks passed"
exit $fail
