#!/bin/sh
# Runs the extractor library's volume test under Wine with two small volumes as drive letters of
# the test prefix: V: a 4 MiB tmpfs (the test fills it), W: a tmpfs holding an installed client,
# mounted read-only. Mounting needs root (CI runs as root); elsewhere the test is skipped.
#   volumes.sh TEST_PROGRAM
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
prefix=${WINEPREFIX:-$root/build/wineprefix}
test=$1
if [ "$(id -u)" != 0 ]; then
  echo "not root: volume test skipped"
  exec "$root/tools/wine-run" "$test" --gtest_brief=1 --gtest_filter='*FullOrReadOnlyVolume*'
fi
"$root/tools/wine-prefix.sh" >&2
dir=$(mktemp -d /tmp/zpv-volumes.XXXXXX)
mkdir "$dir/full" "$dir/ro"
cleanup() {
  rm -f "$prefix/dosdevices/v:" "$prefix/dosdevices/w:"
  umount "$dir/full" 2>/dev/null || true
  umount "$dir/ro" 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT
mount -t tmpfs -o size=4m tmpfs "$dir/full"
mount -t tmpfs -o size=1m tmpfs "$dir/ro"
mkdir -p "$dir/ro/client/bin" "$dir/ro/client/logs"
printf 'old updater' > "$dir/ro/client/ZPVUpdate.exe"
printf 'old dll' > "$dir/ro/client/zlib.dll"
printf 'old client' > "$dir/ro/client/bin/client.exe"
mount -o remount,ro "$dir/ro"
ln -sfn "$dir/full" "$prefix/dosdevices/v:"
ln -sfn "$dir/ro" "$prefix/dosdevices/w:"
ZPV_TEST_FULL_DRIVE=V: ZPV_TEST_RO_DRIVE=W: "$root/tools/wine-run" "$test" --gtest_brief=1 \
  --gtest_filter='*FullOrReadOnlyVolume*'
