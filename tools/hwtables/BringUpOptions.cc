#include "tools/hwtables/BringUpOptions.h"

#include <CLI/CLI.hpp>

#include <fmt/format.h>

#include "agent/Journal.h"
#include "tools/hwtables/Arguments.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/Resources.h"

namespace Tool {

void addBringUpOptions(CLI::App* command, BringUpArguments& arguments,
                       std::string const& warmHelp) {
  command
      ->add_option("--faps", arguments.faps,
                   "FAP ids to bring up, one shadow each: e.g. 0,1 or 0-3 (0..255, not 128)")
      ->capture_default_str();
  command->add_option("--revision", arguments.revision, "Chip revision, e.g. bcm88490_a0")
      ->capture_default_str();
  command->add_option("--root", arguments.root,
                      "Root of the memory shadows' stores (default: $HWTABLES_ROOT, else "
                      "/dev/shm/hwtables); created when its parent exists");
  command
      ->add_option("--dma-buffer", arguments.dmaBufferBytes,
                   "Size in bytes of the DMA buffers of downloads and reads (at least one "
                   "row of the widest memory)")
      ->capture_default_str();
  command->add_option("--chip", arguments.chip,
                      "Socket of a running `hwtables chip serve` to drive (default: a simulated "
                      "chip in this process, gone when it ends)");
  command->add_option("--faults", arguments.faults,
                      "Make the simulated chip in this process fail on purpose, as `hwtables "
                      "chip serve --faults SPEC` does (e.g. refuse-rate=0.1,partial-rate=0.3,"
                      "seed=7); a chip process takes its plan when it is started");
  command->add_flag("--warm", arguments.warm, warmHelp);
  command->add_option("--journal", arguments.journal,
                      "Record every command sent to the chip, with its table and the chip's "
                      "answer, in this file (hwtables journal show|replay); an earlier journal "
                      "there becomes FILE.1");
  command
      ->add_option("--journal-max-bytes", arguments.journalMaxBytes,
                   "Largest journal file: a full one is rotated to FILE.1 .. FILE.3 (the "
                   "oldest is removed); at least 4096")
      ->capture_default_str();
}

HwAgent::Options bringUpOptions(BringUpArguments const& arguments) {
  HwAgent::Options options;
  options.faps = parseFaps(arguments.faps);
  options.revision = parseRevision(arguments.revision);
  options.dmaBufferBytes = checkDmaBuffer(arguments.dmaBufferBytes);
  options.chipSocket = arguments.chip;
  if (!arguments.faults.empty()) {
    if (!arguments.chip.empty()) {
      throw UsageError(
          "--faults makes the chip in this process fail; a chip process takes its plan when "
          "it is started ('hwtables chip serve --faults SPEC')");
    }
    try {
      options.chipFaults = Sim::FaultPlan::parse(arguments.faults);
    } catch (Sim::FaultPlanError const& error) {
      throw UsageError(fmt::format("--faults: {}", error.what()));
    }
  }
  options.storeRoot = storeRoot(arguments.root);
  options.warm = arguments.warm;
  if (!arguments.journal.empty()) {
    try {
      options.journal =
          std::make_shared<HwAgent::JournalWriter>(arguments.journal, arguments.journalMaxBytes);
    } catch (HwAgent::JournalError const& error) {
      throw UsageError(fmt::format("--journal: {}", error.what()));
    }
  }
  return options;
}

}  // namespace Tool
