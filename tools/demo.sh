#!/usr/bin/env bash
# The main job: builds what is missing and performs a real forced update under Wine against a
# local nginx with a generated sample package, the way the client starts the updater:
#   a stand-in client ("zpvclient.exe", window class "veltaro") runs; the updater asks, stops it,
#   downloads the package in four ranges, verifies it, unpacks it two folders up, announces the
#   finished update and starts the launcher stand-in ("ZPVLaunch.exe") with the parameter text.
# The windows show on $DISPLAY (or on a private Xvfb); a driver answers them like a user and
# saves screenshots. Everything lands in build/demo/.
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
client_dir=$demo/Client
launcher_dir=$client_dir/Veltaro
updater_dir=$launcher_dir/Updater
mkdir -p "$updater_dir" "$demo/shots" "$ZPV_WWW/demo"
bin=build/win64/bin
cp $bin/ZPVUpdate.exe $bin/zlib.dll "$updater_dir/"
cp $bin/fake_client.exe "$launcher_dir/ZPVLaunch.exe"
cp $bin/fake_client.exe "$launcher_dir/zpvclient.exe"

# The sample release is packed as a publisher packs one: zpvpack (the Windows build, under Wine)
# writes the package from the release folder and prints the digest the client passes.
pkg=$ZPV_WWW/demo/sample-update.zip
release=$demo/release
/usr/bin/python3 tools/testkit/make_package.py --tree "$release"
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
pack_out=$(tools/wine-run $bin/zpvpack.exe pack "$(winpath "$release/Veltaro")" -o "$(winpath "$pkg")" | tr -d '\r')
pack_status=$?
echo "$pack_out" | sed 's/^/demo: zpvpack: /'
md5=$(echo "$pack_out" | sed -n 's/^md5 *//p')
[ "$pack_status" -eq 0 ] && [ ${#md5} -eq 32 ] || { echo "demo: zpvpack could not pack $release/Veltaro" >&2; exit 1; }
# Served through a throttled location, so that the progress can be watched for a few seconds.
url="http://127.0.0.1:$ZPV_HTTP_PORT/slow/demo/sample-update.zip"

echo "demo: the client (stand-in) starts"
tools/wine-run "$launcher_dir/zpvclient.exe" window &
client_pid=$!
sleep 2

echo "demo: the client starts the updater in $updater_dir"
echo "demo:   -url=$url -md5=$md5 -pagecallparam=\"demo param\" -forcedupdate=1"
WINEDEBUG=+debugstr tools/wine-run $bin/zpvdemo.exe "Z:${updater_dir//\//\\}\\ZPVUpdate.exe" "$demo/shots" \
  "-url=$url" "-md5=$md5" "-pagecallparam=\"demo param\"" "-forcedupdate=1" 2>"$demo/debug.log" | tr -d '\r'
status=${PIPESTATUS[0]}
# The updater stops the client; if it did not, the stand-in is ended here.
for _ in $(seq 20); do kill -0 $client_pid 2>/dev/null || break; sleep 0.5; done
kill $client_pid 2>/dev/null
wait $client_pid 2>/dev/null
client_status=$?

echo
echo "demo: the updater exited with status $status; the client stand-in ended with status $client_status (9: stopped by the updater)"
echo "demo: log lines of the updater (debugger output):"
grep 'OutputDebugStringA' "$demo/debug.log" | sed -n 's/.*OutputDebugStringA "\(.*\)"$/\1/p' \
  | sed 's/\\n$//; s/\\\\/\\/g; s/\\"/"/g; s/^/  /'
echo "demo: files unpacked into $client_dir:"
(cd "$client_dir" && find Veltaro -type f ! -path 'Veltaro/Updater/*' ! -name '*.exe' ! -name launch.txt | sort | sed 's/^/  /')
for _ in $(seq 40); do [ -f "$launcher_dir/launch.txt" ] && break; sleep 0.25; done
if [ -f "$launcher_dir/launch.txt" ]; then
  echo "demo: the launcher was started as: $(iconv -f UTF-16LE -t UTF-8 "$launcher_dir/launch.txt")"
else
  echo "demo: the launcher was not started"
fi
echo "demo: screenshots of the updater's windows: $demo/shots/"
ls "$demo/shots" | sed 's/^/  /'
[ "$status" -eq 0 ] && [ -f "$launcher_dir/launch.txt" ]
