#include "preview_support.h"

#include "decoder/decoder.h"

#include <QImage>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

namespace quorin::test {

namespace td = quorin::testdisk;

namespace {

td::ClipSpec Clip(const std::string& name, const fs::path& video, const std::string& audio,
                  int loops) {
    td::ClipSpec clip;
    clip.station = "Quorin Test";
    clip.name = name;
    clip.videoFile = video;
    clip.audioFile = audio.empty() ? fs::path() : Sample(audio);
    clip.loops = loops;
    return clip;
}

td::DiskSpec SpecOf(Disk which) {
    td::DiskSpec desc;
    desc.label = "PREVIEW TEST";
    if (which == Disk::Short) {
        td::ClipSpec card = Clip("Card 4:3", Sample("mpeg2-4x3.m2v"), "tone-48k-192k.mp2", 4);
        card.year = 2024, card.month = 5, card.day = 17;
        card.hour = 20, card.minute = 15, card.second = 0;
        desc.clips.push_back(card);
        td::ClipSpec wide = Clip("Wide 16:9", Sample("mpeg2-16x9.m2v"), "tone-48k-448k.ac3", 2);
        wide.firstPts = 0x12345678;
        desc.clips.push_back(wide);
    } else {
        // 1,366 loops of 4 s: 1:31:04.
        desc.clips.push_back(Clip("Long test card", PreviewData("tiny-4x3.m2v"), "", 1366));
    }
    return desc;
}

ScratchDir& ProcessScratch() {
    static ScratchDir dir("quorin-preview-disks");
    return dir;
}

} // namespace

OpenDisk::OpenDisk(Disk which, const fs::path& image) : image_(image) {
    auto built = td::BuildImage(SpecOf(which), image, {.keepStreamBytes = false});
    if (!built) {
        ADD_FAILURE() << "cannot build the test disk: " << built.error();
        std::abort();
    }
    bool ok = false;
    table_ = std::make_unique<ClusterTable>(image.string(), ok);
    // The factory writes the working record layout.
    drive_ = std::make_unique<CPVRDrive>(image.string(), table_.get(), RecordLayout::kFirmware190);
}

OpenDisk& GetDisk(Disk which) {
    static std::map<Disk, std::unique_ptr<OpenDisk>> disks;
    auto& disk = disks[which];
    if (!disk) {
        const char* name = which == Disk::Short ? "short.img" : "long.img";
        disk = std::make_unique<OpenDisk>(which, ProcessScratch() / name);
    }
    return *disk;
}

void PreviewTest::SetUp() {
    SetConsoleTrace(false);
    oldCwd_ = fs::current_path();
    static int counter = 0;
    out_ = fs::temp_directory_path() /
           ("quorin-preview-out-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    fs::create_directories(out_);
    fs::current_path(out_);
}

void PreviewTest::TearDown() {
    fs::current_path(oldCwd_);
    std::error_code ec;
    fs::remove_all(out_, ec);
}

CPVRFile& PreviewTest::PreviewClip(Disk disk, int n) {
    return GetDisk(disk).Clip(n);
}

std::vector<std::string> PreviewTest::OutputFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out_))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool PreviewTest::NoPreviewFiles() const {
    for (const auto& name : OutputFiles())
        if (name.rfind("PRV", 0) == 0) return false;
    return true;
}

QImage ReferencePicture(const fs::path& stream, int height) {
    ScratchDir dir("quorin-preview-ref");
    const fs::path bmp = dir / "ref.bmp";
    decoder::DecodePictureFile(stream.c_str(), bmp.c_str());
    QImage image(QString::fromStdString(bmp.string()));
    if (image.isNull()) return image;
    return image.scaled(CPreviewDialog::kPictureWidth, height, Qt::IgnoreAspectRatio,
                        Qt::SmoothTransformation);
}

void SaveScreenshot(QWidget& widget, const std::string& name) {
    const fs::path file = fs::path(QUORIN_SHOTS_DIR) / name;
    widget.grab().save(QString::fromStdString(file.string()));
}

} // namespace quorin::test
