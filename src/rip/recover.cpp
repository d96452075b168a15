#include "rip/recover.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/cluster_table.h"
#include "disk/layout.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "platform/volume.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <span>

namespace quorin {
namespace {

constexpr std::int64_t kWindow = 128 * 1024; // read at each end of a cluster
constexpr std::int64_t kProbe = 40 * 1024;   // read where a stream's end or start is sought
constexpr int kProbeExtensions = 3;          // a probe inside a long packet reads on this often
constexpr std::int64_t kMaxPacket = 65'535 + 6;
constexpr std::int64_t kTicks = 90'000;
constexpr std::int64_t kWrap = std::int64_t{1} << 33;
constexpr double kMinSeconds = 1.0; // shorter remains are not worth listing

bool IsStreamId(std::uint8_t id) {
    return id == 0xBD || (id >= 0xC0 && id <= 0xEF);
}
bool IsVideoId(std::uint8_t id) {
    return id >= 0xE0 && id <= 0xEF;
}

// b - a on the 33-bit clock, in (-2^32, 2^32].
std::int64_t PtsDiff(std::int64_t a, std::int64_t b) {
    std::int64_t d = ((b - a) % kWrap + kWrap) % kWrap;
    return d > kWrap / 2 ? d - kWrap : d;
}

// Whether time stamps `bytes` apart in one stream may differ by d: the stream's bytes per second
// lie within what a receiver records (video 0.5 to 20 Mbit/s, audio 32 to 640 kbit/s).
bool RunsOn(std::uint8_t id, std::int64_t bytes, std::int64_t d) {
    const double slowest = IsVideoId(id) ? 62'500.0 : 4'000.0;
    const double fastest = IsVideoId(id) ? 2'500'000.0 : 80'000.0;
    const double lo = static_cast<double>(bytes) / fastest * kTicks - 2.0 * kTicks;
    const double hi = static_cast<double>(bytes) / slowest * kTicks + 2.0 * kTicks;
    return static_cast<double>(d) >= lo && static_cast<double>(d) <= hi;
}

struct Packet {
    std::int64_t at = 0; // in the buffer
    std::int64_t end = 0;
    std::uint8_t id = 0;
    std::int64_t pts = -1;
    bool sequence = false;  // the payload begins with a sequence header
    bool cut = false;       // the buffer ends inside its header
    bool lengthCut = false; // ... before its length
};

std::int64_t PtsAt(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::int64_t{b[at] & 0x0E} << 29) | (std::int64_t{b[at + 1]} << 22) |
           (std::int64_t{b[at + 2] >> 1} << 15) | (std::int64_t{b[at + 3]} << 7) | (b[at + 4] >> 1);
}

// A plausible MPEG-2 PES packet header at `at`, or none.
std::optional<Packet> PacketAt(std::span<const std::uint8_t> b, std::size_t at) {
    const std::size_t n = b.size();
    for (std::size_t k = 0; k < 4 && at + k < n; ++k) {
        const std::uint8_t want = k < 2 ? 0 : 1;
        if (k < 3 ? b[at + k] != want : !IsStreamId(b[at + k])) return std::nullopt;
    }
    Packet p;
    p.at = static_cast<std::int64_t>(at);
    if (at + 6 > n) {
        p.cut = p.lengthCut = true;
        return p;
    }
    p.id = b[at + 3];
    const std::size_t length = (std::size_t{b[at + 4]} << 8) | b[at + 5];
    p.end = p.at + 6 + static_cast<std::int64_t>(length);
    if (length < 3) return std::nullopt;
    if (at + 9 > n) {
        p.cut = true;
        return p;
    }
    const int flags = b[at + 7] >> 6;
    const std::size_t header = b[at + 8];
    if ((b[at + 6] & 0xC0) != 0x80 || flags == 1 || 3 + header > length) return std::nullopt;
    if (flags >= 2) {
        if (at + 14 > n) {
            p.cut = true;
            return p;
        }
        const std::uint8_t marker = flags == 3 ? 0x31 : 0x21;
        if ((b[at + 9] & 0xF1) != marker || !(b[at + 11] & 1) || !(b[at + 13] & 1))
            return std::nullopt;
        p.pts = PtsAt(b, at + 9);
    }
    const std::size_t payload = at + 9 + header;
    p.sequence = payload + 4 <= n && b[payload] == 0 && b[payload + 1] == 0 &&
                 b[payload + 2] == 1 && b[payload + 3] == 0xB3;
    return p;
}

// A stretch of packets of one stream that follow each other without a gap.
struct Run {
    std::int64_t start = 0; // offsets in the cluster
    std::int64_t end = 0;   // after the last packet (its declared end)
    std::int64_t lastPacket = 0;
    std::uint8_t id = 0;
    std::int64_t firstPts = -1, firstPtsAt = 0;
    std::int64_t lastPts = -1, lastPtsAt = 0;
    int packets = 0;
    bool open = false;     // its last packet runs past the buffer
    bool endKnown = true;  // false: the buffer ends inside the next header's length
    bool sequence = false; // its first packet begins with a sequence header
    bool padded = false;   // closed, zeros up to the next sector boundary
    void Add(const Packet& p, std::int64_t base) {
        if (packets++ == 0) {
            start = base + p.at;
            sequence = p.sequence;
        }
        lastPacket = base + p.at;
        end = base + p.end;
        if (p.pts >= 0) {
            if (firstPts < 0) firstPts = p.pts, firstPtsAt = base + p.at;
            lastPts = p.pts, lastPtsAt = base + p.at;
        }
    }
};

bool ZerosUpToSector(std::span<const std::uint8_t> b, std::size_t from) {
    const std::size_t to = std::min(b.size(), (from + kSectorSize - 1) / kSectorSize * kSectorSize);
    return std::all_of(b.begin() + static_cast<std::ptrdiff_t>(from),
                       b.begin() + static_cast<std::ptrdiff_t>(to),
                       [](std::uint8_t x) { return x == 0; });
}

// Follows one run from the packet at i.
Run FollowRun(std::span<const std::uint8_t> b, std::int64_t base, Packet p) {
    Run r;
    r.id = p.id;
    r.Add(p, base);
    const auto n = static_cast<std::int64_t>(b.size());
    while (true) {
        if (p.end >= n) {
            r.open = true;
            return r;
        }
        auto q = PacketAt(b, static_cast<std::size_t>(p.end));
        if (!q || (!q->lengthCut && q->id != r.id)) {
            r.padded = ZerosUpToSector(b, static_cast<std::size_t>(p.end));
            return r;
        }
        if (q->lengthCut) {
            r.open = true;
            r.endKnown = false;
            return r;
        }
        r.Add(*q, base);
        if (q->cut) {
            r.open = true;
            return r;
        }
        p = *q;
    }
}

// Every run of at least minPackets packets (or running past the end) in the buffer, which lies at
// `base` in its cluster.
std::vector<Run> FindRuns(std::span<const std::uint8_t> b, std::int64_t base, int minPackets = 2) {
    std::vector<Run> runs;
    std::size_t i = 0;
    while (i + 4 <= b.size()) {
        const auto* hit =
            static_cast<const std::uint8_t*>(std::memchr(b.data() + i, 1, b.size() - i));
        if (!hit) break;
        const auto at = static_cast<std::size_t>(hit - b.data());
        if (at < 2 || at + 1 >= b.size() || b[at - 1] != 0 || b[at - 2] != 0 ||
            !IsStreamId(b[at + 1])) {
            i = at + 1;
            continue;
        }
        const std::size_t start = at - 2;
        auto p = PacketAt(b, start);
        if (!p || p->cut) {
            i = at + 1;
            continue;
        }
        Run r = FollowRun(b, base, *p);
        // A later run that begins inside this one's last packet cut that packet short.
        if (!runs.empty() && r.start < runs.back().end) {
            runs.back().end = r.start;
            runs.back().padded = false;
        }
        if (r.packets >= minPackets || r.open) runs.push_back(r);
        if (r.open) break;
        i = static_cast<std::size_t>(r.lastPacket - base) + 4;
    }
    if (runs.size() > 1) // an earlier run cut short may have been found before its cutter
        for (std::size_t k = 0; k + 1 < runs.size(); ++k)
            if (runs[k + 1].start < runs[k].end) runs[k].end = runs[k + 1].start;
    return runs;
}

// One stream's stretch in a cluster: from its first packet to after its last one.
struct Segment {
    std::int64_t start = 0;
    std::int64_t end = 0; // beyond the cluster's end: the last packet runs into the next cluster
    bool endKnown = true;
    std::uint8_t id = 0;
    std::int64_t firstPts = -1;
    std::int64_t lastPts = -1;
    bool sequence = false;
    bool padded = false;
    bool ReachesEnd() const { return end >= kClusterBytes || !endKnown; }
};

Segment SegmentOf(const Run& r) {
    return {r.start, r.end, r.endKnown, r.id, r.firstPts, r.lastPts, r.sequence, r.padded};
}

struct ClusterScan {
    std::uint32_t cluster = 0;
    std::vector<Segment> segments;
};

// Reads of the scan, counted.
class Reader {
public:
    explicit Reader(const std::string& volume) { ok_ = OpenDrive(volume, handle_); }
    bool Ok() const { return ok_; }
    std::int64_t BytesRead() const { return bytes_; }
    std::int64_t Reads() const { return reads_; }
    std::int64_t Failed() const { return failed_; }
    // Up to n bytes at offset `at` of the cluster (clipped to it).
    std::vector<std::uint8_t> Read(std::uint32_t cluster, std::int64_t at, std::int64_t n) {
        at = std::clamp<std::int64_t>(at, 0, kClusterBytes);
        n = std::clamp<std::int64_t>(n, 0, kClusterBytes - at);
        std::vector<std::uint8_t> buffer(static_cast<std::size_t>(n));
        if (n == 0 || !handle_.Seek(ClusterStartSector(cluster) * kSectorSize + at)) return {};
        const std::int64_t got = handle_.Read(buffer);
        if (got < 0) ++failed_;
        buffer.resize(static_cast<std::size_t>(std::max<std::int64_t>(got, 0)));
        bytes_ += static_cast<std::int64_t>(buffer.size());
        ++reads_;
        return buffer;
    }

private:
    VolumeHandle handle_;
    bool ok_ = false;
    std::int64_t bytes_ = 0;
    std::int64_t reads_ = 0;
    std::int64_t failed_ = 0;
};

// A packet with a time stamp at or after `at`, of stream id: where and its PTS.
struct Probe {
    std::int64_t at = 0;
    std::int64_t pts = -1;
};

std::optional<Probe> ProbeAt(Reader& reader, std::uint32_t cluster, std::int64_t at,
                             std::uint8_t id) {
    for (int k = 0; k <= kProbeExtensions; ++k) {
        const std::int64_t from = at + k * kProbe;
        if (from >= kClusterBytes) break;
        const auto b = reader.Read(cluster, from, kProbe + 14);
        bool startCodes = false;
        for (std::size_t i = 0; i + 14 <= b.size(); ++i) {
            if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1) continue;
            startCodes = true;
            if (b[i + 3] != id) continue;
            if (auto p = PacketAt(b, i); p && !p->cut && p->pts >= 0)
                return Probe{from + static_cast<std::int64_t>(i), p->pts};
        }
        // Only a long packet's payload (which has start codes of its own) is worth reading on.
        if (!startCodes) break;
    }
    return std::nullopt;
}

// Whether a probe at `at` finds the stream whose time stamp `pts` lies at `anchor`.
std::optional<Probe> Belongs(Reader& reader, std::uint32_t cluster, std::int64_t at,
                             std::uint8_t id, std::int64_t anchor, std::int64_t pts) {
    auto probe = ProbeAt(reader, cluster, at, id);
    if (!probe) return std::nullopt;
    const bool after = probe->at >= anchor;
    const std::int64_t bytes = after ? probe->at - anchor : anchor - probe->at;
    const std::int64_t d = after ? PtsDiff(pts, probe->pts) : PtsDiff(probe->pts, pts);
    if (!RunsOn(id, bytes, d)) return std::nullopt;
    return probe;
}

// The end of a run seen open at `lastPtsAt` whose rest lies before `limit`.
Segment FindEnd(Reader& reader, std::uint32_t cluster, const Run& run, std::int64_t limit) {
    std::int64_t lo = run.lastPtsAt, hi = limit;
    Probe known{run.lastPtsAt, run.lastPts};
    while (hi - lo > kWindow) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        auto probe = Belongs(reader, cluster, mid, run.id, run.lastPtsAt, run.lastPts);
        if (probe && probe->at < hi) {
            lo = mid;
            known = *probe;
        } else {
            hi = mid;
        }
    }
    const auto b = reader.Read(cluster, known.at, hi + kMaxPacket - known.at);
    auto p = PacketAt(b, 0);
    Segment s = SegmentOf(run);
    if (!p || p->cut) {
        s.end = std::min(hi, kClusterBytes);
        return s;
    }
    const Run tail = FollowRun(b, known.at, *p);
    s.end = tail.end;
    s.endKnown = tail.endKnown;
    s.padded = tail.padded;
    s.lastPts = tail.lastPts >= 0 ? tail.lastPts : known.pts;
    return s;
}

// The start of a run seen at `firstPtsAt` whose beginning lies after `floor`.
Segment FindStart(Reader& reader, std::uint32_t cluster, const Run& run, std::int64_t floor) {
    std::int64_t lo = floor, hi = run.firstPtsAt;
    while (hi - lo > kWindow) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        auto probe = Belongs(reader, cluster, mid, run.id, run.firstPtsAt, run.firstPts);
        if (probe && probe->at <= run.firstPtsAt)
            hi = mid;
        else
            lo = mid;
    }
    Segment s = SegmentOf(run);
    const auto b = reader.Read(cluster, lo, run.firstPtsAt + 14 - lo);
    for (const Run& r : FindRuns(b, lo, 1)) {
        if (r.id != run.id || r.start > run.firstPtsAt || r.end <= run.firstPtsAt - 1) continue;
        s.start = r.start;
        s.sequence = r.sequence;
        if (r.firstPts >= 0) s.firstPts = r.firstPts;
        break;
    }
    return s;
}

// Whether the open run at the head and the first run of the tail are one stretch.
bool OneStretch(const Run& head, const Run& tail, std::int64_t tailBase) {
    return head.open && head.id == tail.id && tail.start - tailBase < kMaxPacket &&
           head.lastPts >= 0 && tail.firstPts >= 0 &&
           RunsOn(head.id, tail.firstPtsAt - head.lastPtsAt, PtsDiff(head.lastPts, tail.firstPts));
}

ClusterScan ScanCluster(Reader& reader, std::uint32_t cluster) {
    ClusterScan scan{cluster, {}};
    const std::int64_t tailBase = kClusterBytes - kWindow;
    const auto head = reader.Read(cluster, 0, kWindow);
    std::vector<Run> heads = FindRuns(head, 0);
    std::vector<Run> tails;
    if (head.size() == static_cast<std::size_t>(kWindow))
        tails = FindRuns(reader.Read(cluster, tailBase, kWindow), tailBase);
    // A head run must reach the tail to count as open; a short read leaves it as seen.
    std::optional<Run> open;
    if (!heads.empty() && heads.back().open && !tails.empty()) {
        open = heads.back();
        heads.pop_back();
    }
    for (const Run& r : heads)
        scan.segments.push_back(SegmentOf(r));
    if (!heads.empty() && heads.back().open && tails.empty()) // nothing reaches the tail
        scan.segments.back() = FindEnd(reader, cluster, heads.back(), kClusterBytes);
    std::int64_t floor = open                    ? open->lastPacket
                         : scan.segments.empty() ? 0
                                                 : scan.segments.back().end;
    if (open && OneStretch(*open, tails.front(), tailBase)) {
        Segment s = SegmentOf(*open);
        s.end = tails.front().end;
        s.endKnown = tails.front().endKnown;
        s.padded = tails.front().padded;
        s.lastPts = tails.front().lastPts;
        scan.segments.push_back(s);
        tails.erase(tails.begin());
    } else if (open) {
        const std::int64_t limit = tails.empty() ? kClusterBytes : tails.front().start;
        scan.segments.push_back(FindEnd(reader, cluster, *open, limit));
        floor = std::max(floor, scan.segments.back().end);
    }
    for (std::size_t k = 0; k < tails.size(); ++k) {
        const bool unseenStart =
            k == 0 && tails[k].start - tailBase < kMaxPacket && tails[k].firstPts >= 0;
        scan.segments.push_back(unseenStart ? FindStart(reader, cluster, tails[k], floor)
                                            : SegmentOf(tails[k]));
    }
    return scan;
}

// A segment of a cluster of the scan.
struct Node {
    std::size_t scan = 0;
    std::size_t segment = 0;
    auto operator<=>(const Node&) const = default;
};

struct Link {
    Node from, to;
    int score = 0;
    std::int64_t gap = 0; // |PTS difference|
};

std::optional<Link> LinkOf(const std::vector<ClusterScan>& scans, std::size_t p, std::size_t q) {
    if (p == q || scans[p].segments.empty() || scans[q].segments.empty()) return std::nullopt;
    const Segment& a = scans[p].segments.back();
    const Segment& b = scans[q].segments.front();
    if (!a.ReachesEnd() || a.id != b.id || a.lastPts < 0 || b.firstPts < 0) return std::nullopt;
    const std::int64_t d = PtsDiff(a.lastPts, b.firstPts);
    const std::int64_t gap = std::abs(d);
    Link link{{p, scans[p].segments.size() - 1}, {q, 0}, 0, gap};
    if (a.endKnown && b.start == a.end - kClusterBytes) {
        link.score = b.start > 0 ? 3 : 2;
        if (gap <= (b.start > 0 ? 3 : 1) * kTicks + kTicks / 2) return link;
        return std::nullopt;
    }
    if (!a.endKnown && b.start < kMaxPacket && gap <= kTicks + kTicks / 2) {
        link.score = 1;
        return link;
    }
    return std::nullopt;
}

// The best links first; each segment gets at most one successor and one predecessor.
std::map<Node, Node> ChooseLinks(const std::vector<ClusterScan>& scans) {
    std::vector<Link> links;
    for (std::size_t p = 0; p < scans.size(); ++p)
        for (std::size_t q = 0; q < scans.size(); ++q)
            if (auto l = LinkOf(scans, p, q)) links.push_back(*l);
    std::sort(links.begin(), links.end(), [&](const Link& x, const Link& y) {
        if (x.score != y.score) return x.score > y.score;
        if (x.gap != y.gap) return x.gap < y.gap;
        return std::pair(scans[x.from.scan].cluster, scans[x.to.scan].cluster) <
               std::pair(scans[y.from.scan].cluster, scans[y.to.scan].cluster);
    });
    std::map<Node, Node> next;
    std::map<Node, Node> previous;
    for (const Link& l : links) {
        if (next.contains(l.from) || previous.contains(l.to)) continue;
        // No loops: following the chain from the target must not come back.
        bool loops = false;
        for (Node n = l.to;;) {
            if (n.scan == l.from.scan) {
                loops = true;
                break;
            }
            if (scans[n.scan].segments.size() != n.segment + 1) break;
            auto it = next.find({n.scan, n.segment});
            if (it == next.end()) break;
            n = it->second;
        }
        if (loops) continue;
        next[l.from] = l.to;
        previous[l.to] = l.from;
    }
    return next;
}

RecoveredStream Follow(const std::vector<ClusterScan>& scans, const std::map<Node, Node>& next,
                       Node n) {
    RecoveredStream s;
    const Segment& first = scans[n.scan].segments[n.segment];
    s.streamId = first.id;
    s.startByte = first.start;
    s.firstPts = first.firstPts;
    s.wholeStart = first.start % kSectorSize == 0 && (!IsVideoId(first.id) || first.sequence);
    while (true) {
        const Segment& seg = scans[n.scan].segments[n.segment];
        s.chain.push_back(scans[n.scan].cluster);
        if (seg.lastPts >= 0) s.lastPts = seg.lastPts;
        s.endByte = std::min(seg.end, kClusterBytes);
        s.wholeEnd = !seg.ReachesEnd() && seg.padded;
        auto it = next.find(n);
        if (it == next.end() || s.chain.size() >= static_cast<std::size_t>(kMaxChainLength)) break;
        n = it->second;
    }
    return s;
}

double Seconds(const RecoveredStream& s) {
    if (s.firstPts < 0 || s.lastPts < 0) return 0;
    return std::max<double>(0, static_cast<double>(PtsDiff(s.firstPts, s.lastPts)) / kTicks);
}

std::vector<RecoveredStream> Streams(const std::vector<ClusterScan>& scans) {
    const std::map<Node, Node> next = ChooseLinks(scans);
    std::map<Node, bool> linkedTo;
    for (const auto& [from, to] : next)
        linkedTo[to] = true;
    std::vector<RecoveredStream> streams;
    for (std::size_t k = 0; k < scans.size(); ++k)
        for (std::size_t i = 0; i < scans[k].segments.size(); ++i)
            if (!linkedTo.contains({k, i})) {
                RecoveredStream s = Follow(scans, next, {k, i});
                if (Seconds(s) >= kMinSeconds) streams.push_back(std::move(s));
            }
    return streams;
}

// Seconds the audio's time stamps share with the video's.
double Overlap(const RecoveredStream& v, const RecoveredStream& a) {
    const double from = std::max<double>(0, static_cast<double>(PtsDiff(v.firstPts, a.firstPts)));
    const double to = std::min<double>(static_cast<double>(PtsDiff(v.firstPts, v.lastPts)),
                                       static_cast<double>(PtsDiff(v.firstPts, a.lastPts)));
    return (to - from) / kTicks;
}

std::vector<RecoveredRecording> Pair(std::vector<RecoveredStream> streams) {
    std::vector<RecoveredRecording> out;
    std::vector<RecoveredStream> audio;
    for (auto& s : streams)
        (IsVideoId(s.streamId) ? out.emplace_back().video : audio.emplace_back()) = std::move(s);
    struct Match {
        double overlap;
        std::size_t v, a;
    };
    std::vector<Match> matches;
    for (std::size_t v = 0; v < out.size(); ++v)
        for (std::size_t a = 0; a < audio.size(); ++a)
            if (double o = Overlap(out[v].video, audio[a]); o > 0) matches.push_back({o, v, a});
    std::sort(matches.begin(), matches.end(),
              [](const Match& x, const Match& y) { return x.overlap > y.overlap; });
    std::vector<bool> used(audio.size(), false);
    for (const Match& m : matches) {
        if (used[m.a] || !out[m.v].audio.Empty()) continue;
        used[m.a] = true;
        out[m.v].audio = audio[m.a];
    }
    std::sort(out.begin(), out.end(), [](const auto& x, const auto& y) {
        return std::pair(x.video.chain.front(), x.video.startByte) <
               std::pair(y.video.chain.front(), y.video.startByte);
    });
    for (std::size_t i = 0; i < out.size(); ++i) {
        RecoveredRecording& r = out[i];
        r.number = static_cast<int>(i) + 1;
        r.seconds = Seconds(r.video);
        const auto whole = [](const RecoveredStream& s) { return s.wholeStart && s.wholeEnd; };
        r.complete = whole(r.video) && (r.audio.Empty() || whole(r.audio));
    }
    return out;
}

void PutLe16(ClipRecord& r, int at, std::uint32_t v) {
    r.bytes[at] = static_cast<std::uint8_t>(v);
    r.bytes[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void PutLe32(ClipRecord& r, int at, std::uint32_t v) {
    PutLe16(r, at, v & 0xFFFF);
    PutLe16(r, at + 2, v >> 16);
}

void PutStream(ClipRecord& r, const RecoveredStream& s, int count, int end, int first, int start) {
    if (s.Empty()) return;
    const auto sectors = [](std::int64_t bytes) {
        return static_cast<std::uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
    };
    PutLe16(r, count, static_cast<std::uint32_t>(s.chain.size()));
    PutLe32(r, end, sectors(s.endByte));
    PutLe16(r, first, s.chain.front());
    PutLe32(r, start, static_cast<std::uint32_t>(s.startByte / kSectorSize));
}

} // namespace

std::vector<bool> LiveClusters(const CPVRDrive& drive, const ClusterTable& table) {
    std::vector<bool> live(kTableEntries, false);
    for (int i = 0; i < drive.GetFileCount(); ++i) {
        const ClipRecord& r = drive.GetFile(i)->GetRecord();
        for (auto [first, count] : {std::pair(r.VideoFirstCluster(), r.VClusters()),
                                    std::pair(r.AudioFirstCluster(), r.AClusters())}) {
            if (count == 0 || !IsDataCluster(first)) continue;
            std::vector<std::uint32_t> chain = table.GetClusterChain(first);
            CutChainLoop(chain);
            if (chain.size() > count) chain.resize(count);
            for (std::uint32_t c : chain)
                if (IsDataCluster(c)) live[c] = true;
        }
    }
    return live;
}

RecoveryScanReport ScanForDeleted(const std::string& volume, const std::vector<bool>& live,
                                  int clusters, const RecoveryProgress& progress,
                                  const std::atomic<bool>& cancel) {
    RecoveryScanReport report;
    Reader reader(volume);
    if (!reader.Ok()) {
        report.error = "cannot open " + volume + ": " + SystemErrorText(errno);
        return report;
    }
    clusters = std::clamp(clusters, 0, kMaxChainLength);
    std::vector<std::uint32_t> free;
    for (int c = 1; c <= clusters; ++c)
        if (static_cast<std::size_t>(c) >= live.size() || !live[static_cast<std::size_t>(c)])
            free.push_back(static_cast<std::uint32_t>(c));
    report.clustersLooked = static_cast<int>(free.size());
    std::vector<ClusterScan> scans;
    for (std::size_t i = 0; i < free.size(); ++i) {
        if (cancel.load()) {
            report.cancelled = true;
            report.bytesRead = reader.BytesRead();
            return report;
        }
        ClusterScan scan = ScanCluster(reader, free[i]);
        if (!scan.segments.empty()) scans.push_back(std::move(scan));
        if (progress) progress(static_cast<int>(i) + 1, static_cast<int>(free.size()));
    }
    report.recordings = Pair(Streams(scans));
    report.bytesRead = reader.BytesRead();
    report.reads = reader.Reads();
    report.failedReads = reader.Failed();
    LogLine(Format(
        "recovery scan: %d free clusters, %d with packets, %d recordings, %lld bytes read",
        report.clustersLooked, static_cast<int>(scans.size()),
        static_cast<int>(report.recordings.size()), static_cast<long long>(report.bytesRead)));
    return report;
}

RecoveryScanReport ScanForDeleted(const CPVRDrive& drive, const ClusterTable& table,
                                  const RecoveryProgress& progress,
                                  const std::atomic<bool>& cancel) {
    int clusters = drive.TotalClusters();
    if (clusters <= 0 || clusters > kMaxChainLength) clusters = kMaxChainLength;
    return ScanForDeleted(drive.DriveName(), LiveClusters(drive, table), clusters, progress,
                          cancel);
}

std::string RecoveredName(int number) {
    return Format("Recovered %02d", number);
}

ClipRecord RecoveredRecord(const RecoveredRecording& recording) {
    ClipRecord r;
    std::fill(r.bytes.begin() + kStationOffset, r.bytes.begin() + kStationOffset + kStationField,
              ' ');
    r.SetClipName(RecoveredName(recording.number));
    // Rounded up: the rip ends at the record's length and must not lose the last second.
    const int seconds = static_cast<int>(std::ceil(recording.seconds));
    r.bytes[0x44] = static_cast<std::uint8_t>(std::min(seconds / 3600, 127));
    r.bytes[0x45] = static_cast<std::uint8_t>(seconds / 60 % 60);
    r.bytes[0x46] = static_cast<std::uint8_t>(seconds % 60);
    PutStream(r, recording.video, 0x4C, 0x50, 0x58, 0x84);
    PutStream(r, recording.audio, 0x4E, 0x54, 0x5A, 0x88);
    for (int k = 0; k < 10; ++k) {
        PutLe16(r, 0x5C + 4 * k, 0xFFFF);
        PutLe16(r, 0x5E + 4 * k, 0xFFFF);
    }
    return r;
}

std::vector<std::uint8_t> RecoveredTableBytes(const RecoveredRecording& recording) {
    std::vector<std::uint8_t> table(kTableBytes, 0);
    for (const RecoveredStream* s : {&recording.video, &recording.audio}) {
        for (std::size_t i = 0; i < s->chain.size(); ++i) {
            const std::uint32_t next = i + 1 < s->chain.size() ? s->chain[i + 1] : kChainEnd;
            const std::size_t at = s->chain[i] * 4;
            table[at] = static_cast<std::uint8_t>(next);
            table[at + 1] = static_cast<std::uint8_t>(next >> 8);
        }
    }
    return table;
}

RecoveredClip::RecoveredClip(const std::string& volume, const RecoveredRecording& recording)
    : record_(RecoveredRecord(recording)),
      table_(std::make_unique<ClusterTable>(RecoveredTableBytes(recording))),
      clip_(std::make_unique<CPVRFile>(volume, record_, table_.get())) {
    clip_->RefuseWrites("a recovered recording has no record on the disk");
}

RecoveredClip::~RecoveredClip() = default;

} // namespace quorin
