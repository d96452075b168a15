// Shared helpers of the extraction-engine tests: factory disks opened through the real disk
// layer, a scratch output directory, the streams a rip must produce computed from the factory's
// packet lists, and ffmpeg as the oracle.
#pragma once

#include "base/program_log.h"
#include "base/run_state.h"
#include "base/scratch_folder.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "mkdisk/testdisk.h"
#include "rip/rip_runner.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace quorin::riptest {

namespace fs = std::filesystem;
namespace td = quorin::testdisk;

inline fs::path Sample(const std::string& name) {
    return fs::path(QUORIN_SAMPLES_DIR) / name;
}

inline std::vector<std::uint8_t> ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string ReadText(const fs::path& file) {
    auto b = ReadFile(file);
    return std::string(b.begin(), b.end());
}

// A fresh directory that is the test's current directory for the object's life (the engine
// itself never changes it: runs name their folder).
class ScratchDir : public ScratchFolder {
public:
    ScratchDir() : ScratchFolder("rip-test"), previous_(fs::current_path()) {
        std::error_code ec;
        fs::current_path(Path(), ec);
        if (ec) std::abort();
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

private:
    fs::path previous_;
};

// A clip of the samples with everything else at its default.
inline td::ClipSpec SampleClip(const std::string& name, const std::string& video,
                               const std::string& audio, int loops = 1) {
    td::ClipSpec clip;
    clip.station = "Test";
    clip.name = name;
    clip.videoFile = video.empty() ? fs::path() : Sample(video);
    clip.audioFile = audio.empty() ? fs::path() : Sample(audio);
    clip.loops = loops;
    return clip;
}

// A factory disk, opened as the main window opens it, with progress blocks and a cancel flag.
class TestDisk {
public:
    explicit TestDisk(const td::DiskSpec& desc, const std::string& tag = "disk") {
        SetConsoleTrace(false);
        image_ =
            (fs::temp_directory_path() / ("rip-" + tag + "-" + std::to_string(::getpid()) + ".img"))
                .string();
        auto built = td::BuildImage(desc, image_);
        if (!built) {
            ADD_FAILURE() << "factory: " << built.error();
            return;
        }
        result_ = std::move(*built);
        // Records in the firmware-190 layout are read in that layout.
        layout_ = !desc.clips.empty() && desc.clips.front().layout == td::RecordLayout::Working
                      ? RecordLayout::kFirmware190
                      : RecordLayout::kOld;
        Open();
    }
    ~TestDisk() {
        drive_.reset();
        table_.reset();
        std::error_code ec;
        fs::remove(image_, ec);
    }
    TestDisk(const TestDisk&) = delete;
    TestDisk& operator=(const TestDisk&) = delete;

    // Re-reads the disk (fresh CPVRFile objects, nothing known about the clips).
    void Open() {
        drive_.reset();
        table_.reset();
        analyses_.clear();
        bool ok = false;
        table_ = std::make_unique<ClusterTable>(image_, ok);
        EXPECT_TRUE(ok);
        drive_ = std::make_unique<CPVRDrive>(image_, table_.get(), layout_);
        analyses_.resize(static_cast<std::size_t>(drive_->GetFileCount()));
    }

    // One run of clip n from begin for length seconds (as the engine is given them) with the
    // disk's request, blocks and cancel flag; what it learns about the clip is kept for the
    // clip's next runs, as a front end keeps it.
    RipOutcome Rip(int n, double begin, double length, RipReport* report = nullptr) {
        RipRun run(Clip(n), request, &audio, &video, &cancel,
                   analyses_[static_cast<std::size_t>(n)]);
        run.State().m_dBegin = begin;
        run.State().m_dLength = length;
        audio.enabled = request.audio;
        video.enabled = request.video;
        RipReport local;
        RipReport& r = report ? *report : local;
        const RipOutcome outcome = RipStream(run, r);
        analyses_[static_cast<std::size_t>(n)] = r.analysis;
        last = r;
        return outcome;
    }

    CPVRFile& Clip(int n) { return *drive_->GetFile(n); }
    const td::ClipResult& Result(int n) const { return result_.clips[static_cast<std::size_t>(n)]; }
    const std::string& Image() const { return image_; }
    RecordLayout Layout() const { return layout_; }

    // Options as the window sets them for a single rip.
    void Options(bool audioOn = true, bool videoOn = true) {
        request = RipRequest{};
        request.audio = audioOn;
        request.video = videoOn;
        cancel = false;
    }

    RipRequest request;
    RipProgress audio, video;
    std::atomic<bool> cancel{false};
    RipReport last; // of the latest Rip

private:
    std::string image_;
    td::DiskResult result_;
    std::unique_ptr<ClusterTable> table_;
    std::unique_ptr<CPVRDrive> drive_;
    RecordLayout layout_ = RecordLayout::kOld;
    std::vector<ClipAnalysis> analyses_;
};

// Byte position of a packet in its chain (the reader's position 0 is the first cluster's start).
inline std::int64_t ChainPos(const td::StreamLayout& s, const td::PacketInfo& p) {
    return std::int64_t{s.startSector} * 512 + static_cast<std::int64_t>(p.offset);
}

inline std::int64_t Lifted(std::int64_t pts, std::int64_t first) {
    return pts < first - 180'000 ? pts + td::kPtsModulo : pts;
}

// The payload bytes of packet i (what follows PES_header_data_length).
inline std::vector<std::uint8_t> Payload(const td::PacketisedStream& s, std::size_t i) {
    const td::PacketInfo& p = s.packets[i];
    std::size_t from = p.offset + 9 + static_cast<std::size_t>(p.headerDataLength);
    return {s.bytes.begin() + static_cast<std::ptrdiff_t>(from),
            s.bytes.begin() + static_cast<std::ptrdiff_t>(p.offset + p.size)};
}

// The video elementary stream a rip from S to E must write: from the first sequence header at or
// after the first packet reaching S up to the first later packet at or after E, without packet
// headers, GOP time codes counted from the start packet's PTS, then the sequence end code.
// startPts receives that PTS (m_i64RipStartPTS).
inline std::vector<std::uint8_t> ExpectedVideo(const td::StreamLayout& v, std::int64_t first,
                                               std::int64_t S, std::int64_t E,
                                               std::int64_t* startPts = nullptr) {
    const auto& pk = v.stream.packets;
    std::size_t i = 0;
    while (i < pk.size()) {
        std::int64_t P = Lifted(pk[i].pts, first);
        if (P >= S || std::llabs(P - S) < 25) break;
        ++i;
    }
    std::vector<std::uint8_t> out;
    if (i == pk.size()) return out;
    const std::int64_t T0 = Lifted(pk[i].pts, first);
    if (startPts) *startPts = T0;
    std::size_t j = i;
    while (j < pk.size() && !pk[j].sequenceHeader)
        ++j;
    std::int64_t L = T0;
    for (std::size_t m = j; m < pk.size(); ++m) {
        if (m > j) {
            std::int64_t P = Lifted(pk[m].pts, first);
            // A continuation of a split picture never ends the copy: the picture stays whole.
            if (P > E - 1 && !pk[m].continuation) break;
            L = P;
        }
        std::vector<std::uint8_t> pay = Payload(v.stream, m);
        for (std::size_t g = 0; g + 7 < pay.size(); ++g) {
            if (!(pay[g] == 0 && pay[g + 1] == 0 && pay[g + 2] == 1 && pay[g + 3] == 0xB8))
                continue;
            std::int64_t D = L - T0;
            std::uint32_t hours = static_cast<std::uint32_t>(D / 324'000'000);
            if (hours > 23) hours = 0;
            std::uint32_t tc = (hours & 31) << 19 | ((D / 5'400'000) % 60) << 13 | 1u << 12 |
                               ((D / 90'000) % 60) << 6 | (((D / 3'600) + 1) % 25);
            // drop_frame(1) time_code(24) closed/broken(2) then 5 bits.
            std::uint32_t word = (static_cast<std::uint32_t>(pay[g + 4]) << 24) |
                                 (static_cast<std::uint32_t>(pay[g + 5]) << 16) |
                                 (static_cast<std::uint32_t>(pay[g + 6]) << 8) | pay[g + 7];
            word = (word & 0x80000000u) | (tc << 7) | (word & 0x7F);
            pay[g + 4] = static_cast<std::uint8_t>(word >> 24);
            pay[g + 5] = static_cast<std::uint8_t>(word >> 16);
            pay[g + 6] = static_cast<std::uint8_t>(word >> 8);
            pay[g + 7] = static_cast<std::uint8_t>(word);
            break;
        }
        out.insert(out.end(), pay.begin(), pay.end());
    }
    for (std::uint8_t b : {0x00, 0x00, 0x01, 0xB7})
        out.push_back(b);
    return out;
}

// Index of the first audio packet a rip from S copies (the first one not 12,000 ticks or more
// before S).
inline std::size_t AudioStartPacket(const td::StreamLayout& a, std::int64_t first, std::int64_t S) {
    const auto& pk = a.stream.packets;
    std::size_t i = 0;
    while (i < pk.size()) {
        std::int64_t P = Lifted(pk[i].pts, first);
        if (!(P < S && S - P >= 12'000)) break;
        ++i;
    }
    return i;
}

// The audio a rip from S to E must write when no packet is damaged: the frames of every packet
// from the start packet up to the first one at or after E.
inline std::vector<std::uint8_t> ExpectedAudio(const td::StreamLayout& a, std::int64_t first,
                                               std::int64_t S, std::int64_t E) {
    const auto& pk = a.stream.packets;
    std::vector<std::uint8_t> out;
    for (std::size_t i = AudioStartPacket(a, first, S); i < pk.size(); ++i) {
        if (Lifted(pk[i].pts, first) >= E && !out.empty()) break;
        std::vector<std::uint8_t> pay = Payload(a.stream, i);
        out.insert(out.end(), pay.begin(), pay.end());
    }
    return out;
}

// Pictures a video rip from S to E writes: the picture packets copied.
inline long Pictures(const td::StreamLayout& v, std::int64_t first, std::int64_t S,
                     std::int64_t E) {
    const auto& pk = v.stream.packets;
    std::size_t i = 0;
    while (i < pk.size() && Lifted(pk[i].pts, first) < S &&
           std::llabs(Lifted(pk[i].pts, first) - S) >= 25)
        ++i;
    while (i < pk.size() && !pk[i].sequenceHeader)
        ++i;
    long n = 0;
    for (std::size_t m = i; m < pk.size(); ++m) {
        if (m > i && Lifted(pk[m].pts, first) > E - 1 && !pk[m].continuation) break;
        if (!pk[m].continuation) ++n;
    }
    return n;
}

struct Command {
    int status = -1;
    std::string out;
    std::string err;
};

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline Command Run(const std::string& command) {
    char errName[] = "/tmp/rip-test-err-XXXXXX";
    int fd = ::mkstemp(errName);
    if (fd >= 0) ::close(fd);
    Command r;
    FILE* p = ::popen((command + " 2>" + Quote(errName)).c_str(), "r");
    if (!p) return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    int st = ::pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    r.err = ReadText(errName);
    ::unlink(errName);
    return r;
}

// ffmpeg's verdict on a file: decodes without a single error.
inline ::testing::AssertionResult DecodesCleanly(const fs::path& file) {
    Command c = Run(std::string(QUORIN_FFMPEG) + " -nostdin -v error -xerror -i " +
                    Quote(file.string()) + " -f null -");
    if (c.status == 0 && c.err.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << file << ": status " << c.status << ", " << c.err;
}

// Decoded video frames (ffprobe).
inline long FrameCount(const fs::path& file) {
    Command c = Run(std::string(QUORIN_FFPROBE) +
                    " -v error -count_frames -select_streams v:0 -show_entries "
                    "stream=nb_read_frames -of default=nw=1:nk=1 " +
                    Quote(file.string()));
    return c.status == 0 ? std::atol(c.out.c_str()) : -1;
}

} // namespace quorin::riptest
