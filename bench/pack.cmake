# Packing and checking a release: zpvpack against zip -9, 7z and unzip -t (see README.md).
zpv_bench_target(bench_pack zpvpack pack_bench.py --rounds 5)
