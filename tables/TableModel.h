// Everything a generated table header needs.
#pragma once

#include <cstdint>
#include <string_view>
#include <type_traits>

#include "framework/EntryData.h"
#include "framework/EntryKey.h"
#include "tables/TableClassBase.h"
#include "framework/TableDescriptor.h"
#include "framework/TableInfo.h"
#include "platform/plugin/Export.h"
#include "platform/lutz/PerUnitBitmap.h"
#include "platform/vorl/String.h"
#include "platform/vorl/Types.h"
