// The catalogue as plain data (dicts and lists) that the package makes its frozen
// catalogue objects of, and the loading of the table plug-in.
#include <pybind11/pybind11.h>

#include "framework/FieldValues.h"
#include "python/Bindings.h"
#include "python/Border.h"
#include "store/StoreFiles.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"

namespace py = pybind11;

namespace PyHwtables {
namespace {

py::dict fieldDict(Framework::FieldInfo const& field) {
  py::dict dict;
  dict["name"] = std::string(field.name);
  dict["type"] = std::string(field.typeName);
  dict["kind"] = std::string(Framework::fieldKindName(field.kind));
  dict["offset"] = field.offset;
  dict["width"] = field.width;
  if (field.kind == Framework::FieldKind::indexed) {
    dict["stride"] = field.stride;
    dict["count"] = field.count;
  }
  return dict;
}

py::dict memberDict(Framework::MemberInfo const& member) {
  py::dict dict;
  dict["memoryId"] = member.memoryId;
  dict["name"] = std::string(member.name);
  dict["block"] = member.block;
  dict["address"] = member.address;
  dict["firstArrayIndex"] = member.firstArrayIndex;
  dict["arrayCount"] = member.arrayCount;
  dict["firstEntryIndex"] = member.firstEntryIndex;
  dict["entryCount"] = member.entryCount;
  return dict;
}

py::dict tableDict(Framework::TableInfo const& info) {
  py::dict key;
  key["form"] = std::string(Framework::keyFormName(info.key.form));
  if (info.key.form == Framework::KeyForm::singleIndex) {
    key["null"] = info.key.null;
  } else {
    key["arrayIndexMin"] = info.key.arrayIndexMin;
    key["arrayIndexMax"] = info.key.arrayIndexMax;
    key["entryIndexMin"] = info.key.entryIndexMin;
    key["entryIndexMax"] = info.key.entryIndexMax;
  }
  py::list members;
  for (auto const& member : info.members) members.append(memberDict(member));
  py::list fields;
  for (auto const& field : info.fields) fields.append(fieldDict(field));
  py::dict table;
  table["className"] = std::string(info.className);
  table["fullName"] = std::string(info.fullName);
  table["hardwareName"] = std::string(info.hardwareName);
  table["descriptorName"] = std::string(info.descriptorName);
  table["kind"] = std::string(Framework::kindName(info.kind));
  table["entryBytes"] = info.entryBytes;
  table["key"] = key;
  table["members"] = members;
  table["fields"] = fields;
  table["moduleOrder"] = info.moduleOrder;
  return table;
}

py::list catalogue() {
  auto infos = translated([] {
    Tool::loadPlugins();
    return Tool::tableCatalogue();
  });
  py::list tables;
  for (auto const* info : infos) tables.append(tableDict(*info));
  return tables;
}

std::string tableName(std::string const& name) {
  return translated([&] {
    Tool::loadPlugins();
    return std::string(Tool::tableNamed(name).className);
  });
}

py::dict plugins(std::string const& directory) {
  auto const& load = translated([&]() -> Tool::PluginLoad const& {
    return Tool::loadPlugins(directory);
  });
  py::list errors;
  for (auto const& error : load.errors) errors.append(py::make_tuple(error.path, error.reason));
  py::dict result;
  result["directory"] = load.directory;
  result["errors"] = errors;
  return result;
}

}  // namespace

void defineCatalogue(py::module_& module) {
  module.def("load_plugins", &plugins, py::arg("directory") = "");
  module.def("catalogue", &catalogue);
  module.def("table_name", &tableName, py::arg("name"));
  module.def("default_root", [] { return Brell::defaultRoot(); });
}

}  // namespace PyHwtables
