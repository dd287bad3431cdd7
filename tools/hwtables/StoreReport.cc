#include "tools/hwtables/StoreReport.h"

#include <fmt/format.h>

#include <algorithm>

#include "tools/hwtables/Errors.h"
#include "tools/hwtables/TextTable.h"

namespace Tool {
namespace {

std::string hexBytes(unsigned char const* bytes, std::size_t count) {
  std::string text;
  text.reserve(2 * count);
  for (std::size_t index = 0; index < count; ++index) {
    fmt::format_to(std::back_inserter(text), "{:02x}", bytes[index]);
  }
  return text;
}

std::string hexBytes(std::vector<unsigned char> const& bytes) {
  return hexBytes(bytes.data(), bytes.size());
}

std::string flagsText(Brell::SlotHeader const& header) {
  std::string text;
  if (header.fixedSize()) text += " fixed-size";
  if (header.shrinkable()) text += " shrinkable";
  return text.empty() ? " none" : text;
}

nlohmann::ordered_json keyLayoutJson(Brell::KeyLayout const& layout) {
  nlohmann::ordered_json fields = nlohmann::ordered_json::array();
  for (std::size_t index = 0; index < layout.fieldCount && index < Brell::kMaxKeyFields; ++index) {
    fields.push_back(
        {{"offset", layout.fields[index].offset}, {"width", layout.fields[index].width}});
  }
  return fields;
}

nlohmann::ordered_json headerJson(Brell::SlotHeader const& header) {
  return {{"valueType", header.typeName},
          {"formatVersion", header.formatVersion},
          {"checksumMatches", header.checksumMatches},
          {"valueSize", header.valueSize},
          {"slotSize", header.slotSize},
          {"headerSize", header.headerSize()},
          {"typeSize", header.typeSize},
          {"keySize", header.keySize},
          {"keyLayout", keyLayoutJson(header.keyLayout)},
          {"pyrelId", header.pyrelId},
          {"initialSlots", header.initialSlots},
          {"maximumSlots", header.maximumSlots},
          {"slotCount", header.slotCount.value},
          {"slotCountVersion", header.slotCount.version},
          {"largestSlotCount", header.largestSlotCount},
          {"occupancy", header.occupancy},
          {"largestOccupancy", header.largestOccupancy},
          {"freeListHead", header.freeListHead},
          {"hashSeed", header.hashSeed},
          {"headerFlags", header.headerFlags},
          {"fixedSize", header.fixedSize()},
          {"shrinkable", header.shrinkable()},
          {"runtimeFlags", header.runtimeFlags},
          {"criticalSection", header.criticalSection()},
          {"writerSequence", header.writerSequence},
          {"creationTime", header.creationTime},
          {"creatorProcess", header.creatorProcess},
          {"lookaside",
           {{"version", header.lookasideLink.version}, {"reference", header.lookasideLink.value}}}};
}

// The columns are sized by what the rows print, never by a header field the
// inspector's checks have not bounded (a damaged header may hold anything): the key
// column by the key bytes StoreInspector::keyBytes prints (the layout's fields when
// they fit the value, else the value's first 4 bytes), the value column by the
// value size a valid header can have (a slot is at most 4096 bytes).
constexpr std::size_t kFallbackKeyBytes = 4;
constexpr std::size_t kLargestValueBytes = 4096;

std::size_t keyColumnWidth(Brell::SlotHeader const& header) {
  bool layoutUsed =
      header.keyLayout.fieldCount != 0 && header.keyLayout.fitsValue(header.valueSize);
  std::size_t keyBytes = layoutUsed ? header.keyLayout.size() : kFallbackKeyBytes;
  return std::max<std::size_t>(3, 2 * keyBytes);
}

std::size_t valueColumnWidth(Brell::SlotHeader const& header) {
  return 2 * std::min<std::size_t>(header.valueSize, kLargestValueBytes);
}

}  // namespace

std::string byteSize(std::uint64_t bytes) {
  if (bytes < 1024) return fmt::format("{} B", bytes);
  if (bytes < 1024 * 1024) {
    return bytes % 1024 == 0 ? fmt::format("{} KiB", bytes / 1024)
                             : fmt::format("{:.1f} KiB", static_cast<double>(bytes) / 1024);
  }
  return fmt::format("{:.1f} MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

namespace {

// The files of the store, each with its length and the space it takes on the file
// system (what a store costs in shared memory is the latter: a tmpfs holds whole
// pages), and their total.
std::string filesText(std::vector<Brell::FileSpace> const& files) {
  if (files.empty()) return fmt::format("  {:<18}{}\n", "files", "none");
  std::string text;
  for (std::size_t index = 0; index < files.size(); ++index) {
    auto const& file = files[index];
    fmt::format_to(std::back_inserter(text), "  {:<18}{:<22}{:>10} bytes, {:>8} on disk\n",
                   index == 0 ? "files" : "", printable(file.name), file.bytes,
                   byteSize(file.allocated));
  }
  fmt::format_to(std::back_inserter(text), "  {:<18}{:<22}{:>10}        {:>8} on disk\n", "", "all",
                 "", byteSize(Brell::allocatedBytes(files)));
  return text;
}

std::string referenceText(std::uint32_t reference) {
  if (reference == Brell::kNullReference) return "none";
  if ((reference & Brell::kEndFlag) != 0) {
    return fmt::format("end, next bucket {}", reference & Brell::kIndexMask);
  }
  return fmt::format("slot {}", reference & Brell::kIndexMask);
}

}  // namespace

std::string printable(std::string const& text) {
  return shown(text, std::string::npos);
}

std::string jsonText(nlohmann::ordered_json const& document) {
  return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

nlohmann::ordered_json storeReportJson(std::string const& root,
                                       Brell::InspectionReport const& report, bool entries) {
  nlohmann::ordered_json document{{"root", root},
                                  {"result", report.result},
                                  {"valid", report.valid()},
                                  {"reason", report.reason},
                                  {"slotFileBytes", report.slotFileSize},
                                  {"bucketFileBytes", report.bucketFileSize}};
  nlohmann::ordered_json files = nlohmann::ordered_json::array();
  for (auto const& file : report.files) {
    files.push_back({{"name", file.name}, {"bytes", file.bytes}, {"diskBytes", file.allocated}});
  }
  document["files"] = std::move(files);
  document["diskBytes"] = Brell::allocatedBytes(report.files);
  document["header"] =
      report.slotHeader ? headerJson(*report.slotHeader) : nlohmann::ordered_json();
  if (report.bucketHeader) {
    document["buckets"] = {{"count", report.bucketHeader->count.value},
                           {"version", report.bucketHeader->count.version},
                           {"pyrelId", report.bucketHeader->pyrelId},
                           {"checksumMatches", report.bucketHeader->checksumMatches()}};
  } else {
    document["buckets"] = nullptr;
  }
  if (report.pyrel) {
    document["restartIdentity"] = {{"pyrelId", report.pyrel->identity.value()},
                                   {"modificationTime", report.pyrel->modificationTime}};
  } else {
    document["restartIdentity"] = nullptr;
  }
  if (report.owner) {
    document["owner"] = {{"valid", report.owner->valid},
                         {"valueType", report.owner->valueTypeName},
                         {"writerProcess", report.owner->shocketInfo.processId},
                         {"wiped", report.owner->wiped}};
  } else {
    document["owner"] = nullptr;
  }
  document["writerAlive"] = report.writerAlive;
  if (report.valid()) {
    document["walked"] = {{"occupied", report.occupied}, {"freeListLength", report.freeSlots}};
  } else {
    document["walked"] = nullptr;
  }
  document["corruptionDetected"] = report.corruptionFile.empty()
                                       ? nlohmann::ordered_json()
                                       : nlohmann::ordered_json(report.corruptionFile);
  if (entries) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (auto const& entry : report.entries) list.push_back(entryJson(*report.slotHeader, entry));
    document["entries"] = std::move(list);
  }
  return document;
}

nlohmann::ordered_json entryJson(Brell::SlotHeader const& header, Brell::ChainEntry const& entry) {
  return {{"slot", entry.slotIndex},
          {"bucket", entry.bucket},
          {"version", entry.link.version},
          {"next", entry.link.value},
          {"rhash", entry.rhash},
          {"key", hexBytes(Brell::StoreInspector::keyBytes(header, entry))},
          {"value", hexBytes(entry.value)}};
}

std::string entryTableHead(Brell::SlotHeader const& header) {
  return fmt::format(
      "{:<10}  {:<6}  {:<10}  {:<8}  {:<{}}  {}\n{:-<10}  {:-<6}  {:-<10}  {:-<8}  {:-<{}}  "
      "{:-<{}}\n",
      "SLOT", "BUCKET", "VERSION", "RHASH", "KEY", keyColumnWidth(header), "VALUE", "", "", "", "",
      "", keyColumnWidth(header), "", valueColumnWidth(header));
}

std::string entryTableRow(Brell::SlotHeader const& header, Brell::ChainEntry const& entry) {
  return fmt::format("{:<10}  {:<6}  {:<10}  {:08x}  {:<{}}  {}\n", entry.slotIndex, entry.bucket,
                     fmt::format("{:#x}", entry.link.version), entry.rhash,
                     hexBytes(Brell::StoreInspector::keyBytes(header, entry)),
                     keyColumnWidth(header), hexBytes(entry.value));
}

std::string entryTableTail(std::uint64_t count, bool valid) {
  return fmt::format("{} occupied slots in list order{}\n", count,
                     valid ? "" : " (those walked before the damage)");
}

std::string storeReportText(std::string const& root, Brell::InspectionReport const& report,
                            bool entries) {
  std::string text;
  auto line = [&text](std::string_view name, std::string const& value) {
    fmt::format_to(std::back_inserter(text), "  {:<18}{}\n", name, value);
  };
  if (report.valid()) {
    text += fmt::format("store {}: valid\n", printable(root));
  } else {
    text += fmt::format("store {}: {} - {}\n", printable(root),
                        report.result == "busy" ? "BUSY" : "INVALID", printable(report.reason));
  }
  if (report.slotHeader) {
    auto const& header = *report.slotHeader;
    line("value type", printable(header.typeName));
    line("sizes", fmt::format("value {} bytes, slot {} bytes, header {} bytes", header.valueSize,
                              header.slotSize, header.headerSize()));
    line("key layout", header.keyLayout.toString());
    line("slots", fmt::format("{} (largest {}, initial {}, maximum {}, resized {} times)",
                              header.slotCount.value, header.largestSlotCount, header.initialSlots,
                              header.maximumSlots, header.slotCount.version));
    line("occupancy", fmt::format("{} (largest {})", header.occupancy, header.largestOccupancy));
    line("free list", report.valid() ? fmt::format("{} slots, head {}", report.freeSlots,
                                                   referenceText(header.freeListHead))
                                     : fmt::format("head {}", referenceText(header.freeListHead)));
    line("hash seed", fmt::format("{:#x}", header.hashSeed));
    line("flags",
         fmt::format("header {:#04x}{}, runtime {:#06x}{}", header.headerFlags, flagsText(header),
                     header.runtimeFlags, header.criticalSection() ? " (critical section)" : ""));
    line("writer sequence", fmt::format("{}", header.writerSequence));
    line("restart identity", fmt::format("{:#010x} in the header, {}", header.pyrelId,
                                         report.pyrel ? fmt::format("{:#010x} in the pyrel file",
                                                                    report.pyrel->identity.value())
                                                      : std::string("no pyrel file")));
    line("formatted by", fmt::format("process {}", header.creatorProcess));
  }
  if (report.bucketHeader) {
    line("buckets", fmt::format("{} (split or merged {} times)", report.bucketHeader->count.value,
                                report.bucketHeader->count.version));
  }
  text += filesText(report.files);
  if (report.owner && report.owner->shocketInfo.processId != 0) {
    line("writer", fmt::format("process {} ({})", report.owner->shocketInfo.processId,
                               report.writerAlive ? "running" : "gone"));
  } else {
    line("writer", "none attached");
  }
  if (!report.corruptionFile.empty()) {
    line("corruption file", printable(report.corruptionFile));
  }
  if (leftByKilledWriter(report)) line("what happened", killedWriterAdvice(root, report));
  if (entries && report.slotHeader) {
    text += "\n" + entryTableHead(*report.slotHeader);
    for (auto const& entry : report.entries) text += entryTableRow(*report.slotHeader, entry);
    text += entryTableTail(report.entries.size(), report.valid());
  }
  return text;
}

bool leftByKilledWriter(Brell::InspectionReport const& report) {
  return !report.writerAlive && report.slotHeader && report.slotHeader->criticalSection() &&
         report.reason.starts_with("bad critical section");
}

std::string killedWriterAdvice(std::string const& root, Brell::InspectionReport const& report) {
  std::uint32_t process = report.owner ? report.owner->shocketInfo.processId : 0;
  return fmt::format(
      "its writer{} stopped in the middle of a change (killed or crashed), so its entries "
      "cannot be trusted; the next writer starts it afresh, or run 'hwtables store wipe {}' "
      "to do so now",
      process != 0 ? fmt::format(" (process {})", process) : std::string(), printable(root));
}

std::string storeFailureLine(std::string const& root, Brell::InspectionReport const& report) {
  if (report.result == "busy") {
    return fmt::format("store {} is busy: {}", printable(root), printable(report.reason));
  }
  if (leftByKilledWriter(report)) {
    return fmt::format("store {} is invalid: {} ({})", printable(root),
                       killedWriterAdvice(root, report), printable(report.reason));
  }
  return fmt::format("store {} is invalid: {}", printable(root), printable(report.reason));
}

void judgeOwnerFile(Brell::InspectionReport& report) {
  if (!report.valid() || !report.owner || report.owner->valid) return;
  report.result = "invalid";
  report.reason =
      "damaged owner file: the next writer would start the store afresh and drop its entries";
}

}  // namespace Tool
