#!/bin/sh
# The shared library exports exactly the entry points its header declares, and neither
# it nor any installed program carries the simulated null-modem cable.
# Usage: exports_test.sh LIBRARY HEADER PROGRAM...
set -u
lib=$1 header=$2
shift 2
fail=0
wanted=$(sed -n 's/^QCOMM_API .*[^A-Za-z0-9_]\([A-Za-z_][A-Za-z0-9_]*\)(.*/\1/p' "$header" | sort)
[ -n "$wanted" ] || { echo "FAIL: no entry points read from $header"; exit 1; }
exported=$(nm -D --defined-only "$lib" | awk '{ sub("@.*", "", $3); print $3 }' | sort)
if [ "$wanted" != "$exported" ]; then
  echo "FAIL: exports differ from $header (< header only, > library only):"
  echo "$wanted" >"${TMPDIR:-/tmp}/exports_wanted.$$"
  echo "$exported" | diff "${TMPDIR:-/tmp}/exports_wanted.$$" - | grep '^[<>]' | head -n 40
  rm -f "${TMPDIR:-/tmp}/exports_wanted.$$"
  fail=1
fi
for f in "$lib" "$@"; do
  syms=$(nm -C "$f" 2>/dev/null)
  [ -n "$syms" ] || { echo "FAIL: $f has no symbol table to check"; fail=1; continue; }
  if echo "$syms" | grep -q 'sim_cable'; then echo "FAIL: $f carries the simulated cable"; fail=1; fi
done
[ $fail -eq 0 ] && echo "exports and installed files ok"
exit $fail
