#include "damage.h"

#include <algorithm>
#include <string>
#include <vector>

namespace quorin::testdisk::detail {
namespace {

constexpr std::size_t kPtsFieldAt = 9; // first PTS byte inside a packet

Error Bad(std::size_t index, const std::string& what) {
    return Error{"damage[" + std::to_string(index) + "]: " + what};
}

void MarkRange(PacketisedStream& s, std::uint64_t begin, std::uint64_t end) {
    for (auto& p : s.packets)
        if (p.offset < end && p.offset + p.size > begin) p.damaged = true;
}

Status ZeroRange(PacketisedStream& s, const Damage& d, std::size_t index) {
    std::uint64_t begin = d.offset;
    if (d.packet) begin += s.packets[*d.packet].offset;
    if (d.length == 0 || begin > s.bytes.size() || d.length > s.bytes.size() - begin)
        return Bad(index, "zero range outside the stream");
    std::fill_n(s.bytes.begin() + static_cast<std::ptrdiff_t>(begin), d.length, std::uint8_t{0});
    MarkRange(s, begin, begin + d.length);
    return Ok();
}

Status Truncate(PacketisedStream& s, const Damage& d, std::size_t index) {
    PacketInfo& p = s.packets[*d.packet];
    const std::uint64_t keep = d.length ? d.length : p.size / 2;
    if (keep >= p.size) return Bad(index, "truncation keeps the whole packet");
    const std::uint64_t removed = p.size - keep;
    const auto at = s.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + keep);
    s.bytes.erase(at, at + static_cast<std::ptrdiff_t>(removed));
    p.size = static_cast<std::uint32_t>(keep);
    p.damaged = true;
    for (std::size_t i = *d.packet + 1; i < s.packets.size(); ++i)
        s.packets[i].offset -= removed;
    return Ok();
}

Status ApplyOne(PacketisedStream& s, const Damage& d, std::size_t index) {
    if (d.kind == DamageKind::Zero) return ZeroRange(s, d, index);
    PacketInfo& p = s.packets[*d.packet];
    if (d.kind == DamageKind::StartCode) {
        s.bytes[p.offset + 2] = 0xFF;
    } else { // Header: clear the three marker bits of the PTS field
        for (std::size_t i : {0, 2, 4})
            s.bytes[p.offset + kPtsFieldAt + i] &= 0xFE;
    }
    p.damaged = true;
    return Ok();
}

} // namespace

Status ApplyDamage(PacketisedStream& stream, std::span<const Damage> damage, StreamKind kind) {
    std::vector<std::size_t> truncations;
    for (std::size_t i = 0; i < damage.size(); ++i) {
        const Damage& d = damage[i];
        if (d.stream != kind) continue;
        if (!d.packet && d.kind != DamageKind::Zero) return Bad(i, "needs a packet number");
        if (d.packet && *d.packet >= stream.packets.size())
            return Bad(i, "packet " + std::to_string(*d.packet) + " does not exist (" +
                              std::to_string(stream.packets.size()) + " packets)");
        if (d.kind == DamageKind::Truncate) {
            truncations.push_back(i);
        } else if (auto st = ApplyOne(stream, d, i); !st) {
            return st;
        }
    }
    // From the last packet backwards, so earlier offsets stay valid.
    std::sort(truncations.begin(), truncations.end(),
              [&](std::size_t a, std::size_t b) { return *damage[a].packet > *damage[b].packet; });
    for (std::size_t k = 0; k < truncations.size(); ++k) {
        const std::size_t i = truncations[k];
        if (k > 0 && *damage[truncations[k - 1]].packet == *damage[i].packet)
            return Bad(i, "packet truncated twice");
        if (auto st = Truncate(stream, damage[i], i); !st) return st;
    }
    return Ok();
}

} // namespace quorin::testdisk::detail
