// The write paths of a register shadow: single entry, download and clear.
//
// RegisterShadowBase turns the records of a register shadow into write commands.
// Every path gates first (Framework::gateFapmask): the applicable mask is the part of
// the requested mask that the shadow serves; when it is empty the path returns a null
// command list and builds nothing.
//
//   entrySchanCmds   "key: {}", gate, then one write per member with the stored data,
//                    or the default data when the entry is deleted or never set
//   downloadInto     Glimmet record and traces, gate, then the full walk (download,
//                    the base's, makes its list with it)
//   downloadWorker   gate ("downloadFapmask"), then walk every array index and entry
//                    index of the first member, gating once more ("fapMask"), and
//                    collect each entry's commands in order
//   clearShadow      the full walk with default data, then drop all records
//
// A deleted shadow (onDelete) writes nothing: download and clearShadow return null.
//
// The register accessor's nested Shadow (RegisterShadows<Model>::Shadow) derives from
// this and adds the typed entry operations.
#pragma once

#include "platform/plugin/Export.h"

#include "platform/tessar/HwShadowBase.h"

namespace Framework {

class HWTABLES_API RegisterShadowBase : public Tessar::RegisterKeyBasedShadowBase {
 public:
  using RegisterKeyBasedShadowBase::RegisterKeyBasedShadowBase;

  // Default-data writes for every entry, then every record of the shadow is removed
  // (also when no FAP is applicable). If building the commands fails, nothing is removed.
  Vorl::Ptr<Pelcar::SchanCmds> clearShadow(Hardware::Sand::FapRevision const& fapRevision,
                                           Pelcar::Fapmask const& mask) override;
  bool downloadInto(Vorl::String const& fapType, Hardware::Sand::FapRevision const& fapRevision,
                    Pelcar::Fapmask const& downloadFapmask,
                    Pelcar::SchanCmds& into) const override;

 protected:
  Vorl::Ptr<Pelcar::SchanCmds> entrySchanCmds(Pelcar::Fapmask const& mask,
                                              Hardware::Sand::FapRevision const& fapRevision,
                                              Tessar::RegisterShadowBrellEntryKey const& key,
                                              bool isDelete) const;
  Vorl::Ptr<Pelcar::SchanCmds> downloadWorker(Hardware::Sand::FapRevision const& fapRevision,
                                              Pelcar::Fapmask const& downloadFapmask,
                                              bool isDelete) const;

 private:
  bool downloadWorkerInto(Hardware::Sand::FapRevision const& fapRevision,
                          Pelcar::Fapmask const& downloadFapmask, bool isDelete,
                          Pelcar::SchanCmds& into) const;
};

}  // namespace Framework
