// The mux stage: playable files in sync, what they say about themselves and how a failed mux
// ends, with the flash-and-beep signal of the test-disk factory and ffmpeg/ffprobe as the oracle.
#include "rip_fixture.h"

#include "rip/mux.h"
#include "rip/rip_driver.h"
#include "rip/rip_runner.h"

#include <cmath>
#include <csignal>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/resource.h>

namespace quorin {
namespace {

using namespace riptest;

constexpr MuxFormat kFormats[] = {MuxFormat::kMatroska, MuxFormat::kProgramStream,
                                  MuxFormat::kTransportStream};

// A one-clip disk of the flash-and-beep signal.
struct SignalDisk {
    SignalDisk(const td::FlashBeepSpec& wanted, std::int64_t firstPts, const std::string& tag) {
        auto files = td::MakeFlashBeep(wanted, dir.Path());
        if (!files) {
            ADD_FAILURE() << files.error();
            return;
        }
        td::ClipSpec c;
        c.station = "Quorin Sport";
        c.name = "Flash: beep?";
        c.year = 2024, c.month = 5, c.day = 17, c.hour = 20, c.minute = 15, c.second = 7;
        c.videoFile = files->video;
        c.audioFile = files->audio;
        c.audioCodec = wanted.audio;
        c.firstPts = firstPts;
        c.audioOffsetTicks = wanted.audioOffsetTicks;
        td::DiskSpec desc;
        desc.clips.push_back(c);
        disk = std::make_unique<TestDisk>(desc, tag);
    }
    ScratchDir dir; // the signal's files, and the rips' current directory
    std::unique_ptr<TestDisk> disk;
};

td::FlashBeepSpec Signal(std::int64_t audioOffsetMs = 0) {
    td::FlashBeepSpec s;
    s.audioOffsetTicks = audioOffsetMs * 90;
    s.ffmpeg = QUORIN_FFMPEG;
    return s;
}

// The flashes (pictures brighter than mid grey) and beep onsets of a file, in seconds of one
// ffmpeg run over both tracks.
struct Marks {
    std::vector<double> flashes, beeps;
};

Marks Measure(const fs::path& file) {
    const std::string stats = file.string() + ".yavg";
    Command c =
        Run(std::string(QUORIN_FFMPEG) + " -nostdin -i " + Quote(file.string()) +
            " -filter_complex \"[0:v]signalstats,metadata=print:key=lavfi.signalstats."
            "YAVG:file=" +
            stats + "[v];[0:a]silencedetect=n=-40dB:d=0.02[a]\" -map [v] -map [a] -f null -");
    Marks m;
    // "frame:N pts:P pts_time:T" lines, each followed by "lavfi.signalstats.YAVG=Y".
    std::istringstream frames(ReadText(stats));
    double time = 0;
    for (std::string line; std::getline(frames, line);) {
        if (auto at = line.find("pts_time:"); at != std::string::npos)
            time = std::stod(line.substr(at + 9));
        if (line.rfind("lavfi.signalstats.YAVG=", 0) == 0 && std::stod(line.substr(23)) > 128)
            m.flashes.push_back(time);
    }
    std::istringstream log(c.err);
    for (std::string line; std::getline(log, line);)
        if (auto at = line.find("silence_end: "); at != std::string::npos)
            m.beeps.push_back(std::stod(line.substr(at + 13)));
    return m;
}

// The largest distance from a flash to its nearest beep, in seconds.
double WorstSync(const Marks& m) {
    double worst = 0;
    for (double f : m.flashes) {
        double best = 1e9;
        for (double b : m.beeps)
            best = std::min(best, std::fabs(b - f));
        worst = std::max(worst, best);
    }
    return worst;
}

MuxResult MuxInto(TestDisk& disk, MuxFormat format, RipReport& report, bool keep = true) {
    // The stage of a run of the rip's request, starting where the rip's files start.
    RipRun run(disk.Clip(0), disk.request);
    run.State().m_i64VideoStartPTS = report.videoStartPts;
    run.State().m_i64AudioStartPTS = report.audioStartPts;
    RipOutcome o = RunMuxStage(run, format, keep, report);
    MuxResult r;
    r.result = o == RipOutcome::kDone ? RipOutcome::kDone : RipOutcome::kOutputFailed;
    r.message = report.message;
    for (const RipReport::File& f : report.files)
        if (f.kind == FileKind::kMuxed) r.file = f.name;
    return r;
}

TEST(Mux, EveryFlashHasItsBeepInEveryFormat) {
    struct Case {
        const char* name;
        std::int64_t audioOffsetMs;
        std::int64_t firstPts;
    };
    const Case cases[] = {{"audio 500 ms before", -500, 900'000},
                          {"audio 120 ms after", 120, 900'000},
                          {"audio with video", 0, 900'000},
                          {"across the wrap", -300, td::kPtsModulo - 3 * 90'000}};
    struct Cut {
        const char* name;
        double begin, length;
    };
    const Cut cuts[] = {{"whole", 0, 8}, {"mid group", 2.2, 4.6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SignalDisk signal(Signal(c.audioOffsetMs), c.firstPts, "sync");
        ASSERT_TRUE(signal.disk);
        TestDisk& disk = *signal.disk;
        disk.Options();
        for (const Cut& cut : cuts) {
            SCOPED_TRACE(cut.name);
            disk.request.outputName = cut.name;
            RipReport report;
            ASSERT_EQ(disk.Rip(0, cut.begin, cut.length, &report), RipOutcome::kDone)
                << report.message;
            if (c.audioOffsetMs == 0 && cut.begin == 0) {
                EXPECT_EQ(ReadText(std::string(cut.name) + " delay.log"), "Delay: 0 ms");
            }
            for (MuxFormat f : kFormats) {
                SCOPED_TRACE(MuxExtension(f));
                MuxResult r = MuxInto(disk, f, report);
                ASSERT_EQ(r.result, RipOutcome::kDone) << r.message;
                const Marks m = Measure(r.file);
                EXPECT_GE(m.flashes.size(), cut.begin == 0 ? 4u : 2u);
                EXPECT_LE(WorstSync(m), 0.015);
                RecordProperty(std::string(c.name) + " " + cut.name + " " +
                                   std::string(MuxExtension(f)) + " ms",
                               static_cast<int>(std::lround(WorstSync(m) * 1000)));
            }
        }
    }
}

// ffprobe's view of a file: format and stream entries and tags as key=value lines.
std::string Probe(const fs::path& file) {
    return Run(std::string(QUORIN_FFPROBE) +
               " -v error -show_format -show_programs -show_streams " + Quote(file.string()))
        .out;
}

// The presentation time a track covers, from its packets (ffprobe).
double TrackSeconds(const fs::path& file, const char* track) {
    Command c =
        Run(std::string(QUORIN_FFPROBE) + " -v error -select_streams " + track +
            " -show_entries packet=pts_time,duration_time -of csv=p=0 " + Quote(file.string()));
    double low = 1e18, high = -1e18;
    std::istringstream lines(c.out);
    for (std::string line; std::getline(lines, line);) {
        double pts = 0, duration = 0;
        if (std::sscanf(line.c_str(), "%lf,%lf", &pts, &duration) != 2) continue;
        low = std::min(low, pts);
        high = std::max(high, pts + duration);
    }
    return high - low;
}

TEST(Mux, KindsOfClipMetadataAndDurations) {
    struct Case {
        const char* name;
        MuxFormat format;
        bool ac3, wide, mpeg1, audio, video;
        std::vector<std::string> probed; // lines ffprobe must show
    };
    const std::vector<std::string> mkvTags = {
        "TAG:title=Flash: beep?", "TAG:SERVICE_PROVIDER=Quorin Sport",
        "TAG:DATE_RECORDED=2024-05-17 20:15:07", "DISPOSITION:default=1", "TAG:ENCODER=Quorin "};
    std::vector<std::string> wideMkv = mkvTags;
    wideMkv.insert(wideMkv.end(), {"display_aspect_ratio=16:9", "codec_name=ac3"});
    const Case cases[] = {
        {"AC-3 16:9", MuxFormat::kMatroska, true, true, false, true, true, wideMkv},
        {"AC-3 16:9 ts",
         MuxFormat::kTransportStream,
         true,
         true,
         false,
         true,
         true,
         {"display_aspect_ratio=16:9", "TAG:service_name=Flash: beep?",
          "TAG:service_provider=Quorin Sport", "TAG:language=und"}},
        {"MPEG-1 video",
         MuxFormat::kProgramStream,
         false,
         false,
         true,
         true,
         true,
         {"codec_name=mpeg1video", "codec_name=mp2"}},
        {"audio only",
         MuxFormat::kMatroska,
         false,
         false,
         false,
         true,
         false,
         {"nb_streams=1", "codec_name=mp2"}},
        {"video only",
         MuxFormat::kTransportStream,
         false,
         false,
         false,
         false,
         true,
         {"nb_streams=1", "codec_name=mpeg2video", "display_aspect_ratio=4:3"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        td::FlashBeepSpec wanted = Signal(-200);
        wanted.seconds = 4;
        wanted.audio = c.ac3 ? td::AudioCodec::Ac3 : td::AudioCodec::MpegAudio;
        wanted.wide = c.wide;
        wanted.mpeg1 = c.mpeg1;
        SignalDisk signal(wanted, 900'000, "kinds");
        ASSERT_TRUE(signal.disk);
        TestDisk& disk = *signal.disk;
        disk.Options(c.audio, c.video);
        RipReport report;
        ASSERT_EQ(disk.Rip(0, 0, 4, &report), RipOutcome::kDone) << report.message;
        std::vector<std::string> streams;
        for (const RipReport::File& f : report.files)
            if (f.kind == FileKind::kAudio || f.kind == FileKind::kVideo) streams.push_back(f.name);
        const std::vector<std::string> kept = streams;
        MuxResult r = MuxInto(disk, c.format, report, false);
        ASSERT_EQ(r.result, RipOutcome::kDone) << r.message;
        // The streams and the delay log are gone; the container is the one file listed.
        ASSERT_EQ(report.files.size(), 1u);
        EXPECT_EQ(report.files[0].kind, FileKind::kMuxed);
        for (const std::string& s : kept)
            EXPECT_FALSE(fs::exists(s)) << s;
        EXPECT_FALSE(fs::exists(disk.Clip(0).OutputBaseName() + " delay.log"));
        EXPECT_GE(report.muxMs, 0);
        EXPECT_TRUE(DecodesCleanly(r.file));
        const std::string probed = Probe(r.file);
        for (const std::string& line : c.probed)
            EXPECT_NE(probed.find(line), std::string::npos) << line << "\n" << probed;
        if (c.format == MuxFormat::kMatroska) {
            // The receiver's local time is no UTC time; every track is a default track; a
            // compressed audio track has no bit depth (element 0x6264 before the first cluster).
            EXPECT_EQ(probed.find("creation_time"), std::string::npos) << probed;
            EXPECT_EQ(probed.find("DISPOSITION:default=0"), std::string::npos) << probed;
            const std::vector<std::uint8_t> bytes = ReadFile(r.file);
            const std::string head(bytes.begin(),
                                   bytes.begin() + std::min<std::size_t>(bytes.size(), 65536));
            const std::string tracks = head.substr(0, head.find("\x1F\x43\xB6\x75"));
            EXPECT_EQ(tracks.find("\x62\x64\x81"), std::string::npos);
        }
        // Each track as long as the stream it came from (ripped again to compare), within a
        // frame.
        disk.Options(c.audio, c.video);
        disk.request.outputName = "again";
        ASSERT_EQ(disk.Rip(0, 0, 4, &report), RipOutcome::kDone);
        for (const RipReport::File& f : report.files) {
            if (f.kind == FileKind::kVideo) {
                EXPECT_NEAR(TrackSeconds(r.file, "v:0"), FrameCount(f.name) * 0.04, 0.041);
            } else if (f.kind == FileKind::kAudio) {
                EXPECT_NEAR(TrackSeconds(r.file, "a:0"), TrackSeconds(f.name, "a:0"),
                            c.ac3 ? 0.033 : 0.025);
            }
        }
    }
}

TEST(Mux, AFailedMuxLeavesNoContainerAndKeepsTheStreams) {
    SignalDisk signal(Signal(), 900'000, "fail");
    ASSERT_TRUE(signal.disk);
    TestDisk& disk = *signal.disk;
    disk.Options();
    RipReport report;
    ASSERT_EQ(disk.Rip(0, 0, 8, &report), RipOutcome::kDone);
    const std::vector<RipReport::File> streams = report.files;

    // A folder that cannot be written (here: that is not there).
    MuxJob job;
    job.video.file = streams[1].name;
    job.audio.file = streams[0].name;
    job.requested = "no such folder/Flash.mkv";
    MuxResult r = MuxStreams(job);
    EXPECT_EQ(r.result, RipOutcome::kOutputFailed);
    EXPECT_EQ(r.message, "could not create no such folder/Flash.mkv: No such file or directory");

    // A disk that fills up during the mux (a file size limit): libavformat's error text.
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 100'000;
    for (MuxFormat f : kFormats) {
        SCOPED_TRACE(MuxExtension(f));
        RipReport again = report;
        ::setrlimit(RLIMIT_FSIZE, &small);
        RipRun run(disk.Clip(0), disk.request);
        run.State().m_i64VideoStartPTS = report.videoStartPts;
        run.State().m_i64AudioStartPTS = report.audioStartPts;
        RipOutcome o = RunMuxStage(run, f, false, again);
        ::setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_EQ(o, RipOutcome::kOutputFailed);
        const std::string name = disk.Clip(0).OutputBaseName() + "." + std::string(MuxExtension(f));
        EXPECT_EQ(again.message, "could not write " + name + ": File too large");
        EXPECT_FALSE(fs::exists(name));
        for (const RipReport::File& s : streams)
            EXPECT_TRUE(fs::exists(s.name)) << s.name;
        EXPECT_EQ(again.files.size(), streams.size());
    }
    std::signal(SIGXFSZ, handler);
}

// A run with an output format: the container claimed with the streams (one number for all files),
// the streams kept or removed, raw rips never muxed (and said so).
TEST(Mux, ARunEndsInItsContainerNumberedLikeItsStreams) {
    SignalDisk signal(Signal(-200), 900'000, "run");
    ASSERT_TRUE(signal.disk);
    std::ofstream("Run.mkv") << "taken";
    struct Case {
        const char* name;
        MuxChoice mux;
        bool rawVideo;
        std::set<std::string> files; // "name: what"
    };
    const Case cases[] = {
        {"kept, the container's name taken",
         {MuxFormat::kMatroska, true},
         false,
         {"Run_000.mp2: audio", "Run_000.m2v: video", "Run_000 delay.log: delay log",
          "Run_000.mkv: muxed"}},
        {"streams removed", {MuxFormat::kTransportStream, false}, false, {"Run.ts: muxed"}},
        {"raw video",
         {MuxFormat::kProgramStream, false},
         true,
         {"Run.mp2: audio", "Run.pva: raw video"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RipProgress audio, video;
        std::atomic<bool> cancel{false};
        RipRunner runner(signal.disk->Clip(0), audio, video, &cancel);
        RipRequest request;
        request.length = 4;
        request.outputName = "Run";
        request.rawVideo = c.rawVideo;
        request.mux = c.mux;
        const RipRunReport run = runner.Run(request);
        ASSERT_EQ(run.outcome, RipOutcome::kDone) << run.stages.message;
        std::set<std::string> files;
        for (const RipReport::File& f : run.stages.files) {
            files.insert(f.name + ": " + FileKindText(f.kind));
            EXPECT_TRUE(fs::exists(f.name)) << f.name;
        }
        EXPECT_EQ(files, c.files);
        EXPECT_EQ(run.stages.muxMs >= 0, !c.rawVideo);
        EXPECT_EQ(run.notices.size(), c.rawVideo ? 1u : 0u);
        EXPECT_EQ(video.muxing.load(), !c.rawVideo) << "the front ends see the mux stage";
    }
    EXPECT_FALSE(fs::exists("Run.m2v")) << "removed after the mux";
    EXPECT_FALSE(fs::exists("Run.mpg"));
    EXPECT_EQ(ReadText("Run.mkv"), "taken");
}

} // namespace
} // namespace quorin
