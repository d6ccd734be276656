#!/usr/bin/env bash
# Builds everything and runs every test suite: the layering check, native (plain, ASan+UBSan,
# TSan), a short fuzz smoke run, the Windows suite under Wine (with Xvfb and nginx), and the ship
# build's checks. tools/test_summary.py judges each flavour's run against tests/expected_tests.txt
# (tests, minimum case counts, allowed skips). Ends with one line "N passed, N failed" (tests).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh || exit 1

passed=0; failed=0
if python3 tools/check_layers.py "$root"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
bash tools/build.sh || { echo "$passed passed, $((failed + 1)) failed"; exit 1; }

. tools/services.sh
zpv_services_start || { echo "$passed passed, $((failed + 1)) failed"; exit 1; }
trap zpv_services_stop EXIT
tools/wine-prefix.sh

run_ctest() {  # flavour [ctest args]
  local f=$1; shift
  local dir=build/$f reports=build/$f/test-reports
  echo "== tests: $f"
  # Each test writes its GoogleTest report to gtest/TEST.xml there (cmake/Zpv.cmake).
  rm -rf "$reports"; mkdir -p "$reports/gtest"
  (cd "$dir" && ctest --no-tests=error --output-on-failure --output-junit "$root/$reports/junit.xml" "$@" 2>&1) |
    grep -v -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' | tail -n 60
  local status=${PIPESTATUS[0]} summary p n
  # A summary that cannot be made, or that ends in anything but the two counts, is a failure.
  if summary=$(python3 tools/test_summary.py "$f" "$reports/junit.xml" "$reports/gtest" tests/expected_tests.txt \
                 "$status" 2>&1) &&
     read -r p n <<<"$(echo "$summary" | tail -n 1)" && [[ "$p $n" =~ ^[0-9]+\ [0-9]+$ ]]; then
    echo "$summary" | sed '$d'
    passed=$((passed + p)); failed=$((failed + n))
  else
    echo "$summary"
    echo "$f: the test summary failed"
    failed=$((failed + 1))
  fi
}
run_ctest native
run_ctest native-asan
run_ctest native-tsan -L tsan
# The fuzz targets run for a fixed time each and use one core: two at a time.
run_ctest fuzz -j 2
run_ctest win64
run_ctest win32
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
