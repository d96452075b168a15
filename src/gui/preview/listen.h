// Listening around the cut: about three seconds of the clip's audio from a position, ripped
// through the engine into a scratch folder, decoded (MP2 and AC-3) and handed to
// an audio output.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorin {

class RipRunner;

// Interleaved 16-bit samples.
struct Pcm {
    int rate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;
    double Seconds() const {
        return rate > 0 && channels > 0 ? static_cast<double>(samples.size()) / channels / rate
                                        : 0.0;
    }
};

// Decodes an MPEG audio (layers 1 to 3) or AC-3 elementary stream file. Empty (with a log line)
// when the file holds no decodable frame.
Pcm DecodeAudioFile(const std::string& path);

// Rips seconds of the clip's audio from engine seconds begin into a scratch folder of its own
// and decodes it; the folder is gone when it returns. The clip's progress blocks must be set;
// they are left set for a preview again.
Pcm RipAudioSnippet(RipRunner& runner, double begin, double seconds);

// Where decoded sound goes. The dialog's default plays it on the default audio device.
class AudioOut {
public:
    virtual ~AudioOut() = default;
    // False with a reason when there is nothing to play on.
    virtual bool Available(QString* why) const = 0;
    virtual void Play(Pcm pcm) = 0;
    virtual void Stop() = 0;
};

// The default audio device through Qt Multimedia.
std::unique_ptr<AudioOut> MakeDeviceAudioOut();

} // namespace quorin
