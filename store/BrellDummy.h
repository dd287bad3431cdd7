// Placeholder store implementations.
//
// BrellDummy behaves as an empty, valid, unmounted store: it finds nothing, reports
// zero sizes and, like any reader, has nothing to write with. A map installs it while
// a reader mount waits for its files.
//
// BrellStrictDummy stands in for an orphaned collection: any use except
// mountStatus() is a programming error and stops the process.
#pragma once

#include <string>

#include <fmt/format.h>

#include "platform/asic/Assert.h"
#include "store/BrellInterface.h"
#include "store/Debug.h"

namespace Brell {

template <StoreTraits T>
class BrellDummy : public BrellInterface<T> {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;

  BrellDummy(std::string name, std::string rootPath)
      : name_(std::move(name)), rootPath_(std::move(rootPath)) {}

  bool initialize(std::string const& event) override {
    VORL_TRACE(Debug::map(), kDebugLevel, "{} event:{}", name_, event);
    return true;
  }
  void detach(bool) override { trace("detach"); }
  bool validate() override { return trace("validate"), true; }
  bool validateFiles() override { return trace("validateFiles"), true; }
  void cleanup() override { trace("cleanup"); }
  std::uint32_t members() const override { return 0; }
  std::uint32_t buckets() const override { return 0; }
  std::uint32_t minSize() const override { return 0; }
  std::uint32_t maxSize() const override { return 0; }
  std::uint32_t capacity() const override { return 0; }
  StoreType type() const override { return StoreType::reader; }
  MountStatus mountStatus() const override { return MountStatus::unmounted; }
  Value const* lookup(Key const&, bool& found, Value*) override {
    trace("lookup");
    found = false;
    return nullptr;
  }
  bool first(Value&, IterHint&) override { return trace("first"), false; }
  bool next(Key const&, Value&, IterHint&) override { return trace("next"), false; }
  std::string brellName() const override { return name_; }
  std::string rootPath() const override { return rootPath_; }
  SharedMem::PyrelId pyrelId() const override { return SharedMem::PyrelId(); }
  std::string dumpHeaders() const override {
    return fmt::format("Brell table \"{}\" (placeholder)\n", name_);
  }

 private:
  void trace(char const* operation) const {
    VORL_TRACE(Debug::map(), kDebugLevel, "{} {}", name_, operation);
  }
  std::string name_;
  std::string rootPath_;
};

template <StoreTraits T>
class BrellStrictDummy : public BrellInterface<T> {
 public:
  using Value = typename T::Value;
  using Key = typename T::Key;

  BrellStrictDummy(std::string name, std::string rootPath, bool orphan)
      : name_(std::move(name)), rootPath_(std::move(rootPath)), orphan_(orphan) {}

  bool initialize(std::string const& event) override {
    ASIC_FATAL_ASSERT(false, "BrellStrictDummy", "{} rootPath:{} event:{}{}", name_, rootPath_,
                      event, suffix());
    return false;
  }
  void detach(bool) override { fail(); }
  bool validate() override { return fail(), false; }
  bool validateFiles() override { return fail(), false; }
  void cleanup() override { fail(); }
  std::uint32_t members() const override { return fail(), 0; }
  std::uint32_t buckets() const override { return fail(), 0; }
  std::uint32_t minSize() const override { return fail(), 0; }
  std::uint32_t maxSize() const override { return fail(), 0; }
  std::uint32_t capacity() const override { return fail(), 0; }
  StoreType type() const override { return fail(), StoreType::reader; }
  MountStatus mountStatus() const override { return MountStatus::unmounted; }
  Value const* lookup(Key const& key, bool&, Value*) override { return failKey(key), nullptr; }
  bool first(Value&, IterHint&) override { return fail(), false; }
  bool next(Key const& key, Value&, IterHint&) override { return failKey(key), false; }
  std::string brellName() const override { return fail(), std::string(); }
  std::string rootPath() const override { return fail(), std::string(); }
  SharedMem::PyrelId pyrelId() const override { return fail(), SharedMem::PyrelId(); }
  std::string dumpHeaders() const override { return fail(), std::string(); }

 private:
  char const* suffix() const {
    return orphan_ ? ". If you're seeing this, you're trying to operate on an orphan brell entity"
                   : "";
  }
  void fail() const {
    ASIC_FATAL_ASSERT(false, "BrellStrictDummy", "invoked, name:{} rootpath:{}{}", name_, rootPath_,
                      suffix());
  }
  void failKey(Key const& key) const {
    ASIC_FATAL_ASSERT(false, "BrellStrictDummy", "invoked, name:{} rootpath:{} key:{}{}", name_,
                      rootPath_, TraitsInfo<T>::keyText(key), suffix());
  }
  std::string name_;
  std::string rootPath_;
  bool orphan_;
};

}  // namespace Brell
