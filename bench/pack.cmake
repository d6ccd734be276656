# Packing and checking a release: zpvpack against zip -9, 7z and unzip -t (see README.md).
# `cmake --build <dir> --target bench_pack` runs it with this build's zpvpack.
find_program(ZPV_BENCH_PYTHON python3)
if(ZPV_BENCH_PYTHON)
  add_custom_target(bench_pack
    COMMAND ${ZPV_BENCH_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/pack_bench.py $<TARGET_FILE:zpvpack> --rounds 5
    DEPENDS zpvpack
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    USES_TERMINAL)
endif()
