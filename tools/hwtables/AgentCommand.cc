// `hwtables agent [--root DIR] [--faps LIST] [--revision NAME] [--dma-buffer BYTES]
// [--script FILE] [--json]`: a long-running agent on the simulated chip, driven one
// command per line from a terminal (with a prompt), a pipe or a script.
//
// Every table is brought up at start (one shadow per FAP, downloaded to the chip);
// memory shadows live in their stores below the root, so `hwtables show` and `watch`
// in another process see them while the agent runs. End of input, `quit`, SIGINT or
// SIGTERM end the agent cleanly: the shadows are deleted, which empties their stores
// and leaves the files valid. Exit status 1 when any command line was refused.
#include <unistd.h>

#include <fstream>
#include <iostream>

#include <fmt/format.h>

#include "platform/ordex/EntityManager.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/AgentSession.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/StopSignals.h"

namespace Tool {
namespace {

struct Options {
  std::string faps = "0,1";
  std::string revision = "bcm88490_a0";
  std::string root;
  std::string script;
  U32 dmaBufferBytes = 256;
  bool json = false;
};

void print(AgentReply const& reply, bool json) {
  if (json) {
    fmt::print("{}\n", reply.json.dump());
  } else {
    for (auto const& line : reply.lines) fmt::print("{}\n", line);
  }
  std::fflush(stdout);
}

void run(Options const& options) {
  auto faps = parseFaps(options.faps);
  auto revision = parseRevision(options.revision);
  auto root = options.root.empty() ? Ordex::EntityManager::defaultStoreRoot() : options.root;
  std::ifstream script;
  if (!options.script.empty()) {
    script.open(options.script);
    if (!script) throw UsageError(fmt::format("cannot read the script {}", options.script));
  }
  std::istream& input = options.script.empty() ? std::cin : script;
  bool interactive = options.script.empty() && ::isatty(STDIN_FILENO) && !options.json;

  StopSignals signals;
  AgentSession session(faps, revision, root, options.dmaBufferBytes);
  if (options.json) {
    fmt::print("{}\n", nlohmann::json{{"ready", true},
                                      {"faps", faps},
                                      {"revision", revision.revString()},
                                      {"storeRoot", root}}
                           .dump());
  } else {
    for (auto const& line : session.bringUp()) fmt::print("{}\n", line);
    if (interactive) fmt::print("Type help for the commands, quit to end.\n");
  }
  std::fflush(stdout);

  bool anyRefused = false;
  std::string line;
  while (!StopSignals::requested()) {
    if (interactive) {
      fmt::print("hwtables> ");
      std::fflush(stdout);
    }
    if (!std::getline(input, line)) break;
    auto reply = session.handle(line);
    anyRefused = anyRefused || !reply.ok;
    if (reply.quit) break;
    if (!reply.lines.empty() || options.json) print(reply, options.json && !line.empty());
  }
  if (anyRefused) throw CheckFailed("some command lines were refused");
}

void addAgentCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* command = app.add_subcommand(
      "agent",
      "A long-running agent on the simulated chip with every table's shadows in the store, "
      "driven one command per line (help lists the commands); show and watch in another "
      "process see its shadows");
  addPluginDirOption(command);
  command->add_option("--faps", options->faps, "FAP ids to bring up, one shadow each: e.g. 0,1 or 0-3")
      ->capture_default_str();
  command->add_option("--revision", options->revision, "Chip revision, e.g. bcm88490_a0")
      ->capture_default_str();
  command->add_option("--root", options->root,
                      "Root of the memory shadows' stores (default: $HWTABLES_ROOT, else "
                      "/dev/shm/hwtables)");
  command->add_option("--dma-buffer", options->dmaBufferBytes,
                      "Size in bytes of the DMA buffers of downloads and reads")
      ->capture_default_str();
  command->add_option("--script", options->script, "Read the command lines from this file");
  command->add_flag("--json", options->json, "Answer each command with one JSON line");
  command->callback([options] { run(*options); });
}

CommandRegistration registration("agent", addAgentCommand);

}  // namespace
}  // namespace Tool
