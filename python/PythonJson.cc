#include "python/PythonJson.h"

namespace PyHwtables {

namespace py = pybind11;

namespace {

py::object text(std::string const& value) {
  PyObject* object = PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()),
                                          "replace");
  if (!object) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(object);
}

template <typename Json>
py::object convert(Json const& document) {
  switch (document.type()) {
    case nlohmann::json::value_t::object: {
      py::dict dict;
      for (auto const& [name, value] : document.items()) dict[text(name)] = convert(value);
      return dict;
    }
    case nlohmann::json::value_t::array: {
      py::list list(document.size());
      std::size_t index = 0;
      for (auto const& value : document) list[index++] = convert(value);
      return list;
    }
    case nlohmann::json::value_t::string:
      return text(document.template get_ref<std::string const&>());
    case nlohmann::json::value_t::boolean:
      return py::bool_(document.template get<bool>());
    case nlohmann::json::value_t::number_unsigned:
      return py::int_(document.template get<std::uint64_t>());
    case nlohmann::json::value_t::number_integer:
      return py::int_(document.template get<std::int64_t>());
    case nlohmann::json::value_t::number_float:
      return py::float_(document.template get<double>());
    default:
      return py::none();
  }
}

}  // namespace

py::object toPython(nlohmann::ordered_json const& document) {
  return convert(document);
}

py::object toPython(nlohmann::json const& document) {
  return convert(document);
}

}  // namespace PyHwtables
