// The output writer: file names, flush sizes, bit and byte writes, failures.
#include "base/program_log.h"
#include "rip/obits.h"

#include "rip_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace quorin {
namespace {

namespace fs = std::filesystem;

class OBitsTest : public ::testing::Test {
protected:
    void SetUp() override { SetConsoleTrace(false); }
    static void Touch(const std::string& name) { std::ofstream(name) << "x"; }
    static std::vector<std::uint8_t> Bytes(const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    static std::string Create(const std::string& name) {
        bool ok = false;
        COBits w(name, ok);
        EXPECT_TRUE(ok);
        return w.GetFileName();
    }

    riptest::ScratchDir dir_; // the test's current directory
};

TEST_F(OBitsTest, NumbersTakenNamesAndNeverOverwrites) {
    Touch("Film.m2v");
    Touch("Film_000.m2v");
    EXPECT_EQ(Create("Film.m2v"), "Film_001.m2v");
    EXPECT_EQ(Bytes("Film.m2v"), std::vector<std::uint8_t>{'x'});
    EXPECT_EQ(Create("Mr. X.mp2"), "Mr. X.mp2");
    EXPECT_EQ(Create("Mr. X.mp2"), "Mr. X_000.mp2");
    // A name without a dot is all extension.
    Touch("README");
    EXPECT_EQ(Create("README"), "_000README");
    EXPECT_EQ(ChooseOutputName("Film.m2v"), "Film_002.m2v");
}

// All files of a rip take one number: the first under which none of them exists. The claim
// holds them against other rips (threads here, processes alike) until the writers open them;
// the ones no writer used go when the claim ends.
TEST_F(OBitsTest, ARipClaimsOneNumberForAllItsFiles) {
    const std::vector<std::string> rip{".mp2", ".m2v", " delay.log"};
    struct Case {
        std::vector<std::string> present;
        std::string base;
    };
    const Case cases[] = {
        {{}, "Show"},
        {{"Show.mp2"}, "Show_000"},
        {{"Show.m2v", "Show_000 delay.log"}, "Show_001"},
        {{"PRV.m2v"}, "PRV"}, // the preview is never numbered
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        for (const std::string& name : c.present)
            Touch(name);
        {
            OutputNameClaim claim(c.base.substr(0, c.base == "PRV" ? 3 : 4), rip);
            EXPECT_EQ(claim.Base(), c.base);
            if (c.base != "PRV") {
                Touch(c.base + ".m2v"); // written into while claimed: the writer starts afresh
                EXPECT_EQ(Create(c.base + ".m2v"), c.base + ".m2v");
                EXPECT_EQ(fs::file_size(c.base + ".m2v"), 0u);
                EXPECT_TRUE(fs::exists(c.base + ".mp2"));
            }
        }
        EXPECT_FALSE(fs::exists(c.base + ".mp2")); // claimed, never written
        for (const auto& entry : fs::directory_iterator("."))
            fs::remove(entry.path());
    }

    std::vector<std::string> bases(8);
    std::vector<std::thread> rips;
    for (std::size_t i = 0; i < bases.size(); ++i)
        rips.emplace_back([&bases, &rip, i] {
            OutputNameClaim claim("Par", rip);
            bases[i] = claim.Base();
            bool ok = false;
            COBits w(claim.Base() + ".m2v", ok);
            w.WriteByte(1);
        });
    for (std::thread& t : rips)
        t.join();
    std::sort(bases.begin(), bases.end());
    EXPECT_EQ(std::adjacent_find(bases.begin(), bases.end()), bases.end());
    for (const std::string& base : bases)
        EXPECT_EQ(fs::file_size(base + ".m2v"), 1u) << base;
}

TEST_F(OBitsTest, PreviewNameIsAlwaysPrvM2vAndOverwritten) {
    { std::ofstream("PRV.m2v") << "old contents"; }
    EXPECT_EQ(Create("PRV.mp2"), "PRV.m2v");
    EXPECT_TRUE(Bytes("PRV.m2v").empty()); // truncated
    EXPECT_FALSE(fs::exists("PRV.mp2"));
    EXPECT_EQ(Create("PRV.m2v"), "PRV.m2v");
    // Raw rips overwrite the preview base under its own name; backups number it.
    Touch("PRV.pva");
    OutputFile raw("PRV.pva", OutputFile::Preview::kOverwrite);
    EXPECT_EQ(raw.Name(), "PRV.pva");
    OutputFile backup("PRV.pva", OutputFile::Preview::kNumbered);
    EXPECT_EQ(backup.Name(), "PRV_000.pva");
}

TEST_F(OBitsTest, FlushesWholeMegabytesAtTheLastByte) {
    {
        bool ok = false;
        COBits w("a.bin", ok);
        ASSERT_TRUE(ok);
        for (int i = 0; i < COBits::kBufferSize - 1; ++i)
            w.WriteByte(static_cast<std::uint8_t>(i));
        EXPECT_EQ(fs::file_size("a.bin"), 0u);
        w.WriteByte(0xEE);
        EXPECT_EQ(fs::file_size("a.bin"), 1'048'576u);
        EXPECT_EQ(w.BytesFlushed(), 1'048'576u);
    }
    EXPECT_EQ(fs::file_size("a.bin"), 1'048'576u); // destruction writes nothing more
    auto b = Bytes("a.bin");
    EXPECT_EQ(b[1000], static_cast<std::uint8_t>(1000));
    EXPECT_EQ(b.back(), 0xEE);
}

TEST_F(OBitsTest, BitWrites) {
    {
        bool ok = false;
        COBits w("bits.bin", ok);
        w.WriteBits(1, 1);
        w.WriteByte(std::uint8_t{0xB7}); // closes the partly filled byte
        w.WriteBits(0xABC, 12);
    }
    EXPECT_EQ(Bytes("bits.bin"), (std::vector<std::uint8_t>{0x80, 0xB7, 0xAB, 0xC0}));
}

TEST_F(OBitsTest, BlockWritesEqualByteWrites) {
    std::mt19937 rng(7);
    std::vector<std::uint8_t> data(3'500'000);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng());
    {
        bool ok1 = false, ok2 = false;
        COBits a("a.bin", ok1), b("b.bin", ok2);
        std::size_t i = 0;
        while (i < data.size()) {
            std::size_t n = std::min<std::size_t>(rng() % 200'000, data.size() - i);
            for (std::size_t k = 0; k < n; ++k)
                a.WriteByte(data[i + k]);
            b.WriteBytes(std::span(data.data() + i, n));
            i += n;
            a.WriteBits(5, 3); // leave both off a byte boundary now and then
            b.WriteBits(5, 3);
        }
    }
    EXPECT_EQ(Bytes("a.bin"), Bytes("b.bin"));
    EXPECT_GT(fs::file_size("a.bin"), data.size());
}

TEST_F(OBitsTest, FileThatCannotBeCreated) {
    bool ok = true;
    COBits w("no/such/dir/x.m2v", ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(w.IsOpen());
    EXPECT_EQ(w.Error(), ENOENT);
    // Without a buffer every write is discarded.
    w.WriteByte(std::uint8_t{1});
    w.WriteBits(3, 2);
    std::uint8_t b = 2;
    w.WriteBytes(std::span(&b, 1));
    w.Flush();
    EXPECT_FALSE(fs::exists("no"));
}

TEST_F(OBitsTest, WriteFailureIsReported) {
    // A file size limit makes the second flush fail (EFBIG instead of a signal).
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 1'048'576 + 100;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    for (const bool background : {false, true}) {
        bool failed = false;
        int error = 0;
        {
            bool ok = false;
            COBits w(background ? "behind.bin" : "big.bin", ok);
            ASSERT_TRUE(ok);
            if (background) w.WriteInBackground();
            std::vector<std::uint8_t> data(3 * 1'048'576, 0x55);
            w.WriteBytes(data);
            w.Flush();
            failed = w.WriteFailed();
            error = w.Error();
        }
        EXPECT_TRUE(failed) << background;
        EXPECT_EQ(error, EFBIG) << background;
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
}

// Writes in the background give the file the same bytes, cut-backs and read-backs included (the
// buffers handed back hold old bytes, which bit writes must not see).
TEST_F(OBitsTest, WritingInTheBackgroundGivesTheSameFile) {
    std::mt19937 rng(11);
    std::vector<std::uint8_t> data(4'500'000);
    for (auto& b : data)
        b = static_cast<std::uint8_t>(rng() | 0x81);
    std::vector<std::uint8_t> readA, readB;
    {
        bool okA = false, okB = false;
        COBits a("a.bin", okA), b("b.bin", okB);
        ASSERT_TRUE(okA && okB);
        b.WriteInBackground();
        std::size_t i = 0;
        while (i < data.size()) {
            const std::size_t n = std::min<std::size_t>(rng() % 700'000, data.size() - i);
            for (COBits* w : {&a, &b}) {
                w->WriteBytes(std::span(data.data() + i, n));
                w->WriteBits(5, 3);
                w->WriteBits(1, 1);
                w->WriteByte(0x47);
                if (n % 3 == 0) {
                    EXPECT_TRUE(w->TruncateTo(w->Position() - n / 2));
                }
            }
            i += n;
            const std::uint64_t at = a.Position() / 3;
            EXPECT_EQ(a.Position(), b.Position());
            EXPECT_TRUE(a.ReadBack(at, 1000, readA));
            EXPECT_TRUE(b.ReadBack(at, 1000, readB));
            EXPECT_EQ(readA, readB);
        }
    }
    EXPECT_EQ(Bytes("a.bin"), Bytes("b.bin"));
}

} // namespace
} // namespace quorin
