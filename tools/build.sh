#!/usr/bin/env bash
# Configures and builds the given flavours (default: all).
#   native      Linux g++, portable parts and their tests, benchmarks, tools
#   native-asan the native build under AddressSanitizer + UndefinedBehaviorSanitizer
#   native-tsan the native build under ThreadSanitizer
#   win64       x86_64 mingw-w64, the test build run under Wine
#   win32       i686 mingw-w64, the shipped program
#   fuzz        clang libFuzzer targets
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${ZPV_JOBS:-$(nproc)}
flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(native native-asan native-tsan fuzz win64 win32)
for f in "${flavours[@]}"; do
  dir="$root/build/$f"
  args=(-S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  case "$f" in
    native) ;;
    native-asan) args+=(-DZPV_SANITIZE=asan) ;;
    native-tsan) args+=(-DZPV_SANITIZE=tsan) ;;
    fuzz) args=(-S "$root/fuzz" -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
    win64) args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86_64.cmake") ;;
    win32) args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release -DZPV_TESTS=OFF) ;;
    *) echo "unknown flavour $f" >&2; exit 2 ;;
  esac
  # Re-run every time: test, bench and fuzz folders are found by globbing.
  cmake "${args[@]}" >/dev/null
  # The thread-sanitizer flavour runs only the download tests: build just those.
  targets=()
  [ "$f" = native-tsan ] && targets=(--target download_tests)
  echo "build: $f"
  # Warnings are errors in the project's code: a failed build shows its messages and stops here.
  log="$dir/build.log"
  if ! cmake --build "$dir" -j "$jobs" "${targets[@]}" >"$log" 2>&1; then
    grep -E -B2 -A6 'error|Error' "$log" | head -n 80
    echo "build: $f failed (full log: $log)" >&2
    exit 1
  fi
done
