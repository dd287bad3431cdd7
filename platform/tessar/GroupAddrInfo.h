// A table's hardware description: the registers or memories it writes together.
//
// BcmGroupAddrInfo maps a MemoryId (0, 1, ...) to one member: a BcmRegInfo for a
// register, a BcmMemInfo for a memory. A member has its array and entry ranges, its
// entry size and one BcmInstanceInfo per instance (block and address). Every write
// of a table entry goes to every member, on every instance the shadow covers.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>
#include <map>

#include "platform/pelcar/MemberName.h"
#include "platform/tessar/Keys.h"
#include "platform/tyvo/TypeRuntime.h"
#include "platform/vorl/Ptr.h"
#include "platform/vorl/String.h"

namespace Tessar {

class HWTABLES_API BcmInstanceInfo : public Vorl::Node {
 public:
  BcmInstanceInfo(InstanceId id, std::uint32_t zeroWord, std::uint32_t block, bool flag,
                  std::uint32_t address)
      : id(id), zeroWord(zeroWord), block(block), flag(flag), address(address) {}

  InstanceId id;
  std::uint32_t zeroWord;
  std::uint32_t block;
  bool flag;
  std::uint32_t address;
};

class HWTABLES_API BcmRegMemInfo : public Vorl::Node {
 public:
  BcmRegMemInfo(MemoryId id, Vorl::String name, std::uint8_t firstArrayIndex,
                std::uint8_t arrayCount, std::uint32_t firstEntryIndex, std::uint32_t entryCount,
                std::uint32_t entrySize)
      : id(id),
        name(std::move(name)),
        commandName(this->name),
        firstArrayIndex(firstArrayIndex),
        arrayCount(arrayCount),
        firstEntryIndex(firstEntryIndex),
        entryCount(entryCount),
        entryCount2(entryCount),
        entrySize(entrySize),
        entryDataSize(entrySize) {}

  virtual bool isRegister() const = 0;

  void instanceInfoIs(Vorl::Ptr<BcmInstanceInfo> const& instance) {
    instances[instance->id] = instance;
  }

  MemoryId id;
  Vorl::String const name;
  // The same text as commands carry it: every command written to or read from this
  // member shares it instead of making a copy of its own.
  Pelcar::MemberName const commandName;
  std::uint8_t firstArrayIndex;
  std::uint8_t arrayCount;
  std::uint32_t firstEntryIndex;
  std::uint32_t entryCount;
  std::uint32_t entryCount2;
  std::uint32_t entrySize;
  std::uint32_t entryDataSize;
  std::map<InstanceId, Vorl::Ptr<BcmInstanceInfo>> instances;
};

class HWTABLES_API BcmRegInfo : public BcmRegMemInfo {
 public:
  using BcmRegMemInfo::BcmRegMemInfo;
  bool isRegister() const override { return true; }
};

class HWTABLES_API BcmMemInfo : public BcmRegMemInfo {
 public:
  using BcmRegMemInfo::BcmRegMemInfo;
  bool isRegister() const override { return false; }

  // Low byte: first array index; high byte: number of arrays.
  std::uint16_t arrayDescriptor() const {
    return static_cast<std::uint16_t>(firstArrayIndex | (arrayCount << 8));
  }
};

class HWTABLES_API BcmGroupAddrInfo : public Vorl::Node {
 public:
  explicit BcmGroupAddrInfo(Vorl::String name) : name_(std::move(name)) {}

  Vorl::String const& name() const { return name_; }
  virtual Vorl::TypeDescriptor typeData() const { return {}; }

  void memInfoIs(Vorl::Ptr<BcmRegMemInfo> const& member) { members_[member->id] = member; }

  // Members in MemoryId order.
  std::map<MemoryId, Vorl::Ptr<BcmRegMemInfo>> const& members() const { return members_; }
  // The member with the lowest MemoryId; null for an empty description.
  Vorl::Ptr<BcmRegMemInfo> firstMember() const {
    return members_.empty() ? nullptr : members_.begin()->second;
  }

  // The number of entries one shadow holds: arrays times entries of the largest member.
  std::uint32_t minShadowSize() const;

 private:
  Vorl::String name_;
  std::map<MemoryId, Vorl::Ptr<BcmRegMemInfo>> members_;
};

}  // namespace Tessar
