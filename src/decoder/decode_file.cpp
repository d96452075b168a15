// DecodePictureFile: decode the first complete frame and write it as a picture file.
#include "decoder/decoder.h"
#include "decoder/decoder_object.h"
#include "decoder/output_name.h"

#include <cstdio>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace quorin::decoder {

namespace {

constexpr int kBufferSize = 2048;

bool WriteFile(const std::string& name, const uint8_t* data, size_t size) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) == 0 && ok) return true;
    std::remove(name.c_str()); // no half-written picture file is left behind
    return false;
}

int Run(const char* input, const char* output, int format, DecodeDetails& details) {
    int& result = details.resultCode;
    auto decoder = std::make_unique<Decoder>();
    result = decoder->OpenStreams(input, nullptr, 0, 0, kBufferSize, kBufferSize);
    if (result != 1) return 1;
    const SequenceHeader& seq = decoder->headers().sequence;
    const size_t size = OutputBufferSize(seq.horizontal_size, seq.vertical_size);
    std::unique_ptr<uint8_t[]> buffer;
    try {
        buffer = std::make_unique_for_overwrite<uint8_t[]>(size);
    } catch (const std::bad_alloc&) {
        result = kResultNoMemory;
        return 2;
    }
    bool written = false;
    // Every pass reads at least one more picture header, so the loop ends with the data.
    for (;;) {
        if (decoder->DecodePicture() < 0) break;
        if (decoder->FrameComplete()) {
            int width = 0;
            int height = 0;
            const size_t n =
                decoder->WritePicture(std::span(buffer.get(), size), width, height, format);
            if (n > 0) {
                details.macroblocks = decoder->frame_macroblocks();
                details.width = width;
                details.height = height;
                written = WriteFile(FormatOutputName(output, 1), buffer.get(), n);
                if (!written) result = kResultFileError;
                break;
            }
            // A format the writer refuses stays refused for every later picture.
            if (decoder->LastError() == kResultWrongCall ||
                decoder->LastError() == kResultUnsupported)
                break;
        }
        if (decoder->NextPicture() != 1) break;
    }
    if (written) {
        result = 1;
    } else if (result != kResultFileError) {
        result = decoder->LastError();
    }
    return 0;
}

} // namespace

int DecodePictureFile(const char* input, const char* output, int format, int* resultCode) {
    DecodeDetails details;
    const int r = DecodePictureFile(input, output, format, details);
    if (resultCode != nullptr) *resultCode = details.resultCode;
    return r;
}

int DecodePictureFile(const char* input, const char* output, int format, DecodeDetails& details) {
    details = DecodeDetails{};
    try {
        return Run(input, output == nullptr ? "" : output, format, details);
    } catch (...) {
        return 0;
    }
}

} // namespace quorin::decoder
