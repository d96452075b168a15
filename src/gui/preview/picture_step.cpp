#include "gui/preview/picture_step.h"

#include "base/program_log.h"
#include "jobs/preview_picture.h"
#include "media/loader/media_loader.h"

#include <algorithm>
#include <cstdio>

namespace quorin {

namespace {

// How far before the picture a rip starts at first (its group must begin before it), and how far
// past it the rip goes on (the reference pictures it needs come later in display order).
constexpr std::int64_t kFirstBack = 90'000;
constexpr double kPastSeconds = 0.6;
constexpr std::int64_t kMaxBack = 90'000 * 16;

std::uint8_t Clamp8(int v) {
    return static_cast<std::uint8_t>(std::clamp(v, 0, 255));
}

} // namespace

PictureSteps::PictureSteps(RipRunner& runner, std::string folder)
    : runner_(runner), folder_(std::move(folder)) {}

bool PictureSteps::Available(QString* why) {
    std::string reason;
    if (media::ModuleAvailable(&reason)) return true;
    if (why) *why = QString::fromStdString(reason);
    return false;
}

const media::Picture* PictureSteps::Find(std::int64_t pts) const {
    // Within half a picture: frame rates whose ticks are not whole drift by one.
    const auto it = pictures_.lower_bound(pts - std::max<std::int64_t>(frameTicks_ / 2, 1));
    if (it == pictures_.end() || std::abs(it->first - pts) > frameTicks_ / 2) return nullptr;
    return &it->second;
}

PictureSteps::Shot PictureSteps::At(std::int64_t pts) {
    const media::Picture* picture = Find(pts);
    if (!picture && Load(pts)) picture = Find(pts);
    if (!picture) return {};
    return {ImageOf(*picture), picture->time};
}

PictureSteps::Shot PictureSteps::Step(std::int64_t pts, int direction) {
    if (frameTicks_ == 0 && !Load(pts)) return {};
    return At(pts + direction * frameTicks_);
}

// Rips from a little before the time stamp (further back until a group starts at or before it)
// and decodes every picture of the rip.
bool PictureSteps::Load(std::int64_t pts) {
    const std::string base = (folder_.empty() ? std::string() : folder_ + "/") + kName;
    const std::string file = base + ".m2v";
    const auto removeRip = [&] {
        std::remove(file.c_str());
        std::remove((base + " delay.log").c_str());
    };
    // A runner that has not ripped yet learns where the video starts from a preview rip.
    if (runner_.Analysis().videoFirstPts == PTS_NONE) {
        runner_.RipPreview(0, folder_, kName, OutputPostfixes{}, nullptr);
        removeRip();
    }
    const std::int64_t first = runner_.Analysis().videoFirstPts;
    if (first == PTS_NONE || pts < first) return false;
    for (std::int64_t back = kFirstBack;; back *= 2) {
        const std::int64_t from = std::max(first, pts - back);
        RipRequest request;
        request.begin = SecondsOfPts(first, from);
        request.length = static_cast<double>(pts - from) / 90'000 + kPastSeconds;
        request.audio = false;
        request.outputName = kName;
        request.outputFolder = folder_;
        removeRip();
        const RipRunReport report = runner_.Run(request);
        const std::int64_t start = report.stages.videoStartPts;
        if (report.outcome == RipOutcome::kDone && start != PTS_NONE && start <= pts) {
            media::StreamPictures decoded = media::DecodeStreamPictures(
                file, [](std::string_view text) { LogLine(std::string(text)); });
            removeRip();
            if (!decoded.error.empty()) {
                LogLine("single pictures: " + decoded.error);
                return false;
            }
            frameTicks_ = decoded.frameTicks;
            pictures_.clear();
            for (media::Picture& p : decoded.pictures) {
                if (p.time < 0) continue; // refers to a group the rip does not hold
                p.time = start + p.time * frameTicks_;
                const std::int64_t key = p.time;
                pictures_.emplace(key, std::move(p));
            }
            return true;
        }
        removeRip();
        if (from == first || back >= kMaxBack) return false;
    }
}

QImage ImageOf(const media::Picture& p) {
    QImage image(p.width, p.height, QImage::Format_RGB32);
    if (p.width <= 0 || p.height <= 0 || p.chromaWidth <= 0 || p.chromaHeight <= 0) return {};
    const int sx = std::max(1, p.width / p.chromaWidth);
    const int sy = std::max(1, p.height / p.chromaHeight);
    for (int y = 0; y < p.height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        const std::size_t row = static_cast<std::size_t>(y) * static_cast<std::size_t>(p.width);
        const std::size_t crow = static_cast<std::size_t>(std::min(y / sy, p.chromaHeight - 1)) *
                                 static_cast<std::size_t>(p.chromaWidth);
        for (int x = 0; x < p.width; ++x) {
            const int c = 298 * (p.y[row + static_cast<std::size_t>(x)] - 16);
            const std::size_t ci =
                crow + static_cast<std::size_t>(std::min(x / sx, p.chromaWidth - 1));
            const int d = p.u[ci] - 128;
            const int e = p.v[ci] - 128;
            line[x] =
                qRgb(Clamp8((c + 409 * e + 128) >> 8), Clamp8((c - 100 * d - 208 * e + 128) >> 8),
                     Clamp8((c + 516 * d + 128) >> 8));
        }
    }
    return image;
}

} // namespace quorin
