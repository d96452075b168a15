// The picture decoder: DecodePictureFile on the input as an elementary stream and, wrapped in
// packs and PES packets (with audio and padding packets between them), as a program stream. The
// input's size picks the output formats, so the corpus covers every format.
#include "fuzz_image.h"

#include "decoder/decoder.h"

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using quorin::decoder::DecodePictureFile;
namespace dec = quorin::decoder;

constexpr std::array<int, 7> kFormats = {dec::kFormatLuma,   dec::kFormatCb,  dec::kFormatCr,
                                         dec::kFormatBitmap, dec::kFormatTga, dec::kFormatPacked422,
                                         dec::kFormatPpm};

void Append(std::vector<std::uint8_t>& out, std::initializer_list<std::uint8_t> bytes) {
    out.insert(out.end(), bytes);
}

// One pack header, then the video in PES packets of up to 2,000 bytes; every third packet is
// followed by an audio packet and a padding packet that the demultiplexer must skip.
std::vector<std::uint8_t> ProgramStream(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> ps;
    ps.reserve(size + size / 50 + 64);
    Append(ps,
           {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8});
    std::size_t at = 0;
    for (int n = 0; at < size || n == 0; ++n) {
        const std::size_t take = std::min<std::size_t>(2000, size - at);
        const std::size_t len = take + 8; // flags, header length, PTS
        Append(ps,
               {0x00, 0x00, 0x01, 0xE0, static_cast<std::uint8_t>(len >> 8),
                static_cast<std::uint8_t>(len), 0x80, 0x80, 0x05, 0x21, 0x00, 0x01, 0x00, 0x01});
        ps.insert(ps.end(), data + at, data + at + take);
        at += take;
        if (n % 3 == 2) {
            Append(ps, {0x00, 0x00, 0x01, 0xC0, 0x00, 0x04, 0x80, 0x00, 0x00, 0xFF});
            Append(ps, {0x00, 0x00, 0x01, 0xBE, 0x00, 0x03, 0xFF, 0xFF, 0xFF});
        }
    }
    Append(ps, {0x00, 0x00, 0x01, 0xB9});
    return ps;
}

bool WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static quorin::fuzz::ScratchImage input("dec-in");
    static quorin::fuzz::ScratchImage output("dec-out");
    const std::string outName = output.Path() + "%d";
    const std::string written = output.Path() + "1";
    int code = 0;
    if (WriteFile(input.Path(), data, size)) {
        DecodePictureFile(input.Path().c_str(), outName.c_str(), kFormats[size % 7], &code);
        std::remove(written.c_str());
    }
    const std::vector<std::uint8_t> ps = ProgramStream(data, size);
    if (WriteFile(input.Path(), ps.data(), ps.size())) {
        DecodePictureFile(input.Path().c_str(), outName.c_str(), kFormats[size / 7 % 7], &code);
        std::remove(written.c_str());
    }
    return 0;
}
