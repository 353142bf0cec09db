#!/usr/bin/env bash
# Installs what is missing, builds every flavour and runs every test:
#   native, native with ASan+UBSan, native with TSan, and Windows under Wine,
#   then a short pass of every fuzz target (tools/fuzz.sh --runs), then
#   mx540ctl for Linux against the kernel's USB HID stack in a VM
#   (tools/linux-vm-test.sh) and the Windows programs under Wine in a VM
#   (tools/wine-vm-test.sh); one boot each, each check counted as a test.
# The summary names every test that was skipped, flavour by flavour; the last
# line gives the counts. Build folders: build/{native,asan,tsan,win,fuzz}.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/install-deps.sh" || { echo "dependency install failed"; exit 1; }

jobs=$(nproc)
total=0; failed=0; skipped=0; status=0
summary=()

run_flavour() {
  local name=$1; shift
  local retry=
  # Windows programs share one Wine server and X display; a test that fails there
  # gets one more run, and the summary names every test that needed it.
  [ "$name" = win ] && retry="--repeat until-pass:2"
  local dir=build/$name
  echo "=== $name: configure and build"
  mkdir -p "$dir"
  if ! cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >"$dir.configure.log" 2>&1; then
    cat "$dir.configure.log"; summary+=("$name: configure FAILED"); status=1; return
  fi
  if ! cmake --build "$dir" -j "$jobs" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; summary+=("$name: build FAILED"); status=1; return
  fi
  echo "=== $name: test"
  local log=$dir.test.log
  (cd "$dir" && ctest --output-on-failure -j "$jobs" $retry ${MX_CTEST_ARGS:-}) | tee "$log"
  local line n f
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n1)
  if [ -z "$line" ]; then
    if grep -q 'No tests were found' "$log"; then
      summary+=("$name: no tests")
    else
      summary+=("$name: ctest did not complete (see $log)"); failed=$((failed + 1)); status=1
    fi
    return
  else
    n=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    f=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  fi
  total=$((total + n)); failed=$((failed + f))
  [ "$f" -eq 0 ] || status=1
  # A second run shows as a result line without the "k/n" count in front.
  local again
  again=$(grep -E '^ +Test +#[0-9]+: .* Passed' "$log" | sed -E 's/^ +Test +#[0-9]+: ([^ ]+).*/\1/' | paste -sd, -)
  # ctest counts a skipped test among those passed and lists it under "did not run".
  local skips s
  skips=$(sed -n '/^The following tests did not run:/,/^$/p' "$log" |
          sed -nE 's/^[[:space:]]+[0-9]+ - ([^ ]+) \((Skipped|Disabled|Not Run)\).*/\1/p' | sort -u)
  s=$(grep -c . <<<"$skips")
  skipped=$((skipped + s))
  local skip_note=
  [ "$s" -eq 0 ] || skip_note=", $s skipped"
  summary+=("$name: $((n - f - s))/$n passed$skip_note${again:+ (passed only when run again: $again)}")
  [ "$s" -eq 0 ] || summary+=("$name: skipped: $(paste -sd, <<<"$skips" | sed 's/,/, /g')")
}

mkdir -p build
run_flavour native
run_flavour asan -DMX_SANITIZE=address
run_flavour tsan -DMX_SANITIZE=thread
run_flavour win -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"

# A fixed count of executions per fuzz target from its seeds: enough to catch a
# reader that regressed, short enough for CI (well under two minutes on 2 cores).
echo "=== fuzz: short pass"
if tools/fuzz.sh --runs "${MX_FUZZ_RUNS:-30000}" | tee build/fuzz.pass.log; then
  summary+=("fuzz: $(grep -c ' crashes 0 ' build/fuzz.pass.log) targets, no crash")
else
  summary+=("fuzz: FAILED (see build/fuzz.pass.log)"); status=1
fi

# A VM script: one boot, each check it prints counted as a test.
run_vm() {
  local name=$1 script=$2 what=$3 started line passed vm_failed
  echo "=== $name: $what"
  started=$(date +%s)
  "$script" | tee "build/$name.log"
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "build/$name.log" | tail -n1)
  if [ -n "$line" ]; then
    passed=${line%% passed*}
    vm_failed=$(sed -E 's/.* ([0-9]+) failed.*/\1/' <<<"$line")
    total=$((total + passed + vm_failed)); failed=$((failed + vm_failed))
    [ "$vm_failed" -eq 0 ] || status=1
    summary+=("$name: $passed/$((passed + vm_failed)) checks passed ($(( $(date +%s) - started )) s, build and boot)")
  else
    summary+=("$name: did not complete (see build/$name.log)"); failed=$((failed + 1)); status=1
  fi
}
run_vm linux-vm tools/linux-vm-test.sh "mx540ctl against the kernel's USB HID stack in a VM"
run_vm wine-vm tools/wine-vm-test.sh "the Windows programs under Wine against the kernel's USB HID stack in a VM"

printf '%s\n' "${summary[@]}"
echo "TOTAL: $((total - failed - skipped)) passed, $failed failed, $skipped skipped, $total tests; $([ $status -eq 0 ] && echo OK || echo FAILED)"
exit $status
