// The reader plug-in: how a table module makes its reader known to the agent.
//
// Constructed once when the module is set up, it registers the reader's factory with
// the holder context for every supported revision of its chip type, under
// {Reader::tableName(), revision}; revisions of other chip types are skipped. Its name
// is the reader's plug-in name followed by "Plugin". Destroying it (at unload, or when
// another registration of its module is refused) withdraws those factories: they call
// into the plug-in's code, which may be unloaded next.
//
// Thread-safety: construction and destruction run at load and unload.
#pragma once

#include "platform/hardware/FapRevision.h"
#include "platform/tessar/HwTableHolderContext.h"
#include "platform/tessar/HwTableReaderBase.h"

namespace Tessar {

template <class Reader, Hardware::ChipType ChipType>
class PluginHwReaderTable {
 public:
  PluginHwReaderTable() : name_(Reader::pluginName() + "Plugin") {
    auto& context = HwTableHolderContext::singleton();
    for (auto const& revision : SupportedFapRevList::fapRevisionList()) {
      if (revision.chipType() != ChipType) continue;
      keys_.push_back(HwTableKey{Reader::tableName(), revision});
      context.registerHwReaderFactory(
          keys_.back(),
          [](Hardware::Sand::FapRevision const& fapRevision,
             Vorl::Ptr<ReadTableManager> const& readTableManager) {
            return Reader::factory(fapRevision, readTableManager);
          });
    }
  }

  ~PluginHwReaderTable() {
    // The keys it registered, whatever the revision list says now.
    for (auto const& key : keys_) HwTableHolderContext::singleton().unregisterHwReaderFactory(key);
  }

  PluginHwReaderTable(PluginHwReaderTable const&) = delete;
  PluginHwReaderTable& operator=(PluginHwReaderTable const&) = delete;

  Vorl::String const& name() const { return name_; }

 private:
  Vorl::String name_;
  std::vector<HwTableKey> keys_;
};

}  // namespace Tessar
