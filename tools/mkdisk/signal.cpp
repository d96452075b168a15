// The flash-and-beep sync test signal, encoded by ffmpeg from its synthetic sources.
#include "testdisk.h"

#include <cstdio>
#include <cstdlib>

namespace quorin::testdisk {
namespace {

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Where a beep starts when its decoded stream is measured with a -40 dB silence threshold, less
// where it was placed: the decoder's filter bank delay (MP2) or the encoder's padding (AC-3).
double OnsetDelay(AudioCodec codec) {
    return codec == AudioCodec::Ac3 ? 0.00533 : 0.00821;
}

} // namespace

Expected<FlashBeepFiles> MakeFlashBeep(const FlashBeepSpec& wanted,
                                       const std::filesystem::path& dir) {
    const bool ac3 = wanted.audio == AudioCodec::Ac3;
    FlashBeepFiles files{dir / (wanted.mpeg1 ? "signal.m1v" : "signal.m2v"),
                         dir / (ac3 ? "signal.ac3" : "signal.mp2")};
    const int pictures = static_cast<int>(wanted.seconds * 25);
    const std::string ff = wanted.ffmpeg + " -nostdin -v error -y ";
    const std::string gop = wanted.openGops ? "-g 12 -bf 2 " : "-g 12 -bf 0 -flags +cgop ";
    char video[1024];
    std::snprintf(video, sizeof video,
                  "%s-f lavfi -i color=black:s=352x288:r=25 -frames:v %d -vf "
                  "\"drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='eq(mod(n,50),25)'\" "
                  "-c:v %s -pix_fmt yuv420p -b:v 1M -sc_threshold 1000000000 %s-aspect %s "
                  "-f %s %s",
                  ff.c_str(), pictures, wanted.mpeg1 ? "mpeg1video" : "mpeg2video", gop.c_str(),
                  wanted.wide ? "16:9" : "4:3", wanted.mpeg1 ? "mpeg1video" : "mpeg2video",
                  Quote(files.video.string()).c_str());
    // The audio's own time t is the video's t + offset: a beep at every odd second of the
    // video's time, from the audio's start to the video's end.
    const double offset = static_cast<double>(wanted.audioOffsetTicks) / kPtsClock;
    const double lead = offset + OnsetDelay(wanted.audio);
    const double audioSeconds = wanted.seconds - offset;
    char audio[1024];
    std::snprintf(audio, sizeof audio,
                  "%s-f lavfi -i \"aevalsrc='if(lt(mod(t+%.6f+999,2),0.05),0.5*sin(2*PI*1000*t),0)'"
                  ":s=48000:d=%.3f\" -ac 2 -c:a %s -b:a %s -f %s %s",
                  ff.c_str(), lead, audioSeconds, ac3 ? "ac3" : "mp2", ac3 ? "448k" : "192k",
                  ac3 ? "ac3" : "mp2", Quote(files.audio.string()).c_str());
    for (const char* command : {video, audio}) {
        if (std::system(command) != 0) return Error{std::string("could not run: ") + command};
    }
    return files;
}

} // namespace quorin::testdisk
