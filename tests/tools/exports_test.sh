#!/bin/sh
# The shared library exports exactly the entry points its header declares, and neither
# it nor any installed program carries the simulated null-modem cable.
# Usage: exports_test.sh LIBRARY HEADER PROGRAM...
set -u
lib=$1 header=$2
shift 2
fail=0
wanted="${TMPDIR:-/tmp}/exports_wanted.$$"
sed -n 's/^QCOMM_API .*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort >"$wanted"
[ -s "$wanted" ] || { echo "FAIL: no entry points read from $header"; exit 1; }
nm -D --defined-only "$lib" | awk '{ sub("@.*", "", $3); print $3 }' | sort | diff "$wanted" - ||
  { echo "FAIL: exports differ from $header (< header only, > library only)"; fail=1; }
rm -f "$wanted"
for f in "$lib" "$@"; do
  syms=$(nm -C "$f" 2>/dev/null)
  [ -n "$syms" ] || { echo "FAIL: $f has no symbol table to check"; fail=1; }
  if echo "$syms" | grep -q 'sim_cable'; then echo "FAIL: $f carries the simulated cable"; fail=1; fi
done
[ $fail -eq 0 ] && echo "exports and installed files ok"
exit $fail
