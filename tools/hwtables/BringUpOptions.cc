#include "tools/hwtables/BringUpOptions.h"

#include <CLI/CLI.hpp>

#include "tools/hwtables/Arguments.h"
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
  command->add_flag("--warm", arguments.warm, warmHelp);
}

HwAgent::Options bringUpOptions(BringUpArguments const& arguments) {
  HwAgent::Options options;
  options.faps = parseFaps(arguments.faps);
  options.revision = parseRevision(arguments.revision);
  options.dmaBufferBytes = checkDmaBuffer(arguments.dmaBufferBytes);
  options.chipSocket = arguments.chip;
  options.storeRoot = storeRoot(arguments.root);
  options.warm = arguments.warm;
  return options;
}

}  // namespace Tool
