// What one table module sets up at load time and keeps until unload.
//
// In this order: the standard streams, the module's three log handles
// ("HW_ABSTRACTION_ERROR", "HW_ABSTRACTION_RELAUNCH_ERROR", "HW_ABSTRACTION_EXCEPTION"),
// the process's assertion mode (read from GRACEFUL_ASSERT_MODE by the first module
// only), then the plug-ins for chip type 25: a register module the table plug-in
// "Default" (for every table that has a factory) and after it the reader plug-in; a
// memory module the reader plug-in first and the table plug-in after it. Everything
// is destroyed in reverse order of construction at unload.
//
// The modules of all tables are created from one place, in their fixed module order
// (modules/Modules.cc), because C++ leaves the order of static initialisers across
// files open.
#pragma once

#include "platform/plugin/Export.h"

#include <array>
#include <ios>
#include <optional>
#include <string_view>

#include "framework/PluginHwReaderTable.h"
#include "framework/PluginHwTable.h"
#include "framework/TableInfo.h"
#include "platform/asic/Assert.h"
#include "platform/hardware/FapRevision.h"
#include "platform/tyvo/LogHandle.h"

namespace Framework {

// The three log messages every module registers, in registration order.
HWTABLES_API std::array<Tyvo::LogDescriptor, 3> const& moduleLogDescriptors();

template <class Table>
concept HasTableFactory = requires {
  &Table::factory;
};

class HWTABLES_API TableModuleBase {
 public:
  virtual ~TableModuleBase() = default;
  virtual std::string_view tableName() const = 0;
  virtual TableInfo const& tableInfo() const = 0;
  virtual bool hasTablePlugin() const = 0;
};

template <class Table, class Reader>
class TableModule : public TableModuleBase {
 public:
  TableModule()
      : errorLog_(moduleLogDescriptors()[0], Vorl::Duration(0), 1.0, 0, 0),
        relaunchErrorLog_(moduleLogDescriptors()[1], Vorl::Duration(0), 1.0, 0, 0),
        exceptionLog_(moduleLogDescriptors()[2], Vorl::Duration(0), 1.0, 0, 0) {
    Asic::modeFromEnvironmentOnce();
    if constexpr (Table::Model::Desc::info.isRegister()) {
      if constexpr (HasTableFactory<Table>) tablePlugin_.emplace("Default");
      readerPluginAfterTable_.emplace();
    } else {
      readerPluginBeforeTable_.emplace();
      if constexpr (HasTableFactory<Table>) tablePlugin_.emplace("Default");
    }
  }

  std::string_view tableName() const override { return Table::Model::Desc::info.className; }
  TableInfo const& tableInfo() const override { return Table::Model::Desc::info; }
  bool hasTablePlugin() const override { return HasTableFactory<Table>; }

 private:
  struct NoPlugin {};
  using TablePlugin =
      std::conditional_t<HasTableFactory<Table>,
                         Tessar::PluginHwTable<Table, Hardware::bcm88490_a0ChipType>, NoPlugin>;

  using ReaderPlugin = Tessar::PluginHwReaderTable<Reader, Hardware::bcm88490_a0ChipType>;

  // Members are destroyed in reverse declaration order, which undoes either
  // construction order above.
  std::ios_base::Init streams_;
  Tyvo::LogHandle errorLog_;
  Tyvo::LogHandle relaunchErrorLog_;
  Tyvo::LogHandle exceptionLog_;
  std::optional<ReaderPlugin> readerPluginBeforeTable_;
  std::optional<TablePlugin> tablePlugin_;
  std::optional<ReaderPlugin> readerPluginAfterTable_;
};

}  // namespace Framework
