# The tables library. Each table is described once in tables/definitions/<Table>.def;
# for every description the build generates a header and a source file from the
# templates in tables/generate, so a new table needs only its description file.
file(GLOB table_definitions CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tables/definitions/*.def)
set(generated_dir ${CMAKE_BINARY_DIR}/generated/tables)
set(generated_sources "")
set(table_list "")
foreach(definition ${table_definitions})
  get_filename_component(HW_TABLE_NAME ${definition} NAME_WE)
  set(HW_TABLE_DEFINITION ${definition})
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/Table.h.in ${generated_dir}/${HW_TABLE_NAME}.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/Table.cc.in ${generated_dir}/${HW_TABLE_NAME}.cc @ONLY)
  list(APPEND generated_sources ${generated_dir}/${HW_TABLE_NAME}.cc)
  string(APPEND table_list "#include \"tables/${HW_TABLE_NAME}.h\"\n")
endforeach()
file(CONFIGURE OUTPUT ${generated_dir}/AllTables.h
  CONTENT "// Generated: every table description of tables/definitions.\n#pragma once\n${table_list}")

file(GLOB_RECURSE table_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tables/*.cc)
if(table_sources OR generated_sources)
  add_library(hwtables_tables STATIC ${table_sources} ${generated_sources})
  target_link_libraries(hwtables_tables PUBLIC hwtables_options hwtables_framework hwtables_store)
else()
  add_library(hwtables_tables INTERFACE)
  target_link_libraries(hwtables_tables INTERFACE hwtables_options hwtables_framework hwtables_store)
endif()
