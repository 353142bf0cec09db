#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan+UBSan) in build/fuzz and runs each
# one in turn, printing one line per target: name, executions, executions per
# second, the coverage it started and ended with, and crashes.
#
#   tools/fuzz.sh [SECONDS]      each target for SECONDS (default 60); the corpus
#                                grows in build/fuzz/corpus/<target> across runs
#   tools/fuzz.sh --runs N       each target for N executions from its seeds
#                                alone, with a fixed seed (the short pass of
#                                tools/test-all.sh)
#
# A crash or failed property leaves the input in build/fuzz/artifacts/ and makes
# the script fail. Minimise it (<target> -minimize_crash=1 -runs=100000 FILE),
# fix the fault and keep the minimised input in the target's regressions/
# folder, where the ordinary test suite (<target>_replay) runs it.
# Targets run one at a time under nice -n 19: the machine is shared.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=60 runs=
case "${1:-}" in
  --runs) runs=${2:?--runs needs a count} ;;
  "") ;;
  *) seconds=$1 ;;
esac

if ! command -v clang++ >/dev/null; then
  "$root/tools/install-deps.sh" || { echo "dependency install failed"; exit 1; }
fi

dir=build/fuzz
mkdir -p "$dir"
if ! CC=clang CXX=clang++ cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMX_FUZZ=ON \
    -DMX_FOLDERS="hidlib;link;common" >"$dir.configure.log" 2>&1; then
  cat "$dir.configure.log"; echo "fuzz: configure FAILED"; exit 1
fi
if ! nice -n 10 cmake --build "$dir" -j "$(nproc)" --target mx_fuzzers >"$dir.build.log" 2>&1; then
  tail -n 40 "$dir.build.log"; echo "fuzz: build FAILED"; exit 1
fi

mkdir -p "$dir/artifacts" "$dir/logs"
status=0
while read -r name exe inputs; do
  [ -n "$name" ] || continue
  kept=()
  for sub in seeds regressions; do
    [ -d "$inputs/$name/$sub" ] && kept+=("$inputs/$name/$sub")
  done
  if [ -n "$runs" ]; then
    corpus=$(mktemp -d)
    limit=(-runs="$runs" -seed=1)
  else
    corpus=$dir/corpus/$name
    mkdir -p "$corpus"
    limit=(-max_total_time="$seconds")
  fi
  log=$dir/logs/$name.log
  started=$(date +%s.%N)
  nice -n 19 "$exe" "${limit[@]}" -timeout=10 -print_final_stats=1 \
    -dict="$inputs/${name%_fuzz}.dict" -artifact_prefix="$dir/artifacts/$name-" \
    "$corpus" "${kept[@]}" >"$log" 2>&1
  rc=$?
  elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }')
  [ -n "$runs" ] && rm -rf "$corpus"

  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  # Over the whole run, start-up and seed loading included (libFuzzer's own
  # figure is whole seconds only).
  per_second=$(awk -v n="${executions:-0}" -v t="$elapsed" 'BEGIN { printf "%d", (t > 0 ? n / t : 0) }')
  cov_start=$(grep -m1 -E 'INITED cov: ' "$log" | sed -E 's/.* cov: ([0-9]+).*/\1/')
  cov_end=$(grep -E '^#[0-9]+.* cov: ' "$log" | tail -n1 | sed -E 's/.* cov: ([0-9]+).*/\1/')
  features=$(grep -E '^#[0-9]+.* ft: ' "$log" | tail -n1 | sed -E 's/.* ft: ([0-9]+).*/\1/')
  crashes=$(grep -c 'Test unit written to' "$log")
  if [ "$rc" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
  [ "$crashes" -eq 0 ] || status=1
  printf '%-18s executions %-9s exec/s %-7s coverage %s -> %s (+%s) features %s crashes %s (%ss)\n' \
    "$name" "${executions:-?}" "${per_second:-?}" "${cov_start:-?}" "${cov_end:-?}" \
    "$(( ${cov_end:-0} - ${cov_start:-0} ))" "${features:-?}" "$crashes" "$elapsed"
  if [ "$crashes" -ne 0 ]; then
    grep -E 'property failed|ERROR:|SUMMARY|runtime error|Test unit written' "$log" | head -n 8 | sed 's/^/    /'
  fi
done <"$dir/fuzz_targets.txt"
exit $status
