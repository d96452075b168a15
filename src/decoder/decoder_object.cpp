#include "decoder/decoder_object.h"

#include "decoder/decoder.h"

#include <cmath>
#include <new>

namespace quorin::decoder {

namespace {

constexpr uint32_t kSequenceHeaderCode = 0x1B3;
constexpr uint32_t kPackStartCode = 0x1BA;
constexpr uint32_t kVideoPacketCode = 0x1E0;
constexpr int kTransportSyncByte = 0x47;
constexpr int kDetectBufferSize = 2048;
constexpr int kFirstVideoStream = 0xE0;
// Larger pictures are refused: far beyond any broadcast size, and their stores would be huge.
constexpr int kMaxPictureSize = 4096;

int MacroblockHeight(const SequenceHeader& seq) {
    if (!seq.mpeg2 || seq.progressive_sequence) return (seq.vertical_size + 15) >> 4;
    return 2 * ((seq.vertical_size + 31) >> 5);
}

} // namespace

int Layer::DetectStreamKind() {
    ByteSource probe;
    int r = probe.Open(file_.get(), kDetectBufferSize, 0);
    if (r != 1) return r < 0 ? kResultReadError : kResultBadSyntax;
    if (probe.Peek(8) == kTransportSyncByte) return kResultUnsupported;
    r = probe.NextStartCode();
    if (r < 0) return kResultReadError;
    if (r == 0) return kResultBadSyntax;
    const uint32_t code = probe.Peek(32);
    if (code == kSequenceHeaderCode) {
        program_stream_ = false;
        return 1;
    }
    if (code == kPackStartCode || code == kVideoPacketCode) {
        program_stream_ = true;
        return 1;
    }
    return kResultBadSyntax;
}

void Layer::SetTimeCodeFrame() {
    const GopHeader& g = headers_.gop;
    const double rate = headers_.sequence.FrameRate();
    const int seconds = g.hours * 3600 + g.minutes * 60 + g.seconds;
    const double frames = seconds * rate;
    time_code_frame_ =
        (g.drop_frame ? static_cast<int64_t>(frames) : std::llround(frames)) + g.pictures;
}

int Layer::Open(const char* name, int stream_number, int buffer_size) {
    if (name == nullptr) return last_result = kResultWrongCall;
    file_.reset(std::fopen(name, "rb"));
    if (!file_) return last_result = kResultFileError;
    int r = DetectStreamKind();
    if (r != 1) return last_result = r;
    r = src_.Open(file_.get(), buffer_size,
                  program_stream_ ? kFirstVideoStream + stream_number : 0);
    if (r != 1) return last_result = r;
    // The first sequence header: read it, then go back and read up to the first picture.
    for (;;) {
        if (src_.NextStartCode() != 1) return last_result = src_.state();
        if (src_.Read(32) == kSequenceHeaderCode) break;
    }
    r = ReadSequenceHeader(src_, headers_.sequence);
    if (r != 1) return last_result = r;
    if (src_.Seek(0) != 1) return last_result = kResultCannotRewind;
    bool gop_seen = false;
    r = ReadHeadersToPicture(src_, headers_, gop_seen);
    if (r != 1) return last_result = (r < 0 && r != kResultDataRanOut ? r : kResultDataRanOut);
    SetTimeCodeFrame();
    return last_result = 1;
}

int Decoder::OpenStreams(const char* base_name, const char* enhancement_name, int base_stream,
                         int enhancement_stream, int base_buffer_size,
                         int enhancement_buffer_size) {
    if (state_ != kResultNotOpen) return last_error_ = kResultWrongCall;
    try {
        base_ = std::make_unique<Layer>();
        int r = base_->Open(base_name, base_stream, base_buffer_size);
        if (r != 1) {
            CloseDecoder();
            return last_error_ = r;
        }
        if (enhancement_name != nullptr) {
            enhancement_ = std::make_unique<Layer>();
            r = enhancement_->Open(enhancement_name, enhancement_stream, enhancement_buffer_size);
            if (r == 1) r = CheckLayers();
            CloseDecoder();
            return last_error_ = r;
        }
        r = SetUpPictures();
        if (r != 1) {
            CloseDecoder();
            return last_error_ = r;
        }
    } catch (const std::bad_alloc&) {
        CloseDecoder();
        return last_error_ = kResultNoMemory;
    }
    state_ = 1;
    return last_error_ = 1;
}

int Decoder::CheckLayers() const {
    const SequenceHeader& b = base_->headers().sequence;
    const SequenceHeader& e = enhancement_->headers().sequence;
    if (b.scalable_mode == kNotScalable && e.scalable_mode == kNotScalable) return kResultWrongCall;
    // A fitting pair (data partitioning or SNR scalability with equal sizes) would be decoded
    // together; this decoder reconstructs single layers only, so every pair is refused.
    return kResultUnsupported;
}

int Decoder::SetUpPictures() {
    const SequenceHeader& seq = base_->headers().sequence;
    // A layer that needs another layer (data partitioning keeps coefficients in a second
    // partition; spatial and SNR layers refine a lower layer) cannot be decoded alone.
    if (seq.scalable_mode != kNotScalable) return kResultUnsupported;
    if (seq.horizontal_size < 1 || seq.vertical_size < 1 || seq.horizontal_size > kMaxPictureSize ||
        seq.vertical_size > kMaxPictureSize) {
        return kResultUnsupported;
    }
    if (seq.chroma_format < 1 || seq.chroma_format > 3) return kResultUnsupported;
    const int r =
        pictures_.Setup((seq.horizontal_size + 15) >> 4, MacroblockHeight(seq), seq.chroma_format);
    if (r != 1) return r;
    const StreamHeaders& h = base_->headers();
    pictures_.SelectTarget(h.picture.picture_coding_type, h.second_field);
    return 1;
}

bool Decoder::SameGeometry() const {
    const SequenceHeader& seq = base_->headers().sequence;
    const Geometry& g = pictures_.geometry();
    return seq.scalable_mode == kNotScalable && seq.horizontal_size >= 1 &&
           seq.vertical_size >= 1 && ((seq.horizontal_size + 15) >> 4) == g.mb_width &&
           MacroblockHeight(seq) == g.mb_height && seq.chroma_format == g.chroma_format;
}

int Decoder::DecodePicture() {
    if (state_ != 1) return last_error_ = kResultNotOpen;
    const StreamHeaders& h = base_->headers();
    const int r = pictures_.DecodePicture(base_->source(), h.sequence, h.picture, h.second_field);
    last_error_ = pictures_.last_slice_error();
    if (r < 0) return last_error_ = r;
    return 1;
}

bool Decoder::FrameComplete() const {
    if (state_ != 1) return false;
    const StreamHeaders& h = base_->headers();
    return h.picture.picture_structure == kFramePicture || h.second_field;
}

size_t Decoder::WritePicture(std::span<uint8_t> out, int& width, int& height, int format) {
    if (state_ != 1) {
        last_error_ = kResultNotOpen;
        return 0;
    }
    const StreamHeaders& h = base_->headers();
    const Geometry& g = pictures_.geometry();
    const FrameStore& store = pictures_.target();
    OutputFrame f;
    for (int p = 0; p < 3; ++p) {
        f.planes[p] = store.plane(p);
        f.stride[p] = g.width[p];
        f.plane_height[p] = g.height[p];
    }
    f.horizontal_size = h.sequence.horizontal_size;
    f.vertical_size = h.sequence.vertical_size;
    f.chroma_format = h.sequence.chroma_format;
    f.matrix_coefficients = h.sequence.matrix_coefficients;
    f.mpeg2 = h.sequence.mpeg2;
    f.progressive_frame = h.picture.progressive_frame != 0;
    int error = 1;
    const size_t n = output_.Write(f, out, width, height, format, error);
    if (n == 0) last_error_ = error;
    return n;
}

int Decoder::NextPicture() {
    if (state_ != 1) return last_error_ = kResultNotOpen;
    bool gop_seen = false;
    const int r = ReadHeadersToPicture(base_->source(), base_->headers(), gop_seen);
    if (r != 1) return last_error_ = r;
    // The frame stores were made for the first sequence: a stream that changes its picture size
    // or chroma format part-way is not followed.
    if (!SameGeometry()) return last_error_ = kResultUnsupported;
    const StreamHeaders& h = base_->headers();
    pictures_.SelectTarget(h.picture.picture_coding_type, h.second_field);
    return last_error_ = 1;
}

void Decoder::CloseDecoder() {
    pictures_.Release();
    enhancement_.reset();
    base_.reset();
    state_ = kResultNotOpen;
}

} // namespace quorin::decoder
