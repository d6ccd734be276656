# Package archive reader: central directory, Zip64 records, names, inflate and verification.
find_package(ZLIB REQUIRED)
add_library(fuzz_extract_core STATIC
  ${ZPV_ROOT}/extract/zip_reader.cpp ${ZPV_ROOT}/extract/zip_path.cpp ${ZPV_ROOT}/extract/path_tree.cpp ${ZPV_ROOT}/extract/journal.cpp
  ${ZPV_ROOT}/app/core/utf8.cpp ${ZPV_ROOT}/extract/legacy_name_posix.cpp)
target_compile_options(fuzz_extract_core PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(fuzz_extract_core PUBLIC ZLIB::ZLIB)
zpv_add_fuzzer(fuzz_extract ${CMAKE_CURRENT_LIST_DIR}/fuzz_extract.cpp fuzz_extract_core)
# Seed archives; a fuzzer without its seeds would only test the archive framing.
find_program(ZPV_FUZZ_PYTHON python3 REQUIRED)
execute_process(COMMAND ${ZPV_FUZZ_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/extract_seeds.py
                ${CMAKE_BINARY_DIR}/corpus/fuzz_extract
                RESULT_VARIABLE _zpv_seed_result)
if(NOT _zpv_seed_result EQUAL 0)
  message(FATAL_ERROR "fuzz seed generation failed (${_zpv_seed_result})")
endif()
