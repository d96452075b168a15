#include "gui/end_sound.h"

#include "base/program_log.h"
#include "gui/resources.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QPointer>
#include <QSoundEffect>
#include <QUrl>

namespace quorin {
namespace {

class ChimeSound : public EndSound {
public:
    explicit ChimeSound(QObject* owner) : owner_(owner) {}

    void Play() override {
        if (QMediaDevices::audioOutputs().isEmpty()) {
            LogLine("no audio output: the end sound stays silent");
            return;
        }
        if (!effect_) {
            // Parented to the window, so the effect ends with it.
            effect_ = new QSoundEffect(owner_);
            effect_->setSource(QUrl("qrc:/quorin/end.wav"));
        }
        effect_->play();
    }

private:
    QObject* owner_;
    QPointer<QSoundEffect> effect_;
};

} // namespace

std::unique_ptr<EndSound> MakeEndSound(QObject* owner) {
    EnsureResources();
    return std::make_unique<ChimeSound>(owner);
}

} // namespace quorin
