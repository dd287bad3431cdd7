// What reading a table back produces: one result per shadow key, in the caller's
// container.
//
// A reader decodes every completed read command into the result of the command's
// shadow key; the container creates nothing itself. Results accumulate over every
// command and request that uses the same container: a reader never clears one.
//
// Thread-safety: none; the agent's owning thread fills and reads a container.
#pragma once

#include "platform/plugin/Export.h"

#include <functional>
#include <map>

#include "platform/hardware/FapRevision.h"
#include "platform/tessar/Keys.h"
#include "platform/tyvo/TypeRuntime.h"
#include "platform/vorl/Ptr.h"

namespace Tessar {

class HWTABLES_API HwInstanceReadResultBase : public Vorl::Node {
 public:
  HwInstanceReadResultBase(HwShadowKey hwShadowKey, Hardware::Sand::FapRevision fapRevision)
      : hwShadowKey_(hwShadowKey), fapRevision_(std::move(fapRevision)) {}

  virtual Vorl::TypeDescriptor typeData() const { return {}; }
  HwShadowKey hwShadowKey() const { return hwShadowKey_; }

  // Every entry held, for code that does not know the table's types: its array
  // index, entry index and data bytes (`size` of them).
  using EntryVisitor = std::function<void(U8 arrayIndex, U32 entryIndex, U8 const* data, U32 size)>;
  virtual void forEachEntryData(EntryVisitor const& visit) const = 0;
  Hardware::Sand::FapRevision const& fapRevision() const { return fapRevision_; }

 private:
  HwShadowKey hwShadowKey_;
  Hardware::Sand::FapRevision fapRevision_;
};

class HWTABLES_API HwTableReadResultContainer : public Vorl::Node {
 public:
  // The result held for that shadow key, or null.
  Vorl::Ptr<HwInstanceReadResultBase> perInstanceReadResult(HwShadowKey hwShadowKey) const {
    auto found = results_.find(hwShadowKey);
    return found == results_.end() ? nullptr : found->second;
  }
  // Adds `result` under its own shadow key, replacing any result held there; a null
  // result is ignored.
  void perInstanceReadResultIs(Vorl::Ptr<HwInstanceReadResultBase> const& result) {
    if (result) results_[result->hwShadowKey()] = result;
  }
  std::map<HwShadowKey, Vorl::Ptr<HwInstanceReadResultBase>> const& results() const {
    return results_;
  }

 private:
  std::map<HwShadowKey, Vorl::Ptr<HwInstanceReadResultBase>> results_;
};

}  // namespace Tessar
