// Audio packetisation: whole frames per packet, PTS of the packet's first
// frame, packets back to back. MPEG audio travels as stream 0xC0, AC-3 as
// private stream 1 without a substream header.
#include "audio.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "pes.h"

namespace quorin::testdisk::detail {
namespace {

struct FrameHeader {
    std::size_t size = 0;
    int sampleRate = 0;
    int samples = 0;
};

// MPEG-1/2/2.5 audio, layers I to III; free format is not supported.
std::optional<FrameHeader> MpegAudioHeader(std::span<const std::uint8_t> d) {
    if (d.size() < 4 || d[0] != 0xFF || (d[1] & 0xE0) != 0xE0) return std::nullopt;
    static constexpr int kRates[3] = {44'100, 48'000, 32'000};
    static constexpr int kBitrates[5][15] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}, // V1 L1
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},    // V1 L2
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},     // V1 L3
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},    // V2 L1
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}};        // V2 L2/L3
    const int version = (d[1] >> 3) & 3; // 3: MPEG-1, 2: MPEG-2, 0: MPEG-2.5
    const int layer = 4 - ((d[1] >> 1) & 3);
    const int rateIndex = (d[2] >> 2) & 3;
    const int bitrateIndex = d[2] >> 4;
    if (version == 1 || layer == 4 || rateIndex == 3 || bitrateIndex == 0 || bitrateIndex == 15)
        return std::nullopt;
    const bool lsf = version != 3;
    const int table = lsf ? (layer == 1 ? 3 : 4) : layer - 1;
    const long bitrate = kBitrates[table][bitrateIndex] * 1000L;
    const int rate = kRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const int padding = (d[2] >> 1) & 1;
    FrameHeader h;
    h.sampleRate = rate;
    if (layer == 1) {
        h.samples = 384;
        h.size = static_cast<std::size_t>((12 * bitrate / rate + padding) * 4);
    } else {
        h.samples = (layer == 3 && lsf) ? 576 : 1152;
        h.size = static_cast<std::size_t>(h.samples / 8 * bitrate / rate + padding);
    }
    return h;
}

// AC-3 (bsid up to 8); E-AC-3 is not supported.
std::optional<FrameHeader> Ac3Header(std::span<const std::uint8_t> d) {
    if (d.size() < 6 || d[0] != 0x0B || d[1] != 0x77) return std::nullopt;
    static constexpr int kBitrates[19] = {32,  40,  48,  56,  64,  80,  96,  112, 128, 160,
                                          192, 224, 256, 320, 384, 448, 512, 576, 640};
    static constexpr int kRates[3] = {48'000, 44'100, 32'000};
    const int fscod = d[4] >> 6, frmsizecod = d[4] & 0x3F;
    if (fscod == 3 || frmsizecod >= 38 || (d[5] >> 3) > 8) return std::nullopt;
    const long kbps = kBitrates[frmsizecod / 2];
    const int rate = kRates[fscod];
    // 16-bit words per frame: 1536 samples at the bit rate, 44.1 kHz rounding
    // up on odd codes.
    long words = kbps * 96'000 / rate;
    if (fscod == 1) words += frmsizecod & 1;
    return FrameHeader{static_cast<std::size_t>(words * 2), rate, 1536};
}

std::optional<FrameHeader> FrameAt(std::span<const std::uint8_t> d, AudioCodec codec) {
    return codec == AudioCodec::Ac3 ? Ac3Header(d) : MpegAudioHeader(d);
}

Error At(std::size_t offset, const std::string& what) {
    return Error{"audio offset " + std::to_string(offset) + ": " + what};
}

struct PacketPlan {
    int framesPerPacket = 1;
    int stuffingEvery = 0; // every n-th packet gets two stuffing bytes; 0: never
    std::uint8_t streamId = 0;
};

PacketPlan PlanFor(AudioCodec codec) {
    if (codec == AudioCodec::Ac3) return {1, 0, kPrivateStream1Id};
    return {2, 3, kMpegAudioStreamId};
}

// Appends one packet of whole frames from frame `first` on, as many as the
// plan allows and the packet holds; returns their number (0: none fits).
int AppendAudioPacket(PacketisedStream& out, std::span<const std::uint8_t> es,
                      const AudioStreamInfo& info, std::size_t first, const PacketPlan& plan,
                      const PesHeader& header) {
    const std::size_t begin = info.frames[first].offset;
    std::size_t end = begin;
    int frames = 0;
    for (std::size_t f = first; f < info.frames.size() && frames < plan.framesPerPacket; ++f) {
        const std::size_t frameEnd = info.frames[f].offset + info.frames[f].size;
        if (frameEnd - begin > MaxPayload(header)) break;
        end = frameEnd;
        ++frames;
    }
    if (frames == 0) return 0;
    PacketInfo p;
    p.offset = out.bytes.size();
    p.streamId = plan.streamId;
    p.pts = WrapPts(header.pts);
    p.ptsLinear = header.pts;
    p.headerDataLength = HeaderDataLength(header);
    p.frames = frames;
    AppendPesHeader(out.bytes, header, end - begin);
    out.bytes.insert(out.bytes.end(), es.begin() + static_cast<std::ptrdiff_t>(begin),
                     es.begin() + static_cast<std::ptrdiff_t>(end));
    p.size = static_cast<std::uint32_t>(out.bytes.size() - p.offset);
    out.packets.push_back(p);
    return frames;
}

} // namespace

Expected<AudioStreamInfo> ParseAudio(std::span<const std::uint8_t> es, AudioCodec codec) {
    if (codec == AudioCodec::Auto) codec = DetectAudioCodec(es);
    if (codec == AudioCodec::Auto) return Error{"neither MPEG audio nor AC-3"};
    AudioStreamInfo info;
    info.codec = codec;
    for (std::size_t at = 0; at < es.size();) {
        const auto h = FrameAt(es.subspan(at), codec);
        if (!h) return At(at, "no frame header");
        if (at + h->size > es.size()) return At(at, "truncated frame");
        if (info.frames.empty()) {
            info.sampleRate = h->sampleRate;
            info.samplesPerFrame = h->samples;
        } else if (h->sampleRate != info.sampleRate || h->samples != info.samplesPerFrame) {
            return At(at, "sample rate or frame duration changes");
        }
        info.frames.push_back({at, h->size});
        at += h->size;
    }
    if (info.frames.empty()) return Error{"audio stream is empty"};
    return info;
}

} // namespace quorin::testdisk::detail

namespace quorin::testdisk {

AudioCodec DetectAudioCodec(std::span<const std::uint8_t> es) {
    if (detail::Ac3Header(es)) return AudioCodec::Ac3;
    if (detail::MpegAudioHeader(es)) return AudioCodec::MpegAudio;
    return AudioCodec::Auto;
}

Expected<PacketisedStream> PacketiseAudio(std::span<const std::uint8_t> es,
                                          const AudioOptions& options) try {
    using namespace detail;
    if (options.loops < 1) return Error{"loop count must be at least 1"};
    auto parsed = ParseAudio(es, options.codec);
    if (!parsed) return Error{parsed.error()};
    const AudioStreamInfo& info = *parsed;
    const PacketPlan plan = PlanFor(info.codec);

    PacketisedStream out;
    out.streamId = plan.streamId;
    out.bytes.reserve(es.size() * static_cast<std::size_t>(options.loops) * 102 / 100 + 4096);
    std::int64_t samples = 0;
    for (int loop = 0; loop < options.loops; ++loop) {
        for (std::size_t f = 0; f < info.frames.size();) {
            PesHeader header;
            header.streamId = plan.streamId;
            header.pts = options.firstPts + samples * kPtsClock / info.sampleRate;
            if (plan.stuffingEvery && out.packets.size() % plan.stuffingEvery == 2)
                header.stuffingBytes = 2;
            const int frames = AppendAudioPacket(out, es, info, f, plan, header);
            if (frames == 0) return Error{"audio frame too large for a PES packet"};
            f += static_cast<std::size_t>(frames);
            samples += std::int64_t{frames} * info.samplesPerFrame;
        }
    }
    out.frameCount = info.frames.size() * static_cast<std::uint64_t>(options.loops);
    out.durationTicks = samples * kPtsClock / info.sampleRate;
    return out;
} catch (const std::exception& e) {
    return Error{std::string("audio packetisation failed: ") + e.what()};
}

} // namespace quorin::testdisk
