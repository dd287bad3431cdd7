// A memory shadow's entries as the dicts show() returns, read through a kept reader
// (KeptReader.h) and remembered between reads.
//
// An entry whose key and value bytes are those it had at the last read is handed out
// as a copy of the dicts made then (the entry's, its key's and its fields', each
// copied as one block) rather than decoded again: a shadow read again and again is
// mostly unchanged between two reads. Copies, because the caller may change what it
// is given. An entry's dicts depend on its bytes alone, so what was remembered holds
// whichever files the bytes are read from next (the store opened again after a new
// writer came); every entry whose bytes differ is decoded anew. What is remembered
// is the entries of the last read only.
//
// Needs the GIL (it holds Python objects), also to be destroyed. The GIL alone does
// not make a read one thread's: making dicts may run a collection, whose finalizers
// may let another thread run. A read therefore holds the object's own lock, waited
// for without the GIL; the thread already reading that re-enters is refused.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "python/KeptReader.h"
#include "tools/hwtables/ChipRows.h"

namespace PyHwtables {

class ShadowDicts {
 public:
  explicit ShadowDicts(std::unique_ptr<KeptReader> reader) : reader_(std::move(reader)) {}

  // The entries in key order, as `hwtables show --json` lists them, each with its
  // key's text besides. Raises the package's exceptions.
  pybind11::list show();
  // The entry at `position`, or None when the shadow holds none there.
  pybind11::object entry(Tool::KeyPosition position);
  // Decodes every entry at the next read.
  void forget();

  KeptReader& reader() { return *reader_; }

 private:
  struct Known {
    Brell::Bytes value;
    Tool::KeyPosition position;
    pybind11::dict entry;  // never handed out: its copies are
    pybind11::dict key;
    pybind11::dict fields;
  };
  // Reads the store; afterwards known_ holds exactly its entries.
  void read();
  Known decoded(Framework::StoredKey const& key, Brell::Bytes const& value) const;
  pybind11::dict copy(Known const& known) const;

  // The lock of one read (or forget), taken as the comment above says.
  std::unique_lock<std::mutex> reading();

  std::unique_ptr<KeptReader> reader_;
  std::map<Brell::Bytes, Known> known_;  // by key bytes
  std::mutex mutex_;
  std::atomic<std::thread::id> readerThread_{};  // the thread reading, if any
};

}  // namespace PyHwtables
