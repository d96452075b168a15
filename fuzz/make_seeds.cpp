// Writes the seed corpora of the fuzz targets: quorin-fuzz-seeds OUT_DIR SAMPLES_DIR writes
// OUT_DIR/<target>/<name> for every target. Streams come from the test-disk factory (packetised
// the way the receiver records them) and from the decoder tests' writer of small MPEG-2 streams;
// the seeds stay small (a few KB each) so that every input runs fast.
#include "fuzz_disks.h"

#include "base/program_log.h"
#include "base/run_state.h"
#include "decoder/stream_writer.h"
#include "disk/cluster_table.h"
#include "disk/pvr_drive.h"
#include "jobs/jobs.h"
#include "mkdisk/testdisk.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
namespace td = quorin::testdisk;
namespace fz = quorin::fuzz;
using Bytes = std::vector<std::uint8_t>;

fs::path g_out;
fs::path g_samples;
int g_failures = 0;

void Fail(const std::string& what) {
    std::fprintf(stderr, "quorin-fuzz-seeds: %s\n", what.c_str());
    ++g_failures;
}

void Save(const char* target, const std::string& name, std::span<const std::uint8_t> bytes) {
    const fs::path dir = g_out / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("could not write " + (dir / name).string());
}

void SaveText(const char* target, const std::string& name, const std::string& text) {
    Save(target, name, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

Bytes ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The first `frames` frames of a constant-bit-rate audio sample.
Bytes AudioFrames(const char* sample, std::size_t frameBytes, std::size_t frames) {
    Bytes es = ReadFile(g_samples / sample);
    es.resize(std::min(es.size(), frameBytes * frames));
    return es;
}

Bytes SmallVideo(bool fields, std::uint32_t seed) {
    quorin::decoder::test::SyntheticOptions o;
    o.width = 32;
    o.height = 32;
    o.field_pictures = fields;
    o.seed = seed;
    return quorin::decoder::test::MakeSyntheticStream(o);
}

// ---- Directory: the first sectors of factory disks (the rest of the 256 sectors are zero).

void DirectorySeeds() {
    for (auto layout : {td::RecordLayout::Working, td::RecordLayout::Old}) {
        td::DiskSpec disk;
        disk.label = "QUORIN SEEDS";
        const char* names[] = {"News", "A film with a long title of forty bytes!", ""};
        for (int i = 0; i < 3; ++i) {
            td::ClipSpec c;
            c.station = i == 1 ? "Quorin Ünö" : "Quorin One";
            c.name = names[i];
            c.videoFile = g_samples / "mpeg1-sif.m1v";
            c.audioFile = g_samples / "tone-48k-192k.mp2";
            c.skipIndex = {{100, 250}, {600, 720}};
            c.videoStartSector = 64 * i;
            c.layout = layout;
            disk.clips.push_back(c);
        }
        const fs::path image = fs::temp_directory_path() / "quorin-seed-dir.img";
        auto built = td::BuildImage(disk, image, {.keepStreamBytes = false});
        fs::remove(image);
        if (!built) return Fail(built.error());
        Bytes head(built->header.begin(), built->header.end());
        head.insert(head.end(), built->clusterTable.begin(), built->clusterTable.end());
        for (const auto& clip : built->clips)
            head.insert(head.end(), clip.record.begin(), clip.record.end());
        Save("fuzz_directory", layout == td::RecordLayout::Old ? "old-layout" : "working-layout",
             head);
    }
}

// ---- Job lists, against the job list target's disk.

void JobListSeeds() {
    using namespace quorin;
    fz::ScratchImage image("seeds");
    if (!fz::JobListDisk().Write(image, fz::ClusterOffset(9))) return Fail("job list disk");
    image.End();
    SetConsoleTrace(false);
    bool ok = false;
    ClusterTable table(image.Path(), ok);
    CPVRDrive drive(image.Path(), &table, RecordLayout::kFirmware190);
    const std::vector<std::uint32_t> sums = BuildChecksumTable(drive);
    std::vector<RipJob> jobs;
    for (int i = 0; i < drive.GetFileCount(); ++i)
        jobs.push_back(MakeJob(drive.GetFile(i)->GetRecord(), i, 10.5 * i, 62.25, i == 1, false,
                               true, i != 2));
    SaveText("fuzz_joblist", "saved", FormatJobList(jobs, sums));
    // Clip numbers that moved: the checksum finds the clip again, or the line is reported.
    std::vector<RipJob> moved = jobs;
    std::swap(moved[0].clipIndex, moved[1].clipIndex);
    std::vector<std::uint32_t> wrong = sums;
    wrong[2] = 0xDEADBEEF;
    SaveText("fuzz_joblist", "moved", FormatJobList(moved, sums) + FormatJobList(jobs, wrong));
    SaveText("fuzz_joblist", "short-form",
             "Index;Name;Begin;End\n1;Evening news;0:10:00;0:20:00.50\n2;Film;x0\n2;Film;x2\n"
             "2;Film;x3\n2;Film;x4\n2;Film;x5\n2;Film;x12\n9;Nowhere;1;2\n3;Leer;5;1\n");
    SaveText("fuzz_joblist", "latin1", "1;Caf\xe9 \xfc;1.50;2.75;1;0;0;0;00000000\r\n");
    std::string many;
    for (int i = 0; i < 105; ++i)
        many += "1;Job;" + std::to_string(i) + ";" + std::to_string(i + 30) + ";1;1;0;0\n";
    SaveText("fuzz_joblist", "queue-full", many);
}

// ---- Decoder: small MPEG-2 streams of every coding tool, as elementary and program streams.

void DecoderSeeds() {
    using quorin::decoder::test::SyntheticOptions;
    auto save = [](const std::string& name, const SyntheticOptions& o) {
        Save("fuzz_decoder", name, quorin::decoder::test::MakeSyntheticStream(o));
    };
    SyntheticOptions o;
    o.width = 32;
    o.height = 32;
    save("fields-420", o);
    o.chroma_format = 2;
    o.alternate_scan = true;
    save("fields-422-altscan", o);
    o.chroma_format = 3;
    o.intra_vlc = true;
    o.top_field_first = false;
    save("fields-444-intravlc-bff", o);
    o = SyntheticOptions{};
    o.width = 48;
    o.height = 32;
    o.field_pictures = false;
    o.concealment = true;
    save("frames-concealment", o);
    o.saturating_levels = true;
    o.concealment = false;
    save("frames-saturating", o);
    o = SyntheticOptions{};
    o.width = 32;
    o.height = 32;
    o.single_field = true;
    save("single-field", o);

    // As the receiver records it: PES packets behind a pack header.
    auto pes = td::PacketiseVideo(SmallVideo(false, 3), {});
    if (!pes) return Fail(pes.error());
    Bytes ps = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    ps.insert(ps.end(), pes->bytes.begin(), pes->bytes.end());
    Save("fuzz_decoder", "program-stream", ps);
}

// ---- Engine: packetised video and audio with the input's mode, begin and length.

void EngineSeeds() {
    auto video = td::PacketiseVideo(SmallVideo(false, 5), {.firstPts = 900'000, .loops = 12});
    auto fields = td::PacketiseVideo(SmallVideo(false, 7), {.firstPts = 0x1FFFE0000, .loops = 6});
    auto mp2 = td::PacketiseAudio(AudioFrames("tone-48k-192k.mp2", 576, 20), {.firstPts = 873'000});
    auto ac3 = td::PacketiseAudio(AudioFrames("tone-48k-448k.ac3", 1792, 8),
                                  {.firstPts = 0x1FFFE0000 - 9'000});
    for (auto* s : {&video, &fields, &mp2, &ac3})
        if (!*s) return Fail(s->error());
    namespace m = fz::mode;
    const auto& v = video->bytes;
    const auto& f = fields->bytes;
    const auto& a = mp2->bytes;
    const auto& c = ac3->bytes;
    const std::uint8_t start = 0, offset = 1 << m::kPlacementShift,
                       across = 2 << m::kPlacementShift, noEnd = 3 << m::kPlacementShift;
    Save("fuzz_engine", "whole-mp2", fz::JoinEngineInput(m::kWhole | start, 0, 0, v, a));
    Save("fuzz_engine", "cut-mp2", fz::JoinEngineInput(offset, 1, 5, v, a));
    Save("fuzz_engine", "whole-ac3-across", fz::JoinEngineInput(m::kWhole | across, 0, 0, f, c));
    Save("fuzz_engine", "cut-ac3-wrap", fz::JoinEngineInput(start, 2, 4, f, c));
    Save("fuzz_engine", "raw-cut",
         fz::JoinEngineInput(m::kRawAudio | m::kRawVideo | offset, 2, 6, v, a));
    Save("fuzz_engine", "video-patch-noend",
         fz::JoinEngineInput(m::kVideo | m::kPatchHeader | noEnd, 0, 3, v, {}));
    Save("fuzz_engine", "preview", fz::JoinEngineInput(m::kVideo | start, 4, 0, v, {}));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quorin-fuzz-seeds OUT_DIR SAMPLES_DIR\n");
        return 2;
    }
    g_out = argv[1];
    g_samples = argv[2];
    DirectorySeeds();
    JobListSeeds();
    DecoderSeeds();
    EngineSeeds();
    return g_failures == 0 ? 0 : 1;
}
