// PES packetisation of video and audio elementary streams: header syntax,
// packet boundaries, time stamps, loops, the 2^33 wrap and split pictures.
#include <algorithm>
#include <iterator>

#include "support.h"

namespace quorin::testdisk::test {
namespace {

constexpr std::int64_t kFrame = 3600; // 25 fps in 90 kHz ticks

std::size_t PayloadAt(const PacketisedStream& s, const PacketInfo& p) {
    return p.offset + 9 + static_cast<std::size_t>(s.bytes[p.offset + 8]);
}

// Every packet in MPEG-2 PES syntax, back to back, as the packet list says.
void ExpectWellFormed(const PacketisedStream& s) {
    std::uint64_t next = 0;
    for (std::size_t i = 0; i < s.packets.size(); ++i) {
        SCOPED_TRACE("packet " + std::to_string(i));
        const PacketInfo& p = s.packets[i];
        ASSERT_EQ(p.offset, next);
        ASSERT_LE(p.offset + p.size, s.bytes.size());
        const std::span<const std::uint8_t> b(s.bytes.data() + p.offset, p.size);
        EXPECT_EQ(b[0], 0);
        EXPECT_EQ(b[1], 0);
        EXPECT_EQ(b[2], 1);
        EXPECT_EQ(b[3], s.streamId);
        EXPECT_EQ((b[4] << 8 | b[5]) + 6u, p.size);
        EXPECT_EQ(b[6] & 0xC0, 0x80) << "MPEG-2 '10' bits";
        EXPECT_EQ(b[7], p.dts ? 0xC0 : 0x80) << "PTS_DTS_flags and no other fields";
        EXPECT_EQ(b[8], p.headerDataLength);
        EXPECT_EQ(b[9] >> 4, p.dts ? 3 : 2);
        EXPECT_EQ(b[9] & b[11] & b[13] & 1, 1) << "PTS marker bits";
        EXPECT_EQ(TimeStampAt(b, 9), p.pts);
        EXPECT_EQ(p.pts, WrapPts(p.ptsLinear));
        std::size_t fields = 14;
        if (p.dts) {
            EXPECT_EQ(b[14] >> 4, 1);
            EXPECT_EQ(TimeStampAt(b, 14), *p.dts);
            fields = 19;
        }
        for (std::size_t k = fields; k < 9u + b[8]; ++k)
            EXPECT_EQ(b[k], 0xFF) << "stuffing";
        next += p.size;
    }
    EXPECT_EQ(next, s.bytes.size());
}

std::vector<std::uint8_t> Payloads(const PacketisedStream& s) {
    std::vector<std::uint8_t> out;
    for (const auto& p : s.packets)
        out.insert(out.end(), s.bytes.begin() + static_cast<std::ptrdiff_t>(PayloadAt(s, p)),
                   s.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size));
    return out;
}

std::vector<std::uint8_t> Repeat(const std::vector<std::uint8_t>& v, int times) {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < times; ++i)
        out.insert(out.end(), v.begin(), v.end());
    return out;
}

PacketisedStream Video(const std::string& sample, std::int64_t firstPts = 900'000, int loops = 1) {
    const auto es = ReadBytes(Sample(sample));
    auto s = PacketiseVideo(es, {firstPts, loops});
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error());
    return s.ok() ? std::move(*s) : PacketisedStream{};
}

PacketisedStream Audio(const std::string& sample, std::int64_t firstPts = 900'000, int loops = 1) {
    const auto es = ReadBytes(Sample(sample));
    auto s = PacketiseAudio(es, {firstPts, loops, AudioCodec::Auto});
    EXPECT_TRUE(s.ok()) << (s.ok() ? "" : s.error());
    return s.ok() ? std::move(*s) : PacketisedStream{};
}

TEST(VideoPacketiser, OnePacketPerPictureWithPtsInDisplayAndDtsInDecodeOrder) {
    const auto s = Video("mpeg2-4x3.m2v", 1'000'000);
    ExpectWellFormed(s);
    EXPECT_EQ(s.streamId, 0xE0);
    ASSERT_EQ(s.packets.size(), 96u); // no picture of this sample needs splitting
    EXPECT_EQ(s.durationTicks, 96 * kFrame);
    EXPECT_EQ(Payloads(s), ReadBytes(Sample("mpeg2-4x3.m2v")));
    int gops = 0;
    std::vector<std::int64_t> pts;
    for (std::size_t i = 0; i < s.packets.size(); ++i) {
        const auto& p = s.packets[i];
        const std::size_t at = PayloadAt(s, p);
        EXPECT_EQ(s.bytes[at + 2], 1) << "payload begins at a start code";
        // A GOP's packet starts with the sequence header; others with the picture.
        EXPECT_EQ(s.bytes[at + 3], p.gopHeader ? 0xB3 : 0x00) << i;
        gops += p.gopHeader && p.sequenceHeader && p.pictureType == 'I';
        // B pictures are shown when decoded; I and P pictures one reorder step later.
        EXPECT_EQ(p.dts.has_value(), p.pictureType != 'B') << i;
        EXPECT_EQ(p.dts.value_or(p.pts), 1'000'000 + (static_cast<std::int64_t>(i) - 1) * kFrame);
        pts.push_back(p.ptsLinear);
    }
    EXPECT_EQ(gops, 8);
    EXPECT_EQ(s.packets.front().pts, 1'000'000);
    std::sort(pts.begin(), pts.end());
    for (std::size_t i = 0; i < pts.size(); ++i)
        EXPECT_EQ(pts[i], 1'000'000 + static_cast<std::int64_t>(i) * kFrame);
}

TEST(VideoPacketiser, SplitsLargePicturesAtSliceStartCodes) {
    const auto s = Video("mpeg2-16x9.m2v");
    ExpectWellFormed(s);
    EXPECT_EQ(Payloads(s), ReadBytes(Sample("mpeg2-16x9.m2v")));
    std::size_t pieces = 1;
    while (pieces < s.packets.size() && s.packets[pieces].continuation)
        ++pieces;
    ASSERT_GE(pieces, 3u) << "the first intra picture exceeds 128 KiB";
    for (std::size_t i = 0; i < pieces; ++i) {
        const auto& p = s.packets[i];
        EXPECT_LE(p.size, 0xFFFFu + 6);
        EXPECT_EQ(p.pts, s.packets[0].pts);
        EXPECT_EQ(p.dts, s.packets[0].dts);
        EXPECT_EQ(p.pictureType, 'I');
        if (i > 0) {
            const std::size_t at = PayloadAt(s, p);
            EXPECT_EQ(s.bytes[at + 2], 1);
            EXPECT_GE(s.bytes[at + 3], 0x01) << "slice start code";
            EXPECT_LE(s.bytes[at + 3], 0xAF);
        }
    }
}

// A tiny MPEG-1 stream: one intra picture with slices of the given sizes.
std::vector<std::uint8_t> CraftedPicture(const std::vector<std::size_t>& sliceBytes) {
    std::vector<std::uint8_t> es = {0,    0,    1, 0xB3, 0x16, 0x01, 0x20, 0x13, 0xFF, 0xFF,
                                    0xE0, 0x18, 0, 0,    1,    0xB8, 0x00, 0x08, 0x00, 0x40,
                                    0,    0,    1, 0x00, 0x00, 0x0F, 0xFF, 0xF8};
    for (std::size_t i = 0; i < sliceBytes.size(); ++i) {
        es.insert(es.end(), {0, 0, 1, static_cast<std::uint8_t>(i + 1)});
        es.insert(es.end(), sliceBytes[i] - 4, 0x5A);
    }
    return es;
}

TEST(VideoPacketiser, CutsBeforeTheSliceThatWouldOverflow) {
    const auto es = CraftedPicture({20'000, 20'000, 20'000, 20'000, 20'000});
    auto s = PacketiseVideo(es, {});
    ASSERT_TRUE(s.ok()) << s.error();
    ExpectWellFormed(*s);
    ASSERT_EQ(s->packets.size(), 2u);
    EXPECT_EQ(s->packets[0].size, 14 + 28 + 60'000u) << "headers and three slices";
    EXPECT_EQ(s->packets[1].size, 14 + 40'000u);
    EXPECT_FALSE(s->packets[0].dts) << "no reordering without B pictures";
    EXPECT_EQ(Payloads(*s), es);
}

TEST(VideoPacketiser, RejectsOversizedSlicesAndForeignInput) {
    auto s = PacketiseVideo(CraftedPicture({70'000}), {});
    ASSERT_FALSE(s.ok());
    EXPECT_NE(s.error().find("slice"), std::string::npos) << s.error();
    EXPECT_FALSE(PacketiseVideo(ReadBytes(Sample("tone-48k-192k.mp2")), {}).ok());
    EXPECT_FALSE(PacketiseVideo(ReadBytes(Sample("mpeg2-4x3.m2v")), {0, 0}).ok()) << "0 loops";
}

std::uint32_t TimeCodePictures(const PacketisedStream& s, const PacketInfo& p) {
    static constexpr std::uint8_t kGop[] = {0, 0, 1, 0xB8};
    const auto begin = s.bytes.begin() + static_cast<std::ptrdiff_t>(PayloadAt(s, p));
    const auto end = s.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size);
    const auto found = std::search(begin, end, std::begin(kGop), std::end(kGop));
    if (found == end) return ~0u;
    const std::uint8_t* gop = &*found;
    const std::uint32_t v = gop[4] << 24 | gop[5] << 16 | gop[6] << 8 | gop[7];
    const std::uint32_t h = (v >> 26) & 31, m = (v >> 20) & 63, sec = (v >> 13) & 63;
    return ((h * 60 + m) * 60 + sec) * 25 + ((v >> 7) & 63);
}

TEST(VideoPacketiser, LoopsContinueTimeStampsAndTimeCodes) {
    const auto one = Video("mpeg2-4x3.m2v");
    const auto three = Video("mpeg2-4x3.m2v", 900'000, 3);
    ExpectWellFormed(three);
    ASSERT_EQ(three.packets.size(), 3 * one.packets.size());
    EXPECT_EQ(three.durationTicks, 3 * 96 * kFrame);
    for (std::size_t k = 0; k < 3; ++k) {
        for (std::size_t i = 0; i < one.packets.size(); ++i) {
            const auto& p = three.packets[k * one.packets.size() + i];
            EXPECT_EQ(p.ptsLinear,
                      one.packets[i].ptsLinear + static_cast<std::int64_t>(k) * 96 * kFrame);
            if (p.gopHeader) {
                EXPECT_EQ(TimeCodePictures(three, p),
                          TimeCodePictures(one, one.packets[i]) + k * 96);
            }
        }
    }
}

TEST(VideoPacketiser, TimeStampsWrapModulo2To33) {
    const std::int64_t first = kPtsModulo - 90'000; // one second before the wrap
    const auto s = Video("mpeg2-4x3.m2v", first);
    ExpectWellFormed(s);
    int wrapped = 0;
    for (const auto& p : s.packets) {
        EXPECT_LT(p.pts, kPtsModulo);
        if (p.ptsLinear >= kPtsModulo) {
            ++wrapped;
            EXPECT_EQ(p.pts, p.ptsLinear - kPtsModulo);
        }
    }
    EXPECT_GT(wrapped, 60);
    EXPECT_EQ(s.packets[0].pts, first);
}

TEST(AudioPacketiser, MpegAudioTwoFramesPerPacketSomeWithStuffing) {
    const auto s = Audio("tone-48k-192k.mp2", -27'000); // wraps to just below 2^33
    ExpectWellFormed(s);
    EXPECT_EQ(s.streamId, 0xC0);
    ASSERT_EQ(s.packets.size(), 80u);
    EXPECT_EQ(s.frameCount, 160u);
    EXPECT_EQ(s.durationTicks, 160 * 2160);
    EXPECT_EQ(Payloads(s), ReadBytes(Sample("tone-48k-192k.mp2")));
    for (std::size_t i = 0; i < s.packets.size(); ++i) {
        const auto& p = s.packets[i];
        EXPECT_EQ(p.frames, 2);
        EXPECT_EQ(p.ptsLinear, -27'000 + static_cast<std::int64_t>(i) * 4320);
        EXPECT_EQ(p.headerDataLength, i % 3 == 2 ? 7 : 5) << i;
        const std::size_t at = PayloadAt(s, p);
        EXPECT_EQ(s.bytes[at], 0xFF) << "payload starts at a frame";
        EXPECT_EQ(s.bytes[at + 1] & 0xE0, 0xE0);
    }
}

TEST(AudioPacketiser, Ac3AsPrivateStreamWithoutSubstreamHeaderLooped) {
    const auto s = Audio("tone-48k-448k.ac3", 1000, 3);
    ExpectWellFormed(s);
    EXPECT_EQ(s.streamId, 0xBD);
    ASSERT_EQ(s.packets.size(), 360u);
    EXPECT_EQ(s.durationTicks, 360 * 2880);
    EXPECT_EQ(Payloads(s), Repeat(ReadBytes(Sample("tone-48k-448k.ac3")), 3));
    for (std::size_t i = 0; i < s.packets.size(); ++i) {
        const auto& p = s.packets[i];
        EXPECT_EQ(p.size, 14 + 1792u);
        EXPECT_EQ(p.ptsLinear, 1000 + static_cast<std::int64_t>(i) * 2880);
        EXPECT_EQ(s.bytes[PayloadAt(s, p)], 0x0B) << "AC-3 sync word, no substream id";
        EXPECT_EQ(s.bytes[PayloadAt(s, p) + 1], 0x77);
    }
}

TEST(AudioPacketiser, DetectsCodecByContent) {
    EXPECT_EQ(DetectAudioCodec(ReadBytes(Sample("tone-48k-192k.mp2"))), AudioCodec::MpegAudio);
    EXPECT_EQ(DetectAudioCodec(ReadBytes(Sample("tone-48k-448k.ac3"))), AudioCodec::Ac3);
    EXPECT_EQ(DetectAudioCodec(ReadBytes(Sample("mpeg2-4x3.m2v"))), AudioCodec::Auto);
}

TEST(AudioPacketiser, RejectsTruncatedAndForeignStreams) {
    auto es = ReadBytes(Sample("tone-48k-192k.mp2"));
    es.erase(es.end() - 10, es.end());
    auto cut = PacketiseAudio(es, {});
    ASSERT_FALSE(cut.ok());
    EXPECT_NE(cut.error().find("truncated"), std::string::npos) << cut.error();
    // Forced to the wrong codec, the first header does not parse.
    EXPECT_FALSE(PacketiseAudio(es, {0, 1, AudioCodec::Ac3}).ok());
    EXPECT_FALSE(PacketiseAudio(ReadBytes(Sample("mpeg2-4x3.m2v")), {}).ok());
}

} // namespace
} // namespace quorin::testdisk::test
