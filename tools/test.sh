#!/usr/bin/env bash
# Builds everything and runs every test suite: native (plain, ASan+UBSan, TSan), a short fuzz
# smoke run, the Windows suite under Wine (with Xvfb and nginx), and the ship build's checks.
# Ends with one line "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh || exit 1
bash tools/build.sh || { echo "0 passed, 1 failed"; exit 1; }

. tools/services.sh
zpv_services_start || { echo "0 passed, 1 failed"; exit 1; }
trap zpv_services_stop EXIT
tools/wine-prefix.sh

passed=0; failed=0
run_ctest() {  # flavour [ctest args]
  local f=$1; shift
  echo "== tests: $f"
  local out
  out=$(cd "build/$f" && ctest --output-on-failure "$@" 2>&1)
  echo "$out" | grep -v -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' | tail -n 60
  local line total nfail
  line=$(echo "$out" | grep -E 'tests passed, [0-9]+ tests failed out of' | tail -1)
  if [ -z "$line" ]; then
    if echo "$out" | grep -q 'No tests were found'; then return; fi
    failed=$((failed + 1)); return
  fi
  nfail=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  total=$(echo "$line" | sed -E 's/.* tests failed out of ([0-9]+).*/\1/')
  passed=$((passed + total - nfail)); failed=$((failed + nfail))
}
run_ctest native
run_ctest native-asan
run_ctest native-tsan -L tsan
run_ctest fuzz
run_ctest win64
run_ctest win32
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
