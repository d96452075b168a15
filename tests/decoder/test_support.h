// Shared helpers of the decoder tests: running the oracle decoders, streams made at test time,
// planes and PSNR.
#pragma once

#include "decoder/decoder_object.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorin::decoder::test {

// Paths of the oracle programs found at configure time ("" when missing).
const std::string& FfmpegPath();
const std::string& Mpeg2decPath();

// A folder for generated streams, shared by the tests of one build.
const std::string& WorkFolder();

// Runs a program with arguments; stdout goes to `stdout_file` when given, else is discarded.
// Returns the exit status (-1 when it could not run).
int RunProgram(const std::vector<std::string>& argv, const std::string& stdout_file = "");

// Makes (once) a stream with ffmpeg: lavfi source `source` (e.g.
// "testsrc2=size=352x288:rate=25"), `frames` frames, then the encoder arguments. Returns its
// path, or "" when ffmpeg is missing or failed.
std::string MakeStream(const std::string& name, const std::string& source, int frames,
                       const std::vector<std::string>& encoder_args);

// The same with any ffmpeg input arguments (e.g. a raw YUV file).
std::string MakeStreamFrom(const std::string& name, const std::vector<std::string>& input_args,
                           const std::vector<std::string>& encoder_args);

std::vector<uint8_t> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

// One frame as three planes of the picture's coded size (no macroblock padding).
struct Planes {
    int width = 0;
    int height = 0;
    int chroma_width = 0;
    int chroma_height = 0;
    std::vector<uint8_t> plane[3];
};

// The frame the decoder last completed, cropped to the picture size.
Planes CurrentFrame(const Decoder& decoder);

// Decodes a whole stream and returns its frames in display order (at most `max_frames`).
std::vector<Planes> DecodeAllFrames(const std::string& path, int max_frames = 1000);

// ffmpeg's decode of the stream as raw planar frames, in display order.
std::vector<Planes> OracleFrames(const std::string& path, int width, int height, int chroma_format,
                                 int max_frames = 1000);
// mpeg2dec's decode (4:2:0 only), in display order.
std::vector<Planes> Mpeg2decFrames(const std::string& path, int width, int height);

// PSNR of one plane (99 for identical planes).
double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// PSNR of the three planes; also prints a table line "[ PSNR ] label Y Cb Cr".
struct PlanePsnr {
    double y = 0, cb = 0, cr = 0;
    double Min() const;
};
PlanePsnr Compare(const Planes& a, const Planes& b, const std::string& label = "");

} // namespace quorin::decoder::test
