#include "python/Border.h"

#include <fmt/format.h>

#include "store/StoreFiles.h"
#include "tools/hwtables/AgentSession.h"

namespace py = pybind11;

namespace PyHwtables {

void raise(std::string_view kind, std::string const& message, std::string const& detail,
           py::object reply) {
  py::module_::import("hwtables._errors")
      .attr("_raise")(std::string(kind), message, detail, std::move(reply));
  throw py::error_already_set();  // _raise always raises
}

std::string word(std::string const& text, std::string_view what) {
  auto words = Tool::commandWords(text);
  if (words.size() != 1 || words.front() != text) {
    raise("usage", fmt::format("{} '{}' is not one word", what, Tool::shown(text)));
  }
  return text;
}

std::string numberWord(py::handle value, std::string_view what) {
  // A bool is an int to Python, but True for a FAP id or an index is a mistake in
  // the caller's arguments, not the number 1: refused, as the shadow readers do.
  if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) {
    auto text = py::str(value).cast<std::string>();
    if (text.starts_with('-')) raise("range", fmt::format("{} {} is below 0", what, text));
    return text;
  }
  if (py::isinstance<py::str>(value)) return word(value.cast<std::string>(), what);
  raise("usage", fmt::format("{} must be an int or a str, not {}", what,
                             py::str(value.get_type().attr("__name__")).cast<std::string>()));
}

std::string keyWord(py::handle key) {
  if (py::isinstance<py::str>(key)) return word(key.cast<std::string>(), "key");
  if (py::isinstance<py::int_>(key)) return fmt::format("{{value={}}}", numberWord(key, "key"));
  if (py::isinstance<py::tuple>(key) && py::len(key) == 2) {
    auto pair = key.cast<py::tuple>();
    return fmt::format("{{arrayIndex={} entryIndex={}}}", numberWord(pair[0], "arrayIndex"),
                       numberWord(pair[1], "entryIndex"));
  }
  if (py::isinstance<py::dict>(key)) {
    auto dict = key.cast<py::dict>();
    if (dict.size() == 1 && dict.contains("value")) {
      return fmt::format("{{value={}}}", numberWord(dict["value"], "value"));
    }
    if (dict.size() == 2 && dict.contains("arrayIndex") && dict.contains("entryIndex")) {
      return fmt::format("{{arrayIndex={} entryIndex={}}}",
                         numberWord(dict["arrayIndex"], "arrayIndex"),
                         numberWord(dict["entryIndex"], "entryIndex"));
    }
    raise("usage", "a key dict has 'value', or 'arrayIndex' and 'entryIndex'");
  }
  raise("usage", "a key is a str ({value=3}), an int, an (arrayIndex, entryIndex) pair or a dict");
}

std::string rootOr(std::string const& root) {
  return root.empty() ? Brell::defaultRoot() : root;
}

}  // namespace PyHwtables
