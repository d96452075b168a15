// Bit-level reader over a video elementary stream or the video packets of a program stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quorin::decoder {

// Reads the payload of one MPEG video stream through a small buffer that is refilled from the
// file as the read position moves on. For a program stream the buffer holds only the payload of
// the PES packets of the chosen stream, so the bit reader never sees the system layer.
//
// The state is 1 while data flows, 0 once a read has gone past the end of the data, and negative
// after an error (-4 program end code or file error, -6 bad packet header, -8 read error). A read
// past the end delivers zero bits.
class ByteSource {
public:
    // `stream_id` 0 reads the file as an elementary stream; 0xBC..0xFF picks that PES stream.
    // `file` stays owned by the caller and must outlive the source.
    int Open(std::FILE* file, int buffer_size, int stream_id);

    int state() const { return state_; }

    // Next n bits (1..32; other counts deliver 0) without consuming them.
    uint32_t Peek(int n) {
        if (state_ != 1 || n < 1 || n > 32) return 0;
        if (pos_ + 8 > valid_) Refill();
        uint64_t v = Load64(pos_);
        return static_cast<uint32_t>((v << bit_) >> (64 - n));
    }
    uint32_t Read(int n) {
        uint32_t v = Peek(n);
        Advance(n);
        return v;
    }
    bool ReadFlag() { return Read(1) != 0; }
    void Skip(int n) {
        if (pos_ + 8 > valid_) Refill();
        Advance(n);
    }
    void Align() {
        if (bit_ != 0) Skip(8 - bit_);
    }
    // Aligns and moves to the next 00 00 01 prefix (stays there when already on one). The state
    // becomes 0 when the data end first.
    int NextStartCode();
    // True when the next 23 bits are zero, i.e. the slice data have ended.
    bool AtStartCodePrefix() { return Peek(23) == 0; }

    // Position in payload bits from the start of the stream, and the way back to it.
    uint64_t Tell() const { return (base_ + pos_) * 8 + bit_; }
    int Seek(uint64_t bit_position);

private:
    uint64_t Load64(size_t at) const {
        uint64_t v;
        std::memcpy(&v, buf_.data() + at, sizeof v);
        return __builtin_bswap64(v);
    }
    void Advance(int n) {
        const size_t bits = static_cast<size_t>(bit_) + static_cast<size_t>(n);
        pos_ += bits >> 3;
        bit_ = static_cast<int>(bits & 7);
        if (pos_ >= valid_) PassedEnd();
    }
    void PassedEnd();
    void Refill();
    size_t Fill(uint8_t* dst, size_t n);
    size_t FillElementary(uint8_t* dst, size_t n);
    size_t FillProgram(uint8_t* dst, size_t n);
    int NextVideoPacket();
    int ParsePacketHeader(int length);
    int ReadByte();
    void Reset();

    std::FILE* file_ = nullptr;
    int stream_id_ = 0;
    std::vector<uint8_t> buf_; // capacity plus 8 zero bytes so loads past the data read zeros
    size_t capacity_ = 0;
    size_t valid_ = 0;  // bytes of data in buf_
    size_t pos_ = 0;    // current byte in buf_
    int bit_ = 0;       // bit within that byte, 0 = most significant
    uint64_t base_ = 0; // payload offset of buf_[0]
    int state_ = -127;
    int end_state_ = 1;        // what the state becomes when the reader passes the buffered data
    uint64_t file_pos_ = 0;    // file offset of the next byte the demultiplexer reads
    uint64_t packet_left_ = 0; // payload bytes left in the current video packet
};

} // namespace quorin::decoder
