// The one preview path, for the preview dialog, its filmstrip and quorin-cli preview: a rip of
// length 0 at a position (the first picture there) into "<name>.m2v" in a folder, decoded into
// the bitmap "<name>.BMP" beside it.
#pragma once

#include "rip/rip_driver.h"

#include <cstdint>
#include <string>

namespace quorin {

class RipRunner;

class PreviewPictures {
public:
    static constexpr const char* kName = "PRV";

    // The runner's clip is ripped; the files go into folder (empty: the current directory).
    PreviewPictures(RipRunner& runner, std::string folder, std::string name = kName);

    // Rips the first picture at or after the seconds (whole seconds for the dialog's steps,
    // exact ones for a time stamp). True when a picture's worth was written.
    bool Rip(double seconds);
    // Decodes the last rip's first picture into the bitmap; true when the bitmap was written.
    // A missing picture never leaves an earlier bitmap behind.
    bool Decode();
    // Why the last Decode wrote nothing, in words.
    const std::string& DecodeError() const { return decodeError_; }
    void DeleteFiles();

    std::string VideoPath() const;
    std::string PicturePath() const;

    // Of the last rip: the time stamp of the packet that reached the position and the display
    // aspect.
    std::int64_t StartPts() const { return report_.ripStartPts; }
    // The time stamp of the picture itself (of the packet its sequence header is in).
    std::int64_t PicturePts() const;
    double Aspect() const { return report_.aspect > 0 ? report_.aspect : 4.0 / 3.0; }

private:
    std::string Path(const std::string& suffix) const;

    RipRunner& runner_;
    std::string folder_;
    std::string name_;
    RipReport report_;
    std::string decodeError_;
};

// Engine seconds (from the clip's first video time stamp) that start a rip at the picture of the
// time stamp pts, or at the first one after it.
double SecondsOfPts(std::int64_t firstPts, std::int64_t pts);

} // namespace quorin
