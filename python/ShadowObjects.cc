// Memory shadows and stores read from Python, by this process, from the files: show
// and Shadow read a shadow's entries through a kept reader (KeptReader.h), Store
// inspects a store directory as `hwtables store check` does. Nothing here locks or
// writes a store.
//
// show() keeps a reader per shadow it was asked for, so that showing a shadow again
// does not map its files again nor decode the entries unchanged since (ShadowDicts.h):
// at most kKeptReaders of them, the least recently used let go first. A Shadow owns
// its reader and lets it go at close().
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <tuple>

#include <fmt/format.h>

#include "framework/FieldValues.h"
#include "python/Bindings.h"
#include "python/Border.h"
#include "python/EntryDicts.h"
#include "python/KeptReader.h"
#include "python/ShadowDicts.h"
#include "python/PythonJson.h"
#include "store/StoreInspector.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/ChipRows.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/StoreReport.h"

namespace py = pybind11;

namespace PyHwtables {
namespace {

// A reader of the memory shadow of `table` for `fap` below `root`, not yet opened.
std::unique_ptr<KeptReader> shadowReader(std::string const& table, U32 fap,
                                         std::string const& root, std::string const& revision) {
  auto reader = translated([&] {
    Tool::loadPlugins();
    auto parsed = Tool::parseRevision(revision);
    auto record = Tool::memoryTable(table, "show reads");
    auto directory = Tool::memoryStoreDirectory(root, parsed.revString(), record->info->fullName,
                                                Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));
    auto where = fmt::format("{} FAP {}", record->info->className, fap);
    return std::make_unique<KeptReader>(std::move(record), std::move(directory), std::move(where));
  });
  if (fap > 255) raise("range", fmt::format("a FAP id {} is outside 0..255", fap));
  return reader;
}

// The readers show() keeps, by the names it was called with (the root resolved, so
// that a changed default root is a different shadow). Never destroyed: a reader is
// made by the plug-in's code, which must not run after the plug-in is gone at exit,
// and holds Python objects, which must not be released after the interpreter.
class KeptReaders {
 public:
  static constexpr std::size_t kKeptReaders = 16;

  std::shared_ptr<ShadowDicts> reader(std::string const& table, U32 fap, std::string const& root,
                     std::string const& revision) {
    Name name{table, fap, root, revision};
    auto found = readers_.find(name);
    if (found == readers_.end()) {
      auto made = std::make_shared<ShadowDicts>(
          shadowReader(table, fap, root, revision));  // raises for a bad name
      if (readers_.size() >= kKeptReaders) {
        readers_.erase(std::min_element(readers_.begin(), readers_.end(),
                                        [](auto const& left, auto const& right) {
                                          return left.second.used < right.second.used;
                                        }));
      }
      found = readers_.emplace(std::move(name), Kept{std::move(made), 0}).first;
    }
    found->second.used = ++uses_;
    return found->second.reader;
  }

  std::size_t open() const {
    return std::count_if(readers_.begin(), readers_.end(),
                         [](auto const& each) { return each.second.reader->reader().open(); });
  }
  void clear() { readers_.clear(); }

  static KeptReaders& kept() {
    static auto* readers = new KeptReaders();
    return *readers;
  }

 private:
  using Name = std::tuple<std::string, U32, std::string, std::string>;
  struct Kept {
    std::shared_ptr<ShadowDicts> reader;  // shared with the calls reading it
    std::uint64_t used;
  };
  std::map<Name, Kept> readers_;
  std::uint64_t uses_ = 0;
};

py::list show(std::string const& table, U32 fap, std::string const& root,
              std::string const& revision) {
  return KeptReaders::kept().reader(table, fap, rootOr(root), revision)->show();
}

// The same work in C++ alone, for the benchmark's baseline: a kept reader's entries
// and (when `decode`) every entry's fields decoded as the tool's views decode them,
// nanoseconds per run over `times` runs.
double timeShow(std::string const& table, U32 fap, std::string const& root, int times,
                bool decode) {
  auto reader = shadowReader(table, fap, rootOr(root), "bcm88490_a0");
  auto const& info = reader->info();
  std::size_t decoded = 0;
  auto start = std::chrono::steady_clock::now();
  translated([&] {
    for (int run = 0; run < times; ++run) {
      for (auto const& [key, data] : reader->entries()) {
        decoded += decode ? Framework::fieldValues(info, data).size() : 1;
      }
    }
    return 0;
  });
  std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return decoded == 0 ? 0 : spent.count() / std::max(times, 1);
}

// One memory shadow read again and again through its own reader.
class Shadow {
 public:
  Shadow(std::string const& table, U32 fap, std::string const& root, std::string const& revision)
      : dicts_(std::make_shared<ShadowDicts>(shadowReader(table, fap, rootOr(root), revision))) {}

  py::list show() { return live()->show(); }

  // The entry held under `key` (any form Agent.get takes), or None when the shadow
  // holds none there. The store is read by walking it: this costs what show() does.
  py::object get(py::handle key) {
    auto dicts = live();
    auto const& info = dicts->reader().info();
    auto text = keyWord(key);
    auto position = translated([&] { return Tool::keyPosition(info, text); });
    if (!position) {
      raise("usage", fmt::format("{} is not a key of {}: {}", Tool::shown(text), info.className,
                                 Tool::keyHint(info)));
    }
    return dicts->entry(*position);
  }

  void forget() { live()->forget(); }
  void close() { dicts_.reset(); }
  bool closed() const { return !dicts_; }
  std::string directory() const { return dicts_ ? dicts_->reader().directory() : ""; }
  std::string where() const { return dicts_ ? dicts_->reader().where() : ""; }
  std::uint64_t opens() const { return dicts_ ? dicts_->reader().opens() : 0; }

 private:
  // Held by each call for its length: another thread may close the shadow meanwhile.
  std::shared_ptr<ShadowDicts> live() {
    if (!dicts_) raise("usage", "the shadow is closed");
    return dicts_;
  }

  std::shared_ptr<ShadowDicts> dicts_;
};

// A store directory, for reading only: nothing here writes to it.
class Store {
 public:
  explicit Store(std::string directory) : directory_(std::move(directory)) {
    std::error_code error;
    auto status = std::filesystem::status(directory_, error);
    if (status.type() == std::filesystem::file_type::not_found) {
      raise("usage", fmt::format("no store directory {}", Tool::printable(directory_)));
    }
    if (error) {
      raise("usage",
            fmt::format("cannot use {}: {}", Tool::printable(directory_), error.message()));
    }
    if (status.type() != std::filesystem::file_type::directory) {
      raise("usage", fmt::format("{} is not a directory", Tool::printable(directory_)));
    }
  }

  // The document of `hwtables store check --json`.
  py::object check(int waitMilliseconds) {
    auto report = inspect(waitMilliseconds, false, nullptr);
    return toPython(Tool::storeReportJson(directory_, report, false));
  }

  // Every occupied slot in list order, as `store dump --json` lists them. A store that
  // is not valid raises CorruptionError (its entries cannot be trusted).
  py::object entries(int waitMilliseconds) {
    std::vector<nlohmann::ordered_json> entries;
    auto report = inspect(waitMilliseconds, true, &entries);
    if (!report.valid()) {
      raise("corruption", Tool::storeFailureLine(directory_, report));
    }
    py::list list(entries.size());
    for (std::size_t index = 0; index < entries.size(); ++index) {
      list[index] = toPython(entries[index]);
    }
    return list;
  }

  std::string const& directory() const { return directory_; }

 private:
  Brell::InspectionReport inspect(int waitMilliseconds, bool walk,
                                  std::vector<nlohmann::ordered_json>* entries) {
    if (waitMilliseconds < 0 || waitMilliseconds > 600000) {
      raise("range", fmt::format("wait {} ms is outside 0..600000", waitMilliseconds));
    }
    Brell::StoreInspector::Options options;
    options.maxWaitMilliseconds = waitMilliseconds;
    auto report = translated([&] {
      py::gil_scoped_release unlocked;
      Brell::StoreInspector inspector(directory_, options);
      if (!walk) return inspector.check();
      std::optional<Brell::SlotHeader> header;
      return inspector.dumpEach(
          [&](Brell::InspectionReport const& ready) { header = ready.slotHeader; },
          [&](Brell::ChainEntry const& entry) {
            if (header) entries->push_back(Tool::entryJson(*header, entry));
          });
    });
    if (report.result == "missing") {
      raise("usage", fmt::format("{} is not a store: {}", Tool::printable(directory_),
                                 Tool::printable(report.reason)));
    }
    if (report.result == "inaccessible") {
      raise("usage", fmt::format("cannot read store {}: {}", Tool::printable(directory_),
                                 Tool::printable(report.reason)));
    }
    Tool::judgeOwnerFile(report);
    return report;
  }

  std::string directory_;
};

}  // namespace

void defineShadows(py::module_& module) {
  module.def("show", &show, py::arg("table"), py::arg("fap"), py::arg("root"),
             py::arg("revision"));
  module.def("time_show", &timeShow, py::arg("table"), py::arg("fap"), py::arg("root"),
             py::arg("times"), py::arg("decode"));
  module.def("kept_readers", [] { return KeptReaders::kept().open(); });
  module.def("forget_readers", [] { KeptReaders::kept().clear(); });

  py::class_<Shadow>(module, "Shadow")
      .def(py::init<std::string const&, U32, std::string const&, std::string const&>(),
           py::arg("table"), py::arg("fap"), py::arg("root"), py::arg("revision"))
      .def("show", &Shadow::show)
      .def("get", &Shadow::get, py::arg("key"))
      .def("forget", &Shadow::forget)
      .def("close", &Shadow::close)
      .def_property_readonly("closed", &Shadow::closed)
      .def_property_readonly("directory", &Shadow::directory)
      .def_property_readonly("where", &Shadow::where)
      .def_property_readonly("opens", &Shadow::opens);

  py::class_<Store>(module, "Store")
      .def(py::init<std::string>(), py::arg("directory"))
      .def("check", &Store::check, py::arg("wait_ms"))
      .def("entries", &Store::entries, py::arg("wait_ms"))
      .def_property_readonly("directory", &Store::directory);
}

}  // namespace PyHwtables
