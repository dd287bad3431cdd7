// The reader plug-in: how a table module makes its reader known to the agent.
//
// Constructed once by the module's static initialiser, it registers the reader's
// factory with the holder context for every supported revision of its chip type,
// under {Reader::tableName(), revision}; revisions of other chip types are skipped.
// Its name is the reader's plug-in name followed by "Plugin". Registrations outlive
// the object: destroying it (at unload) only releases the name.
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
      context.registerHwReaderFactory(
          HwTableKey{Reader::tableName(), revision},
          [](Hardware::Sand::FapRevision const& fapRevision,
             Vorl::Ptr<ReadTableManager> const& readTableManager) {
            return Reader::factory(fapRevision, readTableManager);
          });
    }
  }

  PluginHwReaderTable(PluginHwReaderTable const&) = delete;
  PluginHwReaderTable& operator=(PluginHwReaderTable const&) = delete;

  Vorl::String const& name() const { return name_; }

 private:
  Vorl::String name_;
};

}  // namespace Tessar
