# The tables library. Each table is described once in tables/definitions/<Table>.def;
# for every description the build generates a header and a source file from the
# templates in tables/generate, so a new table needs only its description file.
#
# Variables the templates see: HW_TABLE_NAME (the class, e.g. IppVttSpecialLabelValuesHwReg),
# HW_TABLE_LOWER_NAME (lower camel case, for factory names), HW_TABLE_DEFINITION
# (the description's path) and HW_TABLE_HASH (a stable 8-digit suffix of the name).
file(GLOB table_definitions CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tables/definitions/*.def)
set(generated_dir ${CMAKE_BINARY_DIR}/generated/tables)
set(generated_readers_dir ${CMAKE_BINARY_DIR}/generated/readers)
set(reader_includes "")
set(generated_sources "")
set(table_includes "")
set(field_includes "")
set(table_list "")
foreach(definition ${table_definitions})
  get_filename_component(HW_TABLE_NAME ${definition} NAME_WE)
  string(SUBSTRING ${HW_TABLE_NAME} 0 1 first_letter)
  string(SUBSTRING ${HW_TABLE_NAME} 1 -1 other_letters)
  string(TOLOWER ${first_letter} first_letter)
  set(HW_TABLE_LOWER_NAME "${first_letter}${other_letters}")
  set(HW_TABLE_DEFINITION ${definition})
  # A stable suffix for the module's type-runtime record: the start of the name's SHA-1.
  string(SHA1 name_hash ${HW_TABLE_NAME})
  string(SUBSTRING ${name_hash} 0 8 HW_TABLE_HASH)
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/Table.h.in ${generated_dir}/${HW_TABLE_NAME}.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/Table.cc.in ${generated_dir}/${HW_TABLE_NAME}.cc @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/TableFields.h.in ${generated_dir}/${HW_TABLE_NAME}Fields.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/readers/generate/Reader.h.in ${generated_readers_dir}/HwTable${HW_TABLE_NAME}Reader.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/readers/generate/Reader.cc.in ${generated_readers_dir}/HwTable${HW_TABLE_NAME}Reader.cc @ONLY)
  list(APPEND generated_sources ${generated_dir}/${HW_TABLE_NAME}.cc
       ${generated_readers_dir}/HwTable${HW_TABLE_NAME}Reader.cc)
  string(APPEND reader_includes "#include \"readers/HwTable${HW_TABLE_NAME}Reader.h\"\n")
  string(APPEND table_includes "#include \"tables/${HW_TABLE_NAME}.h\"\n")
  string(APPEND field_includes "#include \"tables/${HW_TABLE_NAME}Fields.h\"\n")
  string(APPEND table_list " \\\n  X(${HW_TABLE_NAME})")
endforeach()
file(CONFIGURE OUTPUT ${generated_dir}/AllTables.h
  CONTENT "// Generated: every table described in tables/definitions.\n#pragma once\n\n${table_includes}
// X(Class) once per table, in file-name order (the load order is each table's moduleOrder).
#define HW_FOR_EACH_TABLE(X)${table_list}\n")
file(CONFIGURE OUTPUT ${generated_readers_dir}/AllReaders.h
  CONTENT "// Generated: the reader of every table described in tables/definitions.\n#pragma once\n\n${reader_includes}")
file(CONFIGURE OUTPUT ${generated_dir}/AllTableFields.h
  CONTENT "// Generated: name-based field access of every table.\n#pragma once\n\n${field_includes}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/tables/generate/Table.h.in ${CMAKE_SOURCE_DIR}/tables/generate/Table.cc.in
  ${CMAKE_SOURCE_DIR}/tables/generate/TableFields.h.in
  ${CMAKE_SOURCE_DIR}/readers/generate/Reader.h.in ${CMAKE_SOURCE_DIR}/readers/generate/Reader.cc.in)

# The readers are built into the same library: its one static initialiser registers
# every table and every reader (tables/Modules.cc).
file(GLOB_RECURSE table_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tables/*.cc
     ${CMAKE_SOURCE_DIR}/readers/*.cc)
add_library(hwtables_tables STATIC ${table_sources} ${generated_sources})
target_link_libraries(hwtables_tables PUBLIC hwtables_options hwtables_framework hwtables_store)
