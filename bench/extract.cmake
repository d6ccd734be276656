# Extraction speed against the unzip tool: the extractor core behind a small command line.
add_executable(zpv_extract_cli ${CMAKE_CURRENT_LIST_DIR}/extract_cli.cpp)
target_link_libraries(zpv_extract_cli PRIVATE zpv_extract_core)
