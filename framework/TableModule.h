// What one table module sets up at load time and keeps until unload.
//
// In this order: the standard streams, the module's three log handles
// ("HW_ABSTRACTION_ERROR", "HW_ABSTRACTION_RELAUNCH_ERROR", "HW_ABSTRACTION_EXCEPTION"),
// the process's assertion mode (read from GRACEFUL_ASSERT_MODE by the first module
// only), and the table plug-in "Default" for chip type 25, for every table that has a
// factory. Members are destroyed in reverse order at unload.
//
// The modules of all tables are created from one place, in their fixed module order
// (tables/Modules.cc), because C++ leaves the order of static initialisers across
// files open.
#pragma once

#include <array>
#include <ios>
#include <optional>
#include <string_view>

#include "framework/PluginHwTable.h"
#include "platform/asic/Assert.h"
#include "platform/hardware/FapRevision.h"
#include "platform/tyvo/LogHandle.h"

namespace Framework {

// The three log messages every module registers, in registration order.
std::array<Tyvo::LogDescriptor, 3> const& moduleLogDescriptors();

template <class Table>
concept HasTableFactory = requires {
  &Table::factory;
};

class TableModuleBase {
 public:
  virtual ~TableModuleBase() = default;
  virtual std::string_view tableName() const = 0;
  virtual bool hasTablePlugin() const = 0;
};

template <class Table>
class TableModule : public TableModuleBase {
 public:
  TableModule()
      : errorLog_(moduleLogDescriptors()[0], Vorl::Duration(0), 1.0, 0, 0),
        relaunchErrorLog_(moduleLogDescriptors()[1], Vorl::Duration(0), 1.0, 0, 0),
        exceptionLog_(moduleLogDescriptors()[2], Vorl::Duration(0), 1.0, 0, 0) {
    Asic::modeFromEnvironmentOnce();
    if constexpr (HasTableFactory<Table>) tablePlugin_.emplace("Default");
  }

  std::string_view tableName() const override { return Table::Model::Desc::info.className; }
  bool hasTablePlugin() const override { return HasTableFactory<Table>; }

 private:
  struct NoPlugin {};
  using TablePlugin =
      std::conditional_t<HasTableFactory<Table>,
                         Tessar::PluginHwTable<Table, Hardware::bcm88490_a0ChipType>, NoPlugin>;

  std::ios_base::Init streams_;
  Tyvo::LogHandle errorLog_;
  Tyvo::LogHandle relaunchErrorLog_;
  Tyvo::LogHandle exceptionLog_;
  std::optional<TablePlugin> tablePlugin_;
};

}  // namespace Framework
