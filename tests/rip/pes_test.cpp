// Packet headers and time stamp scans on hand-made packets in small sparse images.
#include "disk_image.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "disk/cluster_table.h"
#include "disk/ibits.h"
#include "disk/layout.h"
#include "disk/pvr_file.h"
#include "platform/volume.h"
#include "rip/pes.h"
#include "rip/rip_runner.h"

#include <gtest/gtest.h>

#include <memory>

namespace quorin {
namespace {

using test::DiskImage;

// MSB-first bit writer for building headers.
class Bits {
public:
    void Put(std::uint64_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            cur_ = static_cast<std::uint8_t>((cur_ << 1) | ((v >> i) & 1));
            if (++fill_ == 8) {
                out_.push_back(cur_);
                cur_ = 0;
                fill_ = 0;
            }
        }
    }
    std::vector<std::uint8_t> Take() { return std::move(out_); }

private:
    std::vector<std::uint8_t> out_;
    std::uint8_t cur_ = 0;
    int fill_ = 0;
};

void TimeStamp(Bits& b, int prefix, std::int64_t ts, bool goodMarkers = true) {
    b.Put(prefix, 4);
    b.Put((ts >> 30) & 7, 3);
    b.Put(1, 1);
    b.Put((ts >> 15) & 0x7FFF, 15);
    b.Put(goodMarkers ? 1 : 0, 1);
    b.Put(ts & 0x7FFF, 15);
    b.Put(1, 1);
}

std::vector<std::uint8_t> PackHeader(bool good = true) {
    Bits b;
    b.Put(0x000001BA, 32);
    b.Put(good ? 1 : 3, 2); // '01'
    b.Put(0, 3);
    b.Put(1, 1);
    b.Put(0, 15);
    b.Put(1, 1);
    b.Put(0, 15);
    b.Put(1, 1);
    b.Put(0, 9);
    b.Put(1, 1);
    b.Put(12345, 22);
    b.Put(3, 2);
    b.Put(31, 5);
    b.Put(0, 3);
    return b.Take();
}

struct Pes {
    std::uint8_t id = 0xE0;
    int flags = 2; // PTS_DTS_flags
    std::int64_t pts = 900'000;
    std::int64_t dts = 896'400;
    bool escr = false, esRate = false, crc = false, extension = false, packHeader = false;
    bool goodPackHeader = true;
    bool goodMarkers = true;
    bool mpeg1 = false;
    int stuffing = 0;
    std::vector<std::uint8_t> payload{0x00, 0x00, 0x01, 0xB3, 0x2D, 0x02, 0x40, 0x33};
};

std::vector<std::uint8_t> Build(const Pes& p) {
    Bits f; // optional fields
    if (p.flags == 2) TimeStamp(f, 2, p.pts, p.goodMarkers);
    if (p.flags == 3) {
        TimeStamp(f, 3, p.pts, p.goodMarkers);
        TimeStamp(f, 1, p.dts);
    }
    if (p.escr) {
        f.Put(3, 2);
        f.Put(0, 3);
        f.Put(1, 1);
        f.Put(0, 15);
        f.Put(1, 1);
        f.Put(0, 15);
        f.Put(1, 1);
        f.Put(0, 9);
        f.Put(1, 1);
    }
    if (p.esRate) {
        f.Put(1, 1);
        f.Put(1000, 22);
        f.Put(1, 1);
    }
    if (p.crc) f.Put(0xBEEF, 16);
    std::vector<std::uint8_t> fields = f.Take();
    if (p.extension) {
        fields.push_back(p.packHeader ? 0x4E : 0x0E); // pack_header_field_flag, reserved 111
        if (p.packHeader) {
            auto pack = PackHeader(p.goodPackHeader);
            fields.push_back(static_cast<std::uint8_t>(pack.size()));
            fields.insert(fields.end(), pack.begin(), pack.end());
        }
    }
    for (int i = 0; i < p.stuffing; ++i)
        fields.push_back(0xFF);
    std::vector<std::uint8_t> out{0x00, 0x00, 0x01, p.id};
    std::size_t len = 3 + fields.size() + p.payload.size();
    out.push_back(static_cast<std::uint8_t>(len >> 8));
    out.push_back(static_cast<std::uint8_t>(len));
    out.push_back(p.mpeg1 ? 0x0F : 0x84); // '10' + data_alignment
    out.push_back(static_cast<std::uint8_t>(p.flags << 6 | p.escr << 5 | p.esRate << 4 |
                                            p.crc << 1 | p.extension));
    out.push_back(static_cast<std::uint8_t>(fields.size()));
    out.insert(out.end(), fields.begin(), fields.end());
    out.insert(out.end(), p.payload.begin(), p.payload.end());
    return out;
}

std::vector<std::uint8_t> Cat(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// One clip: video in cluster 1, audio in cluster 2 (working layout).
class PesTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetConsoleTrace(false);
        img_.Header(2, 0, 1, "PES");
        img_.Link(1, 0xFFFF);
        img_.Link(2, 0xFFFF);
        img_.Resize(DiskImage::ClusterOffset(3));
    }

    void Record(std::int32_t vstart = 0, std::int32_t astart = 0) {
        test::RecordSpec r;
        r.vfirst = 1;
        r.vclusters = 1;
        r.vstart = vstart;
        r.vend = 204'800;
        r.afirst = 2;
        r.aclusters = 1;
        r.astart = astart;
        r.aend = 204'800;
        r.lh = 0;
        r.lm = 1;
        r.ls = 0;
        img_.Record(0, test::WorkingRecord(r, 0));
    }
    void Open() {
        bool ok = false;
        table_ = std::make_unique<ClusterTable>(img_.Path(), ok);
        ASSERT_TRUE(ok);
        run_.reset();
        clip_ =
            std::make_unique<CPVRFile>(img_.Path(), 0, table_.get(), RecordLayout::kFirmware190);
        run_ = std::make_unique<RipRun>(*clip_, RipRequest{}, &audio_, &video_, &cancel_);
    }
    std::unique_ptr<CIBits> Reader(std::uint32_t cluster) {
        return std::make_unique<CIBits>(img_.Path(), table_.get(), cluster);
    }
    // Bytes at the start of a cluster, and a reader over it.
    std::unique_ptr<CIBits> At(std::uint32_t cluster, const std::vector<std::uint8_t>& bytes) {
        img_.Write(DiskImage::ClusterOffset(cluster), bytes);
        Record();
        Open();
        return Reader(cluster);
    }

    DiskImage img_{"pes"};
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRFile> clip_;
    RipProgress audio_, video_;
    std::atomic<bool> cancel_{false};
    std::unique_ptr<RipRun> run_;
};

TEST_F(PesTest, HeaderWithPtsOrPtsAndDts) {
    Pes p;
    auto r = At(1, Cat({Build(p), Build({.flags = 3, .pts = 0x1ABCDEF01, .dts = 0x1ABCDE000})}));
    CPESHeader a(*r, 0xE0);
    ASSERT_TRUE(a.IsValid());
    EXPECT_EQ(a.GetPTS(), 900'000);
    EXPECT_FALSE(a.HasPTSandDTS());
    EXPECT_EQ(a.Understood(), 5u);
    EXPECT_EQ(r->Peek32(), 0x000001B3u); // video: on the first start code of the payload
    r->SeekBitPosition(static_cast<std::int64_t>(Build(p).size()) * 8);
    CPESHeader b(*r, 0xE0);
    ASSERT_TRUE(b.IsValid());
    EXPECT_EQ(b.GetPTS(), 0x1ABCDEF01);
    EXPECT_EQ(b.GetDTS(), 0x1ABCDE000);
    EXPECT_TRUE(b.HasPTSandDTS());
    EXPECT_EQ(b.Understood(), 10u);
}

TEST_F(PesTest, FailuresPutTheReaderBackOnTheStartCode) {
    std::vector<std::uint8_t> bytes = {0x47};
    auto bad = Build({.goodMarkers = false});
    auto r = At(1, Cat({bytes, bad}));
    r->SeekBitPosition(8);
    CPESHeader h(*r, 0xE0);
    EXPECT_FALSE(h.IsValid());
    EXPECT_EQ(h.GetPTS(), PTS_NONE);
    EXPECT_EQ(r->GetBitPosition(), 8);
    EXPECT_EQ(r->Peek32(), 0x000001E0u);
    // Wrong stream id, MPEG-1 syntax, no PTS, a bad pack header: all invalid, reader unmoved.
    CPESHeader other(*r, 0xC0);
    EXPECT_FALSE(other.IsValid());
    EXPECT_EQ(r->GetBitPosition(), 8);
    for (Pes p : {Pes{.mpeg1 = true}, Pes{.flags = 0}, Pes{.flags = 1},
                  Pes{.extension = true, .packHeader = true, .goodPackHeader = false}}) {
        img_.Write(DiskImage::ClusterOffset(1) + 1, Build(p));
        auto r2 = Reader(1);
        r2->SeekBitPosition(8);
        CPESHeader x(*r2, 0xE0);
        EXPECT_FALSE(x.IsValid());
        EXPECT_EQ(r2->GetBitPosition(), 8);
    }
}

TEST_F(PesTest, AudioStuffingAndOptionalFields) {
    Pes stuffed{.id = 0xC0, .stuffing = 2, .payload = {0xFF, 0xFD, 0xA4, 0x04}};
    Pes optional{.id = 0xC0,
                 .escr = true,
                 .esRate = true,
                 .crc = true,
                 .extension = true,
                 .packHeader = true,
                 .payload = {0xFF, 0xFD}};
    auto first = Build(stuffed);
    auto r = At(1, Cat({first, Build(optional)}));
    CPESHeader a(*r, 0xC0);
    ASSERT_TRUE(a.IsValid());
    EXPECT_EQ(a.HeaderDataLength(), 5u); // the understood count, not 7
    // The reader stands after the understood fields; the stuffing counts as payload.
    EXPECT_EQ(r->GetBitPosition(), (9 + 5) * 8);
    r->SeekBitPosition(static_cast<std::int64_t>(first.size()) * 8);
    CPESHeader b(*r, 0xC0);
    ASSERT_TRUE(b.IsValid());
    EXPECT_EQ(b.Understood(), 5u + 6 + 3 + 2 + 1);
    EXPECT_EQ(b.HeaderDataLength(), b.Understood());
    EXPECT_TRUE(b.ESCRFlag() && b.ESRateFlag() && b.CRCFlag() && b.ExtensionFlag());
    // After the sub-fields of the extension (length byte and pack header), on the payload.
    EXPECT_EQ(r->Peek32() >> 16, 0xFFFDu);
}

TEST_F(PesTest, TimeStampLimitsAndProbe) {
    // PTS 0 is a valid header but no time stamp for a probe; the largest 33-bit value.
    std::vector<std::uint8_t> zero = {0x00, 0x00, 0x01, 0xC0, 0x00, 0x0A, 0x84, 0x80,
                                      0x05, 0x21, 0x00, 0x01, 0x00, 0x01, 0xFF, 0xFD};
    std::vector<std::uint8_t> max = zero;
    max[9] = 0x2F;
    max[10] = max[11] = max[12] = max[13] = 0xFF;
    auto slice = Build({.payload = {0x00, 0x00, 0x01, 0x01, 0x12}});
    auto r = At(1, Cat({zero, max, slice, Build({})}));
    CPESHeader z(*r, 0xC0);
    EXPECT_TRUE(z.IsValid());
    EXPECT_EQ(z.GetPTS(), 0);
    r->SeekBitPosition(0);
    EXPECT_EQ(ProbePacket(*r, 0xC0), 0);
    r->SeekBitPosition(16 * 8);
    EXPECT_EQ(ProbePacket(*r, 0xC0), (std::int64_t{1} << 33) - 1);
    // Video must be followed by a sequence header or a picture.
    r->SeekBitPosition(32 * 8);
    EXPECT_EQ(ProbePacket(*r, 0xE0), 0);
    r->SeekBitPosition((32 + static_cast<std::int64_t>(slice.size())) * 8);
    EXPECT_EQ(ProbePacket(*r, 0xE0), 900'000);
    EXPECT_EQ(StreamTypeOf(0xBD), kKindPrivate1);
    EXPECT_EQ(StreamTypeOf(0xBF), kKindPrivate2);
    EXPECT_EQ(StreamTypeOf(0xC7), kKindAudio);
    EXPECT_EQ(StreamTypeOf(0xEF), kKindVideo);
    EXPECT_EQ(StreamTypeOf(0xF0), kKindNone);
    EXPECT_EQ(PtsHex(0x12345), "0012345");
    EXPECT_EQ(PtsHex(PTS_NONE), "FFFFFFFFFFFFFFFF");
}

TEST(WrapPtsTest, AroundTwoToThe33) {
    RipState e;
    e.m_i64FirstPTS = kPtsWrap - 1'048'576;
    EXPECT_EQ(WrapPTS(e, 4096), kPtsWrap + 4096);
    EXPECT_TRUE(e.m_bPTSWrapped);
    e.m_bPTSWrapped = false;
    EXPECT_EQ(WrapPTS(e, e.m_i64FirstPTS - 100'000), e.m_i64FirstPTS - 100'000);
    EXPECT_EQ(WrapPTS(e, e.m_i64FirstPTS - 180'000), e.m_i64FirstPTS - 180'000);
    EXPECT_EQ(WrapPTS(e, e.m_i64FirstPTS - 180'001), e.m_i64FirstPTS - 180'001 + kPtsWrap);
    EXPECT_EQ(WrapPTS(e, PTS_NONE), PTS_NONE);
}

TEST_F(PesTest, StreamIdsSkipAPacketWithoutPts) {
    auto noPts = Build({.flags = 0});
    img_.Write(DiskImage::ClusterOffset(1) + 4096, Cat({noPts, Build({.pts = 1'000'000})}));
    img_.Write(DiskImage::ClusterOffset(2) + 1024,
               Cat({Build({.id = 0xBD, .payload = {0x0B, 0x77}}),
                    Build({.id = 0xBD, .payload = {0x0B, 0x77}})}));
    Record(8, 2);
    Open();
    auto v = Reader(1);
    std::uint8_t id = 0;
    std::int32_t skip = 8;
    run_->SetVideoActive(true);
    ASSERT_TRUE(GetStreamIDs(*run_, *v, id, skip));
    EXPECT_EQ(id, 0xE0);
    // Its first PTS is that of the packet in front of the sequence header (PTS only, no DTS).
    run_->State().m_lSkipSectors = 8;
    std::int64_t first = PTS_NONE;
    ASSERT_TRUE(FirstPTS(*run_, *v, id, first));
    EXPECT_EQ(first, 1'000'000);

    auto a = Reader(2);
    run_->SetVideoActive(false);
    skip = 2;
    ASSERT_TRUE(GetStreamIDs(*run_, *a, id, skip));
    EXPECT_EQ(id, 0xBD); // AC-3 in PRIVATE_1
    // The video search does not accept a private stream; nothing found lowers the offset by 2.
    run_->SetVideoActive(true);
    skip = 3;
    EXPECT_FALSE(GetStreamIDs(*run_, *a, id, skip));
    EXPECT_EQ(id, 0);
    EXPECT_EQ(skip, 1);
    EXPECT_FALSE(GetStreamIDs(*run_, *a, id, skip));
    EXPECT_EQ(skip, 0);
    EXPECT_FALSE(GetStreamIDs(*run_, *a, id, skip));
    EXPECT_EQ(skip, 0);
}

TEST_F(PesTest, FirstPtsOfAudioAndNothingFound) {
    auto r = At(2, Cat({Build({.id = 0xC0, .flags = 0}), Build({.id = 0xC0, .pts = 77'777})}));
    run_->State().m_lSkipSectors = 0;
    std::int64_t first = PTS_NONE;
    ASSERT_TRUE(FirstPTS(*run_, *r, 0xC0, first));
    EXPECT_EQ(first, 77'777);
    // A video chain without any packet: the whole cluster is scanned, nothing is fixed.
    auto v = Reader(1);
    std::int64_t none = PTS_NONE;
    EXPECT_FALSE(FirstPTS(*run_, *v, 0xE0, none));
    EXPECT_EQ(none, PTS_NONE);
}

TEST_F(PesTest, NextPtsSearchesOnlyWhatTheReadDelivered) {
    // Packet A 512 KiB into cluster 1, packet B 512 KiB into its last MiB. The volume delivers
    // only 100 bytes to a read of that last MiB (a short read in the middle of the device).
    const std::int64_t lastMiB = 99 * 1'048'576;
    img_.Write(DiskImage::ClusterOffset(1) + 524'288, Build({.pts = 111'111}));
    img_.Write(DiskImage::ClusterOffset(1) + lastMiB + 524'288, Build({.pts = 222'222}));
    Record();
    Open();
    VolumeFaults faults;
    faults.shortReads.push_back(
        {DiskImage::ClusterOffset(1) + lastMiB + 100, DiskImage::ClusterOffset(1) + lastMiB + 200});
    SetVolumeFaults(img_.Path(), faults);
    VolumeHandle h;
    ASSERT_TRUE(OpenDrive(img_.Path(), h));
    std::vector<std::uint8_t> buffer(1'048'576);
    auto r = Reader(1);
    EXPECT_EQ(GetNextPTS(*run_, 0xE0, *r, 1, 0, 0, h, buffer), 111'111);
    // The buffer still holds packet A where B would lie: B was not delivered and must not count.
    EXPECT_EQ(GetNextPTS(*run_, 0xE0, *r, 1, 0, lastMiB, h, buffer), PTS_NONE);
    ClearVolumeFaults();
    ASSERT_TRUE(OpenDrive(img_.Path(), h)); // a handle without the fault
    EXPECT_EQ(GetNextPTS(*run_, 0xE0, *r, 1, 0, lastMiB, h, buffer), 222'222);
    // A probe limited to fewer bytes does not see a packet beyond them.
    EXPECT_EQ(GetNextPTS(*run_, 0xE0, *r, 1, 0, 0, h, buffer, 524'288), PTS_NONE);
}

TEST_F(PesTest, StartCodeScanAcrossBlocksAndLimits) {
    // Prefixes straddling the block boundary at 65,536 in all three ways, and one far away.
    img_.Write(DiskImage::ClusterOffset(1) + 65'534, {0x00, 0x00, 0x01, 0xE0});
    img_.Write(DiskImage::ClusterOffset(1) + 2 * 65'536 - 1, {0x00, 0x00, 0x01, 0xE0});
    img_.Write(DiskImage::ClusterOffset(1) + 3 * 65'536 - 3, {0x00, 0x00, 0x01, 0xE0});
    img_.Write(DiskImage::ClusterOffset(1) + 5'000'000, {0x00, 0x00, 0x01, 0xE0});
    std::vector<std::uint8_t> ones(4 * 65'536, 0xAA);
    img_.Write(DiskImage::ClusterOffset(1),
               std::vector<std::uint8_t>(ones.begin(), ones.begin() + 65'534));
    Record();
    Open();
    auto r = Reader(1);
    for (std::int64_t want : {65'534LL, 2 * 65'536LL - 1, 3 * 65'536LL - 3}) {
        ASSERT_TRUE(NextStartCodeBefore(*r, INT64_MAX));
        EXPECT_EQ(BytePosition(*r), want);
        EXPECT_EQ(r->Peek32(), 0x000001E0u);
        r->SkipByte();
    }
    EXPECT_FALSE(NextStartCodeBefore(*r, 4'000'000));
    EXPECT_EQ(BytePosition(*r), 4'000'000);
    ASSERT_TRUE(NextStartCodeBefore(*r, 5'000'001));
    EXPECT_EQ(BytePosition(*r), 5'000'000);
}

} // namespace
} // namespace quorin
