// An agent on the simulated chip driven from Python: the console's session
// (tools/hwtables/AgentSession.h), whose every reply crosses as the JSON document the
// console's --json prints, converted to dicts (PythonJson.h). A refused or failed
// reply raises the package's exception of its kind with the reply attached.
//
// The GIL is released around long work (download, read, audit, reconcile, clear,
// bring-up, teardown). An agent is driven by one thread at a time: a mutex serialises
// calls, taken after the GIL is released so that a long call in one thread never
// blocks another that holds the GIL.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "framework/FieldValues.h"
#include "python/Bindings.h"
#include "python/Border.h"
#include "python/EntryDicts.h"
#include "python/PythonJson.h"
#include "tools/hwtables/AgentSession.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/ChipRows.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"

namespace py = pybind11;

namespace PyHwtables {
namespace {

PyObject* quickGetMethod(PyObject* self, PyObject* const* args, Py_ssize_t positional,
                         PyObject* keywords);

// A table get reads without the console: its description and its decoder, the same
// for every agent of the process.
struct QuickTable {
  std::string name;
  Framework::TableInfo const* info;
  EntryDicts const* dicts;
};

// The table of that name, found among those asked for before (the last one first: a
// script mostly reads one table at a time) or looked up once; none for a name no
// loaded plug-in describes (the console's get says so). Guarded by the GIL; kept for
// the life of the process, as the decoders are.
QuickTable const* quickTable(std::string_view name) {
  static auto* known = new std::vector<std::unique_ptr<QuickTable>>();
  static std::size_t last = 0;
  if (last < known->size() && (*known)[last]->name == name) return (*known)[last].get();
  for (last = 0; last < known->size(); ++last) {
    if ((*known)[last]->name == name) return (*known)[last].get();
  }
  std::string named(name);
  auto const* info = Tool::tableInfo(named);
  if (!info || info->className != name) return nullptr;
  auto const* dicts = &EntryDicts::of(*info);
  known->push_back(std::make_unique<QuickTable>(QuickTable{std::move(named), info, dicts}));
  last = known->size() - 1;
  return known->back().get();
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
    if (auto quick = quickGet(table, fap, key)) return py::reinterpret_steal<py::object>(quick);
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
      heldTables_.clear();
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

  friend PyObject* quickGetMethod(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

  // The entry as get answers it (a new reference), or null when the request is not a
  // quick one: a table this agent does not hold by that name, a FAP, array or row out
  // of range, a key of another form.
  PyObject* quickGet(std::string_view table, py::handle fap, py::handle key) {
    auto fapId = quickNumber(fap, 255);
    if (!fapId || *fapId == Tessar::HwShadowKey::kAllFaps) return nullptr;
    // Found before the lock is taken: making a table's decoder makes Python objects,
    // which may run a collection, whose finalizers may let another thread in.
    auto const* quick = quickTable(table);
    if (!quick) return nullptr;
    auto keyPosition = quickKey(*quick->info, key);
    if (!keyPosition || Tool::missingRow(*quick->info, *keyPosition)) return nullptr;
    auto position = *keyPosition;
    std::vector<U8> data;
    {
      std::lock_guard lock(mutex_);
      if (!session_) return nullptr;
      auto* held = heldTable(*quick);
      if (!held) return nullptr;
      auto shadow = held->hwShadowColl(Tessar::HwShadowKey::of(static_cast<U8>(*fapId), 0));
      if (!shadow) return nullptr;
      data = shadow->expectedEntryData(position.arrayIndex, position.entryIndex);
    }
    return quick->dicts->entry(position.arrayIndex, position.entryIndex, data).release().ptr();
  }

  // The table of that description this agent holds (none when it holds none), found
  // once. Under mutex_.
  Tessar::HwCommonShadowTableBase* heldTable(QuickTable const& quick) {
    for (auto const& [known, held] : heldTables_) {
      if (known == &quick) return held.get();
    }
    auto held = session_->agent().table(quick.name);
    if (!held) return nullptr;
    heldTables_.emplace_back(&quick, held);
    return held.get();
  }

  std::mutex mutex_;
  std::unique_ptr<Tool::AgentSession> session_;
  // The tables get has read, as their descriptions' holder of this agent.
  std::vector<std::pair<QuickTable const*, Vorl::Ptr<Tessar::HwCommonShadowTableBase>>> heldTables_;
};

// Agent.get as CPython calls a C method (METH_FASTCALL): a quick request (table,
// FAP, key as positional arguments, the table a str) costs no argument conversion;
// every other call goes to the get bound below, which answers or refuses it as
// before, with the same errors.
PyObject* slowGet = nullptr;  // that get, kept for the life of the process
py::detail::type_info const* agentType = nullptr;  // the bound class's record

// The Agent of `self` (an instance of the bound class: the method's descriptor has
// checked), read from the instance. One whose __init__ never ran is refused: pybind11
// would hand its methods memory never made into an Agent.
Agent& agentOf(PyObject* self) {
  auto made = reinterpret_cast<py::detail::instance*>(self)->get_value_and_holder(agentType);
  if (!made.holder_constructed()) {
    throw py::type_error("the Agent was never made (its __init__ did not run)");
  }
  return *made.value_ptr<Agent>();
}

PyObject* quickGetMethod(PyObject* self, PyObject* const* args, Py_ssize_t positional,
                         PyObject* keywords) {
  try {
    auto& agent = agentOf(self);
    Py_ssize_t length = 0;
    char const* table = nullptr;
    if (positional == 3 && !keywords && PyUnicode_Check(args[0])) {
      table = PyUnicode_AsUTF8AndSize(args[0], &length);
      if (!table) PyErr_Clear();  // not UTF-8 (a lone surrogate): the slow get says so
    }
    if (table) {
      if (auto* entry = agent.quickGet(std::string_view(table, static_cast<std::size_t>(length)),
                                       args[1], args[2])) {
        return entry;
      }
    }
  } catch (...) {
    // Raised as pybind11 raises what a bound function throws: the module's
    // translators first, then the common ones (a Python error restored, a C++
    // exception as its Python kind).
    if (py::detail::apply_exception_translators(
            py::detail::get_local_internals().registered_exception_translators) ||
        py::detail::apply_exception_translators(
            py::detail::get_internals().registered_exception_translators)) {
      return nullptr;
    }
    PyErr_SetString(PyExc_SystemError, "an exception no translator knows left get");
    return nullptr;
  }
  Py_ssize_t count = positional + (keywords ? PyTuple_GET_SIZE(keywords) : 0);
  std::vector<PyObject*> withSelf{self};
  withSelf.insert(withSelf.end(), args, args + count);
  return PyObject_Vectorcall(slowGet, withSelf.data(), static_cast<std::size_t>(positional) + 1,
                             keywords);
}

PyMethodDef quickGetDef{"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quickGetMethod)),
                        METH_FASTCALL | METH_KEYWORDS,
                        "get(self, table: str, fap: handle, key: handle) -> object"};

}  // namespace

void defineAgent(py::module_& module) {
  module.def("command_words", &Tool::commandWords, py::arg("line"));
  module.def("key_word", [](py::handle key) { return keyWord(key); }, py::arg("key"));
  module.def("number_word", [](py::handle value, std::string const& what) {
    return numberWord(value, what);
  });
  module.def("word", [](std::string const& text, std::string const& what) {
    return word(text, what);
  });

  py::class_<Agent> agent(module, "Agent");
  agent
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
  slowGet = py::object(agent.attr("get")).release().ptr();
  agentType = py::detail::get_type_info(typeid(Agent));
  auto quick = py::reinterpret_steal<py::object>(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(agent.ptr()), &quickGetDef));
  if (!quick) throw py::error_already_set();
  agent.attr("get") = quick;
}

}  // namespace PyHwtables
