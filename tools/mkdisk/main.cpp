// quorin-mkdisk: builds a receiver disk image from a JSON description.
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "testdisk.h"

namespace td = quorin::testdisk;

namespace {

void Usage() {
    std::fputs("usage: quorin-mkdisk [--short] [--force] DESCRIPTION.json IMAGE\n"
               "  --short  end the image right after the last data byte\n"
               "  --force  replace IMAGE when it exists\n",
               stderr);
}

std::string ChainText(const std::vector<int>& chain) {
    std::string text;
    for (int c : chain)
        text += (text.empty() ? "" : "->") + std::to_string(c);
    return text.empty() ? "-" : text;
}

void PrintSummary(const td::DiskSpec& desc, const td::DiskResult& disk, const char* image) {
    std::printf("%s: %d used + %d free clusters, %zu clips, %llu bytes\n", image, disk.usedClusters,
                disk.freeClusters, disk.clips.size(),
                static_cast<unsigned long long>(disk.imageBytes));
    for (std::size_t i = 0; i < disk.clips.size(); ++i) {
        const auto& c = disk.clips[i];
        const char* deleted = c.deleted == td::Deletion::Cleared  ? "  deleted (cleared)"
                              : c.deleted == td::Deletion::Linked ? "  deleted (linked)"
                                                                  : "";
        std::printf("  %02zu %-20s %d:%02d:%02d  video %s (start %d, end %d)  audio %s (start %d, "
                    "end %d)%s\n",
                    i + 1, desc.clips[i].name.c_str(), c.lengthSeconds / 3600,
                    c.lengthSeconds / 60 % 60, c.lengthSeconds % 60,
                    ChainText(c.video.chain).c_str(), c.video.startSector, c.video.endSector,
                    ChainText(c.audio.chain).c_str(), c.audio.startSector, c.audio.endSector,
                    deleted);
    }
}

} // namespace

int main(int argc, char** argv) {
    bool shortImage = false;
    bool force = false;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0) {
            shortImage = true;
        } else if (std::strcmp(argv[i], "--force") == 0) {
            force = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            Usage();
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "quorin-mkdisk: unknown option %s\n", argv[i]);
            Usage();
            return 2;
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.size() != 2) {
        Usage();
        return 2;
    }
    auto desc = td::LoadDescription(files[0]);
    if (!desc) {
        std::fprintf(stderr, "quorin-mkdisk: %s\n", desc.error().c_str());
        return 1;
    }
    // An image is often made beside real ones: an existing file is replaced only when asked.
    struct stat st {};
    if (!force && ::lstat(files[1], &st) == 0) {
        std::fprintf(stderr, "quorin-mkdisk: %s exists; --force replaces it\n", files[1]);
        return 1;
    }
    desc->shortImage = desc->shortImage || shortImage;
    auto disk = td::BuildImage(*desc, files[1], {.keepStreamBytes = false});
    if (!disk) {
        std::fprintf(stderr, "quorin-mkdisk: %s\n", disk.error().c_str());
        return 1;
    }
    PrintSummary(*desc, *disk, files[1]);
    return 0;
}
