// `hwtables chip serve|show|digest|flip-bits|reset`: a simulated chip in a process of
// its own, and what can be done to it from outside.
//
//   serve       holds the chip's cells and answers agents over a Unix socket until
//               SIGINT or SIGTERM (platform/sim/ChipServer.h); a killed agent's chip
//               keeps what the agent had sent; --faults makes it fail on purpose
//               (platform/sim/FaultPlan.h)
//   show        every written cell, labelled with its table when a loaded plug-in
//               knows its block and address, in bytes and decoded fields
//   digest      one number for all the cells: two chips agree exactly when their
//               digests do
//   flip-bits   flips N random bits of written cells, as soft errors would
//   reset       empties the chip
//
// Every command but serve connects to a running chip, sends one request and prints
// its answer; a chip that is not there is a failure (exit 1), not a wait.
#include <sys/un.h>
#include <unistd.h>

#include <random>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "platform/sim/ChipClient.h"
#include "platform/sim/ChipServer.h"
#include "platform/sim/ChipWire.h"
#include "tools/hwtables/Command.h"
#include "tools/hwtables/MemoryStores.h"
#include "tools/hwtables/Plugins.h"
#include "tools/hwtables/StopSignals.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace ChipCommand {
namespace {

struct Options {
  std::string socket;
  std::string group;
  std::string faults;
  std::optional<U32> fap;
  U32 count = 0;
  std::optional<std::uint64_t> seed;
  bool json = false;
};

std::string socketOf(Options const& options) {
  auto path = options.socket.empty() ? Sim::defaultChipSocket() : options.socket;
  if (path.size() >= sizeof(sockaddr_un{}.sun_path)) {
    throw UsageError(fmt::format("the socket path {} is longer than {} bytes", path,
                                 sizeof(sockaddr_un{}.sun_path) - 1));
  }
  return path;
}

// Runs one request against the chip; a chip that is not there or refuses fails the
// command (exit 1).
template <class Request>
auto withChip(Options const& options, Request&& request) {
  auto path = socketOf(options);
  try {
    Sim::ChipClient client(path);
    return request(client);
  } catch (Sim::ChipError const& error) {
    throw CheckFailed(error.what());
  }
}

// The table and member at a block and address, from the loaded plug-ins.
struct Place {
  std::string table;
  std::string member;
};

Place placeOf(Sim::CellAddress const& cell) {
  for (auto const* info : tableCatalogue()) {
    for (auto const& member : info->members) {
      if (member.block == cell.block && member.address == cell.address) {
        return {std::string(info->className), std::string(member.name)};
      }
    }
  }
  return {};
}

nlohmann::ordered_json cellJson(Sim::CellAddress const& cell) {
  auto place = placeOf(cell);
  return {{"fap", cell.fapId},    {"block", cell.block},    {"address", cell.address},
          {"table", place.table}, {"member", place.member}, {"arrayIndex", cell.arrayIndex},
          {"row", cell.row}};
}

std::string cellText(Sim::CellAddress const& cell) {
  auto place = placeOf(cell);
  auto where = place.table.empty() ? fmt::format("block {} address {:#x}", cell.block, cell.address)
                                   : fmt::format("{} ({})", place.table, place.member);
  return fmt::format("FAP {} {} array {} row {}", cell.fapId, where, cell.arrayIndex, cell.row);
}

void serve(Options const& options) {
  Sim::ChipServer::Options serverOptions;
  serverOptions.socketPath = socketOf(options);
  if (!options.group.empty()) {
    serverOptions.group = Sim::groupNamed(options.group);
    if (!serverOptions.group) throw UsageError(fmt::format("no group '{}'", options.group));
  }
  if (!options.faults.empty()) {
    try {
      serverOptions.faults = Sim::FaultPlan::parse(options.faults);
    } catch (Sim::FaultPlanError const& error) {
      throw UsageError(fmt::format("--faults: {}", error.what()));
    }
  }
  auto plan = serverOptions.faults ? serverOptions.faults->text() : std::string();
  bool json = options.json;
  serverOptions.log = [json](std::string const& line) {
    fmt::print(stderr, "hwtables chip: {}\n", line);
    if (json) {
      fmt::print("{}\n", nlohmann::ordered_json{{"event", "log"}, {"message", line}}.dump());
      std::fflush(stdout);
    }
  };
  std::unique_ptr<Sim::ChipServer> server;
  try {
    server = std::make_unique<Sim::ChipServer>(serverOptions);
  } catch (Sim::ChipServerError const& error) {
    throw UsageError(error.what());
  }
  StopSignals signals;
  if (json) {
    fmt::print("{}\n",
               nlohmann::ordered_json{{"event", "serving"},
                                      {"socket", server->socketPath()},
                                      {"protocol", Sim::Wire::kVersion},
                                      {"instance", fmt::format("{:#018x}", server->instance())},
                                      {"pid", ::getpid()},
                                      {"faults", plan}}
                   .dump());
  } else {
    fmt::print("chip serving on {} (protocol {}, instance {:#018x}, pid {}); Ctrl-C ends it\n",
               server->socketPath(), Sim::Wire::kVersion, server->instance(), ::getpid());
    if (!plan.empty()) fmt::print("failing on purpose: {}\n", plan);
  }
  std::fflush(stdout);
  server->run([] { return StopSignals::requested(); });
  auto cells = server->chip().cells().size();
  auto commands = server->chip().commandsExecuted();
  auto const* injector = server->chip().faults();
  auto faults = injector ? injector->faultsInjected() : 0;
  auto flips = injector ? injector->bitsFlipped() : 0;
  server.reset();
  if (json) {
    fmt::print("{}\n", nlohmann::ordered_json{{"event", "stopped"},
                                              {"cells", cells},
                                              {"commandsExecuted", commands},
                                              {"faultsInjected", faults},
                                              {"bitsFlipped", flips}}
                           .dump());
  } else {
    fmt::print("chip stopped: its {} cells are gone ({} commands executed)\n", cells, commands);
    if (injector) {
      fmt::print("it failed {} command(s) on purpose and flipped {} bit(s)\n", faults, flips);
    }
  }
}

void show(Options const& options) {
  auto cells =
      withChip(options, [&](Sim::ChipClient& client) { return client.cells(options.fap); });
  if (options.json) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (auto const& [address, cell] : cells) {
      auto item = cellJson(address);
      item["register"] = cell.isRegister;
      item["data"] = Pelcar::hexBytes(cell.data.data(), cell.data.size());
      list.push_back(std::move(item));
    }
    fmt::print("{}\n",
               nlohmann::ordered_json{{"socket", socketOf(options)}, {"cells", list}}.dump(2));
    return;
  }
  TextTable table({"FAP", "TABLE", "ARRAY", "ROW", "DATA AND FIELDS"});
  for (auto const& [address, cell] : cells) {
    auto place = placeOf(address);
    table.rowIs({fmt::format("{}", address.fapId),
                 place.table.empty()
                     ? fmt::format("block {} address {:#x}", address.block, address.address)
                     : place.table,
                 fmt::format("{}", address.arrayIndex), fmt::format("{}", address.row),
                 place.table.empty() ? Pelcar::hexBytes(cell.data.data(), cell.data.size())
                                     : entryText(place.table, cell.data)});
  }
  fmt::print("{}{} cells written on the chip at {}\n", table.toString(), cells.size(),
             socketOf(options));
}

void digest(Options const& options) {
  auto digest = withChip(options, [](Sim::ChipClient& client) { return client.digest(); });
  if (options.json) {
    fmt::print("{}\n",
               nlohmann::ordered_json{{"socket", socketOf(options)},
                                      {"digest", fmt::format("{:#018x}", digest.digest)},
                                      {"cells", digest.cells},
                                      {"commandsExecuted", digest.commandsExecuted},
                                      {"instance", fmt::format("{:#018x}", digest.instance)}}
                   .dump(2));
    return;
  }
  fmt::print("digest {:#018x}: {} cells, {} commands executed, chip instance {:#018x}\n",
             digest.digest, digest.cells, digest.commandsExecuted, digest.instance);
}

void flipBits(Options const& options) {
  std::uint64_t seed = options.seed ? *options.seed : std::random_device()();
  auto flipped = withChip(
      options, [&](Sim::ChipClient& client) { return client.flipBits(options.count, seed); });
  if (options.json) {
    nlohmann::ordered_json bits = nlohmann::ordered_json::array();
    for (auto const& flip : flipped) {
      auto item = cellJson(flip.cell);
      item["bit"] = flip.bit;
      bits.push_back(std::move(item));
    }
    fmt::print("{}\n", nlohmann::ordered_json{{"seed", seed}, {"flipped", bits}}.dump(2));
    return;
  }
  fmt::print("flipped {} bits of the chip at {} (seed {}):\n", flipped.size(), socketOf(options),
             seed);
  for (auto const& flip : flipped) fmt::print("  {} bit {}\n", cellText(flip.cell), flip.bit);
}

void reset(Options const& options) {
  auto removed = withChip(options, [](Sim::ChipClient& client) { return client.reset(); });
  if (options.json) {
    fmt::print(
        "{}\n",
        nlohmann::ordered_json{{"socket", socketOf(options)}, {"cellsRemoved", removed}}.dump(2));
    return;
  }
  fmt::print("the chip at {} is empty now: {} cells removed\n", socketOf(options), removed);
}

void addSocketOption(CLI::App* command, Options& options) {
  command->add_option("--socket", options.socket,
                      "The chip's Unix socket (default: $HWTABLES_CHIP_SOCKET, else "
                      "$XDG_RUNTIME_DIR/hwtables-chip.sock, else /tmp/hwtables-chip-<uid>.sock)");
  command->add_flag("--json", options.json, "JSON for machines");
}

void addChipCommand(CLI::App& app) {
  auto options = std::make_shared<Options>();
  auto* chip = app.add_subcommand(
      "chip",
      "A simulated chip in a process of its own, which keeps its tables when an agent dies");
  chip->require_subcommand(1);

  auto* serveCommand = chip->add_subcommand(
      "serve",
      "Hold the chip's cells and answer agents over a Unix socket until interrupted; only "
      "this user (or the --group) may connect");
  addSocketOption(serveCommand, *options);
  serveCommand->add_option("--group", options->group,
                           "A group whose members may use the chip too (name or number)");
  serveCommand->add_option(
      "--faults", options->faults,
      "Fail on purpose, e.g. refuse-rate=0.1,partial-rate=0.2,seed=7: refuse=N, "
      "refuse-rate=F (write commands refused), timeout=N, timeout-rate=F (DMA bulk writes "
      "that time out), partial=N, partial-rate=F, partial-rows=K (DMA bulk writes that "
      "land their first K rows), flip-every=N (a bit of every Nth write flips), seed=S");
  serveCommand->callback([options] { serve(*options); });

  auto* showCommand =
      chip->add_subcommand("show", "Every written cell of a running chip, labelled with its table");
  addSocketOption(showCommand, *options);
  addPluginDirOption(showCommand);
  showCommand->add_option("--fap", options->fap, "Only this FAP's cells")
      ->check(CLI::Range(0u, 255u));
  showCommand->callback([options] { show(*options); });

  auto* digestCommand =
      chip->add_subcommand("digest", "One number for all the cells of a running chip");
  addSocketOption(digestCommand, *options);
  digestCommand->callback([options] { digest(*options); });

  auto* flipCommand =
      chip->add_subcommand("flip-bits", "Flip N random bits of a running chip's written cells");
  addSocketOption(flipCommand, *options);
  addPluginDirOption(flipCommand);
  flipCommand->add_option("N", options->count, "How many bits")
      ->required()
      ->check(CLI::Range(1u, 1000000u));
  flipCommand->add_option("--seed", options->seed,
                          "Seed of the bits chosen (default: random, printed)");
  flipCommand->callback([options] { flipBits(*options); });

  auto* resetCommand = chip->add_subcommand("reset", "Empty a running chip");
  addSocketOption(resetCommand, *options);
  resetCommand->callback([options] { reset(*options); });
}

CommandRegistration registration("chip", addChipCommand);

}  // namespace
}  // namespace ChipCommand
}  // namespace Tool
