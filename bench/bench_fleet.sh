#!/usr/bin/env bash
# whatif over a fleet: COUNT copies of the example laptop, the example
# policy, --jobs JOBS; prints the wall time and the time per machine.
# Usage: bench/bench_fleet.sh [COUNT...] (default 250 500 1000); DM_BENCH_BUILD, DM_JOBS_FLEET.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${DM_BENCH_BUILD:-build/native}
jobs=${DM_JOBS_FLEET:-$(nproc)}
for count in "${@:-250 500 1000}"; do
  for n in $count; do
    dir=$(mktemp -d)
    for i in $(seq -w 1 "$n"); do cp examples/machines/laptop.json "$dir/laptop-$i.json"; done
    start=$(date +%s.%N)
    rc=0
    "$build/bin/whatif" --policy examples/policies/device-control.json --machines "$dir" --jobs "$jobs" --json \
      >"$dir.out" || rc=$?
    end=$(date +%s.%N)
    machines=$(grep -c '"machine":' "$dir.out" || true)
    awk -v n="$n" -v s="$start" -v e="$end" -v j="$jobs" -v rc="$rc" -v m="$machines" \
      'BEGIN { printf "fleet_%d machines=%d jobs=%d exit=%d wall=%.1f s per_machine=%.1f ms\n", n, m, j, rc, e - s, (e - s) * 1000 / n }'
    rm -rf "$dir" "$dir.out"
  done
done
