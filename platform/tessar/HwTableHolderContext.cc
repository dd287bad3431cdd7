#include "platform/tessar/HwTableHolderContext.h"

#include <algorithm>

namespace Tessar {
namespace {

struct RevisionList {
  std::mutex mutex;
  std::vector<Hardware::Sand::FapRevision> revisions;
  bool replaced = false;
};

RevisionList& revisionList() {
  static RevisionList list;
  return list;
}

}  // namespace

HwTableHolderContext& HwTableHolderContext::singleton() {
  static HwTableHolderContext context;
  return context;
}

void HwTableHolderContext::registerHwTableFactory(Vorl::String const& pluginName,
                                                  HwTableKey const& hwTableKey,
                                                  HwTableFactory const& factory,
                                                  Vorl::String const& tag) {
  std::lock_guard lock(mutex_);
  for (auto& slot : slots_) {
    if (slot.registration.pluginName == pluginName && slot.registration.hwTableKey == hwTableKey) {
      slot.registration.tag = tag;
      slot.factory = factory;
      return;
    }
  }
  slots_.push_back({{pluginName, hwTableKey, tag, Plugin::currentSource()}, factory});
}

HwTableFactory HwTableHolderContext::hwTableFactory(HwTableKey const& hwTableKey,
                                                    Vorl::String const& pluginName) const {
  std::lock_guard lock(mutex_);
  for (auto const& slot : slots_) {
    if (slot.registration.pluginName == pluginName && slot.registration.hwTableKey == hwTableKey) {
      return slot.factory;
    }
  }
  return {};
}

void HwTableHolderContext::registerHwReaderFactory(HwTableKey const& hwTableKey,
                                                   HwReaderFactory const& factory) {
  std::lock_guard lock(mutex_);
  for (auto& slot : readerSlots_) {
    if (slot.registration.hwTableKey == hwTableKey) {
      slot.factory = factory;
      return;
    }
  }
  readerSlots_.push_back({{hwTableKey, Plugin::currentSource()}, factory});
}

void HwTableHolderContext::unregisterHwReaderFactory(HwTableKey const& hwTableKey) {
  std::lock_guard lock(mutex_);
  std::erase_if(readerSlots_, [&](auto const& slot) { return slot.registration.hwTableKey == hwTableKey; });
}

HwReaderFactory HwTableHolderContext::hwReaderFactory(HwTableKey const& hwTableKey) const {
  std::lock_guard lock(mutex_);
  for (auto const& slot : readerSlots_) {
    if (slot.registration.hwTableKey == hwTableKey) return slot.factory;
  }
  return {};
}

std::vector<HwTableKey> HwTableHolderContext::readerRegistrations() const {
  std::lock_guard lock(mutex_);
  std::vector<HwTableKey> keys;
  for (auto const& slot : readerSlots_) keys.push_back(slot.registration.hwTableKey);
  return keys;
}

std::vector<HwTableHolderContext::ReaderRegistration> HwTableHolderContext::readerSources() const {
  std::lock_guard lock(mutex_);
  std::vector<ReaderRegistration> sources;
  for (auto const& slot : readerSlots_) sources.push_back(slot.registration);
  return sources;
}

std::vector<HwTableHolderContext::Registration> HwTableHolderContext::registrations() const {
  std::lock_guard lock(mutex_);
  std::vector<Registration> registrations;
  for (auto const& slot : slots_) registrations.push_back(slot.registration);
  return registrations;
}

void HwTableHolderContext::clear() {
  std::lock_guard lock(mutex_);
  slots_.clear();
}

std::vector<Hardware::Sand::FapRevision> SupportedFapRevList::fapRevisionList() {
  auto& list = revisionList();
  std::lock_guard lock(list.mutex);
  if (!list.replaced) {
    auto known = Hardware::Sand::knownFapRevisions();
    return {known.begin(), known.end()};
  }
  return list.revisions;
}

void SupportedFapRevList::fapRevisionListIs(std::vector<Hardware::Sand::FapRevision> revisions) {
  auto& list = revisionList();
  std::lock_guard lock(list.mutex);
  list.revisions = std::move(revisions);
  list.replaced = true;
}

void SupportedFapRevList::fapRevisionListReset() {
  auto& list = revisionList();
  std::lock_guard lock(list.mutex);
  list.revisions.clear();
  list.replaced = false;
}

namespace HwTablePlugin {

Loader& DefaultHwTableLoader() {
  static Loader loader;
  return loader;
}

}  // namespace HwTablePlugin
}  // namespace Tessar
