# The soak: the driver object in this process over the simulated bus,
# streamed while a seeded schedule changes the bus file.
add_library(soak_parts STATIC
  ${CMAKE_CURRENT_LIST_DIR}/soak_schedule.cpp ${CMAKE_CURRENT_LIST_DIR}/soak_verdict.cpp)
target_include_directories(soak_parts PUBLIC ${PROJECT_SOURCE_DIR})
add_executable(asio_soak ${CMAKE_CURRENT_LIST_DIR}/soak_main.cpp ${CMAKE_CURRENT_LIST_DIR}/soak_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/soak_bus.cpp)
target_link_libraries(asio_soak PRIVATE soak_parts asio_host_parts ksasio_driver ksasio_engine ksasio_devices ksasio_sim)
