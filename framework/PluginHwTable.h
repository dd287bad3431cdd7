// The table plug-in: how a table module makes its factory known to the agent.
//
// Constructed at load time with the name "Default", a PluginHwTable registers itself
// with the default hardware-table loader under "<tableTypeName()>Plugin". When the
// agent initialises the loader's plug-ins with its holder context, init() registers
// the table's `factory` once per supported revision of the plug-in's chip type,
// under {tableName(), revision} with the table's tag; revisions of other chip types
// are skipped. Destroying the plug-in (at unload) unregisters it from the loader.
//
// Thread-safety: construction and destruction run at load and unload; init may run
// on any thread.
#pragma once

#include "platform/hardware/FapRevision.h"
#include "platform/plugin/Plugin.h"
#include "platform/tessar/HwTableHolderContext.h"

namespace Tessar {

template <class Table, Hardware::ChipType ChipType>
class PluginHwTable : public Plugin::PluginBase<HwTableHolderContext> {
 public:
  explicit PluginHwTable(Vorl::String name)
      : PluginBase(std::move(name)), loaderName_(Table::tableTypeName() + "Plugin") {
    HwTablePlugin::DefaultHwTableLoader().registerPlugin(
        loaderName_, [this](HwTableHolderContext& context) { init(context); });
  }

  ~PluginHwTable() override { HwTablePlugin::DefaultHwTableLoader().unregisterPlugin(loaderName_); }

  // The name the plug-in is registered under with the loader.
  Vorl::String const& loaderName() const { return loaderName_; }

  void init(HwTableHolderContext& context) const {
    for (auto const& revision : SupportedFapRevList::fapRevisionList()) {
      if (revision.chipType() != ChipType) continue;
      context.registerHwTableFactory(name(), HwTableKey{Table::tableName(), revision},
                                     &Table::factory, Table::tag());
    }
  }

 private:
  Vorl::String loaderName_;
};

}  // namespace Tessar
