// The long-running agent behind `hwtables agent`: every table of the chip with one
// shadow per FAP (memory shadows in their shared-memory stores), the simulated chip
// they are downloaded to, and the table readers, driven one command line at a time.
//
// The session knows no table: it reaches every table through the type runtime (the
// table's module record, its types' text forms, attributes and functions by name) and
// through the platform's registries. A bad line (unknown command, table or field, a
// value too wide for its field, a key out of range) is answered with one error line
// carrying the system's own message and changes nothing.
//
// Thread-safety: none; one thread drives a session.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/dma/DmaMemPool.h"
#include "platform/hardware/FapRevision.h"
#include "platform/sim/SimChip.h"
#include "platform/tessar/ReadTableManager.h"
#include "platform/tessar/TableManager.h"

namespace Tool {

struct AgentReply {
  bool ok = true;
  bool quit = false;
  std::vector<std::string> lines;  // for people
  nlohmann::json json = nlohmann::json::object();  // for machines (one JSON line)
};

class AgentSession {
 public:
  AgentSession(std::vector<U32> faps, Hardware::Sand::FapRevision revision, std::string root,
               U32 dmaBufferBytes);
  ~AgentSession();
  AgentSession(AgentSession const&) = delete;
  AgentSession& operator=(AgentSession const&) = delete;

  // Runs one command line; never throws for a bad line.
  AgentReply handle(std::string const& line);

  // What the bring-up did, for the first lines of output.
  std::vector<std::string> const& bringUp() const { return bringUp_; }

 private:
  AgentReply run(std::vector<std::string> const& words);

  std::vector<U32> faps_;
  Pelcar::Fapmask fapmask_;
  Hardware::Sand::FapRevision revision_;
  Vorl::Ptr<Tessar::TableManager> manager_;
  Vorl::Ptr<Tessar::ReadTableManager> readers_;
  Sim::Chip chip_;
  std::vector<std::string> bringUp_;
};

// Splits a command line into words; a `{...}` group (a key's text form) is one word.
std::vector<std::string> commandWords(std::string const& line);

}  // namespace Tool
