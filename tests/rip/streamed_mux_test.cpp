// The mux that runs alongside the video stage: the container it writes is the one the streams
// written first give (ffprobe's packets, streams and chapters), no video file is written, and a
// failed write or a cancel leaves no container.
#include "rip_fixture.h"

#include "platform/volume.h"
#include "rip/mux.h"
#include "rip/mux_pipe.h"
#include "rip/rip_driver.h"

#include <csignal>
#include <sstream>
#include <sys/resource.h>
#include <thread>

namespace quorin {
namespace {

using namespace riptest;

// What ffprobe says about a container, its file name left out.
std::string Probed(const std::string& file) {
    Command c = Run(std::string(QUORIN_FFPROBE) +
                    " -v error -show_packets -show_streams -show_chapters -show_entries "
                    "format_tags " +
                    Quote(file));
    EXPECT_EQ(c.status, 0) << c.err;
    return c.out;
}

// The first line where two texts differ ("" when they are the same).
std::string FirstDifference(const std::string& a, const std::string& b) {
    std::istringstream x(a), y(b);
    for (std::string u, v;;) {
        const bool more =
            static_cast<bool>(std::getline(x, u)) | static_cast<bool>(std::getline(y, v));
        if (!more) return "";
        if (u != v) return u + " | " + v;
        u.clear(), v.clear();
    }
}

// The files of the run, named in its folder.
std::set<std::string> Listed(const RipReport& report) {
    std::set<std::string> files;
    for (const RipReport::File& f : report.files)
        files.insert(fs::path(f.name).filename().string() + ": " + FileKindText(f.kind));
    return files;
}

class StreamedMux : public ::testing::Test {
protected:
    void SetUp() override {
        td::ClipSpec clip = SampleClip("Film", "mpeg2-4x3.m2v", "tone-48k-448k.ac3", 12);
        clip.audioOffsetTicks = -300 * 90;
        td::DiskSpec desc;
        desc.clips.push_back(clip);
        disk_ = std::make_unique<TestDisk>(desc, "streamed");
    }
    RipOutcome Rip(const std::string& folder, MuxFormat format, bool keep) {
        disk_->request.outputFolder = folder;
        if (!folder.empty()) fs::create_directory(folder);
        disk_->request.mux = {format, keep};
        return disk_->Rip(0, 0, disk_->Result(0).lengthSeconds);
    }
    ScratchDir out_;
    std::unique_ptr<TestDisk> disk_;
};

TEST_F(StreamedMux, TheContainerIsTheOneOfTheStreamsWrittenFirst) {
    struct Case {
        const char* name;
        MuxFormat format;
        bool marks;  // chapters (Matroska)
        bool damage; // salvaged over unreadable sectors
    };
    const Case cases[] = {{"mkv", MuxFormat::kMatroska, false, false},
                          {"mkv with chapters", MuxFormat::kMatroska, true, false},
                          {"mpg", MuxFormat::kProgramStream, false, false},
                          {"ts", MuxFormat::kTransportStream, false, false},
                          {"mkv salvaged", MuxFormat::kMatroska, false, true}};
    const td::StreamLayout& video = disk_->Result(0).video;
    const std::int64_t middle = td::ClusterByteOffset(video.chain.front()) +
                                std::int64_t{video.startSector} * 512 +
                                static_cast<std::int64_t>(video.stream.bytes.size() / 2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disk_->Options();
        if (c.marks) disk_->request.marks = BreakMarks{{{10, 20}}, 40};
        VolumeFaults faults;
        if (c.damage) faults.failingReads.push_back({middle, middle + 200'000});
        SetVolumeFaults(disk_->Image(), faults);
        const std::string muxed = "Film." + std::string(MuxExtension(c.format));
        std::set<std::string> files{muxed + ": muxed"};
        if (c.marks) files.insert("Film.edl: edl");
        ASSERT_EQ(Rip("one", c.format, false), RipOutcome::kDone) << disk_->last.message;
        EXPECT_EQ(Listed(disk_->last), files);
        EXPECT_EQ(std::distance(fs::directory_iterator("one"), {}), std::ssize(files));
        EXPECT_EQ(disk_->last.lost.empty(), !c.damage);
        const std::int64_t oneInContainer = disk_->last.videoInContainer;
        ASSERT_EQ(Rip("two", c.format, true), RipOutcome::kDone) << disk_->last.message;
        ClearVolumeFaults();
        files.insert({"Film.ac3: audio", "Film.m2v: video", "Film delay.log: delay log"});
        EXPECT_EQ(Listed(disk_->last), files);
        EXPECT_EQ(oneInContainer, disk_->last.videoInContainer);
        EXPECT_EQ(FirstDifference(Probed("one/" + muxed), Probed("two/" + muxed)), "");
        // Program and transport streams carry nothing random: the same bytes.
        if (c.format != MuxFormat::kMatroska) {
            EXPECT_TRUE(ReadFile("one/" + muxed) == ReadFile("two/" + muxed));
        }
        fs::remove_all("one");
        fs::remove_all("two");
    }
}

TEST_F(StreamedMux, AFailedWriteOrACancelLeavesNoContainer) {
    // The audio's file fits under the limit, the container does not.
    const auto limit = static_cast<rlim_t>(disk_->Result(0).video.stream.bytes.size() / 2);
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto handler = std::signal(SIGXFSZ, SIG_IGN);
    struct Case {
        const char* name;
        bool full;
        bool cancel;
        RipOutcome outcome;
        const char* message;
    };
    const Case cases[] = {
        {"full", true, false, RipOutcome::kOutputFailed,
         "could not write Film.mkv: File too large"},
        {"cancelled", false, true, RipOutcome::kCancelled, "cancelled"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        disk_->Options();
        struct rlimit small = old;
        small.rlim_cur = limit;
        if (c.full) ::setrlimit(RLIMIT_FSIZE, &small);
        std::thread canceller([&] {
            while (c.cancel && disk_->video.megabytes < 2 && !disk_->video.muxing)
                std::this_thread::yield();
            if (c.cancel) disk_->cancel = true;
        });
        const RipOutcome outcome = Rip("", MuxFormat::kMatroska, false);
        canceller.join();
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(disk_->last.message, c.message);
        EXPECT_FALSE(fs::exists("Film.mkv"));
        EXPECT_FALSE(fs::exists("Film.m2v"));
        fs::remove("Film.ac3");
        fs::remove("Film delay.log");
    }
    std::signal(SIGXFSZ, handler);
}

// The pipe between the two threads: a cut within what it holds back, and every way it can break
// off wakes both sides with the reason.
TEST(MuxPipe, CutsWithinItsHoldBackAndBreaksOffWithoutHanging) {
    struct Case {
        const char* name;
        bool startKnown;
        std::size_t megabytes; // written
        std::int64_t cutBy;    // bytes cut off the end after writing, -1 none
        bool readerFails;      // after its first byte
        const char* why;       // "" when the stream ends whole
    };
    const Case cases[] = {
        {"whole", true, 12, -1, false, ""},
        {"cut within the hold back", true, 3, 300'000, false, ""},
        {"cut beyond it", true, 3, 2 << 20, false, "more than the 1048576 it holds back"},
        {"reader fails", true, 40, -1, true, "the container writer stopped"},
        {"no start", false, 40, -1, false, "first time stamp did not come"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MuxPipe pipe([&](MuxPipe::Opening& o) { return o.pts = 7, c.startKnown; }, 1 << 20,
                     4 << 20);
        std::vector<std::uint8_t> read;
        bool started = false;
        std::thread reader([&] {
            std::int64_t pts = 0;
            std::vector<media::ContainerChapter> chapters;
            started = pipe.Start(pts, chapters);
            std::vector<std::uint8_t> block(100'000);
            for (std::int64_t n; (n = pipe.Read(std::ssize(read), block)) > 0;) {
                read.insert(read.end(), block.begin(), block.begin() + n);
                pipe.Release(std::ssize(read));
                if (c.readerFails) return pipe.Fail();
            }
        });
        std::vector<std::uint8_t> bytes(1 << 20);
        bool written = true;
        for (std::size_t i = 0; i < c.megabytes && written; ++i) {
            std::fill(bytes.begin(), bytes.end(), static_cast<std::uint8_t>(i));
            // Every other megabyte is handed over with its buffer, which comes back as big.
            written = i % 2 == 0 ? pipe.Write(bytes) : pipe.Take(bytes, bytes.size());
            EXPECT_EQ(bytes.size(), std::size_t{1} << 20);
        }
        const std::int64_t whole = static_cast<std::int64_t>(c.megabytes) << 20;
        if (c.cutBy >= 0) written &= pipe.Truncate(static_cast<std::uint64_t>(whole - c.cutBy));
        if (written) pipe.Close();
        reader.join();
        EXPECT_EQ(written, !*c.why);
        if (!*c.why || !c.startKnown) {
            EXPECT_EQ(started, c.startKnown);
        }
        EXPECT_NE(pipe.Why().find(c.why), std::string::npos) << pipe.Why();
        if (!*c.why) {
            EXPECT_EQ(std::ssize(read), whole - std::max<std::int64_t>(c.cutBy, 0));
            for (std::size_t k = 0; k < read.size(); k += 4096)
                ASSERT_EQ(read[k], static_cast<std::uint8_t>(k >> 20)) << k;
            EXPECT_EQ(read.back(), static_cast<std::uint8_t>((read.size() - 1) >> 20));
            EXPECT_LE(pipe.Peak(), std::size_t{5} << 20);
        }
    }
}

} // namespace
} // namespace quorin
