// What the chip process does with each request a client sends, once the server has
// cut it out of the byte stream: the hello that must come first, then writes, reads,
// the cells, the digest, flipped bits and a reset. The server (ChipServer.cc) owns the
// sockets and the framing; these only decode a request, act on the chip and encode
// the reply.
//
// A request that is not of the protocol throws Wire::WireError; a command the chip
// refuses throws Vorl::Exception; the server turns either into an error reply.
#pragma once

#include <cstdint>

#include "platform/sim/ChipWire.h"
#include "platform/sim/SimChip.h"

namespace Sim {

// Checks a client's first request: a hello of this protocol's magic and version.
// Replies with the magic, the version, this chip's `instance` and the process id.
void answerHello(std::uint16_t type, Wire::Decoder& in, Wire::Encoder& reply,
                 std::uint64_t instance);

// Any later request of `type`, applied to `chip`.
void answerRequest(Chip& chip, std::uint16_t type, Wire::Decoder& in, Wire::Encoder& reply,
                   std::uint64_t instance);

}  // namespace Sim
