# Package download: zpvfetch against aria2c + md5sum from nginx on loopback (see README.md),
# plain and over TLS (both clients trusting the test root, build/certs/ca.pem).
zpv_bench_target(bench_download zpvfetch download_bench.py --runs 9)
zpv_bench_target(bench_download_tls zpvfetch download_bench.py --runs 9 --tls)
