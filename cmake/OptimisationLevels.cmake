# Which units an optimised build (RelWithDebInfo, Release) compiles at -O1 instead of
# -O2: those no user waits on, where the optimiser's time buys nothing. GCC spends a
# third less on such a unit at -O1 (docs/building.md has the figures). Everything not
# named here stays at -O2; debug builds are untouched.
#
#   the tables' module units   (generated/modules/<Table>Module.cc) register a table
#                              and describe its types to the type runtime, once per
#                              load; they also hold the table's audit and its stores'
#                              opening and walk by type, which the Python package's
#                              show times (its walk and show did not move: docs/building.md).
#   the tool's command units   parse options, open things once and print. Its units on
#                              the Python package's paths (a get through an agent, a
#                              show of a shadow: bench/python_bench.py) stay at -O2.
#   the test programs' units   run once a build; no benchmark runs through them.
#
# Before naming a unit here, find which benchmark's loop runs through it (make bench)
# and compare the benches' figures before and after in one run.
set(hwtables_size_level $<$<CONFIG:RelWithDebInfo,Release>:-O1>)

set(hwtables_module_units ${generated_sources})
list(FILTER hwtables_module_units INCLUDE REGEX "/generated/modules/[^/]*Module\\.cc$")
set_source_files_properties(${hwtables_module_units} TARGET_DIRECTORY hwtables_table_objects
  PROPERTIES COMPILE_OPTIONS ${hwtables_size_level})

# The tool's units on the Python package's get and show stay at -O2: the tool's `speed`
# batch, hwtables_tool_speed_units (tools/hwtables/CMakeLists.txt).
# A batch (cmake/Batches.cmake) takes its members' level, which they must share.
get_target_property(hwtables_tool_units hwtables_tool SOURCES)
set(hwtables_tool_size_units "")
foreach(unit ${hwtables_tool_units})
  get_source_file_property(members ${unit} TARGET_DIRECTORY hwtables_tool HWTABLES_BATCH_MEMBERS)
  if(NOT members)
    set(members ${unit})
  endif()
  set(speed_members "")
  foreach(member ${members})
    get_filename_component(member_name ${member} NAME)
    if(member_name IN_LIST hwtables_tool_speed_units)
      list(APPEND speed_members ${member_name})
    endif()
  endforeach()
  list(LENGTH members member_count)
  list(LENGTH speed_members speed_count)
  if(speed_count EQUAL 0)
    list(APPEND hwtables_tool_size_units ${unit})
  elseif(NOT speed_count EQUAL member_count)
    message(FATAL_ERROR "${unit} batches units kept at -O2 (${speed_members}) with units at -O1")
  endif()
endforeach()
set_source_files_properties(${hwtables_tool_size_units} TARGET_DIRECTORY hwtables_tool
  PROPERTIES COMPILE_OPTIONS ${hwtables_size_level})
set_source_files_properties(${CMAKE_SOURCE_DIR}/tools/hwtables/main.cc TARGET_DIRECTORY hwtables
  PROPERTIES COMPILE_OPTIONS ${hwtables_size_level})

get_directory_property(hwtables_test_targets DIRECTORY ${CMAKE_SOURCE_DIR}/tests
  BUILDSYSTEM_TARGETS)
list(FILTER hwtables_test_targets INCLUDE REGEX "^(test_|hwtables_test_runner$)")
foreach(target ${hwtables_test_targets})
  target_compile_options(${target} PRIVATE ${hwtables_size_level})
endforeach()
