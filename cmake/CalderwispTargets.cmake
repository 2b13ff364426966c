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

# The time-scale factor of every test wait and time limit: a slow machine sets
# CW_TEST_TIME_SCALE (the run scripts configure on every run, so the value in force is the one read).
# The same reading as the tests' own (tests/support/TestTimeScale.h): a whole number >= 1, else 1.
set(CW_TEST_TIME_SCALE "$ENV{CW_TEST_TIME_SCALE}")
if(NOT CW_TEST_TIME_SCALE MATCHES "^[0-9]+$")
  set(CW_TEST_TIME_SCALE 1)
elseif(CW_TEST_TIME_SCALE MATCHES "^0*[1-9][0-9][0-9][0-9][0-9][0-9]+$")
  set(CW_TEST_TIME_SCALE 100000)
elseif(CW_TEST_TIME_SCALE LESS 1)
  set(CW_TEST_TIME_SCALE 1)
endif()
math(EXPR CW_TEST_TIME_SCALE "${CW_TEST_TIME_SCALE}")  # "03" -> 3

# cw_test_executable(<name> DIRS <dir>... LIBS <lib>... [TIMEOUT <seconds>]): one test program
# per subsystem, run by CTest through Wine as one entry per GoogleTest suite, so a hang costs one
# suite and suites spread over the cores. The suites are read from the sources (TEST, TEST_F and
# TEST_P lines). TIMEOUT is a suite's limit before scaling (default 300 s).
# Skipped while its folders hold no tests.
function(cw_test_executable name)
  cmake_parse_arguments(A "" "TIMEOUT" "DIRS;LIBS" ${ARGN})
  cw_glob_sources(files ${A_DIRS})
  if(NOT files)
    return()
  endif()
  add_executable(${name} ${files})
  target_link_libraries(${name} PRIVATE cw_test_support ${A_LIBS} cw_options)
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  math(EXPR timeout "${A_TIMEOUT} * ${CW_TEST_TIME_SCALE}")
  set(suites)
  foreach(file ${files})
    file(STRINGS ${file} lines REGEX "^[ \t]*TEST(_F|_P)?\\([ \t]*[A-Za-z0-9_]+")
    foreach(line ${lines})
      string(REGEX REPLACE "^[ \t]*TEST(_F|_P)?\\([ \t]*([A-Za-z0-9_]+).*" "\\2" suite "${line}")
      list(APPEND suites ${suite})
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES suites)
  foreach(suite ${suites})
    add_test(NAME ${name}.${suite}
             COMMAND ${name} --gtest_color=no "--gtest_filter=${suite}.*:*/${suite}.*:${suite}/*")
    set_tests_properties(${name}.${suite} PROPERTIES TIMEOUT ${timeout}
      ENVIRONMENT "CALDERWISP_WINEPREFIX=${CW_WINEPREFIX};CW_TEST_TIME_SCALE=${CW_TEST_TIME_SCALE}")
  endforeach()
  add_dependencies(cw_tests ${name})
endfunction()
