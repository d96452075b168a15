// Quorin's MPEG-1/MPEG-2 picture decoder: the first complete picture of a video file as a
// picture file.
//
//   int quorin::decoder::DecodePictureFile(const char* input, const char* output,
//                                          int format = kFormatBitmap,
//                                          int* resultCode = nullptr);
//
// `input` is an MPEG-1 or MPEG-2 video elementary stream or a program stream (its video stream
// 0xE0 is read). The first frame completed in stream order (a frame picture, or the second field
// of a field pair) is written in `format` to the file named by `output`, which is used as a
// printf-style format for one integer, the picture number 1 ("PIC%03d.BMP" -> "PIC001.BMP"); a
// name without a valid single integer conversion is used as it is.
//
// Returns 0 after a run, whether or not a picture file was written; 1 if the input could not be
// opened as a decodable stream; 2 if the picture buffer could not be allocated. `resultCode`,
// when given, receives the decoder's last result code (1 when a picture file was written).
// Nothing throws.
#pragma once

namespace quorin::decoder {

// Output format codes.
enum OutputFormat : int {
    kFormatLuma = 0,      // the Y plane
    kFormatCb = 1,        // the Cb plane at its own resolution
    kFormatCr = 2,        // the Cr plane at its own resolution
    kFormatBitmap = 5,    // Windows bitmap, 24 bits per pixel
    kFormatTga = 6,       // TGA, uncompressed true colour
    kFormatPacked422 = 7, // Cb Y0 Cr Y1 per pixel pair
    kFormatPpm = 8,       // PPM (P6)
};

// Result codes of the decoder.
enum ResultCode : int {
    kResultOk = 1,
    kResultEnd = 0,
    kResultDataRanOut = -2,
    kResultWrongCall = -3,
    kResultFileError = -4,
    kResultNoMemory = -5,
    kResultBadSyntax = -6,
    kResultCannotRewind = -7,
    kResultReadError = -8,
    kResultUnsupported = -9,
    kResultLayersDisagree = -22,
    kResultNotOpen = -127,
};

int DecodePictureFile(const char* input, const char* output, int format = kFormatBitmap,
                      int* resultCode = nullptr);

// What a run decoded, for callers that must tell a picture from frame stores no slice reached.
struct DecodeDetails {
    int resultCode = kResultNotOpen;
    int macroblocks = 0; // macroblocks decoded into the frame written
    int width = 0;       // of the frame written
    int height = 0;
};
int DecodePictureFile(const char* input, const char* output, int format, DecodeDetails& details);

} // namespace quorin::decoder
