# Keeps window code out of the core library, and the folders' include arrows one
# way (app/ -> link/ -> table/, export/), so a program without a display can link
# the core and a change cannot quietly make it need one.
#
# Included by the top-level CMakeLists.txt, it adds a build step that re-checks the
# core's sources whenever one of them changes; run with -P, it is that check.

if(NOT CMAKE_SCRIPT_MODE_FILE)
  # qz_guard_core_boundary(<core target> <windows target>)
  function(qz_guard_core_boundary target windows)
    # The library itself must not link a window module.
    get_target_property(links ${target} LINK_LIBRARIES)
    foreach(lib IN LISTS links)
      if(lib MATCHES "Gui|Widgets|OpenGL|PrintSupport")
        message(FATAL_ERROR "${target} must link only Qt Core, Qt SerialPort and Qt Network, not ${lib}")
      endif()
    endforeach()

    get_target_property(sources ${target} SOURCES)
    list(FILTER sources INCLUDE REGEX "\\.(h|cpp)$")
    # The windows library's own headers, by their path from the root.
    get_target_property(window_sources ${windows} SOURCES)
    list(FILTER window_sources INCLUDE REGEX "\\.(h|cpp)$")
    set(window_headers "")
    foreach(source IN LISTS window_sources)
      file(RELATIVE_PATH rel "${CMAKE_SOURCE_DIR}" "${source}")
      if(rel MATCHES "\\.h$")
        list(APPEND window_headers "${rel}")
      endif()
    endforeach()

    set(forbidden_dirs "")
    foreach(module Gui Widgets)
      get_target_property(dirs Qt6::${module} INTERFACE_INCLUDE_DIRECTORIES)
      list(FILTER dirs INCLUDE REGEX "/Qt${module}$")
      list(APPEND forbidden_dirs ${dirs})
    endforeach()

    set(inputs "${CMAKE_BINARY_DIR}/core_boundary_inputs.cmake")
    file(WRITE "${inputs}"
      "set(QZ_ROOT [[${CMAKE_SOURCE_DIR}]])\n"
      "set(QZ_SOURCES [[${sources}]])\n"
      "set(QZ_FORBIDDEN_DIRS [[${forbidden_dirs}]])\n"
      "set(QZ_WINDOW_SOURCES [[${window_sources}]])\n"
      "set(QZ_WINDOW_HEADERS [[${window_headers}]])\n")
    set(stamp "${CMAKE_BINARY_DIR}/core_boundary.ok")
    add_custom_command(OUTPUT "${stamp}"
      COMMAND ${CMAKE_COMMAND} -DQZ_INPUTS=${inputs} -DQZ_STAMP=${stamp}
              -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      DEPENDS ${sources} ${window_sources} ${CMAKE_CURRENT_FUNCTION_LIST_FILE} "${inputs}"
      COMMENT "Checking that the core library includes no window code"
      VERBATIM)
    add_custom_target(${target}_boundary DEPENDS "${stamp}")
    add_dependencies(${target} ${target}_boundary)
  endfunction()
  return()
endif()

cmake_minimum_required(VERSION 3.22)
include("${QZ_INPUTS}")
set(problems "")
foreach(source IN LISTS QZ_SOURCES QZ_WINDOW_SOURCES)
  set(core FALSE)
  if(source IN_LIST QZ_SOURCES)
    set(core TRUE)
  endif()
  file(RELATIVE_PATH rel "${QZ_ROOT}" "${source}")
  string(REGEX MATCH "^[^/]+" folder "${rel}")
  file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]+)[>\"].*$" "\\1" name "${line}")
    set(why "")
    if(folder MATCHES "^(link|table|export)$" AND name MATCHES "^app/")
      set(why "app/ from ${folder}/ (app/ uses the other folders, never the reverse)")
    elseif(folder MATCHES "^(table|export)$" AND name MATCHES "^link/")
      set(why "link/ from ${folder}/ (the arrows point from link/ to table/, never back)")
    elseif(NOT core)
    elseif(name MATCHES "^Qt(Gui|Widgets|OpenGL[A-Za-z]*|PrintSupport)/" OR name MATCHES "^ui_")
      set(why "a window header")
    elseif(name IN_LIST QZ_WINDOW_HEADERS)
      set(why "window code")
    else()
      foreach(dir IN LISTS QZ_FORBIDDEN_DIRS)
        if(EXISTS "${dir}/${name}")
          set(why "a Qt Gui or Qt Widgets header")
        endif()
      endforeach()
    endif()
    if(why)
      list(APPEND problems "${rel} includes ${name}: ${why}")
    endif()
  endforeach()
endforeach()
if(problems)
  list(JOIN problems "\n  " text)
  message(FATAL_ERROR "The core library must build without a display, and the folders'"
                      " includes point one way:\n  ${text}")
endif()
file(TOUCH "${QZ_STAMP}")
