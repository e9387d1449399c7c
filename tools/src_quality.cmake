# The sample-rate converter quality report (native and Windows).
add_executable(src_quality ${CMAKE_CURRENT_LIST_DIR}/src_quality.cpp)
target_link_libraries(src_quality PRIVATE ksasio_src)
