add_executable(md5_bench ${CMAKE_CURRENT_LIST_DIR}/md5_bench.cpp)
target_link_libraries(md5_bench PRIVATE zpv_download)
