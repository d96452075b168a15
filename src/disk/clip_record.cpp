#include "disk/clip_record.h"

#include <algorithm>
#include <cstring>

namespace quorin {

std::string ClipRecord::Text(int at, int maxLen) const {
    const auto* begin = bytes.data() + at;
    const auto* end = std::find(begin, begin + maxLen, 0);
    return std::string(begin, end);
}

void ClipRecord::SetClipName(const std::string& latin1) {
    std::size_t n = std::min<std::size_t>(latin1.size(), kMaxTitleLength);
    // The whole field is cleared: a shorter name must not leave old characters behind it.
    std::memset(bytes.data() + kNameOffset, 0, kNameField);
    std::memcpy(bytes.data() + kNameOffset, latin1.data(), n);
}

std::uint32_t ClipChecksum(const ClipRecord& r) {
    const std::int8_t b[8] = {r.I8(0x3E), r.I8(0x3F), r.I8(0x40), r.I8(0x41),
                              r.I8(0x42), r.I8(0x44), r.I8(0x45), r.I8(0x46)};
    const std::uint16_t w[4] = {r.VClusters(), r.AClusters(), r.VideoFirstCluster(),
                                r.AudioFirstCluster()};
    std::uint32_t high = 0;
    std::int8_t x = 0;
    for (std::int8_t v : b) {
        high += static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
        x = static_cast<std::int8_t>(x ^ v);
    }
    auto low = static_cast<std::uint16_t>(static_cast<std::int16_t>(x));
    for (std::uint16_t v : w) {
        high += v;
        low ^= v;
    }
    return ((high & 0xFFFF) << 16) | low;
}

std::int32_t StreamSizeMB(int clusters, std::int32_t startSectors, std::int32_t endSectors) {
    std::int64_t mb = static_cast<std::int64_t>(clusters) * 100 +
                      static_cast<std::int64_t>(endSectors) * 512 / 1'048'576 -
                      static_cast<std::int64_t>(startSectors) * 512 / 1'048'576 - 100;
    return static_cast<std::int32_t>(mb);
}

} // namespace quorin
