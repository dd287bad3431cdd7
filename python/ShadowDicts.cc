#include "python/ShadowDicts.h"

#include <algorithm>
#include <vector>

#include "python/Border.h"
#include "python/EntryDicts.h"

namespace py = pybind11;

namespace PyHwtables {
namespace {

py::object const& interned(char const* text) {
  // Never destroyed: Python strings must not be released after the interpreter.
  static auto* names = new std::map<std::string, py::object>();
  auto& name = (*names)[text];
  if (!name) name = py::reinterpret_steal<py::object>(PyUnicode_InternFromString(text));
  return name;
}

py::dict dictCopy(py::handle dict) {
  auto copy = py::reinterpret_steal<py::dict>(PyDict_Copy(dict.ptr()));
  if (!copy) throw py::error_already_set();
  return copy;
}

// Marks the end of a read on every way out, before its lock is let go.
struct Done {
  std::atomic<std::thread::id>& thread;
  ~Done() { thread = std::thread::id(); }
};

}  // namespace

ShadowDicts::Known ShadowDicts::decoded(Framework::StoredKey const& key,
                                        Brell::Bytes const& value) const {
  auto const& info = reader_->info();
  auto data = reader_->access().entryData(value);
  auto entry = EntryDicts::of(info).entry(key.arrayIndex, key.entryIndex, data);
  entry["keyText"] = key.text;
  Tool::KeyPosition position{key.arrayIndex, key.entryIndex};
  auto missing = Tool::missingRow(info, position);
  entry["downloadable"] = !missing;
  if (missing) entry["neverDownloaded"] = *missing;
  auto keyDict = py::reinterpret_borrow<py::dict>(entry[interned("key")]);
  auto fields = py::reinterpret_borrow<py::dict>(entry[interned("fields")]);
  return Known{value, position, std::move(entry), std::move(keyDict), std::move(fields)};
}

py::dict ShadowDicts::copy(Known const& known) const {
  auto entry = dictCopy(known.entry);
  if (PyDict_SetItem(entry.ptr(), interned("key").ptr(), dictCopy(known.key).ptr()) != 0 ||
      PyDict_SetItem(entry.ptr(), interned("fields").ptr(), dictCopy(known.fields).ptr()) != 0) {
    throw py::error_already_set();
  }
  return entry;
}

std::unique_lock<std::mutex> ShadowDicts::reading() {
  if (readerThread_.load() == std::this_thread::get_id()) {
    raise("usage", reader_->where() + ": a read of the shadow started while one runs");
  }
  std::unique_lock lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) {
    py::gil_scoped_release unlocked;
    lock.lock();
  }
  readerThread_ = std::this_thread::get_id();
  return lock;
}

void ShadowDicts::forget() {
  auto lock = reading();
  Done done{readerThread_};
  known_.clear();
}

void ShadowDicts::read() {
  std::map<Brell::Bytes, Known> seen;
  auto const& access = reader_->access();
  translated([&] {
    reader_->forEach([&](Brell::Bytes const& keyBytes, Brell::Bytes const& valueBytes) {
      auto found = known_.find(keyBytes);
      if (found != known_.end() && found->second.value == valueBytes) {
        seen.insert(known_.extract(found));  // the node moves: nothing allocated
      } else if (auto key = access.key(keyBytes)) {
        seen.insert_or_assign(keyBytes, decoded(*key, valueBytes));
      }
    });
    return 0;
  });
  known_ = std::move(seen);
}

py::list ShadowDicts::show() {
  auto lock = reading();
  Done done{readerThread_};
  read();
  std::vector<Known const*> order;
  order.reserve(known_.size());
  for (auto const& [keyBytes, known] : known_) order.push_back(&known);
  std::sort(order.begin(), order.end(), [](Known const* left, Known const* right) {
    return std::pair(left->position.arrayIndex, left->position.entryIndex) <
           std::pair(right->position.arrayIndex, right->position.entryIndex);
  });
  py::list list(order.size());
  for (std::size_t index = 0; index < order.size(); ++index) {
    list[index] = copy(*order[index]);
  }
  return list;
}

py::object ShadowDicts::entry(Tool::KeyPosition position) {
  auto lock = reading();
  Done done{readerThread_};
  read();
  for (auto const& [keyBytes, known] : known_) {
    if (known.position.arrayIndex == position.arrayIndex &&
        known.position.entryIndex == position.entryIndex) {
      return copy(known);
    }
  }
  return py::none();
}

}  // namespace PyHwtables
