# Packed debug information for stack traces, written after linking by tools/mkddbg.py from the
# module's DWARF line table and symbols (host Python 3 and the toolchain's binutils).

find_program(DGN_PYTHON3 NAMES python3 REQUIRED)
get_filename_component(_dgn_cxx_dir ${CMAKE_CXX_COMPILER} DIRECTORY)
set(_dgn_prefix i686-w64-mingw32-)
find_program(DGN_OBJDUMP NAMES ${_dgn_prefix}objdump HINTS ${_dgn_cxx_dir} REQUIRED)
find_program(DGN_NM NAMES ${_dgn_prefix}nm HINTS ${_dgn_cxx_dir} REQUIRED)
find_program(DGN_CXXFILT NAMES ${_dgn_prefix}c++filt HINTS ${_dgn_cxx_dir} REQUIRED)
find_program(DGN_OBJCOPY NAMES ${_dgn_prefix}objcopy HINTS ${_dgn_cxx_dir} REQUIRED)
set(DGN_MKDDBG ${CMAKE_SOURCE_DIR}/tools/mkddbg.py CACHE INTERNAL "")
set(DGN_MKDDBG_TOOLS --objdump ${DGN_OBJDUMP} --nm ${DGN_NM} --cxxfilt ${DGN_CXXFILT}
    --objcopy ${DGN_OBJCOPY} CACHE INTERNAL "")

# dgn_add_debug_info(<target> [SECTION] [OUTPUT <path>])
# After every link of <target> (which must be defined in the calling folder): a ".ddbg" file
# beside the module, or with SECTION a "DGNDEBUG" section inside it (inside a copy when OUTPUT
# names one).
function(dgn_add_debug_info target)
  cmake_parse_arguments(A "SECTION" "OUTPUT" "" ${ARGN})
  set(args ${DGN_MKDDBG_TOOLS})
  if(A_SECTION)
    list(APPEND args --section)
  endif()
  if(A_OUTPUT)
    list(APPEND args --output ${A_OUTPUT})
  endif()
  # A changed tool relinks the module, so the step runs again.
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${DGN_MKDDBG})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${DGN_PYTHON3} ${DGN_MKDDBG} ${args} $<TARGET_FILE:${target}>
    COMMENT "Debug information for ${target}" VERBATIM)
endfunction()

# dgn_add_debug_file(<target>...): a ".ddbg" file beside each listed module that exists, from a
# target of its own, so it works for modules defined in any folder.
function(dgn_add_debug_file)
  foreach(target ${ARGN})
    if(NOT TARGET ${target})
      continue()
    endif()
    set(out ${CW_BIN}/${target}.ddbg)
    add_custom_command(OUTPUT ${out}
      COMMAND ${DGN_PYTHON3} ${DGN_MKDDBG} ${DGN_MKDDBG_TOOLS} --output ${out} $<TARGET_FILE:${target}>
      DEPENDS ${target} ${DGN_MKDDBG}
      COMMENT "Debug information for ${target}" VERBATIM)
    add_custom_target(${target}_ddbg ALL DEPENDS ${out})
  endforeach()
endfunction()

# The test program of the diagnostics library and the benchmarks read their own traces.
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL dgn_add_debug_file test_dgn cw_bench)
