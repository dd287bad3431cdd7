// A memory shadow's change events from Python: the watch loop of `hwtables watch`
// on a thread of its own (TableFollower.h), its events drained by an iterator. Every
// wait releases the GIL, in short slices so that Ctrl-C reaches the interpreter.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

#include "python/Bindings.h"
#include "python/Border.h"
#include "python/PythonJson.h"
#include "python/TableFollower.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/ChipRows.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"

namespace py = pybind11;

namespace PyHwtables {
namespace {

class Watch {
 public:
  Watch(std::string const& table, U32 fap, std::string const& root, std::string const& revision,
        double poll) {
    auto directory = translated([&] {
      Tool::loadPlugins();
      auto parsed = Tool::parseRevision(revision);
      Tool::parseNumber(std::to_string(fap), "a FAP id", 255);
      auto record = Tool::memoryTable(table, "watch follows");
      table_ = std::string(record->info->className);
      return Tool::memoryStoreDirectory(rootOr(root), parsed.revString(), record->info->fullName,
                                        Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));
    });
    auto pollTime = std::chrono::milliseconds(std::max(1L, static_cast<long>(poll * 1000)));
    follower_ = std::make_unique<TableFollower>(table_, directory, pollTime);
  }

  // The next event within `timeout` seconds: None when none came. Raises once the
  // follow ended by itself (a damaged store) and its events were all taken, and
  // StopIteration after close().
  py::object next(double timeout) {
    if (!follower_) throw py::stop_iteration();
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::microseconds(static_cast<long>(timeout * 1e6));
    while (true) {
      // Short waits, so that Ctrl-C reaches the interpreter while a watch waits.
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      auto slice = std::clamp(left, std::chrono::milliseconds(0), std::chrono::milliseconds(100));
      std::optional<nlohmann::ordered_json> event;
      bool drained = false;
      {
        py::gil_scoped_release unlocked;
        event = follower_->next(slice);
        if (!event) drained = follower_->drained();
      }
      if (event) return toPython(*event);
      if (drained) {
        auto finish = follower_->finish();
        if (!finish) throw py::stop_iteration();
        raise(finish->kind, finish->message);
      }
      if (PyErr_CheckSignals() != 0) {
        close();
        throw py::error_already_set();
      }
      if (left <= std::chrono::milliseconds(0)) return py::none();
    }
  }

  void close() {
    if (!follower_) return;
    py::gil_scoped_release unlocked;
    follower_->stop();
  }
  bool closed() const { return !follower_ || follower_->drained(); }
  std::string directory() const { return follower_ ? follower_->directory() : ""; }
  std::string const& table() const { return table_; }

 private:
  std::string table_;
  std::unique_ptr<TableFollower> follower_;
};

}  // namespace

void defineWatch(py::module_& module) {
  py::class_<Watch>(module, "Watch")
      .def(py::init<std::string const&, U32, std::string const&, std::string const&, double>(),
           py::arg("table"), py::arg("fap"), py::arg("root"), py::arg("revision"),
           py::arg("poll"))
      .def("next", &Watch::next, py::arg("timeout"))
      .def("close", &Watch::close)
      .def_property_readonly("closed", &Watch::closed)
      .def_property_readonly("directory", &Watch::directory)
      .def_property_readonly("table", &Watch::table);
}

}  // namespace PyHwtables
