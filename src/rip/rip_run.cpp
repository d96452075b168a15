#include "rip/rip_run.h"

#include "base/program_log.h"

namespace quorin {

RipRun::RipRun(const CPVRFile& clip, RipRequest request, RipProgress* audio, RipProgress* video,
               const std::atomic<bool>* cancel, ClipAnalysis analysis)
    : clip_(clip), request_(std::move(request)), audio_(audio), video_(video), cancel_(cancel),
      analysis_(analysis) {
    if (!audio_) audio_ = (ownAudio_ = std::make_unique<RipProgress>()).get();
    if (!video_) video_ = (ownVideo_ = std::make_unique<RipProgress>()).get();
    if (request_.readPolicy == ReadPolicy::kSalvage) missing_ = NewMissingSectors();
    basePath_ = InFolder(clip_.OutputBaseName(request_.outputName));
}

RipRun::~RipRun() = default;

void RipRun::StatusMessage(std::string_view text, bool log) {
    const bool endsLine = !text.empty() && text.back() == '\n';
    ActiveProgress().SetStatus(endsLine ? text.substr(0, text.size() - 1) : text);
    if (log) LogText(text);
}

std::span<std::uint8_t> RipRun::Buffer() {
    // Allocated lazily: most runs of a preview never need it.
    if (!buffer_) buffer_ = std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize);
    return {buffer_.get(), kBufferSize};
}

bool RipRun::OpenVolume(VolumeHandle& handle) const {
    if (!OpenDrive(clip_.DriveName(), handle)) return false;
    handle.ShareMissing(missing_);
    return true;
}

std::string RipRun::InFolder(const std::string& name) const {
    std::string folder = request_.outputFolder;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (folder.empty()) return name;
    return folder == "/" ? "/" + name : folder + "/" + name;
}

std::string RipRun::Shown(const std::string& path) const {
    const std::string prefix = InFolder("");
    if (prefix.empty() || !path.starts_with(prefix)) return path;
    return path.substr(prefix.size());
}

} // namespace quorin
