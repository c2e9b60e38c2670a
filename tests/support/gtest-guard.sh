#!/bin/sh
# Runs a GoogleTest program and fails it when it left before GoogleTest finished: a
# process that ends halfway with exit status 0 (a fork whose parent and child changed
# places, an exit in a library) would otherwise pass. GoogleTest makes the file named by
# TEST_PREMATURE_EXIT_FILE when it starts and removes it when it is done.
marker=$(mktemp -u "${TMPDIR:-/tmp}/lp-gtest-XXXXXX") || exit 1
TEST_PREMATURE_EXIT_FILE=$marker "$@"
rc=$?
if [ -e "$marker" ]; then
  rm -f "$marker"
  echo "gtest-guard: $1 ended before its tests did (exit status $rc)" >&2
  [ "$rc" -ne 0 ] || rc=1
fi
exit "$rc"
