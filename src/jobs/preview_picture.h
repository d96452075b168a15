// The preview path shared by the preview dialog and quorin-cli preview: a rip of length 0 at a
// position (the first picture there) into "PRV.m2v" in the current directory, decoded into the
// bitmap "PRV.BMP".
#pragma once

#include <cstdint>
#include <string>

namespace quorin {

class RipRunner;

class PreviewPictures {
public:
    static constexpr const char* kVideo = "PRV.m2v";
    static constexpr const char* kPicture = "PRV.BMP";
    static constexpr const char* kDelayLog = "PRV delay.log";

    // The runner's clip is used for the preview rips; the caller gives the clip its output name
    // back when it is done.
    explicit PreviewPictures(RipRunner& runner) : runner_(runner) {}

    // Rips the first picture at or after whole seconds. True when a picture's worth was written.
    bool Rip(int seconds);
    // Decodes the last rip's first picture into the bitmap; true when the bitmap was written.
    // A missing picture never leaves an earlier bitmap behind.
    bool Decode();
    // Why the last Decode wrote nothing, in words.
    const std::string& DecodeError() const { return decodeError_; }
    void DeleteFiles();

    // Of the last rip: the time stamp of the picture it starts with and the display aspect.
    std::int64_t StartPts() const;
    // The time stamp of the picture itself (of the packet its sequence header is in).
    std::int64_t PicturePts() const;
    double Aspect() const;

private:
    RipRunner& runner_;
    std::string decodeError_;
};

} // namespace quorin
