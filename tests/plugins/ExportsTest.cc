#include <cxxabi.h>
#include <link.h>

#include "platform/plugin/ExportedSymbols.h"
#include "platform/tessar/HwTableBase.h"
#include "platform/tessar/HwTableReaderBase.h"
#include "platform/tessar/TableManager.h"
#include "tests/plugins/PluginTestSupport.h"

namespace {

namespace fs = std::filesystem;
using Hardware::Sand::FapRevision;
using PluginTest::pluginPath;

// How the demangler spells T in a parameter list.
template <class T>
std::string spelled() {
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> text(
      abi::__cxa_demangle(typeid(T).name(), nullptr, nullptr, &status), &std::free);
  return status == 0 ? std::string(text.get()) : typeid(T).name();
}

template <class T>
std::string byReference() {
  return spelled<T>() + " const&";
}

using TableFactory = Vorl::Ptr<Tessar::HwCommonTableBase> (*)(
    FapRevision const&, Vorl::Ptr<Tessar::TableManager> const&,
    Vorl::Ptr<Ombra::TableManager> const&);

// The demangled names a table's module exports, as the exports list spells them.
struct TableExports {
  std::string tableFactory;
  std::string freeTableFactory;
  std::string readerFactory;
  std::string freeReaderFactory;
  std::string resultFactory;
  std::string record;

  explicit TableExports(std::string const& table) {
    std::string lower = table;
    lower[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[0])));
    std::string reader = "bcm88490_a0::HwTable" + table + "Reader";
    auto tableManager = byReference<Vorl::Ptr<Tessar::TableManager>>();
    auto readTableManager = byReference<Vorl::Ptr<Tessar::ReadTableManager>>();
    auto revision = byReference<FapRevision>();
    auto tableKey = byReference<Tessar::HwTableKey>();
    tableFactory = "bcm88490_a0::" + table + "::factory(" + revision + ", " + tableManager + ", " +
                   byReference<Vorl::Ptr<Ombra::TableManager>>() + ")";
    freeTableFactory = "bcm88490_a0::" + lower + "Factory(" + byReference<Vorl::String>() + ", " +
                       tableKey + ", " + tableManager + ")";
    readerFactory = reader + "::factory(" + revision + ", " + readTableManager + ")";
    freeReaderFactory = "bcm88490_a0::hwTable" + table + "ReaderFactory(" + tableKey + ", " +
                        readTableManager + ")";
    resultFactory = reader + "::hwInstanceReadResultFactory(" + spelled<Tessar::HwShadowKey>() +
                    ", " + revision + ")";
    auto const* module = Vorl::loadedModule(table);
    record = module ? std::string(module->name()) : "no record of " + table;
  }
};

class PluginExports : public ::testing::Test {
 protected:
  void SetUp() override {
    auto errors = Plugin::loadPluginDirectory(Plugin::defaultPluginDirectory());
    ASSERT_TRUE(errors.empty()) << errors.front().toString();
    handle_ = ::dlopen(pluginPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle_, nullptr) << ::dlerror();
    for (auto const& symbol : Plugin::exportedSymbols(pluginPath())) {
      if (symbol.chosen()) global_.emplace(symbol.demangled, symbol.name);
    }
    for (auto const& record : Framework::TableRegistry::singleton().tables()) {
      if (record->source == pluginPath()) tables_.emplace_back(record->info->className);
    }
    ASSERT_EQ(tables_.size(), 13u);
  }
  void TearDown() override {
    if (handle_) ::dlclose(handle_);
  }

  template <class T>
  T resolve(std::string const& demangled) {
    auto found = global_.find(demangled);
    if (found == global_.end()) {
      ADD_FAILURE() << "not exported: " << demangled;
      return nullptr;
    }
    void* address = ::dlsym(handle_, found->second.c_str());
    EXPECT_NE(address, nullptr) << found->second << ": " << ::dlerror();
    return reinterpret_cast<T>(address);
  }

  void* handle_ = nullptr;
  std::map<std::string, std::string> global_;  // chosen exports: demangled name -> symbol
  std::vector<std::string> tables_;
};

// A platform finds each table's entry points by name with dlsym, and they are what they
// name: the factories behind them are the registered ones (tested through the
// registries), so the table factory and the record stand for all of them.
TEST_F(PluginExports, EveryTableExportsItsFactoriesAndRecordAndNothingElseIsExported) {
  auto revision = Hardware::Sand::bcm88490_a0Revision;
  auto manager = Vorl::makePtr<Tessar::TableManager>();
  std::set<std::string> expected{Plugin::kMarkerSymbol, Plugin::kRegisterSymbol};
  for (auto const& table : tables_) {
    SCOPED_TRACE(table);
    TableExports exports(table);
    expected.insert({exports.tableFactory, exports.freeTableFactory, exports.readerFactory,
                     exports.freeReaderFactory, exports.resultFactory, exports.record});
    for (auto const* name : {&exports.freeTableFactory, &exports.readerFactory,
                             &exports.freeReaderFactory, &exports.resultFactory}) {
      EXPECT_NE(resolve<void*>(*name), nullptr) << *name;
    }
    auto factory = resolve<TableFactory>(exports.tableFactory);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory(revision, manager, nullptr)->typeName(), "bcm88490_a0::" + table);
    EXPECT_EQ(resolve<Vorl::ModuleInspectData const*>(exports.record), Vorl::loadedModule(table));
  }
  for (auto const& [name, symbol] : global_) EXPECT_TRUE(expected.contains(name)) << "exported: " << name;
}

TEST(ExportedSymbols, FilesThatAreNotSharedObjectsAreRefusedWithTheReason) {
  PluginTest::TempDirectory directory;
  auto const& temporary = directory.path();
  auto refused = [](fs::path const& path) {
    try {
      Plugin::exportedSymbols(path.string());
    } catch (Vorl::InvalidInitializeException const& error) {
      return std::string(error.what());
    }
    return std::string("accepted");
  };
  std::ofstream(temporary / "text") << "not a shared object\n";
  EXPECT_EQ(refused(temporary / "text"), (temporary / "text").string() + ": not an ELF file");
  EXPECT_NE(refused(temporary / "missing").find("cannot be read"), std::string::npos);
  // The plug-in cut short, and its section table pointed past its end: refused, not read.
  std::string bytes = PluginTest::pluginBytes();
  ASSERT_GT(bytes.size(), 4096u);
  std::ofstream(temporary / "cut", std::ios::binary) << bytes.substr(0, 4096);
  EXPECT_NE(refused(temporary / "cut").find("damaged"), std::string::npos);
  std::string pointed = bytes;
  ElfW(Ehdr) header{};
  std::memcpy(&header, pointed.data(), sizeof(header));
  header.e_shoff = pointed.size() - 8;
  std::memcpy(pointed.data(), &header, sizeof(header));
  std::ofstream(temporary / "pointed", std::ios::binary) << pointed;
  EXPECT_NE(refused(temporary / "pointed").find("damaged section table"), std::string::npos);
}

}  // namespace
