// Deliberate damage to a packetised stream, for error-recovery tests.
#pragma once

#include <span>

#include "bytes.h"
#include "testdisk.h"

namespace quorin::testdisk::detail {

// Applies the entries meant for `kind`. Offsets and packet numbers refer to
// the undamaged stream; truncations are applied last.
Status ApplyDamage(PacketisedStream& stream, std::span<const Damage> damage, StreamKind kind);

} // namespace quorin::testdisk::detail
