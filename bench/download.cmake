# Package download: zpvfetch against aria2c + md5sum from nginx on loopback (see README.md).
# `cmake --build <dir> --target bench_download` runs it with this build's zpvfetch.
find_program(ZPV_BENCH_PYTHON python3)
if(ZPV_BENCH_PYTHON)
  add_custom_target(bench_download
    COMMAND ${ZPV_BENCH_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/download_bench.py $<TARGET_FILE:zpvfetch> --runs 9
    DEPENDS zpvfetch
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    USES_TERMINAL)
  # The same over TLS, both clients trusting the test root (build/certs/ca.pem).
  add_custom_target(bench_download_tls
    COMMAND ${ZPV_BENCH_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/download_bench.py $<TARGET_FILE:zpvfetch> --runs 9 --tls
    DEPENDS zpvfetch
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    USES_TERMINAL)
endif()
