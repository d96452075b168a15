// The decoder object behind DecodePictureFile: layers, frame stores and the calling order
// OpenStreams, DecodePicture, WritePicture, NextPicture, CloseDecoder. Tests use it to reach
// pictures after the first.
#pragma once

#include "decoder/byte_source.h"
#include "decoder/headers.h"
#include "decoder/picture_decoder.h"
#include "decoder/picture_output.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>

namespace quorin::decoder {

// One input stream with its byte source and the values of its last headers.
class Layer {
public:
    // Opens the file, finds its stream kind and reads the headers up to the first picture.
    int Open(const char* name, int stream_number, int buffer_size);

    ByteSource& source() { return src_; }
    StreamHeaders& headers() { return headers_; }
    const StreamHeaders& headers() const { return headers_; }
    bool program_stream() const { return program_stream_; }
    int64_t time_code_frame() const { return time_code_frame_; }
    int last_result = -127;

private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    int DetectStreamKind();
    void SetTimeCodeFrame();

    std::unique_ptr<std::FILE, FileCloser> file_;
    ByteSource src_;
    StreamHeaders headers_;
    bool program_stream_ = false;
    int64_t time_code_frame_ = 0;
};

class Decoder {
public:
    Decoder() = default;
    ~Decoder() { CloseDecoder(); }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    int OpenStreams(const char* base_name, const char* enhancement_name, int base_stream,
                    int enhancement_stream, int base_buffer_size, int enhancement_buffer_size);
    int DecodePicture();
    // Bytes of the picture file in `out`; 0 on failure (LastError() tells why).
    size_t WritePicture(std::span<uint8_t> out, int& width, int& height, int format);
    int NextPicture();
    void CloseDecoder();

    int state() const { return state_; }
    int LastError() const { return last_error_; }
    // The base layer's headers (valid while open).
    const StreamHeaders& headers() const { return base_->headers(); }
    // True when the picture just decoded completes a frame.
    bool FrameComplete() const;
    // The frame store the last picture was decoded into, and its geometry.
    const FrameStore& frame() const { return pictures_.target(); }
    const Geometry& geometry() const { return pictures_.geometry(); }
    int frame_macroblocks() const { return pictures_.frame_macroblocks(); }

private:
    int CheckLayers() const;
    int SetUpPictures();
    bool SameGeometry() const;

    std::unique_ptr<Layer> base_;
    std::unique_ptr<Layer> enhancement_;
    PictureDecoder pictures_;
    PictureOutput output_;
    int state_ = -127;
    int last_error_ = -127;
};

} // namespace quorin::decoder
