// The sound at the end of a single rip or of a whole queue.
#pragma once

#include <memory>

class QObject;

namespace quorin {

class EndSound {
public:
    virtual ~EndSound() = default;
    // Starts the sound and returns at once; silent when there is nothing to play it on.
    virtual void Play() = 0;
};

// The program's own chime, played through the default audio output. Without an audio device
// it stays silent: no error, no wait.
std::unique_ptr<EndSound> MakeEndSound(QObject* owner);

} // namespace quorin
