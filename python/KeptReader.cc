#include "python/KeptReader.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "platform/sharedmem/PyrelFile.h"
#include "store/BucketTable.h"
#include "store/SlotLayout.h"
#include "tools/hwtables/Errors.h"

namespace PyHwtables {
namespace {

std::optional<struct stat> statOf(std::string const& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return status;
}

}  // namespace

KeptReader::KeptReader(std::shared_ptr<Framework::TableRecord const> record,
                       std::string directory, std::string where)
    : record_(std::move(record)), directory_(std::move(directory)), where_(std::move(where)) {}

std::optional<KeptReader::Marks> KeptReader::marksNow() const {
  auto slots = statOf(directory_ + "/" + Brell::kSlotFileName);
  auto buckets = statOf(directory_ + "/" + BrellCore::kBucketFileName);
  auto identity = SharedMem::PyrelFile(directory_).read();
  if (!slots || !buckets || !identity) return std::nullopt;
  return Marks{identity->identity.value(), identity->modificationTime,
               {slots->st_dev, slots->st_ino}, {buckets->st_dev, buckets->st_ino}};
}

void KeptReader::close() { reader_.reset(); }

void KeptReader::reopen(Marks const& marks) {
  close();
  auto reader = record_->store.openReader(std::string(record_->info->className), directory_);
  ++opens_;
  // The files may change between taking the marks and mapping them: a reader whose
  // files carry other marks than those taken before is not kept.
  if (!reader->initialize("show") || marksNow() != marks) {
    throw Tool::CheckFailed(where_ +
                            ": the store cannot be read now (being created, wiped or damaged)");
  }
  reader_ = std::move(reader);
  marks_ = marks;
}

void KeptReader::forEach(Brell::ErasedVisitor const& visit) {
  auto marks = marksNow();
  if (!marks) {
    close();
    if (!std::filesystem::is_directory(directory_)) {
      throw Tool::CheckFailed(where_ + ": no store (no agent has created this shadow)");
    }
    throw Tool::CheckFailed(where_ +
                            ": the store cannot be read now (being created, wiped or damaged)");
  }
  if (!reader_ || *marks != marks_) reopen(*marks);
  try {
    reader_->forEach(visit);
  } catch (...) {
    close();
    throw;
  }
}

std::vector<KeptReader::Entry> KeptReader::entries() {
  std::vector<Entry> entries;
  entries.reserve(lastCount_);
  forEach([&](Brell::Bytes const& keyBytes, Brell::Bytes const& valueBytes) {
    if (auto key = record_->store.key(keyBytes)) {
      entries.emplace_back(*key, record_->store.entryData(valueBytes));
    }
  });
  std::sort(entries.begin(), entries.end(), [](Entry const& left, Entry const& right) {
    return std::pair(left.first.arrayIndex, left.first.entryIndex) <
           std::pair(right.first.arrayIndex, right.first.entryIndex);
  });
  lastCount_ = entries.size();
  return entries;
}

}  // namespace PyHwtables
