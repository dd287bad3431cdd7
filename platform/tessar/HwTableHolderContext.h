// Where table plug-ins register their factories, and the list of chip revisions the
// agent supports.
//
// HwTableHolderContext maps {plug-in name, table key} to a table factory and its tag,
// and a table key to its reader factory. Each registration records the plug-in file
// being loaded when it was made (Plugin::currentSource()), so `hwtables plugins` can
// say what each plug-in registered.
// The agent initialises the table plug-ins of the default loader with the context
// (singleton()); each plug-in then registers one factory per supported revision of
// its chip type. Later the agent looks a factory up by table key and calls it with a
// revision and its table managers.
//
// SupportedFapRevList is the ordered list of revisions the agent supports; it starts
// as every revision the platform knows and the agent (or a test) may replace it.
//
// Thread-safety: every operation may run on any thread (one lock per object).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/hardware/FapRevision.h"
#include "platform/plugin/Plugin.h"
#include "platform/tessar/Keys.h"
#include "platform/tessar/TableManager.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"

namespace Tessar {

class HwCommonTableBase;
class HwTableReaderBase;
class ReadTableManager;

using HwReaderFactory = std::function<Vorl::Ptr<HwTableReaderBase>(
    Hardware::Sand::FapRevision const&, Vorl::Ptr<ReadTableManager> const&)>;

using HwTableFactory = std::function<Vorl::Ptr<HwCommonTableBase>(
    Hardware::Sand::FapRevision const&, Vorl::Ptr<TableManager> const&,
    Vorl::Ptr<Ombra::TableManager> const&)>;

class HWTABLES_API HwTableHolderContext {
 public:
  struct Registration {
    Vorl::String pluginName;
    HwTableKey hwTableKey;
    Vorl::String tag;
    std::string source;  // the plug-in file that registered it; empty: the program
  };

  struct ReaderRegistration {
    HwTableKey hwTableKey;
    std::string source;
  };

  HwTableHolderContext() = default;
  HwTableHolderContext(HwTableHolderContext const&) = delete;
  HwTableHolderContext& operator=(HwTableHolderContext const&) = delete;

  static HwTableHolderContext& singleton();

  // Registers (or replaces) the factory of that plug-in for that table key.
  void registerHwTableFactory(Vorl::String const& pluginName, HwTableKey const& hwTableKey,
                              HwTableFactory const& factory, Vorl::String const& tag);
  // The factory of that plug-in for that key; empty when none is registered.
  HwTableFactory hwTableFactory(HwTableKey const& hwTableKey,
                                Vorl::String const& pluginName = "Default") const;
  // Every registration, in the order made (a replacement keeps its place).
  std::vector<Registration> registrations() const;
  // Forgets the table factories. Reader factories stay: they belong to the plug-in's
  // reader plug-ins, which register them when made and withdraw them when destroyed.
  void clear();

  // Registers (or replaces) the reader factory of that table key.
  void registerHwReaderFactory(HwTableKey const& hwTableKey, HwReaderFactory const& factory);
  // Withdraws it; a key not registered is nothing to withdraw.
  void unregisterHwReaderFactory(HwTableKey const& hwTableKey);
  // The reader factory of that key; empty when none is registered.
  HwReaderFactory hwReaderFactory(HwTableKey const& hwTableKey) const;
  // The keys with a reader factory, in the order registered.
  std::vector<HwTableKey> readerRegistrations() const;
  // The same, each with the plug-in file that registered it.
  std::vector<ReaderRegistration> readerSources() const;

 private:
  struct Slot {
    Registration registration;
    HwTableFactory factory;
  };

  struct ReaderSlot {
    ReaderRegistration registration;
    HwReaderFactory factory;
  };

  mutable std::mutex mutex_;
  std::vector<Slot> slots_;
  std::vector<ReaderSlot> readerSlots_;
};

class HWTABLES_API SupportedFapRevList {
 public:
  static std::vector<Hardware::Sand::FapRevision> fapRevisionList();
  static void fapRevisionListIs(std::vector<Hardware::Sand::FapRevision> revisions);
  // Back to every revision the platform knows.
  static void fapRevisionListReset();
};

namespace HwTablePlugin {

using Loader = Plugin::Impl::LoaderImpl<HwTableHolderContext>;

// The loader every table plug-in registers with.
HWTABLES_API Loader& DefaultHwTableLoader();

}  // namespace HwTablePlugin
}  // namespace Tessar
