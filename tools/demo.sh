#!/usr/bin/env bash
# The main job: builds what is missing and runs the updater under Wine against a local nginx with
# a generated sample package, the way the client starts it. Shows what the updater did.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash tools/setup.sh || exit 1
bash tools/build.sh win64 || exit 1

. tools/services.sh
zpv_services_start || exit 1
trap zpv_services_stop EXIT
tools/wine-prefix.sh

demo=$root/build/demo
rm -rf "$demo"
updater_dir=$demo/Client/Veltaro/Updater
mkdir -p "$updater_dir" "$ZPV_WWW/pkg"
cp build/win64/bin/ZPVUpdate.exe "$updater_dir/"
[ -f build/win64/bin/zlib.dll ] && cp build/win64/bin/zlib.dll "$updater_dir/"

# A sample package: a few client files in nested folders.
pkg=$ZPV_WWW/pkg/sample-update.zip
python3 - "$pkg" <<'PY'
import sys, zipfile, os
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("Veltaro/version.txt", "2.0.0\n")
    z.writestr("Veltaro/res/readme.txt", "new client resources\n" * 100)
    z.writestr("Veltaro/bin/data.bin", os.urandom(3 << 20))
PY
md5=$(md5sum "$pkg" | cut -d' ' -f1)
url="http://127.0.0.1:$ZPV_HTTP_PORT/pkg/sample-update.zip"
args="-url=$url -md5=$md5 -pagecallparam=\"demo param\" -forcedupdate=1"
echo "demo: updater at $updater_dir"
echo "demo: command line: $args"
WINEDEBUG=+debugstr tools/wine-run "$updater_dir/ZPVUpdate.exe" $args 2>"$demo/debug.log"
status=$?
echo "demo: ZPVUpdate.exe exited with status $status"
echo "demo: what the updater logged (debugger output):"
sed -n 's/.*OutputDebugStringA "\(.*\)"$/\1/p' "$demo/debug.log" | sed 's/\\n$//; s/\\\\/\\/g; s/\\"/"/g; s/^/  /'
