#!/usr/bin/env python3
"""One full package download with zpvfetch (probe, four segments, join, MD5, rename) against
aria2c -x4 -s4 -k1M --file-allocation=none followed by md5sum of its file, side by side on
loopback from nginx: alternating runs, medians and minimums for a 256 MiB package; then the peak
memory of zpvfetch (GNU time's %M) for 256 MiB and 1 GiB packages.
Usage: bench/download_bench.py [build/native/bin/zpvfetch] [--runs N] [--port P] [--tls]
                               [--noranges] [--wine build/win64/bin/zpvfetch.exe]
It starts an nginx of its own (same settings as tools/services.sh) on 127.0.0.1:P (default 18461)
and, for --tls, the same files over TLS on P+1 with the test PKI of tools/test-certs.sh: both
clients then fetch https:// and trust the test root through their CA-file options.
--noranges serves without byte ranges (nginx's max_ranges 0: every answer is 200 and the whole
file), so that both clients fetch over one connection.
--wine also times that Windows build of zpvfetch under wine64 (absolute figures, no peer); over
TLS it needs the test root in the build's Wine prefix (tools/wine-prefix.sh)."""
import hashlib
import resource
import os
import shutil
import statistics
import subprocess
import sys
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
tls = "--tls" in sys.argv
noranges = "--noranges" in sys.argv
# Targets: the full attempt at most 0.65 of the peers' time in the same run (over TLS, where
# both sides decrypt, and without ranges, where both fetch over one connection, at most the
# peers' time), and at most 8 MiB of resident memory whatever the package size.
TARGET_RATIO = 1.0 if tls or noranges else 0.65
TARGET_RSS_KIB = 8192


def option(name, default):
    return sys.argv[sys.argv.index(name) + 1] if name in sys.argv else default


positional = [a for i, a in enumerate(sys.argv[1:], 1)
              if not a.startswith("--") and sys.argv[i - 1] not in ("--runs", "--port", "--wine")]
tool = positional[0] if positional else os.path.join(root, "build/native/bin/zpvfetch")
runs = int(option("--runs", "9"))
port = int(option("--port", "18461"))
wine_tool = option("--wine", None)
certs = None
if tls:
    certs = subprocess.run(["bash", os.path.join(root, "tools/test-certs.sh")], check=True,
                           capture_output=True, text=True).stdout.strip()
work = os.path.join(root, "build/bench-download")
www = os.path.join(work, "www")
out = os.path.join(work, "out")
os.makedirs(www, exist_ok=True)
os.makedirs(os.path.join(work, "nginx-tmp"), exist_ok=True)


def start_nginx():
    conf = os.path.join(work, "nginx.conf")
    tmp = os.path.join(work, "nginx-tmp")
    with open(conf, "w") as f:
        f.write("""worker_processes 2;
pid %(w)s/nginx.pid;
error_log %(w)s/nginx-error.log;
daemon on;
user root;
events { worker_connections 256; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path %(t)s; proxy_temp_path %(t)s; fastcgi_temp_path %(t)s;
  uwsgi_temp_path %(t)s; scgi_temp_path %(t)s;
  types { application/zip zip; }
  default_type application/octet-stream;
  %(ranges)s
  server { listen 127.0.0.1:%(p)d; root %(r)s; }
%(tls)s}
""" % {"w": work, "t": tmp, "p": port, "r": www, "tls": tls_server(), "ranges": "max_ranges 0;" if noranges else ""})
    subprocess.run(["nginx", "-c", conf, "-p", work], check=True)


def tls_server():
    if not tls:
        return ""
    return """  server {
    listen 127.0.0.1:%d ssl;
    ssl_certificate %s/server.pem;
    ssl_certificate_key %s/server.key;
    ssl_protocols TLSv1.2 TLSv1.3;
    root %s;
  }
""" % (port + 1, certs, certs, www)


def stop_nginx():
    pidfile = os.path.join(work, "nginx.pid")
    if os.path.exists(pidfile):
        with open(pidfile) as f:
            try:
                os.kill(int(f.read().strip()), 15)
            except (ProcessLookupError, ValueError):
                pass


def make(size_mib):
    path = os.path.join(www, "pkg-%d.zip" % size_mib)
    if not os.path.exists(path) or os.path.getsize(path) != size_mib << 20:
        with open(path, "wb") as f:
            for _ in range(size_mib):
                f.write(os.urandom(1 << 20))
    md5 = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            md5.update(block)
    if tls:
        return "https://127.0.0.1:%d/pkg-%d.zip" % (port + 1, size_mib), md5.hexdigest()
    return "http://127.0.0.1:%d/pkg-%d.zip" % (port, size_mib), md5.hexdigest()


def child_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def fresh_out():
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)


def zpvfetch(url, md5, measure_rss=False):
    fresh_out()
    cmd = [tool, "-url=" + url, "-md5=" + md5, "-dir=" + out + "/", "-quiet=1"]
    if tls:
        cmd.append("-cafile=" + os.path.join(certs, "ca.pem"))
    if measure_rss:
        cmd = ["/usr/bin/time", "-f", "%M"] + cmd
    t0, c0 = time.perf_counter(), child_cpu()
    p = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    elapsed = time.perf_counter() - t0
    cpu.setdefault("zpvfetch", []).append(child_cpu() - c0)
    assert p.returncode == 0, "zpvfetch failed: %s" % p.stderr.decode()
    assert os.path.getsize(os.path.join(out, "update.zip")) > 0
    return elapsed, (int(p.stderr.split()[-1]) if measure_rss else 0)


def aria2c_md5sum(url, md5):
    fresh_out()
    t0, c0 = time.perf_counter(), child_cpu()
    ca = ["--ca-certificate=" + os.path.join(certs, "ca.pem")] if tls else []
    subprocess.run(["aria2c", "-x4", "-s4", "-k1M", "--file-allocation=none", "-q", "-d", out,
                    "-o", "pkg.zip"] + ca + [url], check=True, stdout=subprocess.DEVNULL)
    digest = subprocess.run(["md5sum", os.path.join(out, "pkg.zip")], check=True,
                            capture_output=True).stdout.split()[0].decode()
    elapsed = time.perf_counter() - t0
    cpu.setdefault("aria2c", []).append(child_cpu() - c0)
    assert digest == md5, "aria2c's file has the wrong digest"
    return elapsed


def wine_zpvfetch(url, md5):
    """One full attempt of the Windows build under wine64; wall time in seconds."""
    fresh_out()
    win_out = "Z:" + out.replace("/", "\\") + "\\"
    t0 = time.perf_counter()
    p = subprocess.run([os.path.join(root, "tools/wine-run"), wine_tool, "-url=" + url, "-md5=" + md5,
                        "-dir=" + win_out, "-quiet=1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - t0
    assert p.returncode == 0, "zpvfetch.exe failed: %s" % p.stdout.decode(errors="replace")[-500:]
    return elapsed


def wine_figures(url, md5):
    subprocess.run(["bash", os.path.join(root, "tools/wine-prefix.sh")], check=True)
    wine_zpvfetch(url, md5)   # warm-up: Wine's own start-up files in the page cache
    times = [wine_zpvfetch(url, md5) for _ in range(max(3, runs // 3))]
    print("  %s under wine64: median %.3f s, min %.3f s (%d runs; Wine start-up included)"
          % (os.path.basename(wine_tool), statistics.median(times), min(times), len(times)))


cpu = {}
stop_nginx()   # one left over by an interrupted run
time.sleep(0.3)
start_nginx()
try:
    url, md5 = make(256)
    zpvfetch(url, md5)
    aria2c_md5sum(url, md5)   # warm-up: source file in the page cache
    ours, theirs = [], []
    cpu.clear()
    for i in range(runs):
        if i % 2 == 0:
            ours.append(zpvfetch(url, md5)[0])
            theirs.append(aria2c_md5sum(url, md5))
        else:
            theirs.append(aria2c_md5sum(url, md5))
            ours.append(zpvfetch(url, md5)[0])
    print("256 MiB package from nginx on loopback%s%s, %d alternating runs each"
          % (" over TLS" if tls else "", " without byte ranges" if noranges else "", runs))
    print("  zpvfetch        : median %.3f s, min %.3f s" % (statistics.median(ours), min(ours)))
    print("  aria2c + md5sum : median %.3f s, min %.3f s" % (statistics.median(theirs), min(theirs)))
    ratio = statistics.median(ours) / statistics.median(theirs)
    print("  wall-time ratio zpvfetch / (aria2c + md5sum), medians: %.3f  (target <= %.2f)" % (ratio, TARGET_RATIO))
    print("  minimums ratio: %.3f" % (min(ours) / min(theirs)))
    print("  client CPU time (user+sys), medians: zpvfetch %.3f s, aria2c + md5sum %.3f s"
          % (statistics.median(cpu["zpvfetch"]), statistics.median(cpu["aria2c"])))
    rss256 = zpvfetch(url, md5, True)[1]
    url1g, md5_1g = make(1024)
    zpvfetch(url1g, md5_1g)
    rss1g = zpvfetch(url1g, md5_1g, True)[1]
    print("  zpvfetch peak RSS: %d KiB for 256 MiB, %d KiB for 1 GiB  (target <= %d KiB)" % (rss256, rss1g, TARGET_RSS_KIB))
    ok = ratio <= TARGET_RATIO and rss256 <= TARGET_RSS_KIB and rss1g <= TARGET_RSS_KIB
    if wine_tool:
        wine_figures(url, md5)
finally:
    stop_nginx()
    shutil.rmtree(out, ignore_errors=True)
sys.exit(0 if ok else 1)
