// What `hwtables store check`, `dump` and `get` print: an inspection report of a store
// directory (Brell::StoreInspector) as readable text for people or as one JSON
// document for machines.
//
// Everything shown comes from a damaged file as often as from a good one, so no field
// is trusted: texts read from a header are made printable, and the JSON is written so
// that bytes that are not UTF-8 cannot make the output fail.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "store/StoreInspector.h"

namespace CLI {
class App;
}

namespace Tool {

// The options of every command that inspects stores read-only: --json and --wait (how
// long to wait for a running writer to pause between operations). Defined with the
// store commands.
void addInspectOptions(CLI::App* command, bool& json, int& waitMilliseconds);

// The report of `root` as JSON: result, reason, header fields, bucket header,
// restart identity, owner and walk counts; with `entries`, every occupied slot in
// list order (key and value bytes in hex).
nlohmann::ordered_json storeReportJson(std::string const& root,
                                       Brell::InspectionReport const& report, bool entries);

// The same for people: a summary of the header and, with `entries`, a table of the
// occupied slots in list order.
std::string storeReportText(std::string const& root, Brell::InspectionReport const& report,
                            bool entries);

// One occupied slot: as a JSON object, and as a row of the text table (whose
// columns have fixed widths, so a dump can print rows as the walk meets them).
nlohmann::ordered_json entryJson(Brell::SlotHeader const& header, Brell::ChainEntry const& entry);
std::string entryTableHead(Brell::SlotHeader const& header);
std::string entryTableRow(Brell::SlotHeader const& header, Brell::ChainEntry const& entry);
std::string entryTableTail(std::uint64_t count, bool valid);

// Whether the store was left mid-operation by a writer that is gone, and what that
// means for the user and how to recover.
bool leftByKilledWriter(Brell::InspectionReport const& report);
std::string killedWriterAdvice(std::string const& root, Brell::InspectionReport const& report);

// The one line for stderr when the report is not "ok".
std::string storeFailureLine(std::string const& root, Brell::InspectionReport const& report);

// A number of bytes for people: "0 B", "24 KiB", "11.8 MiB".
std::string byteSize(std::uint64_t bytes);
// A store is whole only with a sound owner file: a writer that finds the file damaged
// starts the store afresh and drops every entry. So a damaged owner file turns a
// report the inspector found valid into "invalid", with that reason. Every store
// command judges a store through this.
void judgeOwnerFile(Brell::InspectionReport& report);

// A text from a file, safe to print: bytes outside printable ASCII become \xNN.
std::string printable(std::string const& text);

// JSON text that never throws on bytes that are not UTF-8 (they are replaced).
std::string jsonText(nlohmann::ordered_json const& document);

}  // namespace Tool
