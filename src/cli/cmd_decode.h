// quorin-cli decode IN OUT [--format bmp|tga|ppm|yuv-y|yuv-cb|yuv-cr|uyvy]
#pragma once

#include <string>

namespace quorin::cli {

// Decodes the first complete picture of IN into OUT in the named format ("" = bmp) and prints
// "OUT<TAB>WIDTHxHEIGHT". Exit status: 0 a picture was written; 1 IN could not be opened (or an
// unknown format name); 2 no memory; 3 no picture could be decoded (a frame that no slice
// reached included); 5 OUT could not be written. Failures say what was wrong with the file.
int RunDecodeCommand(const std::string& in, const std::string& out, const std::string& format);

} // namespace quorin::cli
