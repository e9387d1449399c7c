# The console ASIO host (native and Windows). Its parts are a library so
# the tests can check them without a driver.
add_library(asio_host_parts STATIC
  ${CMAKE_CURRENT_LIST_DIR}/asio_host_driver.cpp ${CMAKE_CURRENT_LIST_DIR}/asio_host_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio_host_samples.cpp ${CMAKE_CURRENT_LIST_DIR}/asio_host_session.cpp
  ${CMAKE_CURRENT_LIST_DIR}/asio_host_wav.cpp)
target_include_directories(asio_host_parts PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(asio_host_parts PUBLIC ksasio_brands ksasio_base ksasio_platform)
if(WIN32)
  target_link_libraries(asio_host_parts PUBLIC ole32)
endif()
add_executable(asio_host ${CMAKE_CURRENT_LIST_DIR}/asio_host_main.cpp)
target_link_libraries(asio_host PRIVATE asio_host_parts)
