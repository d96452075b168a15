#include "decoder/byte_source.h"
#include "decoder/decoder.h"

#include <algorithm>
#include <cstring>

namespace quorin::decoder {

namespace {
constexpr size_t kPadding = 8;
constexpr size_t kMinCapacity = 64;
constexpr int kPackHeaderSkip = 9;
constexpr int kMaxStuffing = 16;
} // namespace

int ByteSource::Open(std::FILE* file, int buffer_size, int stream_id) {
    if (file == nullptr || buffer_size <= 10) return kResultWrongCall;
    if (stream_id != 0 && (stream_id < 0xBC || stream_id > 0xFF)) return kResultWrongCall;
    file_ = file;
    stream_id_ = stream_id;
    // Peeks load 8 bytes at a time, so tiny buffers are widened; the file is still read in order.
    capacity_ = std::max<size_t>(static_cast<size_t>(buffer_size), kMinCapacity);
    buf_.assign(capacity_ + kPadding, 0);
    Reset();
    if (std::fseek(file_, 0, SEEK_SET) != 0) return state_ = kResultFileError;
    Refill();
    return state_;
}

void ByteSource::Reset() {
    valid_ = pos_ = 0;
    bit_ = 0;
    base_ = 0;
    state_ = 1;
    end_state_ = 1;
    file_pos_ = 0;
    packet_left_ = 0;
}

void ByteSource::PassedEnd() {
    if ((pos_ > valid_ || bit_ > 0) && state_ == 1) {
        // Went past the data: from now on every read delivers zeros.
        state_ = end_state_;
        pos_ = valid_;
        bit_ = 0;
    }
}

void ByteSource::Refill() {
    if (state_ != 1 || end_state_ != 1) return;
    size_t keep = valid_ - pos_;
    std::memmove(buf_.data(), buf_.data() + pos_, keep);
    base_ += pos_;
    valid_ = keep;
    pos_ = 0;
    while (valid_ < kPadding && end_state_ == 1) {
        valid_ += Fill(buf_.data() + valid_, capacity_ - valid_);
    }
    std::fill(buf_.begin() + static_cast<std::ptrdiff_t>(valid_), buf_.end(), 0);
}

size_t ByteSource::Fill(uint8_t* dst, size_t n) {
    return stream_id_ == 0 ? FillElementary(dst, n) : FillProgram(dst, n);
}

size_t ByteSource::FillElementary(uint8_t* dst, size_t n) {
    size_t got = std::fread(dst, 1, n, file_);
    file_pos_ += got;
    if (got < n) end_state_ = std::ferror(file_) ? kResultReadError : 0;
    return got;
}

size_t ByteSource::FillProgram(uint8_t* dst, size_t n) {
    size_t got = 0;
    while (got < n && end_state_ == 1) {
        if (packet_left_ == 0) {
            int r = NextVideoPacket();
            if (r != 1) end_state_ = r;
            continue;
        }
        size_t want = static_cast<size_t>(std::min<uint64_t>(n - got, packet_left_));
        size_t r = std::fread(dst + got, 1, want, file_);
        file_pos_ += r;
        packet_left_ -= r;
        got += r;
        if (r < want) end_state_ = std::ferror(file_) ? kResultReadError : 0;
    }
    return got;
}

int ByteSource::ReadByte() {
    int c = getc_unlocked(file_);
    if (c != EOF) ++file_pos_;
    return c;
}

// Scans the system layer for the next packet of the wanted stream. Returns 1 with packet_left_
// set to its payload, 0 at the end of the file, -4 at a program end code, -6 for a bad header.
int ByteSource::NextVideoPacket() {
    uint32_t window = 0xFFFFFFFFu;
    for (;;) {
        int c = ReadByte();
        if (c == EOF) return std::ferror(file_) ? kResultReadError : 0;
        window = (window << 8) | static_cast<uint32_t>(c);
        if ((window & 0xFFFFFF00u) != 0x00000100u) continue;
        if (c == 0xBA) {
            for (int i = 0; i < kPackHeaderSkip; ++i) {
                if (ReadByte() == EOF) return std::ferror(file_) ? kResultReadError : 0;
            }
            window = 0xFFFFFFFFu;
            continue;
        }
        if (c == 0xB9) return kResultFileError;
        if (c < 0xBA) continue;
        int hi = ReadByte();
        int lo = ReadByte();
        if (hi == EOF || lo == EOF) return std::ferror(file_) ? kResultReadError : 0;
        int length = (hi << 8) | lo;
        window = 0xFFFFFFFFu;
        if (c != stream_id_) {
            if (std::fseek(file_, length, SEEK_CUR) != 0) return kResultFileError;
            file_pos_ += static_cast<uint64_t>(length);
            continue;
        }
        return ParsePacketHeader(length);
    }
}

int ByteSource::ParsePacketHeader(int length) {
    int used = 0;
    auto next = [&]() {
        ++used;
        return ReadByte();
    };
    auto skip = [&](int n) {
        for (int i = 0; i < n; ++i) {
            if (next() == EOF) return false;
        }
        return true;
    };
    int c = next();
    if (c == EOF) return 0;
    if ((c & 0xC0) == 0x80) {
        // MPEG-2 packet header: flags byte, header length byte, then that many bytes.
        if (next() == EOF) return 0;
        int header_length = next();
        if (header_length == EOF || !skip(header_length)) return 0;
    } else {
        int stuffing = 0;
        while (c == 0xFF) {
            if (++stuffing > kMaxStuffing) return kResultBadSyntax;
            if ((c = next()) == EOF) return 0;
        }
        if ((c & 0xC0) == 0x40) { // STD buffer scale and size
            if (next() == EOF || (c = next()) == EOF) return 0;
        }
        if ((c & 0xF0) == 0x20) {
            if (!skip(4)) return 0;
        } else if ((c & 0xF0) == 0x30) {
            if (!skip(9)) return 0;
        } else if (c != 0x0F) {
            return kResultBadSyntax;
        }
    }
    if (used > length) return kResultBadSyntax;
    packet_left_ = static_cast<uint64_t>(length - used);
    return 1;
}

int ByteSource::NextStartCode() {
    Align();
    while (state_ == 1) {
        if (pos_ + 8 > valid_) Refill();
        const uint8_t* p = buf_.data();
        size_t end = valid_ >= 2 ? valid_ - 2 : 0;
        size_t i = pos_;
        while (i < end) {
            if (p[i + 2] > 1) {
                i += 3;
            } else if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
                pos_ = i;
                return state_;
            } else {
                ++i;
            }
        }
        if (end_state_ != 1) {
            // Fewer than three bytes are left: no start code can follow.
            pos_ = valid_;
            state_ = end_state_;
            return state_;
        }
        // Keep the last two bytes, which may begin a prefix; the refill reads at least one more
        // byte or records the end.
        pos_ = std::max(pos_, end);
        Refill();
    }
    return state_;
}

int ByteSource::Seek(uint64_t bit_position) {
    if (file_ == nullptr) return kResultWrongCall;
    uint64_t byte = bit_position / 8;
    int bit = static_cast<int>(bit_position % 8);
    if (byte < base_ || byte >= base_ + valid_) {
        // Outside the buffer: restart the reader and read forward to the position.
        uint64_t start = stream_id_ == 0 ? byte : 0;
        if (fseeko(file_, static_cast<off_t>(start), SEEK_SET) != 0)
            return state_ = kResultFileError;
        Reset();
        base_ = start;
        file_pos_ = start;
        Refill();
        while (state_ == 1 && base_ + valid_ <= byte && end_state_ == 1) {
            pos_ = valid_;
            Refill();
        }
        if (byte < base_ || byte >= base_ + valid_) return state_ = (state_ == 1 ? 0 : state_);
    }
    pos_ = static_cast<size_t>(byte - base_);
    bit_ = bit;
    state_ = 1;
    return state_;
}

} // namespace quorin::decoder
