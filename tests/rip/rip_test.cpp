// Whole-clip rips and cuts through the rip driver, checked byte for byte against the factory's
// packet lists and with ffmpeg as the oracle.
#include "rip_fixture.h"

#include "base/format.h"
#include "rip/extract.h"
#include "rip/obits.h"
#include "rip/rip_driver.h"

#include <cmath>
#include <csignal>
#include <future>
#include <sys/resource.h>
#include <thread>

namespace quorin {
namespace {

using namespace riptest;

// A clip of the 4:3 sample with MP2 audio whose video starts 4 MiB before the end of its first
// cluster, so that it continues in a second cluster of a non-sequential chain.
td::ClipSpec TwoClusterClip(int loops = 8) {
    td::ClipSpec c = SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", loops);
    c.videoClusters = {9, 4};
    c.audioClusters = {6};
    c.videoStartSector = 196'608;
    c.audioStartSector = 64;
    return c;
}

td::DiskSpec OneClip(const td::ClipSpec& c) {
    td::DiskSpec desc;
    desc.clips.push_back(c);
    return desc;
}

struct Ripped {
    RipOutcome outcome;
    RipReport report;
};

Ripped Rip(TestDisk& disk, int clipNo, double begin, double length) {
    Ripped r;
    r.outcome = disk.Rip(clipNo, begin, length, &r.report);
    return r;
}

std::int64_t First(const TestDisk& disk, int clipNo = 0) {
    return disk.Result(clipNo).video.stream.packets.front().pts;
}

std::int64_t Ticks(double seconds) {
    return static_cast<std::int64_t>(std::trunc(seconds * 90'000));
}

// The delay the video rip logs: the time stamp of the picture the video file starts with (the
// packet carrying the first sequence header at or after the start packet) less that of the first
// audio frame written, in milliseconds.
std::string Delay(const td::ClipResult& res, std::int64_t first, std::int64_t S) {
    const auto& pk = res.video.stream.packets;
    std::size_t i = 0;
    while (i < pk.size() && Lifted(pk[i].pts, first) < S &&
           std::llabs(Lifted(pk[i].pts, first) - S) >= 25)
        ++i;
    while (i < pk.size() && !pk[i].sequenceHeader)
        ++i;
    const std::int64_t audio =
        Lifted(res.audio.stream.packets[AudioStartPacket(res.audio, first, S)].pts, first);
    return Format("Delay: %.0f ms",
                  static_cast<double>(Lifted(pk[i].pts, first) - audio) * (1.0 / 90));
}

TEST(Rip, WholeClipAcrossTwoClusters) {
    ScratchDir out;
    TestDisk disk(OneClip(TwoClusterClip()), "whole");
    disk.Options();
    const td::ClipResult& res = disk.Result(0);
    ASSERT_EQ(res.video.chain.size(), 2u);
    const double length = res.lengthSeconds;
    Ripped r = Rip(disk, 0, 0, length);
    ASSERT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
    const std::int64_t first = First(disk);
    const std::int64_t S = first, E = S + Ticks(length);

    auto video = ReadFile("Film.m2v");
    std::int64_t startPts = 0;
    auto expected = ExpectedVideo(res.video, first, S, E, &startPts);
    ASSERT_EQ(video.size(), expected.size());
    EXPECT_TRUE(video == expected);
    // From the first sequence header, GOP time code 0:00:00 picture 1, the sequence end code.
    ASSERT_GE(video.size(), 8u);
    EXPECT_EQ(std::vector<std::uint8_t>(video.begin(), video.begin() + 4),
              (std::vector<std::uint8_t>{0, 0, 1, 0xB3}));
    EXPECT_EQ(std::vector<std::uint8_t>(video.end() - 4, video.end()),
              (std::vector<std::uint8_t>{0, 0, 1, 0xB7}));
    EXPECT_EQ(disk.last.ripStartPts, startPts);
    EXPECT_TRUE(DecodesCleanly("Film.m2v"));
    EXPECT_EQ(FrameCount("Film.m2v"), Pictures(res.video, first, S, E));
    // The cut falls in decode order: B pictures shown just before the end may be left out.
    EXPECT_NEAR(FrameCount("Film.m2v"), length * 25, 3);

    auto audio = ReadFile("Film.mp2");
    auto expectedAudio = ExpectedAudio(res.audio, first, S, E);
    EXPECT_EQ(audio.size(), expectedAudio.size());
    EXPECT_TRUE(audio == expectedAudio);
    EXPECT_TRUE(DecodesCleanly("Film.mp2"));

    EXPECT_EQ(ReadText("Film delay.log"), Delay(res, first, S));
    ASSERT_EQ(r.report.files.size(), 3u);
    EXPECT_EQ(r.report.files[0].name, "Film.mp2");
    EXPECT_EQ(r.report.files[1].name, "Film.m2v");
    EXPECT_EQ(r.report.files[2].name, "Film delay.log");
    EXPECT_GE(r.report.audioMs, 0);
    EXPECT_GE(r.report.videoMs, 0);
    EXPECT_EQ(disk.video.position.load(), disk.video.rangeHigh.load());
}

TEST(Rip, CutsInTheFirstClusterAcrossTheBoundaryAndInTheLast) {
    ScratchDir out;
    TestDisk disk(OneClip(TwoClusterClip()), "cuts");
    disk.Options();
    const td::ClipResult& res = disk.Result(0);
    const std::int64_t first = First(disk);
    double boundary = 0;
    for (const td::PacketInfo& p : res.video.stream.packets) {
        if (ChainPos(res.video, p) >= 104'857'600) {
            boundary = static_cast<double>(p.pts - first) / 90'000;
            break;
        }
    }
    ASSERT_GT(boundary, 1.0);
    const double length = res.lengthSeconds;
    struct Cut {
        const char* name;
        double begin, length;
    };
    for (const Cut& c : {Cut{"first", 0.6, 1.3}, Cut{"across", boundary - 1.0, 2.5},
                         Cut{"last", length - 4.2, 3.0}}) {
        SCOPED_TRACE(c.name);
        disk.request.outputName = c.name;
        Ripped r = Rip(disk, 0, c.begin, c.length);
        ASSERT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
        const std::int64_t S = first + Ticks(c.begin), E = S + Ticks(c.length);
        std::string base = c.name;
        EXPECT_TRUE(ReadFile(base + ".m2v") == ExpectedVideo(res.video, first, S, E));
        EXPECT_TRUE(ReadFile(base + ".mp2") == ExpectedAudio(res.audio, first, S, E));
        EXPECT_TRUE(DecodesCleanly(base + ".m2v"));
        EXPECT_EQ(FrameCount(base + ".m2v"), Pictures(res.video, first, S, E));
        EXPECT_EQ(ReadText(base + " delay.log"), Delay(res, first, S));
    }
}

TEST(Rip, CutAcrossTheTimeStampWrap) {
    ScratchDir out;
    td::ClipSpec c = SampleClip("Wrap", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 4);
    c.firstPts = td::kPtsModulo - 6 * 90'000; // 2^33 is passed 6 s into the clip
    TestDisk disk(OneClip(c), "wrap");
    disk.Options();
    const td::ClipResult& res = disk.Result(0);
    const std::int64_t first = First(disk);
    Ripped r = Rip(disk, 0, 4.5, 3.0);
    ASSERT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
    const std::int64_t S = first + Ticks(4.5), E = S + Ticks(3.0);
    ASSERT_GT(E, td::kPtsModulo);
    EXPECT_TRUE(ReadFile("Wrap.m2v") == ExpectedVideo(res.video, first, S, E));
    EXPECT_TRUE(ReadFile("Wrap.mp2") == ExpectedAudio(res.audio, first, S, E));
    EXPECT_TRUE(DecodesCleanly("Wrap.m2v"));
    EXPECT_EQ(FrameCount("Wrap.m2v"), Pictures(res.video, first, S, E));
    // The delay is measured after the wrap rule: a few frames, not minus 95 million ms.
    std::string delay = ReadText("Wrap delay.log");
    EXPECT_EQ(delay, Delay(res, first, S));
    EXPECT_LT(std::atof(delay.c_str() + 7), 1000.0);
}

// The audio a rip writes when packets are damaged: each damaged packet k costs packets k - 1 and
// k (k - 1 is not followed by a packet), and the gap from the last copied packet to the next
// good one is filled with repeats of the last payload, 576 bytes per 2,160 ticks.
std::vector<std::uint8_t> ExpectedDamagedAudio(const td::StreamLayout& a, std::int64_t first,
                                               std::int64_t S, std::int64_t E,
                                               const std::vector<std::size_t>& bad) {
    const auto& pk = a.stream.packets;
    std::vector<bool> lost(pk.size(), false);
    for (std::size_t k : bad)
        lost[k] = lost[k - 1] = true;
    std::vector<std::uint8_t> out, last;
    std::int64_t L = 0;
    bool gap = false;
    for (std::size_t i = AudioStartPacket(a, first, S); i < pk.size(); ++i) {
        if (lost[i]) {
            gap = true;
            continue;
        }
        std::int64_t P = Lifted(pk[i].pts, first);
        if (P >= E && !out.empty()) break;
        if (gap) {
            std::int64_t count =
                static_cast<std::int64_t>(std::trunc((P - L) / 2160.0 + 0.5)) * 576;
            for (std::int64_t n = 0; n < count; ++n)
                out.push_back(last[static_cast<std::size_t>(n) % last.size()]);
            gap = false;
        }
        last = Payload(a.stream, i);
        out.insert(out.end(), last.begin(), last.end());
        L = P;
    }
    return out;
}

TEST(Rip, DamagedAudioIsRecoveredAndTheGapFilled) {
    ScratchDir out;
    td::ClipSpec c = SampleClip("Damaged", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 2);
    const std::vector<std::size_t> bad = {20, 41, 60};
    c.damage = {{.stream = td::StreamKind::Audio, .kind = td::DamageKind::StartCode, .packet = 20},
                {.stream = td::StreamKind::Audio, .kind = td::DamageKind::Header, .packet = 41},
                {.stream = td::StreamKind::Audio, .kind = td::DamageKind::StartCode, .packet = 60}};
    TestDisk disk(OneClip(c), "damaged");
    disk.Options(true, false);
    OpenLog("damaged", false);
    const td::ClipResult& res = disk.Result(0);
    Ripped r = Rip(disk, 0, 0, res.lengthSeconds);
    CloseLog();
    ASSERT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
    const std::int64_t first = res.audio.stream.packets.front().pts; // audio only: its own
    auto expected =
        ExpectedDamagedAudio(res.audio, first, first, first + Ticks(res.lengthSeconds), bad);
    auto audio = ReadFile("Damaged.mp2");
    EXPECT_EQ(audio.size(), expected.size());
    EXPECT_TRUE(audio == expected);
    std::string log = ReadText("Quorin.log");
    EXPECT_NE(log.find("error recovery"), std::string::npos);
    EXPECT_TRUE(DecodesCleanly("Damaged.mp2"));
}

// The Part's loop moved one byte per step: this reference does exactly that over the chain
// bytes, so that the engine's block copy is proven byte-identical on damaged video too.
std::vector<std::uint8_t> ReferenceVideo(const std::vector<std::uint8_t>& b, std::size_t from,
                                         std::int64_t T0, std::int64_t first, std::int64_t E1) {
    auto valid = [&](std::size_t p, std::int64_t& pts, std::size_t& payload) {
        if (p + 14 > b.size() || (b[p + 6] & 0xC0) != 0x80) return false;
        int flags = b[p + 7] >> 6;
        if (flags < 2 || (b[p + 9] >> 4) != flags || !(b[p + 9] & 1) || !(b[p + 11] & 1) ||
            !(b[p + 13] & 1))
            return false;
        pts = (std::int64_t{b[p + 9] & 0x0E} << 29) | (std::int64_t{b[p + 10]} << 22) |
              (std::int64_t{b[p + 11] >> 1} << 15) | (std::int64_t{b[p + 12]} << 7) |
              (b[p + 13] >> 1);
        payload = p + 9 + b[p + 8];
        while (payload + 3 < b.size() &&
               !(b[payload] == 0 && b[payload + 1] == 0 && b[payload + 2] == 1))
            ++payload;
        return true;
    };
    std::vector<std::uint8_t> out;
    std::int64_t L = T0;
    std::size_t p = from;
    auto word = [&](std::size_t at) {
        std::uint32_t w = 0;
        for (std::size_t k = 0; k < 4; ++k)
            w = (w << 8) | (at + k < b.size() ? b[at + k] : 0);
        return w;
    };
    while (p < b.size()) {
        std::uint32_t w = word(p);
        std::int64_t pts = 0;
        std::size_t payload = 0;
        if (w == 0x000001E0 && valid(p, pts, payload)) {
            pts = Lifted(pts, first);
            L = pts;
            bool slice = payload + 3 < b.size() && b[payload + 3] >= 0x01 && b[payload + 3] <= 0xAF;
            if (pts > E1 && pts - E1 < (std::int64_t{1} << 31) && !slice) break;
            p = payload;
        } else if (w == 0x000001B8 && p + 8 <= b.size()) {
            std::int64_t D = L - T0;
            std::uint32_t hours = static_cast<std::uint32_t>(D / 324'000'000);
            if (hours > 23) hours = 0;
            std::uint32_t tc = (hours & 31) << 19 | ((D / 5'400'000) % 60) << 13 | 1u << 12 |
                               ((D / 90'000) % 60) << 6 | (((D / 3'600) + 1) % 25);
            std::uint32_t x = word(p + 4);
            x = (x & 0x80000000u) | (tc << 7) | (x & 0x7F);
            for (std::uint8_t v : {0, 0, 1, 0xB8})
                out.push_back(v);
            for (int k = 3; k >= 0; --k)
                out.push_back(static_cast<std::uint8_t>(x >> (8 * k)));
            p += 8;
        } else {
            out.push_back(b[p]);
            ++p;
        }
    }
    for (std::uint8_t v : {0, 0, 1, 0xB7})
        out.push_back(v);
    return out;
}

TEST(Rip, DamagedVideoMatchesTheByteByByteLoop) {
    ScratchDir out;
    td::ClipSpec c = TwoClusterClip(3);
    c.audioFile.clear();
    c.audioClusters.clear();
    c.damage = {{.stream = td::StreamKind::Video, .kind = td::DamageKind::Header, .packet = 30},
                {.stream = td::StreamKind::Video, .kind = td::DamageKind::StartCode, .packet = 77},
                {.stream = td::StreamKind::Video,
                 .kind = td::DamageKind::Zero,
                 .packet = 120,
                 .offset = 3,
                 .length = 40}};
    TestDisk disk(OneClip(c), "damagedvideo");
    disk.Options(false, true);
    const td::ClipResult& res = disk.Result(0);
    Ripped r = Rip(disk, 0, 0, res.lengthSeconds);
    ASSERT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
    const std::int64_t first = First(disk);
    auto chain = td::ReadChain(disk.Image(), res.video.chain, res.video.startSector,
                               res.video.stream.bytes.size());
    ASSERT_TRUE(chain.ok());
    // The whole stream is data up to its end offset: the sector padding after the last packet
    // belongs to it as well.
    std::vector<std::uint8_t> bytes = *chain;
    std::size_t dataEnd = static_cast<std::size_t>((res.video.chain.size() - 1) * 104'857'600 +
                                                   std::int64_t{res.video.endSector} * 512 -
                                                   std::int64_t{res.video.startSector} * 512);
    bytes.resize(dataEnd, 0);
    auto expected = ReferenceVideo(bytes, 0, first, first, first + Ticks(res.lengthSeconds) - 1);
    auto video = ReadFile("Film.m2v");
    EXPECT_EQ(video.size(), expected.size());
    EXPECT_TRUE(video == expected);
}

TEST(Rip, PrivateStreamCachedFirstPtsAndNumberedNames) {
    ScratchDir out;
    td::ClipSpec c = SampleClip("Sport", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 3);
    c.videoStartSector = 2048;
    c.audioStartSector = 64;
    TestDisk disk(OneClip(c), "ac3");
    disk.Options();
    disk.request.postfixes.audio = "mpa"; // not used for AC-3
    const td::ClipResult& res = disk.Result(0);
    const std::int64_t first = First(disk);
    OpenLog("first", false);
    Ripped r1 = Rip(disk, 0, 1.0, 5.0);
    CloseLog();
    std::string log1 = ReadText("Quorin.log");
    ASSERT_EQ(r1.outcome, RipOutcome::kDone) << r1.report.message;
    const std::int64_t S = first + Ticks(1.0), E = S + Ticks(5.0);
    // AC-3 packets carry no stuffing: the whole payloads from the start packet on.
    EXPECT_TRUE(ReadFile("Sport.ac3") == ExpectedAudio(res.audio, first, S, E));
    EXPECT_FALSE(std::filesystem::exists("Sport.mpa"));
    EXPECT_TRUE(DecodesCleanly("Sport.ac3"));
    EXPECT_TRUE(ReadFile("Sport.m2v") == ExpectedVideo(res.video, first, S, E));
    EXPECT_EQ(disk.last.aspect, 16.0 / 9.0);
    EXPECT_NE(log1.find("FirstPTS"), std::string::npos);

    OpenLog("second", false);
    Ripped r2 = Rip(disk, 0, 1.0, 5.0);
    CloseLog();
    ASSERT_EQ(r2.outcome, RipOutcome::kDone);
    std::string log2 = ReadText("Quorin.log");
    EXPECT_EQ(log2.find("FirstPTS"), std::string::npos); // the cached first PTS
    EXPECT_NE(log2.find("AudioStream PTS="), std::string::npos);
    EXPECT_TRUE(ReadFile("Sport_000.ac3") == ReadFile("Sport.ac3"));
    EXPECT_TRUE(ReadFile("Sport_000.m2v") == ReadFile("Sport.m2v"));
    // The delay log belongs to the video file actually written.
    EXPECT_TRUE(std::filesystem::exists("Sport_000 delay.log"));
    EXPECT_EQ(ReadText("Sport_000 delay.log"), ReadText("Sport delay.log"));
}

TEST(Rip, PreviewOfLengthZero) {
    ScratchDir out;
    TestDisk disk(OneClip(SampleClip("Prv", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 2)), "prv");
    disk.Options(false, true);
    const td::ClipResult& res = disk.Result(0);
    const std::int64_t first = First(disk);
    disk.request.outputName = "PRV";
    Ripped r = Rip(disk, 0, 2.0, 0);
    ASSERT_EQ(r.outcome, RipOutcome::kDone) << r.report.message;
    const std::int64_t S = first + Ticks(2.0);
    std::int64_t startPts = 0;
    auto expected = ExpectedVideo(res.video, first, S, S, &startPts);
    auto video = ReadFile("PRV.m2v");
    EXPECT_TRUE(video == expected);
    EXPECT_EQ(disk.last.ripStartPts, startPts);
    EXPECT_EQ(FrameCount("PRV.m2v"), 1);
    // The sequence header, the GOP header, one picture and the end code.
    const std::vector<std::uint8_t> gop = {0, 0, 1, 0xB8};
    EXPECT_NE(std::search(video.begin(), video.end(), gop.begin(), gop.end()), video.end());
}

TEST(Rip, PreviewKeepsASplitPictureWhole) {
    ScratchDir out;
    // The 16:9 sample's intra pictures are larger than one packet: split at slices.
    TestDisk disk(OneClip(SampleClip("Wide", "mpeg2-16x9.m2v", "tone-48k-448k.ac3", 2)), "prvwide");
    disk.Options(false, true);
    const td::ClipResult& res = disk.Result(0);
    bool split = false;
    for (const td::PacketInfo& p : res.video.stream.packets)
        split = split || p.continuation;
    ASSERT_TRUE(split);
    const std::int64_t first = First(disk);
    disk.request.outputName = "PRV";
    ASSERT_EQ(Rip(disk, 0, 0, 0).outcome, RipOutcome::kDone);
    EXPECT_TRUE(ReadFile("PRV.m2v") == ExpectedVideo(res.video, first, first, first));
    EXPECT_TRUE(DecodesCleanly("PRV.m2v"));
    EXPECT_EQ(FrameCount("PRV.m2v"), 1);
}

TEST(Rip, CancelInEachStage) {
    ScratchDir out;
    TestDisk disk(OneClip(TwoClusterClip(8)), "cancel");
    const double length = disk.Result(0).lengthSeconds;
    // Cancelled before the run: the analysis stops, nothing is written.
    disk.Options();
    disk.cancel = true;
    Ripped before = Rip(disk, 0, 0, length);
    EXPECT_EQ(before.outcome, RipOutcome::kCancelled);
    EXPECT_FALSE(std::filesystem::exists("Film.mp2"));
    EXPECT_FALSE(std::filesystem::exists("Film.m2v"));

    // Cancelled in the audio stage: no video stage, the partial audio file stays.
    disk.Options();
    disk.request.outputName = "audio";
    std::thread watcher([&] {
        while (!disk.audio.active)
            std::this_thread::yield();
        disk.cancel = true;
    });
    Ripped a = Rip(disk, 0, 0, length);
    watcher.join();
    EXPECT_EQ(a.outcome, RipOutcome::kCancelled);
    EXPECT_TRUE(std::filesystem::exists("audio.mp2"));
    EXPECT_FALSE(std::filesystem::exists("audio.m2v"));
    EXPECT_EQ(disk.video.seconds.load(), 0);

    // Cancelled in the middle of the video stage: the file is closed with its end code.
    disk.Options();
    disk.audio.active = false;
    disk.request.outputName = "video";
    std::thread watcher2([&] {
        while (disk.video.megabytes < 2)
            std::this_thread::yield();
        disk.cancel = true;
    });
    Ripped v = Rip(disk, 0, 0, length);
    watcher2.join();
    EXPECT_EQ(v.outcome, RipOutcome::kCancelled);
    auto video = ReadFile("video.m2v");
    ASSERT_GE(video.size(), 2'000'000u);
    EXPECT_LT(video.size(), 15'000'000u);
    EXPECT_EQ(std::vector<std::uint8_t>(video.end() - 4, video.end()),
              (std::vector<std::uint8_t>{0, 0, 1, 0xB7}));
    EXPECT_TRUE(ReadFile("video.mp2") == ExpectedAudio(disk.Result(0).audio, First(disk),
                                                       First(disk), First(disk) + Ticks(length)));
}

TEST(Rip, OutputThatCannotBeCreatedOrWritten) {
    ScratchDir out;
    TestDisk disk(OneClip(SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 1)), "outfail");
    disk.Options();
    // A name of 255 characters leaves no room for the extension.
    disk.request.outputName = std::string(255, 'n');
    OpenLog("outfail", false);
    Ripped r = Rip(disk, 0, 0, 3);
    CloseLog();
    EXPECT_EQ(r.outcome, RipOutcome::kOutputFailed);
    EXPECT_NE(disk.audio.Status().find("could not create"), std::string::npos);
    EXPECT_NE(disk.video.Status().find("could not create"), std::string::npos);
    std::string log = ReadText("Quorin.log");
    EXPECT_NE(log.find("could not create " + std::string(255, 'n') + ".mp2: File name too long"),
              std::string::npos);
    EXPECT_EQ(log.find("Stream ripped successfully"), std::string::npos);
    EXPECT_EQ(r.report.files.size(), 0u);

    // A file that cannot be written to the end (a file size limit): the stage reports it.
    disk.request.outputName = "Limited";
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 500'000;
    ::setrlimit(RLIMIT_FSIZE, &small);
    Ripped w = Rip(disk, 0, 0, 3);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, handler);
    EXPECT_EQ(w.outcome, RipOutcome::kOutputFailed);
    EXPECT_NE(disk.video.Status().find("could not write Limited.m2v"), std::string::npos);
}

TEST(Rip, NothingToRip) {
    ScratchDir out;
    td::DiskSpec desc;
    desc.clips.push_back(SampleClip("NoVideo", "", "tone-48k-192k.mp2", 1));
    desc.clips.push_back(SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-192k.mp2", 1));
    TestDisk disk(desc, "nothing");
    disk.Options();
    // A clip without a video chain (0 clusters) is an empty stream: "can't go on...".
    Ripped r = Rip(disk, 0, 0, 3);
    EXPECT_EQ(r.outcome, RipOutcome::kNothingToRip);
    EXPECT_TRUE(r.report.files.empty());
    // A begin after the last packet of the video: the stage finds nothing to copy.
    Ripped late = Rip(disk, 1, 3.9, 5);
    EXPECT_EQ(late.outcome, RipOutcome::kNothingToRip);
}

} // namespace
} // namespace quorin

namespace quorin::riptest {
namespace {

// Runs own their state: one clip ripped on two threads at once, each run into a folder of its
// own (a cut, muxed too), gives the same streams as one run alone (a container carries random
// identifiers of its own).
TEST(Rip, OneClipOnTwoThreadsAtOnceGivesTheSameFiles) {
    TestDisk disk(OneClip(TwoClusterClip()), "threads");
    ScratchFolder alone("rip-alone"), first("rip-first"), second("rip-second");
    auto rip = [&](const ScratchFolder& folder) {
        RipProgress audio, video;
        std::atomic<bool> cancel{false};
        RipRunner runner(static_cast<const CPVRFile&>(disk.Clip(0)), audio, video, &cancel);
        RipRequest request;
        request.begin = 1.5;
        request.length = 20;
        request.outputFolder = folder.Path().string();
        request.mux.format = MuxFormat::kMatroska;
        request.mux.keepStreams = true;
        return runner.Run(request).outcome.value_or(RipOutcome::kNothingToRip);
    };
    ASSERT_EQ(rip(alone), RipOutcome::kDone);
    std::future<RipOutcome> other = std::async(std::launch::async, [&] { return rip(second); });
    EXPECT_EQ(rip(first), RipOutcome::kDone);
    EXPECT_EQ(other.get(), RipOutcome::kDone);
    for (const char* name : {"Film.m2v", "Film.mp2", "Film delay.log"}) {
        SCOPED_TRACE(name);
        const auto want = ReadFile(alone / name);
        ASSERT_FALSE(want.empty());
        EXPECT_TRUE(ReadFile(first / name) == want);
        EXPECT_TRUE(ReadFile(second / name) == want);
    }
    EXPECT_TRUE(fs::exists(first / "Film.mkv") && fs::exists(second / "Film.mkv"));
}

} // namespace
} // namespace quorin::riptest
