// Per-table operation counts.
//
// A table counts each entry add and delete it is asked for, before it checks the
// request: a refused call still counts, so the counts say what callers attempted.
#pragma once

#include "platform/plugin/Export.h"

#include <cstdint>

namespace Tessar {

class HWTABLES_API HwTableStats {
 public:
  std::uint64_t entryAddCnt() const { return entryAddCnt_; }
  std::uint64_t entryDelCnt() const { return entryDelCnt_; }

  void entryAddCntInc(std::uint64_t count) { entryAddCnt_ += count; }
  void entryDelCntInc(std::uint64_t count) { entryDelCnt_ += count; }

 private:
  std::uint64_t entryAddCnt_ = 0;
  std::uint64_t entryDelCnt_ = 0;
};

}  // namespace Tessar
