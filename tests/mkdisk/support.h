// Shared helpers of the test-disk factory tests: sample files, scratch
// directories, little-endian fields and running ffmpeg/ffprobe.
#pragma once

#include "shell.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/scratch_folder.h"
#include "mkdisk/testdisk.h"

namespace quorin::testdisk::test {

namespace fs = std::filesystem;

inline fs::path Sample(const std::string& name) {
    return fs::path(QUORIN_SAMPLES_DIR) / name;
}

inline std::vector<std::uint8_t> ReadBytes(const fs::path& file) {
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in) return {};
    std::vector<std::uint8_t> data(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

inline void WriteBytes(const fs::path& file, std::span<const std::uint8_t> data) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

// A fresh directory under the temporary directory, removed with its contents.
class ScratchDir : public quorin::ScratchFolder {
public:
    ScratchDir() : ScratchFolder("mkdisk-test") {
        if (!Valid()) std::abort();
    }
};

inline unsigned U16(std::span<const std::uint8_t> b, std::size_t at) {
    return b[at] | (b[at + 1] << 8);
}
inline std::uint32_t U32(std::span<const std::uint8_t> b, std::size_t at) {
    return U16(b, at) | (static_cast<std::uint32_t>(U16(b, at + 2)) << 16);
}

// Decodes a 5-byte PES time stamp field.
inline std::int64_t TimeStampAt(std::span<const std::uint8_t> b, std::size_t at) {
    return (std::int64_t{b[at] & 0x0E} << 29) | (std::int64_t{b[at + 1]} << 22) |
           (std::int64_t{b[at + 2] >> 1} << 15) | (std::int64_t{b[at + 3]} << 7) | (b[at + 4] >> 1);
}

using CommandResult = quorin::test::ShellRun;
using quorin::test::Quote;

// Runs a shell command, capturing stdout and stderr.
inline CommandResult RunCommand(const std::string& command) {
    return quorin::test::RunShell(command, true);
}

// A clip of the given samples with everything else left at its default.
inline ClipSpec SampleClip(const std::string& video, const std::string& audio, int loops = 1) {
    ClipSpec clip;
    clip.station = "Test";
    clip.name = video;
    clip.videoFile = video.empty() ? fs::path() : Sample(video);
    clip.audioFile = audio.empty() ? fs::path() : Sample(audio);
    clip.loops = loops;
    return clip;
}

} // namespace quorin::testdisk::test
