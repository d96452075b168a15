// The byte source: bits across refills, start code search, positioning, and the program stream
// demultiplexer on hand-built packets.
#include "decoder/byte_source.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace quorin::decoder {
namespace {

using test::WorkFolder;
using test::WriteFileBytes;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

class ByteSourceTest : public ::testing::Test {
protected:
    // Writes the bytes to a file and opens a source over it.
    int Open(const std::vector<uint8_t>& bytes, int buffer_size = 2048, int stream_id = 0) {
        path_ = WorkFolder() + "/bytes." + std::to_string(getpid()) + "." +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        EXPECT_TRUE(WriteFileBytes(path_, bytes));
        file_.reset(std::fopen(path_.c_str(), "rb"));
        return src_.Open(file_.get(), buffer_size, stream_id);
    }
    void TearDown() override {
        file_.reset();
        std::remove(path_.c_str());
    }
    std::vector<uint8_t> ReadAll() {
        std::vector<uint8_t> out;
        while (src_.state() == 1 && out.size() < 100000) {
            const uint32_t v = src_.Read(8);
            if (src_.state() == 1) out.push_back(static_cast<uint8_t>(v));
        }
        return out;
    }

    std::string path_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    ByteSource src_;
};

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(i * 7 + 3);
    return v;
}

TEST_F(ByteSourceTest, ReadsBitsAcrossRefills) {
    const std::vector<uint8_t> data = Counting(1000);
    ASSERT_EQ(Open(data, 11), 1); // tiny buffers still work
    // Read in 3-, 13- and 32-bit pieces and compare with the bits of the data.
    size_t bit = 0;
    const int widths[] = {3, 13, 32, 1, 7, 17};
    for (int i = 0; bit + 32 <= data.size() * 8; ++i) {
        const int n = widths[i % 6];
        uint32_t expected = 0;
        for (int k = 0; k < n; ++k) {
            const size_t b = bit + static_cast<size_t>(k);
            expected = (expected << 1) | ((data[b / 8] >> (7 - b % 8)) & 1);
        }
        ASSERT_EQ(src_.Peek(n), expected) << bit;
        ASSERT_EQ(src_.Read(n), expected) << bit;
        bit += static_cast<size_t>(n);
        ASSERT_EQ(src_.Tell(), bit);
    }
}

TEST_F(ByteSourceTest, DeliversZerosAndStateZeroPastTheEnd) {
    ASSERT_EQ(Open({0xFF, 0xFF}), 1);
    EXPECT_EQ(src_.Read(16), 0xFFFFu);
    EXPECT_EQ(src_.state(), 1);
    EXPECT_EQ(src_.Peek(32), 0u);
    EXPECT_EQ(src_.Read(1), 0u);
    EXPECT_EQ(src_.state(), 0);
    EXPECT_EQ(src_.Read(32), 0u);
}

TEST_F(ByteSourceTest, FindsStartCodesAcrossBufferBoundaries) {
    for (size_t at = 50; at < 140; ++at) {
        std::vector<uint8_t> data(300, 0xFF);
        data[at] = 0;
        data[at + 1] = 0;
        data[at + 2] = 1;
        data[at + 3] = 0xB3;
        ASSERT_EQ(Open(data, 64), 1);
        src_.Skip(3); // unaligned: the search aligns first
        ASSERT_EQ(src_.NextStartCode(), 1) << at;
        EXPECT_EQ(src_.Tell(), at * 8) << at;
        EXPECT_EQ(src_.Read(32), 0x1B3u) << at;
        EXPECT_EQ(src_.NextStartCode(), 0) << at; // none left
    }
}

TEST_F(ByteSourceTest, SeeksBackInsideAndOutsideTheBuffer) {
    const std::vector<uint8_t> data = Counting(5000);
    ASSERT_EQ(Open(data, 64), 1);
    src_.Skip(24);
    EXPECT_EQ(src_.Read(8), data[3]);
    ASSERT_EQ(src_.Seek(8 * 1), 1); // inside
    EXPECT_EQ(src_.Read(8), data[1]);
    for (int i = 0; i < 4000; ++i)
        src_.Read(8);
    ASSERT_EQ(src_.Seek(8 * 10 + 4), 1); // long gone from the buffer
    EXPECT_EQ(src_.Read(8), static_cast<uint32_t>(((data[10] << 4) | (data[11] >> 4)) & 0xFF));
    ASSERT_EQ(src_.Seek(8 * 4999), 1);
    EXPECT_EQ(src_.Read(8), data[4999]);
}

TEST_F(ByteSourceTest, RefusesBadArguments) {
    EXPECT_EQ(Open({1, 2, 3}, 10), -3);
    EXPECT_EQ(Open({1, 2, 3}, 2048, 0xBB), -3);
    EXPECT_EQ(Open({1, 2, 3}, 2048, 0x100), -3);
}

// Program streams --------------------------------------------------------------------------

void Append(std::vector<uint8_t>& v, std::initializer_list<int> bytes) {
    for (int b : bytes)
        v.push_back(static_cast<uint8_t>(b));
}

// A packet: start code, 16-bit length, header bytes, payload.
void Packet(std::vector<uint8_t>& v, int id, const std::vector<uint8_t>& header,
            const std::vector<uint8_t>& payload) {
    const size_t length = header.size() + payload.size();
    Append(v, {0, 0, 1, id, static_cast<int>(length >> 8), static_cast<int>(length & 0xFF)});
    v.insert(v.end(), header.begin(), header.end());
    v.insert(v.end(), payload.begin(), payload.end());
}

std::vector<uint8_t> Payload(uint8_t first, size_t n) {
    std::vector<uint8_t> p(n);
    for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<uint8_t>(first + i);
    return p;
}

TEST_F(ByteSourceTest, ProgramStreamKeepsOnlyTheVideoPayload) {
    std::vector<uint8_t> ps;
    std::vector<uint8_t> expected;
    auto video = [&](const std::vector<uint8_t>& header, const std::vector<uint8_t>& payload) {
        Packet(ps, 0xE0, header, payload);
        expected.insert(expected.end(), payload.begin(), payload.end());
    };
    Append(ps, {0, 0, 1, 0xBA, 0x21, 0, 1, 0, 1, 0x80, 0, 1});       // MPEG-1 pack header
    Packet(ps, 0xBB, {0x80, 0x01, 0x01, 0x04, 0xE1, 0xFF}, {});      // system header
    video({0xFF, 0xFF, 0x0F}, Payload(0, 40));                       // stuffing, no time stamps
    Packet(ps, 0xC0, {0x0F}, Payload(200, 30));                      // audio, skipped
    video({0x40, 0x20, 0x21, 0, 1, 0, 1}, Payload(40, 33));          // STD buffer, PTS
    video({0x31, 0, 1, 0, 1, 0x11, 0, 1, 0, 1}, Payload(73, 21));    // PTS and DTS
    Packet(ps, 0xBE, {}, std::vector<uint8_t>(50, 0xFF));            // padding
    Append(ps, {0, 0, 1, 0xBA, 0x44, 0, 4, 0, 4, 1, 0, 0x03, 0xF8}); // MPEG-2 pack header
    video({0x81, 0x80, 0x05, 0x21, 0, 1, 0, 1}, Payload(94, 60));    // MPEG-2 PES header
    Packet(ps, 0xE1, {0x0F}, Payload(250, 10));                      // other video stream
    Append(ps, {0, 0, 1, 0xB9});
    ASSERT_EQ(Open(ps, 64, 0xE0), 1);
    EXPECT_EQ(ReadAll(), expected);
    EXPECT_EQ(src_.state(), -4); // the program end code
}

TEST_F(ByteSourceTest, ProgramStreamSeeksBackByPayloadPosition) {
    std::vector<uint8_t> ps;
    for (int i = 0; i < 40; ++i) {
        Packet(ps, 0xE0, {0x0F}, Payload(static_cast<uint8_t>(i * 50), 50));
        Packet(ps, 0xC0, {0x0F}, Payload(0, 17));
    }
    ASSERT_EQ(Open(ps, 64, 0xE0), 1);
    for (int i = 0; i < 1500; ++i)
        src_.Read(8);
    ASSERT_EQ(src_.Seek(8 * 123), 1);
    EXPECT_EQ(src_.Read(8), 123u);
    ASSERT_EQ(src_.Seek(8 * 1999), 1);
    EXPECT_EQ(src_.Read(8), 1999u & 0xFF);
}

TEST_F(ByteSourceTest, BadPacketHeaderStopsTheStream) {
    std::vector<uint8_t> ps;
    Packet(ps, 0xE0, {0x0F}, Payload(0, 10));
    Packet(ps, 0xE0, {0x55}, Payload(10, 10)); // neither a time stamp nor 0x0F
    ASSERT_EQ(Open(ps, 64, 0xE0), 1);
    EXPECT_EQ(ReadAll(), Payload(0, 10));
    EXPECT_EQ(src_.state(), -6);
}

TEST_F(ByteSourceTest, HeaderLongerThanItsPacketIsBad) {
    std::vector<uint8_t> ps;
    Append(ps, {0, 0, 1, 0xE0, 0, 3, 0x81, 0x80, 0x09, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    ASSERT_EQ(Open(ps, 64, 0xE0), 1);
    EXPECT_TRUE(ReadAll().empty());
    EXPECT_EQ(src_.state(), -6);
}

} // namespace
} // namespace quorin::decoder
