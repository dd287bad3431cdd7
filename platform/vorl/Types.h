// The unsigned field types of the hardware tables: an N-bit field is held in the
// smallest standard unsigned integer that fits it; only the low N bits are meaningful.
#pragma once

#include <cstdint>

using U1 = std::uint8_t;
using U2 = std::uint8_t;
using U3 = std::uint8_t;
using U4 = std::uint8_t;
using U5 = std::uint8_t;
using U8 = std::uint8_t;
using U10 = std::uint16_t;
using U16 = std::uint16_t;
using U18 = std::uint32_t;
using U20 = std::uint32_t;
using U32 = std::uint32_t;
using U48 = std::uint64_t;
using U51 = std::uint64_t;
using U64 = std::uint64_t;
