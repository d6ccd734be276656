# Package archive reader: central directory, Zip64 records, names, inflate and verification.
zpv_add_fuzzer(fuzz_extract ${CMAKE_CURRENT_LIST_DIR}/fuzz_extract.cpp zpv_extract_core)
# Seed archives; a fuzzer without its seeds would only test the archive framing.
find_program(ZPV_FUZZ_PYTHON python3 REQUIRED)
execute_process(COMMAND ${ZPV_FUZZ_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/extract_seeds.py
                ${CMAKE_BINARY_DIR}/corpus/fuzz_extract
                RESULT_VARIABLE _zpv_seed_result)
if(NOT _zpv_seed_result EQUAL 0)
  message(FATAL_ERROR "fuzz seed generation failed (${_zpv_seed_result})")
endif()
