# Compiles a library's small units in batches of eight, each batch one unit that
# includes them (a "unity" build), so the headers they share are parsed and their
# inline code optimised once per batch instead of once per file.
#
# CMake's own UNITY_BUILD names each source by its absolute path, which would put the
# checkout's place into every batch and keep ccache from serving a second clone; the
# batches here name them below the source tree, which is on the include path.
# A file that cannot share a unit with its neighbours (a name in an anonymous
# namespace met twice) is a compile error in the batch, not a silent change.
#
# Only optimised builds batch: a debug or sanitizer build compiles file by file, as
# the tests and the debugger meet them.
function(hwtables_unity_batches out_var batch_name)
  set(sources ${ARGN})
  if(NOT CMAKE_BUILD_TYPE MATCHES "^(RelWithDebInfo|Release)$" OR NOT HWTABLES_UNITY)
    set(${out_var} ${sources} PARENT_SCOPE)
    return()
  endif()
  set(batches "")
  set(batch "")
  set(count 0)
  set(index 0)
  list(LENGTH sources total)
  foreach(source ${sources})
    file(RELATIVE_PATH relative ${CMAKE_SOURCE_DIR} ${source})
    string(APPEND batch "#include \"${relative}\"\n")
    math(EXPR count "${count} + 1")
    math(EXPR total "${total} - 1")
    if(count EQUAL 8 OR total EQUAL 0)
      set(file ${CMAKE_BINARY_DIR}/unity/${batch_name}_${index}.cc)
      file(CONFIGURE OUTPUT ${file} CONTENT "// Generated: a batch of ${batch_name}'s units (cmake/UnityBatches.cmake).\n${batch}")
      list(APPEND batches ${file})
      set(batch "")
      set(count 0)
      math(EXPR index "${index} + 1")
    endif()
  endforeach()
  set(${out_var} ${batches} PARENT_SCOPE)
endfunction()
