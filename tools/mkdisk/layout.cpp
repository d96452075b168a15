#include "layout.h"

#include <algorithm>
#include <random>
#include <string>

namespace quorin::testdisk::detail {
namespace {

namespace off = offsets;

// Deterministic across standard libraries (std::shuffle is not).
void Shuffle(std::vector<int>& v, std::uint32_t seed) {
    std::mt19937 rng(seed);
    for (std::size_t i = v.size(); i > 1; --i)
        std::swap(v[i - 1], v[rng() % i]);
}

void PutText(Sector& s, std::size_t at, std::size_t width, const std::string& text,
             std::uint8_t fill) {
    std::fill_n(s.begin() + static_cast<std::ptrdiff_t>(at), width, fill);
    std::copy_n(text.begin(), std::min(text.size(), width),
                s.begin() + static_cast<std::ptrdiff_t>(at));
}

Sector ToOldLayout(const Sector& w, const std::string& station) {
    Sector o{};
    o[off::kRecordNo] = w[off::kRecordNo];
    PutText(o, off::kOldStation, off::kOldStationBytes, station, ' ');
    std::copy_n(w.begin() + off::kClipName, off::kClipNameBytes, o.begin() + off::kOldClipName);
    constexpr int kFieldsEnd = 0x1D4 + off::kOldShift; // working offsets 0x3C to 0x1D7
    std::copy(w.begin() + off::kYear, w.begin() + kFieldsEnd,
              o.begin() + off::kYear - off::kOldShift);
    return o;
}

void PutStream(Sector& w, const StreamLayout* s, int countAt, int endAt, int firstAt, int startAt) {
    if (!s) return;
    PutLe16(w, countAt, static_cast<std::uint16_t>(s->chain.size()));
    PutLe32(w, endAt, static_cast<std::uint32_t>(s->endSector));
    PutLe16(w, firstAt, static_cast<std::uint16_t>(s->chain.empty() ? 0 : s->chain.front()));
    PutLe32(w, startAt, static_cast<std::uint32_t>(s->startSector));
}

} // namespace

std::string ToLatin1(std::string_view utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const int extra = b < 0x80             ? 0
                          : (b & 0xE0) == 0xC0 ? 1
                          : (b & 0xF0) == 0xE0 ? 2
                          : (b & 0xF8) == 0xF0 ? 3
                                               : -1;
        if (extra < 0 || i + static_cast<std::size_t>(extra) >= utf8.size()) {
            out.push_back('?');
            ++i;
            continue;
        }
        unsigned cp = extra == 0 ? b : b & (0x3Fu >> extra);
        bool valid = true;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
            valid = valid && (c & 0xC0) == 0x80;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        out.push_back(valid && cp < 0x100 ? static_cast<char>(cp) : '?');
        i += valid ? static_cast<std::size_t>(extra) + 1 : 1;
    }
    return out;
}

Extent ExtentOf(std::uint64_t bytes, std::int32_t startSector) {
    if (bytes == 0) return {};
    const std::uint64_t total = static_cast<std::uint64_t>(startSector) * kSectorBytes + bytes;
    const std::uint64_t clusters = (total + kClusterBytes - 1) / kClusterBytes;
    const std::uint64_t inLast = total - (clusters - 1) * kClusterBytes;
    return {static_cast<int>(clusters),
            static_cast<std::int32_t>((inLast + kSectorBytes - 1) / kSectorBytes)};
}

namespace {

// Who holds each cluster so far: -1 nobody, else the request; a deleted request's clusters may be
// taken again by a later one.
struct Owners {
    std::vector<int> of = std::vector<int>(kTableEntries, -1);
};

Status Reserve(const std::vector<ChainRequest>& requests, std::size_t index, Owners& owners,
               int& highest) {
    const ChainRequest& r = requests[index];
    if (static_cast<int>(r.requested.size()) != r.clusters)
        return Error{r.what + ": the stream needs " + std::to_string(r.clusters) +
                     " clusters, the chain lists " + std::to_string(r.requested.size())};
    for (int c : r.requested) {
        if (c < 1 || c > kMaxCluster)
            return Error{r.what + ": " + std::to_string(c) + " is not a cluster number"};
        const int before = owners.of[c];
        if (before >= 0 &&
            (requests[before].deleted == Deletion::None || requests[before].clip == r.clip))
            return Error{r.what + ": cluster " + std::to_string(c) + " used twice"};
        owners.of[c] = static_cast<int>(index);
        highest = std::max(highest, c);
    }
    return Ok();
}

// n clusters drawn from anywhere in the pool, in an order that does not ascend.
std::vector<int> Scattered(std::vector<int>& pool, int n, std::mt19937& rng) {
    std::vector<int> chain;
    for (int i = 0; i < n; ++i) {
        const auto at = static_cast<std::ptrdiff_t>(rng() % pool.size());
        chain.push_back(pool[static_cast<std::size_t>(at)]);
        pool.erase(pool.begin() + at);
    }
    if (std::is_sorted(chain.begin(), chain.end())) std::reverse(chain.begin(), chain.end());
    return chain;
}

} // namespace

Expected<Allocation> AllocateChains(const std::vector<ChainRequest>& requests,
                                    const DiskSpec& desc) {
    Owners owners;
    int automatic = 0, highest = 0, automaticLive = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        if (requests[i].requested.empty()) {
            automatic += requests[i].clusters;
            if (requests[i].deleted == Deletion::None) automaticLive += requests[i].clusters;
            continue;
        }
        if (auto st = Reserve(requests, i, owners, highest); !st) return Error{st.error()};
    }
    int reserved = 0, reservedLive = 0;
    for (int c = 1; c < kTableEntries; ++c) {
        if (owners.of[c] < 0) continue;
        ++reserved;
        if (requests[owners.of[c]].deleted == Deletion::None) ++reservedLive;
    }
    const int needed = reserved + automatic;
    Allocation a;
    a.usedClusters = desc.usedClusters.value_or(reservedLive + automaticLive);
    a.freeClusters =
        desc.freeClusters.value_or(std::max(0, std::max(needed + 2, highest) - a.usedClusters));
    const int total = a.usedClusters + a.freeClusters;
    if (a.usedClusters < 0 || a.freeClusters < 0 || total > kMaxCluster)
        return Error{"cluster counts must be 0 or more and add up to at most 1151"};

    std::vector<int> pool;
    for (int c = 1; c <= total; ++c)
        if (owners.of[c] < 0) pool.push_back(c);
    if (static_cast<int>(pool.size()) < automatic)
        return Error{"the disk counts " + std::to_string(total) + " clusters, too few for " +
                     std::to_string(needed) + " clusters of streams"};
    if (desc.allocation == ChainOrder::Shuffled) Shuffle(pool, desc.seed);
    std::mt19937 rng(desc.seed);
    for (const auto& r : requests) {
        if (!r.requested.empty()) {
            a.chains.push_back(r.requested);
        } else if (r.scatter) {
            a.chains.push_back(Scattered(pool, r.clusters, rng));
        } else {
            a.chains.emplace_back(pool.begin(), pool.begin() + r.clusters);
            pool.erase(pool.begin(), pool.begin() + r.clusters);
        }
    }
    std::sort(pool.begin(), pool.end());
    a.unchained = std::move(pool);
    return a;
}

Sector BuildHeader(const DiskSpec& desc, int used, int free, int clips) {
    Sector s{};
    PutLe16(s, off::kUsedClusters, static_cast<std::uint16_t>(used));
    PutLe16(s, off::kFreeClusters, static_cast<std::uint16_t>(free));
    s[off::kClipCount] = static_cast<std::uint8_t>(clips);
    PutText(s, off::kLabel, off::kLabelBytes - 1, ToLatin1(desc.label), desc.padLabel ? ' ' : 0);
    return s;
}

std::vector<std::uint8_t> BuildClusterTable(const std::vector<ChainRequest>& requests,
                                            const std::vector<std::vector<int>>& chains) {
    std::vector<std::uint8_t> table(kTableEntries * 4, 0);
    for (std::size_t k = 0; k < chains.size(); ++k) {
        const auto& chain = chains[k];
        const bool cleared = requests[k].deleted == Deletion::Cleared;
        for (std::size_t i = 0; i < chain.size(); ++i) {
            const int next = cleared ? 0 : i + 1 < chain.size() ? chain[i + 1] : kChainEnd;
            PutLe16(table, static_cast<std::size_t>(chain[i]) * 4,
                    static_cast<std::uint16_t>(next));
        }
    }
    return table;
}

Expected<Sector> BuildRecord(const ClipSpec& clip, const RecordFields& f) {
    if (clip.skipIndex.size() > kSkipPairs) return Error{"at most 10 SkipIndex pairs"};
    if (f.lengthSeconds < 0 || f.lengthSeconds / 3600 > 127)
        return Error{"length must lie between 0 and 127:59:59"};
    Sector w{};
    w[off::kRecordNo] = static_cast<std::uint8_t>(f.clipNo);
    const std::string station = ToLatin1(clip.station);
    PutText(w, off::kStation, off::kStationBytes, station, ' ');
    PutText(w, off::kClipName, off::kClipNameBytes - 1, ToLatin1(clip.name), 0);
    PutLe16(w, off::kYear, static_cast<std::uint16_t>(clip.year));
    const int date[] = {clip.month, clip.day, clip.hour, clip.minute, clip.second};
    for (int i = 0; i < 5; ++i)
        w[off::kMonth + i] = static_cast<std::uint8_t>(date[i]);
    w[off::kLengthHours] = static_cast<std::uint8_t>(f.lengthSeconds / 3600);
    w[off::kLengthMinutes] = static_cast<std::uint8_t>(f.lengthSeconds / 60 % 60);
    w[off::kLengthSeconds] = static_cast<std::uint8_t>(f.lengthSeconds % 60);
    PutStream(w, f.video, off::kVClusters, off::kVideoEnd, off::kVideoFirst, off::kVideoStart);
    PutStream(w, f.audio, off::kAClusters, off::kAudioEnd, off::kAudioFirst, off::kAudioStart);
    for (int i = 0; i < kSkipPairs; ++i) {
        const bool set = static_cast<std::size_t>(i) < clip.skipIndex.size();
        PutLe16(w, off::kSkipIndex + 4 * i, set ? clip.skipIndex[i].first : 0xFFFF);
        PutLe16(w, off::kSkipIndex + 4 * i + 2, set ? clip.skipIndex[i].second : 0xFFFF);
    }
    return clip.layout == RecordLayout::Old ? ToOldLayout(w, station) : w;
}

} // namespace quorin::testdisk::detail
