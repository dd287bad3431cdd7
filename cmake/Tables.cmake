# The tables library. Each table is described once in tables/definitions/<Table>.def;
# for every description the build generates a header and a source file from the
# templates in tables/generate, so a new table needs only its description file.
#
# Variables the templates see: HW_TABLE_NAME (the class, e.g. IppVttSpecialLabelValuesHwReg),
# HW_TABLE_LOWER_NAME (lower camel case, for factory names), HW_TABLE_DEFINITION
# (the description's path below the source tree, which is on the include path: no
# generated file names where the checkout lies, so that ccache serves every checkout
# from one cache) and HW_TABLE_HASH (a stable 8-digit suffix of the name).
file(GLOB table_definitions CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tables/definitions/*.def)
set(generated_dir ${CMAKE_BINARY_DIR}/generated/tables)
set(generated_readers_dir ${CMAKE_BINARY_DIR}/generated/readers)
set(generated_modules_dir ${CMAKE_BINARY_DIR}/generated/modules)
set(reader_includes "")
set(generated_sources "")
set(table_includes "")
set(field_includes "")
set(table_list "")
set(module_maker_declarations "")
set(module_maker_list "")
foreach(definition ${table_definitions})
  get_filename_component(HW_TABLE_NAME ${definition} NAME_WE)
  string(SUBSTRING ${HW_TABLE_NAME} 0 1 first_letter)
  string(SUBSTRING ${HW_TABLE_NAME} 1 -1 other_letters)
  string(TOLOWER ${first_letter} first_letter)
  set(HW_TABLE_LOWER_NAME "${first_letter}${other_letters}")
  file(RELATIVE_PATH HW_TABLE_DEFINITION ${CMAKE_SOURCE_DIR} ${definition})
  # A stable suffix for the module's type-runtime record: the start of the name's SHA-1.
  string(SHA1 name_hash ${HW_TABLE_NAME})
  string(SUBSTRING ${name_hash} 0 8 HW_TABLE_HASH)
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/Table.h.in ${generated_dir}/${HW_TABLE_NAME}.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/Table.cc.in ${generated_dir}/${HW_TABLE_NAME}.cc @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/tables/generate/TableFields.h.in ${generated_dir}/${HW_TABLE_NAME}Fields.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/readers/generate/Reader.h.in ${generated_readers_dir}/HwTable${HW_TABLE_NAME}Reader.h @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/readers/generate/Reader.cc.in ${generated_readers_dir}/HwTable${HW_TABLE_NAME}Reader.cc @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/modules/generate/Module.cc.in ${generated_modules_dir}/${HW_TABLE_NAME}Module.cc @ONLY)
  list(APPEND generated_sources ${generated_dir}/${HW_TABLE_NAME}.cc ${generated_modules_dir}/${HW_TABLE_NAME}Module.cc
       ${generated_readers_dir}/HwTable${HW_TABLE_NAME}Reader.cc)
  string(APPEND reader_includes "#include \"readers/HwTable${HW_TABLE_NAME}Reader.h\"\n")
  string(APPEND table_includes "#include \"tables/${HW_TABLE_NAME}.h\"\n")
  string(APPEND field_includes "#include \"tables/${HW_TABLE_NAME}Fields.h\"\n")
  string(APPEND table_list " \\\n  X(${HW_TABLE_NAME})")
  string(APPEND module_maker_declarations "ModuleMaker ${HW_TABLE_LOWER_NAME}ModuleMaker();\n")
  string(APPEND module_maker_list " \\\n  X(${HW_TABLE_LOWER_NAME})")
endforeach()
file(CONFIGURE OUTPUT ${generated_dir}/AllTables.h
  CONTENT "// Generated: every table described in tables/definitions.\n#pragma once\n\n${table_includes}
// X(Class) once per table, in file-name order (the load order is each table's moduleOrder).
#define HW_FOR_EACH_TABLE(X)${table_list}\n")
file(CONFIGURE OUTPUT ${generated_modules_dir}/AllModuleMakers.h
  CONTENT "// Generated: the module maker of every table described in tables/definitions,\n// each defined in the table's own unit (<Table>Module.cc).\n#pragma once\n\n#include \"modules/ModuleMaker.h\"\n\nnamespace bcm88490_a0 {\n\n${module_maker_declarations}\n}  // namespace bcm88490_a0\n\n// X(lowerName) once per table.\n#define HW_FOR_EACH_MODULE_MAKER(X)${module_maker_list}\n")
file(CONFIGURE OUTPUT ${generated_readers_dir}/AllReaders.h
  CONTENT "// Generated: the reader of every table described in tables/definitions.\n#pragma once\n\n${reader_includes}")
file(CONFIGURE OUTPUT ${generated_dir}/AllTableFields.h
  CONTENT "// Generated: name-based field access of every table.\n#pragma once\n\n${field_includes}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${CMAKE_SOURCE_DIR}/tables/generate/Table.h.in ${CMAKE_SOURCE_DIR}/tables/generate/Table.cc.in
  ${CMAKE_SOURCE_DIR}/tables/generate/TableFields.h.in ${CMAKE_SOURCE_DIR}/modules/generate/Module.cc.in
  ${CMAKE_SOURCE_DIR}/readers/generate/Reader.h.in ${CMAKE_SOURCE_DIR}/readers/generate/Reader.cc.in)

# The readers are built with the tables; one place sets every table and reader up
# (modules/Modules.cc). The objects are compiled once and make both the plug-in (a
# module loaded with dlopen: no `lib` prefix, nothing exported but its marker and its
# entries; the directory calls its register entry, modules/entry/PluginEntry.cc) and a
# static library for programs that use the tables' types directly, which sets them up
# when the program starts (modules/entry/LinkedModules.cc).
file(GLOB_RECURSE table_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tables/*.cc
     ${CMAKE_SOURCE_DIR}/readers/*.cc ${CMAKE_SOURCE_DIR}/modules/*.cc)
list(FILTER table_sources EXCLUDE REGEX "/modules/entry/")
add_library(hwtables_table_objects OBJECT ${table_sources} ${generated_sources})
target_link_libraries(hwtables_table_objects PUBLIC hwtables_options hwtables_platform hwtables_store)
target_compile_definitions(hwtables_table_objects PRIVATE HWTABLES_VERSION="${PROJECT_VERSION}")
# The Debug build compiles each kind of generated unit as one batch (cmake/Batches.cmake):
# the tables', the modules' and the readers'. Never a table's unit with its module's:
# the table's unit instantiates what its module's unit declares extern.
foreach(kind tables modules readers)
  set(members ${generated_sources})
  list(FILTER members INCLUDE REGEX "/generated/${kind}/[^/]*\\.cc$")
  hwtables_batch(hwtables_table_objects generated-${kind} debug ${members})
endforeach()

add_library(hwtables_tables STATIC $<TARGET_OBJECTS:hwtables_table_objects>
            ${CMAKE_SOURCE_DIR}/modules/entry/LinkedModules.cc)
target_link_libraries(hwtables_tables PUBLIC hwtables_options hwtables_platform hwtables_store)

add_library(hwtables_plugin MODULE $<TARGET_OBJECTS:hwtables_table_objects>
            ${CMAKE_SOURCE_DIR}/modules/entry/PluginEntry.cc)
target_compile_definitions(hwtables_plugin PRIVATE HWTABLES_VERSION="${PROJECT_VERSION}")
target_link_libraries(hwtables_plugin PRIVATE hwtables_options hwtables_platform hwtables_store)
set_target_properties(hwtables_plugin PROPERTIES
  PREFIX "" OUTPUT_NAME hwtables-bcm88490_a0
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib/${HWTABLES_PLUGIN_SUBDIR}
  # From <libdir>/hwtables/plugins back to <libdir>.
  INSTALL_RPATH "$ORIGIN/../..")
target_link_options(hwtables_plugin PRIVATE -Wl,-soname,hwtables-bcm88490_a0.so.${HWTABLES_SOVERSION})
if(NOT HWTABLES_SANITIZE AND NOT HWTABLES_FUZZ AND NOT HWTABLES_TSAN)
  # Every symbol the plug-in uses comes from the libraries it links (the sanitizers'
  # come from the program's runtime, so not there).
  target_link_options(hwtables_plugin PRIVATE -Wl,--no-undefined)
endif()
