// Writes a store and reads it back in another object, loads the installed plug-ins
// and counts the tables they registered, then brings an agent up on a simulated chip
// with them, downloads every table and reads it back. Prints "consumer: ok" and
// exits 0 when all of it worked; otherwise one line saying what did not.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "agent/Agent.h"
#include "framework/TableRegistry.h"
#include "platform/plugin/PluginDirectory.h"
#include "store/BrellReader.h"
#include "store/BrellWriter.h"
#include "store/RawValue.h"

namespace {

using Traits = Brell::RawValueTraits<16>;

int fail(std::string const& what) {
  std::fprintf(stderr, "consumer: %s\n", what.c_str());
  return 1;
}

int run(std::string const& root) {
  {
    Brell::MapDescriptor descriptor;
    descriptor.maxSize = 1024;
    Brell::BrellWriter<Traits> writer("consumer", descriptor, root);
    if (!writer.initialize("consumer")) return fail("the writer could not attach");
    Brell::RawValue<16> value{};
    for (value.key = 1; value.key <= 100; ++value.key) writer.write(value, true);
    Brell::BrellReader<Traits> reader("consumer", root);
    if (!reader.initialize("consumer"))
      return fail("the reader could not attach: " + reader.lastError());
    for (std::uint32_t key = 1; key <= 100; ++key) {
      bool found = false;
      reader.lookup(key, found, &value);
      if (!found || value.key != key)
        return fail("key " + std::to_string(key) + " did not read back");
    }
  }

  // The default plug-in directory is the installed one, next to the library.
  if (std::filesystem::path(Plugin::defaultPluginDirectory()) !=
      std::filesystem::canonical(HWTABLES_PLUGIN_DIR)) {
    return fail("default plug-in directory " + Plugin::defaultPluginDirectory() +
                " is not the installed " + HWTABLES_PLUGIN_DIR);
  }
  auto errors = Plugin::loadPluginDirectory(Plugin::defaultPluginDirectory());
  if (!errors.empty()) return fail(errors.front().toString());
  auto tables = Framework::TableRegistry::singleton().tables().size();
  if (tables != 13) return fail("the plug-ins registered " + std::to_string(tables) + " tables");

  HwAgent::Options options;
  options.faps = {0};
  options.storeRoot = root + "/agent";
  std::filesystem::create_directory(options.storeRoot);
  HwAgent::Agent agent(options);
  std::size_t commands = agent.download().commands(), differences = 0;
  for (auto const& audit : agent.audit()) differences += audit.differences.size();
  if (commands == 0 || differences != 0) {
    return fail("the agent's download sent " + std::to_string(commands) + " commands and " +
                std::to_string(differences) + " rows differ");
  }
  std::printf(
      "consumer: ok (100 entries written and read back; %zu tables from %s; an agent "
      "downloaded them in %zu commands and read them back)\n",
      tables, Plugin::loadedPlugins().front().path.c_str(), commands);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return fail("usage: consumer STORE-DIR");
  try {
    return run(argv[1]);
  } catch (std::exception const& error) {
    return fail(error.what());
  }
}
