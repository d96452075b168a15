#include "jobs/library_files.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/scratch_folder.h"
#include "decoder/decoder.h"
#include "disk/clip_record.h"
#include "jobs/jpeg_file.h"
#include "jobs/xml_writer.h"
#include "platform/text.h"
#include "rip/rip_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

namespace quorin {
namespace {

// What the NFO says about the streams, from their first headers.
struct StreamFacts {
    std::string videoCodec;
    int width = 0;
    int height = 0;
    double aspect = 0; // display aspect, width / height
    std::string audioCodec;
    int channels = 0;
};

std::vector<std::uint8_t> ReadBytes(const std::string& file, std::int64_t at, std::size_t count) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(at);
    std::vector<std::uint8_t> b(count);
    in.read(reinterpret_cast<char*>(b.data()), static_cast<std::streamsize>(count));
    b.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, in.gcount())));
    return b;
}

std::size_t FindCode(const std::vector<std::uint8_t>& b, std::uint8_t code, std::size_t from = 0) {
    for (std::size_t i = from; i + 3 < b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == code) return i;
    return std::string::npos;
}

double DisplayAspect(int width, int height, int code, bool mpeg2) {
    if (width <= 0 || height <= 0) return 0;
    const double square = static_cast<double>(width) / height;
    if (mpeg2) {
        switch (code) {
        case 2:
            return 4.0 / 3;
        case 3:
            return 16.0 / 9;
        case 4:
            return 2.21;
        default:
            return square;
        }
    }
    // MPEG-1 gives the height/width of a pixel.
    static const double kPel[] = {1.0,    1.0,    0.6735, 0.7031, 0.7615, 0.8055, 0.8437, 0.8935,
                                  0.9157, 0.9815, 1.0255, 1.0695, 1.0950, 1.1575, 1.2015, 1.0};
    return square / kPel[code & 15];
}

void VideoFacts(const std::string& file, StreamFacts& f) {
    const std::vector<std::uint8_t> b = ReadBytes(file, 0, 1 << 16);
    const std::size_t at = FindCode(b, 0xB3);
    if (at == std::string::npos || at + 12 > b.size()) return;
    f.width = (b[at + 4] << 4) | (b[at + 5] >> 4);
    f.height = ((b[at + 5] & 15) << 8) | b[at + 6];
    const std::size_t ext = FindCode(b, 0xB5, at + 4);
    const bool mpeg2 = ext != std::string::npos && ext + 4 < b.size() && (b[ext + 4] >> 4) == 1 &&
                       ext < FindCode(b, 0x00, at + 4);
    f.videoCodec = mpeg2 ? "mpeg2video" : "mpeg1video";
    f.aspect = DisplayAspect(f.width, f.height, b[at + 7] >> 4, mpeg2);
}

void AudioFacts(const std::string& file, bool ac3, StreamFacts& f) {
    const std::vector<std::uint8_t> b = ReadBytes(file, 0, 1 << 14);
    for (std::size_t i = 0; i + 7 < b.size(); ++i) {
        if (ac3 && b[i] == 0x0B && b[i + 1] == 0x77) {
            // acmod, then the mix levels it implies, then the LFE flag.
            const unsigned bits = (b[i + 6] << 8) | b[i + 7];
            const unsigned acmod = bits >> 13;
            int at = 13;
            if ((acmod & 1) && acmod != 1) at -= 2;
            if (acmod & 4) at -= 2;
            if (acmod == 2) at -= 2;
            static const int kChannels[] = {2, 1, 2, 3, 3, 4, 4, 5};
            f.audioCodec = "ac3";
            f.channels = kChannels[acmod] + static_cast<int>((bits >> (at - 1)) & 1);
            return;
        }
        if (!ac3 && b[i] == 0xFF && (b[i + 1] & 0xE0) == 0xE0) {
            const int layer = 4 - ((b[i + 1] >> 1) & 3);
            f.audioCodec = layer == 3 ? "mp3" : layer == 1 ? "mp1" : "mp2";
            f.channels = (b[i + 3] >> 6) == 3 ? 1 : 2;
            return;
        }
    }
}

std::string Trimmed(std::string s) {
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

std::string Nfo(const ClipRecord& r, const StreamFacts& f) {
    const std::string date =
        r.Year() > 0 ? Format("%04d-%02d-%02d", r.Year(), r.Month(), r.Day()) : std::string();
    const int seconds = r.LengthInSeconds();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char added[32];
    std::strftime(added, sizeof added, "%Y-%m-%d %H:%M:%S", &local);
    XmlWriter x;
    x.Open("movie");
    x.Element("title", Latin1ToUtf8(r.ClipName()));
    x.Element("plot", "");
    x.Element("runtime", std::to_string(seconds > 0 ? std::max(1, (seconds + 30) / 60) : 0));
    if (!date.empty()) {
        x.Element("premiered", date);
        x.Element("aired", date);
    }
    x.Element("studio", Trimmed(Latin1ToUtf8(r.Station())));
    x.Element("dateadded", added);
    x.Open("fileinfo");
    x.Open("streamdetails");
    if (!f.videoCodec.empty()) {
        x.Open("video");
        x.Element("codec", f.videoCodec);
        x.Element("aspect", Format("%.2f", f.aspect));
        x.Element("width", std::to_string(f.width));
        x.Element("height", std::to_string(f.height));
        x.Element("durationinseconds", std::to_string(seconds));
        x.Close();
    }
    if (!f.audioCodec.empty()) {
        x.Open("audio");
        x.Element("codec", f.audioCodec);
        x.Element("channels", std::to_string(f.channels));
        x.Close();
    }
    return x.Finish();
}

bool WriteText(const std::string& file, const std::string& text, std::string* error) {
    std::FILE* f = std::fopen(file.c_str(), "wbx");
    bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
    int why = errno;
    if (f && std::fclose(f) != 0) {
        ok = false;
        why = errno;
    }
    if (!ok) *error = "could not write " + file + ": " + std::strerror(why);
    return ok;
}

bool ReadPpm(const std::string& file, RgbPicture& p) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) return false;
    int w = 0, h = 0, max = 0;
    const bool header = std::fscanf(f, "P6 %d %d %d", &w, &h, &max) == 3 && std::fgetc(f) != EOF &&
                        w > 0 && h > 0 && w <= 4096 && h <= 4096 && max == 255;
    if (header) {
        p = {w, h, std::vector<std::uint8_t>(std::size_t(w) * h * 3)};
        if (std::fread(p.rgb.data(), 1, p.rgb.size(), f) != p.rgb.size()) p.width = 0;
    }
    std::fclose(f);
    return header && p.width > 0;
}

// A picture that shows something (black pictures and fades to black do not).
bool ShowsSomething(const RgbPicture& p) {
    std::uint64_t sum = 0;
    for (std::uint8_t v : p.rgb)
        sum += v;
    return !p.rgb.empty() && sum / p.rgb.size() >= 24;
}

// The first whole picture after a sequence header at `fraction` into the video file.
bool PictureAt(const std::string& video, double fraction, const ScratchFolder& scratch,
               RgbPicture& picture) {
    std::error_code ec;
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(video, ec));
    if (ec) return false;
    const auto from = static_cast<std::int64_t>(static_cast<double>(size) * fraction);
    std::vector<std::uint8_t> b = ReadBytes(video, from, 4 << 20);
    const std::size_t at = FindCode(b, 0xB3);
    if (at == std::string::npos) return false;
    const std::string piece = (scratch / "piece.m2v").string();
    const std::string ppm = (scratch / "picture.ppm").string();
    std::remove(ppm.c_str());
    {
        std::ofstream out(piece, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(b.data() + at),
                  static_cast<std::streamsize>(b.size() - at));
        if (!out) return false;
    }
    decoder::DecodeDetails details;
    decoder::DecodePictureFile(piece.c_str(), ppm.c_str(), decoder::kFormatPpm, details);
    return details.result_code == decoder::kResultOk && ReadPpm(ppm, picture);
}

// A picture about a tenth into the recording, at its display aspect; later ones when it is black.
bool PosterPicture(const std::string& video, double aspect, RgbPicture& picture) {
    ScratchFolder scratch("quorin-poster");
    if (!scratch.Valid()) return false;
    bool any = false;
    RgbPicture first;
    for (double fraction = 0.1; fraction < 0.95; fraction += 0.1) {
        RgbPicture p;
        if (!PictureAt(video, fraction, scratch, p)) continue;
        if (!any) first = p;
        any = true;
        if (ShowsSomething(p)) {
            first = std::move(p);
            break;
        }
    }
    if (!any) return false;
    const int width =
        aspect > 0 ? static_cast<int>(std::lround(first.height * aspect)) : first.width;
    picture = Resized(first, width & ~1, first.height);
    return true;
}

std::string Edl(const std::vector<BreakMark>& breaks) {
    std::string text;
    for (const BreakMark& b : breaks)
        text += Format("%.2f\t%.2f\t3\n", b.from, b.to);
    return text;
}

} // namespace

bool AddLibraryFiles(const ClipRecord& record, int, const std::string& folder,
                     const std::string& base, bool keepStreams, RipReport& report,
                     std::string* error, const std::vector<BreakMark>& breaks) {
    StreamFacts facts;
    std::string video;
    for (const RipReport::File& f : report.files) {
        if (f.kind == FileKind::kVideo) {
            video = f.name;
            VideoFacts(f.name, facts);
        }
        if (f.kind == FileKind::kAudio) AudioFacts(f.name, f.name.ends_with(".ac3"), facts);
    }
    const std::string path = folder + "/" + base;
    if (!WriteText(path + ".nfo", Nfo(record, facts), error)) return false;
    report.files.push_back({path + ".nfo", FileKind::kNfo});
    RgbPicture picture;
    if (!video.empty() && PosterPicture(video, facts.aspect, picture)) {
        for (const FileKind kind : {FileKind::kPoster, FileKind::kFanart}) {
            const std::string name = path + "-" + FileKindText(kind) + ".jpg";
            if (!WriteJpeg(picture, name, 90, error)) return false;
            report.files.push_back({name, kind});
        }
    } else {
        LogLine("no picture for the library from " + (video.empty() ? base : video));
    }
    // The break marks come from the break search when a run has them.
    if (!breaks.empty()) {
        if (!WriteText(path + ".edl", Edl(breaks), error)) return false;
        report.files.push_back({path + ".edl", FileKind::kEdl});
    }
    if (!keepStreams)
        std::erase_if(report.files, [](const RipReport::File& f) {
            const bool stream = f.kind == FileKind::kVideo || f.kind == FileKind::kAudio ||
                                f.kind == FileKind::kDelayLog;
            if (stream) std::remove(f.name.c_str());
            return stream;
        });
    return true;
}

} // namespace quorin
