#include "framework/TableInfo.h"

namespace Framework {

std::string_view kindName(TableKind kind) {
  return kind == TableKind::registerTable ? "register" : "memory";
}

std::string_view keyFormName(KeyForm form) {
  return form == KeyForm::singleIndex ? "single" : "array";
}

std::string_view fieldKindName(FieldKind kind) {
  switch (kind) {
    case FieldKind::scalar: return "scalar";
    case FieldKind::indexed: return "indexed";
    case FieldKind::bitmap: return "bitmap";
  }
  return "unknown";
}

}  // namespace Framework
