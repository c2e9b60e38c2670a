#!/bin/sh
# Installs the build into a scratch prefix, builds the C example against the installed
# header and shared library through pkg-config, and runs it on a free loopback port.
# usage: installed_example.sh <build dir> <scratch dir> <example.c> <C compiler> [sanitizers]
set -eu
build=$1 scratch=$2 example=$3 cc=$4 sanitize=${5:-}

rm -rf "$scratch"
mkdir -p "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" >"$scratch/install.log"

pc=$(find "$scratch/prefix" -name qcomm.pc | head -n 1)
[ -n "$pc" ] || { echo "qcomm.pc not installed"; exit 1; }
export PKG_CONFIG_PATH="$(dirname "$pc")"
libdir=$(pkg-config --variable=libdir qcomm)
[ -e "$libdir/libqcomm.so" ] || { echo "libqcomm.so not under $libdir"; exit 1; }

# The installed harness finds the installed library by itself.
rc=0
"$scratch/prefix/bin/qcomm-harness" </dev/null >"$scratch/harness.out" 2>&1 || rc=$?
[ "$rc" -eq 4 ] || { echo "installed harness: exit $rc"; cat "$scratch/harness.out"; exit 1; }

extra="" extra_libs=""
if [ -n "$sanitize" ]; then
  extra="-fsanitize=$sanitize"
  # clang adds the C++ half of the sanitizer runtime, which the library needs, on request.
  case "$("$cc" --version 2>/dev/null)" in *clang*) extra="$extra -fsanitize-link-c++-runtime"; extra_libs="-lstdc++" ;; esac
fi
# The example is plain C11 and must build warning-free against the installed header.
# shellcheck disable=SC2046
"$cc" -std=c11 -Wall -Wextra -Werror $extra -o "$scratch/loopback" "$example" \
  $(pkg-config --cflags --libs qcomm) $extra_libs -Wl,-rpath,"$libdir"

# A TCP port that is free together with UDP ports P and P+1 (nothing bound to them).
port=""
for _ in $(seq 1 100); do
  p=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000 ))
  if [ -z "$(ss -Htuan "( sport = :$p or sport = :$((p + 1)) )")" ]; then
    port=$p
    break
  fi
done
[ -n "$port" ] || { echo "no free port"; exit 1; }
cd "$scratch"
exec ./loopback "$port"
