// The `hwtables._hwtables` extension: the tool's own code (the catalogue, the agent's
// console session, show, the watch loop, the store inspector) bound for Python. The
// package (hwtables/__init__.py) wraps it and documents it; this file only crosses
// the language border:
//   - every reply and report crosses as the JSON document the tool's --json prints,
//     converted to dicts (PythonJson.h), so Python sees what machines see;
//   - an error crosses as the package's exception of its kind (errorKind() in
//     tools/hwtables/Errors.h), raised by the package's `_raise`;
//   - the GIL is released around long work (download, read, audit, reconcile,
//     clear, bring-up, teardown) and around every wait (watch, store check).
//
// An agent is driven by one thread at a time: a mutex serialises calls, taken after
// the GIL is released so that a long call in one thread never blocks another that
// holds the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <memory>
#include <mutex>

#include <fmt/format.h>

#include "store/ErasedStore.h"
#include "store/StoreFiles.h"
#include "store/StoreInspector.h"
#include "tools/hwtables/AgentSession.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/ChipRows.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/StoreReport.h"
#include "framework/FieldValues.h"
#include "python/EntryDicts.h"
#include "python/PythonJson.h"
#include "python/TableFollower.h"

namespace py = pybind11;

namespace PyHwtables {
namespace {

// Raises the package's exception of `kind` with the message, the system's own text
// and (for a refused or failed command) the whole reply.
[[noreturn]] void raise(std::string_view kind, std::string const& message,
                        std::string const& detail = {}, py::object reply = py::none()) {
  py::module_::import("hwtables._errors")
      .attr("_raise")(std::string(kind), message, detail, std::move(reply));
  throw py::error_already_set();  // _raise always raises
}

// Runs `work` and turns the C++ exceptions of the tool and the agent into the
// package's; Python's own errors pass through.
template <typename Work>
auto translated(Work&& work) -> decltype(work()) {
  std::string kind;
  Tool::ErrorReport report;
  try {
    return work();
  } catch (py::error_already_set const&) {
    throw;
  } catch (py::builtin_exception const&) {
    throw;
  } catch (std::exception const& error) {
    kind = Tool::errorKind(error);
    report = Tool::errorReport(error);
  }
  raise(kind, report.message, report.detail);
}

// A word of a console line built from a Python value: one word as the console splits
// lines, so that no argument can smuggle in another word or a comment.
std::string word(std::string const& text, std::string_view what) {
  auto words = Tool::commandWords(text);
  if (words.size() != 1 || words.front() != text) {
    raise("usage", fmt::format("{} '{}' is not one word", what, Tool::shown(text)));
  }
  return text;
}

std::string numberWord(py::handle value, std::string_view what) {
  if (py::isinstance<py::bool_>(value)) return py::cast<bool>(value) ? "1" : "0";
  if (py::isinstance<py::int_>(value)) {
    auto text = py::str(value).cast<std::string>();
    if (text.starts_with('-')) raise("range", fmt::format("{} {} is below 0", what, text));
    return text;
  }
  if (py::isinstance<py::str>(value)) return word(value.cast<std::string>(), what);
  raise("usage", fmt::format("{} must be an int or a str, not {}", what,
                             py::str(value.get_type().attr("__name__")).cast<std::string>()));
}

// A key as the console takes it: its text form, an int (a single-index key's value),
// an (arrayIndex, entryIndex) pair, or a dict of the key's attributes.
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

class Agent {
 public:
  Agent(std::vector<U32> faps, std::string root, std::string chip, bool warm,
        U32 dmaBufferBytes, std::string revision, double chipTimeout) {
    HwAgent::Options options;
    options.faps = std::move(faps);
    options.storeRoot = std::move(root);
    options.chipSocket = std::move(chip);
    options.warm = warm;
    options.dmaBufferBytes = dmaBufferBytes;
    options.chipTimeout = std::chrono::milliseconds(static_cast<long>(chipTimeout * 1000));
    translated([&] {
      options.revision = Tool::parseRevision(revision);
      Tool::loadPlugins();
      py::gil_scoped_release unlocked;
      session_ = std::make_unique<Tool::AgentSession>(options);
      return 0;
    });
  }

  // Runs one console line. A refused or failed reply raises; an ok one returns the
  // reply's own fields.
  py::object run(std::string_view command, std::vector<std::string> const& words, bool longWork) {
    std::string line(command);
    for (auto const& each : words) line += " " + each;
    return runLine(line, longWork);
  }

  // Any console line, as `hwtables agent` takes it.
  py::object runLine(std::string const& line, bool longWork) {
    auto words = Tool::commandWords(line);
    std::string command = words.empty() ? std::string() : words.front();
    Tool::AgentReply reply;
    if (longWork) {
      py::gil_scoped_release unlocked;
      reply = handle(line);
    } else {
      reply = handle(line);
    }
    if (reply.ok()) return toPython(reply.json);
    auto kind = reply.kind.empty() ? std::string("check") : reply.kind;
    raise(kind, reply.problem, reply.detail, toPython(reply.toJson(command)));
  }

  // get without a console line: the entry's data straight from its shadow. What the
  // quick way cannot answer exactly as the console would (a key in text form, a key
  // or FAP the console refuses, an entry held under a key the chip has no row for)
  // goes the console's way, which answers or refuses it.
  py::object get(std::string const& table, py::handle fap, py::handle key) {
    if (auto quick = quickGet(table, fap, key)) return *quick;
    auto reply = run("get", {word(table, "table"), numberWord(fap, "FAP id"), keyWord(key)}, false);
    reply.attr("pop")("entry", py::none());
    return reply;
  }

  // The C++ side of get alone, for the benchmark's baseline: the shadow's data of the
  // entry and its fields decoded, nanoseconds per get over `times` runs.
  double timeGet(std::string const& table, U32 fap, U8 arrayIndex, U32 entryIndex, int times) {
    auto const* info = Tool::tableInfo(table);
    if (!info) raise("usage", "no table " + table);
    auto shadow = live().agent().table(info->className)->hwShadowColl(
        Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));
    if (!shadow) raise("usage", "no shadow");
    std::size_t decoded = 0;
    auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < times; ++run) {
      decoded += Framework::fieldValues(*info, shadow->expectedEntryData(arrayIndex, entryIndex)).size();
    }
    std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return decoded == 0 ? 0 : spent.count() / std::max(times, 1);
  }

  // The C++ side of a command alone, for the benchmark's baseline: nanoseconds per
  // handle() of the line, over `times` runs.
  double timeLine(std::string const& line, int times) {
    py::gil_scoped_release unlocked;
    auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < times; ++run) handle(line);
    std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / std::max(times, 1);
  }

  py::object bringUp() {
    std::lock_guard lock(mutex_);
    return toPython(live().bringUpJson());
  }
  std::string root() {
    std::lock_guard lock(mutex_);
    return live().agent().storeRoot();
  }

  void close() {
    std::unique_ptr<Tool::AgentSession> session;
    {
      py::gil_scoped_release unlocked;
      std::lock_guard lock(mutex_);
      quickTables_.clear();
      session = std::move(session_);
      session.reset();  // the agent detaches from its stores, which keep their entries
    }
  }

 private:
  Tool::AgentSession& live() {
    if (!session_) raise("usage", "the agent is closed");
    return *session_;
  }
  Tool::AgentReply handle(std::string const& line) {
    std::lock_guard lock(mutex_);
    if (!session_) {
      Tool::AgentReply closed;
      closed.status = Tool::ReplyStatus::refused;
      closed.kind = "usage";
      closed.problem = "the agent is closed";
      return closed;
    }
    return session_->handle(line);
  }

  // A number of a quick request: a Python int in 0..limit, else none.
  static std::optional<U32> quickNumber(py::handle value, U32 limit) {
    if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value)) return std::nullopt;
    int overflow = 0;
    long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow != 0 || number < 0 || number > limit) return std::nullopt;
    return static_cast<U32>(number);
  }

  static std::optional<Tool::KeyPosition> quickKey(Framework::TableInfo const& info,
                                                   py::handle key) {
    std::optional<U32> arrayIndex{0};
    std::optional<U32> entryIndex;
    bool single = info.key.form == Framework::KeyForm::singleIndex;
    if (single && py::isinstance<py::int_>(key)) {
      entryIndex = quickNumber(key, ~U32{0});
    } else if (!single && py::isinstance<py::tuple>(key) && py::len(key) == 2) {
      arrayIndex = quickNumber(PyTuple_GET_ITEM(key.ptr(), 0), 255);
      entryIndex = quickNumber(PyTuple_GET_ITEM(key.ptr(), 1), ~U32{0});
    } else {
      return std::nullopt;
    }
    if (!arrayIndex || !entryIndex) return std::nullopt;
    return Tool::KeyPosition{static_cast<U8>(*arrayIndex), *entryIndex};
  }

  std::optional<py::dict> quickGet(std::string const& table, py::handle fap, py::handle key) {
    auto fapId = quickNumber(fap, 255);
    if (!fapId || *fapId == Tessar::HwShadowKey::kAllFaps) return std::nullopt;
    std::vector<U8> data;
    Framework::TableInfo const* info = nullptr;
    Tool::KeyPosition position;
    {
      std::lock_guard lock(mutex_);
      if (!session_) return std::nullopt;
      auto found = quickTables_.find(table);
      if (found == quickTables_.end()) {
        auto const* named = Tool::tableInfo(table);
        if (!named || named->className != table) return std::nullopt;
        auto held = session_->agent().table(table);
        if (!held) return std::nullopt;
        found = quickTables_.emplace(table, QuickTable{named, held}).first;
      }
      info = found->second.info;
      auto keyPosition = quickKey(*info, key);
      if (!keyPosition || Tool::missingRow(*info, *keyPosition)) return std::nullopt;
      position = *keyPosition;
      auto shadow =
          found->second.table->hwShadowColl(Tessar::HwShadowKey::of(static_cast<U8>(*fapId), 0));
      if (!shadow) return std::nullopt;
      data = shadow->expectedEntryData(position.arrayIndex, position.entryIndex);
    }
    return EntryDicts::of(*info).entry(position.arrayIndex, position.entryIndex, data);
  }

  struct QuickTable {
    Framework::TableInfo const* info;
    Vorl::Ptr<Tessar::HwCommonShadowTableBase> table;
  };

  std::mutex mutex_;
  std::unique_ptr<Tool::AgentSession> session_;
  std::map<std::string, QuickTable, std::less<>> quickTables_;
};

std::string rootOr(std::string const& root) {
  return root.empty() ? Brell::defaultRoot() : root;
}

// A memory shadow's store, opened for reading as `hwtables show` opens it: mapped
// read-only, never locked or written.
struct ShadowStore {
  std::shared_ptr<Framework::TableRecord const> record;
  std::string directory;
  std::string where;  // "TABLE FAP N", for messages

  ShadowStore(std::string const& table, U32 fap, std::string const& root,
              std::string const& revision) {
    translated([&] {
      Tool::loadPlugins();
      auto parsed = Tool::parseRevision(revision);
      record = Tool::memoryTable(table, "show reads");
      directory = Tool::memoryStoreDirectory(rootOr(root), parsed.revString(),
                                             record->info->fullName,
                                             Tessar::HwShadowKey::of(static_cast<U8>(fap), 0));
      return 0;
    });
    if (fap > 255) raise("range", fmt::format("a FAP id {} is outside 0..255", fap));
    where = fmt::format("{} FAP {}", record->info->className, fap);
  }

  // The entries in key order, each as (key, data).
  std::vector<std::pair<Framework::StoredKey, std::vector<U8>>> entries() const {
    if (!std::filesystem::is_directory(directory)) {
      raise("check", where + ": no store (no agent has created this shadow)");
    }
    return translated([&] {
      std::vector<std::pair<Framework::StoredKey, std::vector<U8>>> entries;
      auto reader = record->store.openReader(std::string(record->info->className), directory);
      if (!reader->initialize("show")) {
        throw Tool::CheckFailed(
            where + ": the store cannot be read now (being created, wiped or damaged)");
      }
      reader->forEach([&](Brell::Bytes const& keyBytes, Brell::Bytes const& valueBytes) {
        if (auto key = record->store.key(keyBytes)) {
          entries.emplace_back(*key, record->store.entryData(valueBytes));
        }
      });
      std::sort(entries.begin(), entries.end(), [](auto const& left, auto const& right) {
        return std::pair(left.first.arrayIndex, left.first.entryIndex) <
               std::pair(right.first.arrayIndex, right.first.entryIndex);
      });
      return entries;
    });
  }
};

// The entries of a memory shadow as `hwtables show --json` lists them, each with its
// key's text besides.
py::list show(std::string const& table, U32 fap, std::string const& root,
              std::string const& revision) {
  ShadowStore store(table, fap, root, revision);
  auto const& info = *store.record->info;
  auto const& dicts = EntryDicts::of(info);
  auto entries = store.entries();
  py::list list(entries.size());
  std::size_t index = 0;
  for (auto const& [key, data] : entries) {
    auto item = dicts.entry(key.arrayIndex, key.entryIndex, data);
    item["keyText"] = key.text;
    auto missing = Tool::missingRow(info, {key.arrayIndex, key.entryIndex});
    item["downloadable"] = !missing;
    if (missing) item["neverDownloaded"] = *missing;
    list[index++] = item;
  }
  return list;
}

// The same work in C++ alone, for the benchmark's baseline: the store read and every
// entry's fields decoded, nanoseconds per run over `times` runs.
double timeShow(std::string const& table, U32 fap, std::string const& root, int times) {
  ShadowStore store(table, fap, root, "bcm88490_a0");
  auto const& info = *store.record->info;
  std::size_t decoded = 0;
  auto start = std::chrono::steady_clock::now();
  for (int run = 0; run < times; ++run) {
    for (auto const& [key, data] : store.entries()) {
      decoded += Framework::fieldValues(info, data).size();
    }
  }
  std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
  return decoded == 0 ? 0 : spent.count() / std::max(times, 1);
}

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

// One table's description, as plain data the package makes its catalogue objects of.
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
}  // namespace PyHwtables

PYBIND11_MODULE(_hwtables, module) {
  using namespace PyHwtables;
  module.doc() = "The compiled half of the hwtables package; use the package itself.";
  module.def("load_plugins", &plugins, py::arg("directory") = "");
  module.def("catalogue", &catalogue);
  module.def("table_name", &tableName, py::arg("name"));
  module.def("default_root", [] { return Brell::defaultRoot(); });
  module.def("show", &show, py::arg("table"), py::arg("fap"), py::arg("root"),
             py::arg("revision"));
  module.def("time_show", &timeShow, py::arg("table"), py::arg("fap"), py::arg("root"),
             py::arg("times"));
  module.def("command_words", &Tool::commandWords, py::arg("line"));
  module.def("key_word", [](py::handle key) { return keyWord(key); }, py::arg("key"));
  module.def("number_word", [](py::handle value, std::string const& what) {
    return numberWord(value, what);
  });
  module.def("word", [](std::string const& text, std::string const& what) {
    return word(text, what);
  });

  py::class_<Agent>(module, "Agent")
      .def(py::init<std::vector<U32>, std::string, std::string, bool, U32, std::string, double>(),
           py::arg("faps"), py::arg("root"), py::arg("chip"), py::arg("warm"),
           py::arg("dma_buffer"), py::arg("revision"), py::arg("chip_timeout"))
      .def("run", &Agent::run, py::arg("command"), py::arg("words"), py::arg("long_work"))
      .def("time_line", &Agent::timeLine, py::arg("line"), py::arg("times"))
      .def("get", &Agent::get, py::arg("table"), py::arg("fap"), py::arg("key"))
      .def("time_get", &Agent::timeGet, py::arg("table"), py::arg("fap"), py::arg("array_index"),
           py::arg("entry_index"), py::arg("times"))
      .def("run_line", &Agent::runLine, py::arg("line"), py::arg("long_work"))
      .def("bring_up", &Agent::bringUp)
      .def("root", &Agent::root)
      .def("close", &Agent::close);

  py::class_<Watch>(module, "Watch")
      .def(py::init<std::string const&, U32, std::string const&, std::string const&, double>(),
           py::arg("table"), py::arg("fap"), py::arg("root"), py::arg("revision"),
           py::arg("poll"))
      .def("next", &Watch::next, py::arg("timeout"))
      .def("close", &Watch::close)
      .def_property_readonly("closed", &Watch::closed)
      .def_property_readonly("directory", &Watch::directory)
      .def_property_readonly("table", &Watch::table);

  py::class_<Store>(module, "Store")
      .def(py::init<std::string>(), py::arg("directory"))
      .def("check", &Store::check, py::arg("wait_ms"))
      .def("entries", &Store::entries, py::arg("wait_ms"))
      .def_property_readonly("directory", &Store::directory);
}
