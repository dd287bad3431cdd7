#include "framework/EntryKey.h"

namespace Framework {

void throwKeyRange(std::string_view tableFullName, std::string_view typeSuffix,
                   std::string_view field, std::string_view minName, std::string_view maxName) {
  std::string type = fmt::format("{}{}", tableFullName, typeSuffix);
  throw Vorl::RangeException(fmt::format("{0}::{1} < {0}::{2} or > {0}::{3} not allowed", type,
                                         field, minName, maxName));
}

}  // namespace Framework
