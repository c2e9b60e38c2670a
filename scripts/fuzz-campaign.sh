#!/usr/bin/env bash
# Longer fuzzing campaign: every libFuzzer target under ASan+UBSan, each until it has
# made RUNS executions or spent SECONDS, whichever comes first. New inputs are kept in
# build-fuzz/campaign/<target>/; crashes are left there as crash-* files.
# Usage: scripts/fuzz-campaign.sh [RUNS] [SECONDS]
set -uo pipefail
cd "$(dirname "$0")/.."
RUNS=${1:-10000000}
SECONDS_EACH=${2:-1800}
scripts/deps.sh || exit 1
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DLP_SANITIZE=address,undefined -DLP_FUZZ=ON \
  -DLP_BUILD_BENCH=OFF -DLP_BUILD_TESTS=OFF >/dev/null || exit 1
cmake --build build-fuzz -j"$(nproc)" >/dev/null || exit 1
status=0
for exe in build-fuzz/fuzz/fuzz_*; do
  [ -x "$exe" ] || continue
  name=$(basename "$exe")
  work=build-fuzz/campaign/$name
  mkdir -p "$work"
  log=$work.log
  "$exe" -runs="$RUNS" -max_total_time="$SECONDS_EACH" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work" "fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  execs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+|#[0-9]+' "$log" | tail -n 1 | grep -Eo '[0-9]+')
  printf '%-28s exit %d  executions %s\n' "$name" "$rc" "${execs:-?}"
  [ $rc -eq 0 ] || status=1
done
exit $status
