# Small helpers so that a new unit or test file needs no edit of any CMakeLists:
# every folder's sources are globbed (CONFIGURE_DEPENDS re-globs on the next build).

# cw_glob_sources(<out> <dir>...): every .cpp/.c/.rc directly in the folders.
function(cw_glob_sources out)
  set(files)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.c ${dir}/*.rc)
    list(APPEND files ${found})
  endforeach()
  set(${out} ${files} PARENT_SCOPE)
endfunction()

# cw_static_library(<name> DIRS <dir>... [EXCLUDE <file name>...] [LIBS <lib>...])
# A folder with no sources yet gives an interface target, so dependants link either way.
function(cw_static_library name)
  cmake_parse_arguments(A "" "" "DIRS;EXCLUDE;LIBS" ${ARGN})
  cw_glob_sources(files ${A_DIRS})
  foreach(ex ${A_EXCLUDE})
    list(FILTER files EXCLUDE REGEX "/${ex}$")
  endforeach()
  if(files)
    add_library(${name} STATIC ${files})
    target_link_libraries(${name} PUBLIC cw_options ${A_LIBS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE cw_options ${A_LIBS})
  endif()
endfunction()

# cw_test_executable(<name> DIRS <dir>... LIBS <lib>...): one test program per subsystem,
# run by CTest through Wine. Skipped while its folders hold no tests.
function(cw_test_executable name)
  cmake_parse_arguments(A "" "TIMEOUT" "DIRS;LIBS" ${ARGN})
  cw_glob_sources(files ${A_DIRS})
  if(NOT files)
    return()
  endif()
  add_executable(${name} ${files})
  target_link_libraries(${name} PRIVATE cw_test_support ${A_LIBS} cw_options)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 1800)
  endif()
  add_test(NAME ${name} COMMAND ${name} --gtest_color=no)
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT}
    ENVIRONMENT "CALDERWISP_WINEPREFIX=${CW_WINEPREFIX}")
  add_dependencies(cw_tests ${name})
endfunction()
