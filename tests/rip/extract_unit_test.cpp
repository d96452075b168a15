// Small pieces of the extraction: the gap fill of the audio copies and the sequence header patch.
#include "base/program_log.h"
#include "disk/pvr_file.h"
#include "rip/extract.h"
#include "rip/obits.h"

#include "rip_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace quorin {
namespace {

namespace fs = std::filesystem;

class ExtractUnit : public ::testing::Test {
protected:
    void SetUp() override { SetConsoleTrace(false); }
    static std::vector<std::uint8_t> Bytes(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // A run of a clip without a disk: enough for the engine state and the buffer.
    CPVRFile clip_{"/nonexistent/disk.img", 0, nullptr};
    RipRun run_{clip_, RipRequest{}};
    riptest::ScratchDir dir_; // the test's current directory
};

TEST_F(ExtractUnit, AudioGapsRepeatTheLastPayload) {
    std::vector<std::uint8_t> payload(2304);
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<std::uint8_t>(i * 7);
    run_.State().m_vecLastPayload = payload;
    {
        bool ok = false;
        COBits w("gap.mp2", ok);
        // 21,600 ticks: ten 24 ms frames of 576 bytes, the payload two and a half times.
        EXPECT_EQ(PadAudioGap(run_, w, 21'600), 5'760);
        EXPECT_EQ(PadAudioGap(run_, w, 1'079), 0); // rounds to no frame
        EXPECT_EQ(PadAudioGap(run_, w, -5'000), 0);
    }
    auto b = Bytes("gap.mp2");
    ASSERT_EQ(b.size(), 5'760u);
    for (std::size_t i = 0; i < b.size(); ++i)
        ASSERT_EQ(b[i], payload[i % payload.size()]) << i;
    {
        bool ok = false;
        COBits w("gap.ac3", ok);
        EXPECT_EQ(PadPrivateGap(run_, w, 4'000), 1'792); // trunc(1.39 + 0.5) = 1 unit
        EXPECT_EQ(PadPrivateGap(run_, w, 4'400), 3'584); // trunc(1.53 + 0.5) = 2 units
        run_.State().m_vecLastPayload.clear();
        EXPECT_EQ(PadPrivateGap(run_, w, 9'000), 0); // nothing to repeat
    }
    EXPECT_EQ(fs::file_size("gap.ac3"), 1'792u * 3);
}

std::vector<std::uint8_t> SequenceHeader(int width, int height) {
    return {0x00,
            0x00,
            0x01,
            0xB3,
            static_cast<std::uint8_t>(width >> 4),
            static_cast<std::uint8_t>(((width & 15) << 4) | (height >> 8)),
            static_cast<std::uint8_t>(height & 0xFF),
            0x23,
            0xFF,
            0xFF,
            0xD5};
}

TEST_F(ExtractUnit, SequenceHeaderPatch) {
    auto first = SequenceHeader(544, 576);
    auto second = SequenceHeader(544, 576);
    std::vector<std::uint8_t> file(20'000'000, 0x11);
    std::copy(first.begin(), first.end(), file.begin() + 10);
    std::copy(second.begin(), second.end(), file.begin() + 500'000);
    std::copy(second.begin(), second.end(), file.begin() + 900'000); // a third: left alone
    std::ofstream("v.m2v", std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    run_.State().m_dLength = 100.5;
    ASSERT_TRUE(PatchSequenceHeader(run_, "v.m2v"));
    auto b = Bytes("v.m2v");
    ASSERT_EQ(b.size(), file.size());
    auto width = [&](std::size_t j) { return (b[j + 4] << 4) + (b[j + 5] >> 4); };
    auto height = [&](std::size_t j) { return ((b[j + 5] & 15) << 8) + b[j + 6]; };
    auto rate = [&](std::size_t j) {
        return (b[j + 8] << 10) | (b[j + 9] << 2) | (b[j + 10] >> 6);
    };
    EXPECT_EQ(width(10), 352); // the first header gets a standard width
    EXPECT_EQ(height(10), 576);
    EXPECT_EQ(width(500'000), 544); // the second keeps its width
    // 20,000,000 bytes in 100 whole seconds: 200,000 bytes/s, bit_rate_value 4,000.
    EXPECT_EQ(rate(10), 4'000);
    EXPECT_EQ(rate(500'000), 4'000);
    EXPECT_EQ(b[10 + 10] & 0x3F, 0x15); // the low six bits of the last byte stay
    EXPECT_EQ(rate(900'000), (0xFF << 10) | (0xFF << 2) | 3);
    EXPECT_TRUE(std::equal(b.begin() + 1'000'000, b.end(), file.begin() + 1'000'000));

    // A standard width is kept; a rip shorter than a second leaves the bit rate as it is.
    auto keep = SequenceHeader(720, 576);
    std::ofstream("w.m2v", std::ios::binary)
        .write(reinterpret_cast<const char*>(keep.data()),
               static_cast<std::streamsize>(keep.size()));
    run_.State().m_dLength = 0.1;
    ASSERT_TRUE(PatchSequenceHeader(run_, "w.m2v"));
    EXPECT_EQ(Bytes("w.m2v"), keep);
    EXPECT_FALSE(PatchSequenceHeader(run_, "missing.m2v"));
}

TEST(DelayLogName, NamedAfterTheVideoFile) {
    EXPECT_EQ(DelayLogName("Film.m2v"), "Film delay.log");
    EXPECT_EQ(DelayLogName("Film_000.m2v"), "Film_000 delay.log");
    EXPECT_EQ(DelayLogName("Mr. X.m2v"), "Mr. X delay.log");
}

} // namespace
} // namespace quorin
