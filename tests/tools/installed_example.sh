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
export PKG_CONFIG_PATH="$(dirname "${pc:?qcomm.pc not installed}")"
libdir=$(pkg-config --variable=libdir qcomm)

# The installed harness finds the installed library by itself, and alone asks for its slave.
rc=0
out=$("$scratch/prefix/bin/qcomm-harness" </dev/null 2>&1) || rc=$?
want=$(printf 'debug messages enabled\nI am %s\nneed   s/e and id of slave' "$(hostname | cut -c1-32)")
[ "$rc $out" = "4 $want" ] || { echo "installed harness: exit $rc"; echo "$out"; exit 1; }

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
for _ in $(seq 1 100); do
  port=$(( 20000 + $(od -An -N2 -tu2 /dev/urandom) % 40000 ))
  [ -n "$(ss -Htuan "( sport = :$port or sport = :$((port + 1)) )")" ] || break
done
cd "$scratch"
exec ./loopback "$port"
