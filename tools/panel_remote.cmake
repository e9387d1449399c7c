# panel_remote (Windows): drives a running settings dialog by script, for
# the dialog's tests under Wine and the demo's screenshot. Its parts are a
# library so the dialog tests can use them too.
if(WIN32)
  add_library(panel_remote_parts STATIC ${CMAKE_CURRENT_LIST_DIR}/panel_remote.cpp ${CMAKE_CURRENT_LIST_DIR}/png_file.cpp)
  target_include_directories(panel_remote_parts PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(panel_remote_parts PUBLIC comctl32 gdi32 user32)
  add_executable(panel_remote ${CMAKE_CURRENT_LIST_DIR}/panel_remote_main.cpp)
  target_link_libraries(panel_remote PRIVATE panel_remote_parts)
endif()
