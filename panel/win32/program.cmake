# The Windows program vexaasioconfig.exe (the brand names it): the dialog's
# Win32 view over ksasio_panel, with its resource script. Its pictures are
# made at build time from the pixel art in panel/art/ by a small tool built
# for the build machine.
enable_language(RC)

set(_art ${CMAKE_CURRENT_SOURCE_DIR}/art)
set(_out ${CMAKE_CURRENT_BINARY_DIR}/art)
find_program(KSASIO_HOST_CXX NAMES c++ g++ clang++ REQUIRED
  DOC "C++ compiler of the build machine, for the tool that makes the dialog's pictures")
add_custom_command(OUTPUT ${_out}/make_art
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
  COMMAND ${KSASIO_HOST_CXX} -std=c++17 -O1 -Wall -Wextra -o ${_out}/make_art ${_art}/make_art.cpp
  DEPENDS ${_art}/make_art.cpp
  COMMENT "Building the picture tool for the build machine")
set(_pictures)
foreach(picture "bitmap logo logo.bmp" "mask logo logo_mask.bmp" "bitmap removal_mark removal_mark.bmp"
                "icon icon_large icon_large.ico" "icon icon_small icon_small.ico")
  separate_arguments(picture)
  list(GET picture 0 _kind)
  list(GET picture 1 _source)
  list(GET picture 2 _file)
  add_custom_command(OUTPUT ${_out}/${_file}
    COMMAND ${_out}/make_art ${_kind} ${_art}/${_source}.art ${_out}/${_file}
    DEPENDS ${_out}/make_art ${_art}/${_source}.art
    COMMENT "Drawing ${_file}")
  list(APPEND _pictures ${_out}/${_file})
endforeach()
add_custom_target(ksasio_panel_pictures DEPENDS ${_pictures})

string(TOLOWER "${BRAND}asioconfig" _program)
add_executable(ksasio_panel_program WIN32
  ${CMAKE_CURRENT_SOURCE_DIR}/win32/panel_main.cpp ${CMAKE_CURRENT_SOURCE_DIR}/win32/win32_panel_view.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/win32/win32_panel_painting.cpp ${CMAKE_CURRENT_SOURCE_DIR}/win32/panel.rc)
add_dependencies(ksasio_panel_program ksasio_panel_pictures)
# windres finds the pictures and the manifest through the include folders.
target_include_directories(ksasio_panel_program PRIVATE ${_out} ${CMAKE_CURRENT_SOURCE_DIR}/win32)
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/win32/panel.rc PROPERTIES
  OBJECT_DEPENDS "${_pictures};${CMAKE_CURRENT_SOURCE_DIR}/win32/panel.manifest;${CMAKE_CURRENT_SOURCE_DIR}/win32/panel_resource_ids.h")
target_link_libraries(ksasio_panel_program PRIVATE ksasio_panel comctl32 gdi32 user32)
set_target_properties(ksasio_panel_program PROPERTIES OUTPUT_NAME ${_program})
