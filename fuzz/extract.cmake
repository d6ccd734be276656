# Package archive reader: central directory, Zip64 records, names, inflate and verification.
find_package(ZLIB REQUIRED)
add_library(fuzz_extract_core STATIC
  ${ZPV_ROOT}/extract/zip_reader.cpp ${ZPV_ROOT}/extract/zip_path.cpp ${ZPV_ROOT}/extract/path_tree.cpp ${ZPV_ROOT}/extract/journal.cpp
  ${ZPV_ROOT}/extract/text_utf8.cpp ${ZPV_ROOT}/extract/codepage_posix.cpp)
target_compile_options(fuzz_extract_core PRIVATE -fsanitize=fuzzer-no-link)
target_link_libraries(fuzz_extract_core PUBLIC ZLIB::ZLIB)
zpv_add_fuzzer(fuzz_extract ${CMAKE_CURRENT_LIST_DIR}/fuzz_extract.cpp fuzz_extract_core)
find_program(ZPV_FUZZ_PYTHON python3)
if(ZPV_FUZZ_PYTHON)
  execute_process(COMMAND ${ZPV_FUZZ_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/extract_seeds.py
                  ${CMAKE_BINARY_DIR}/corpus/fuzz_extract)
endif()
