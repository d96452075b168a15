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

class CEndSound : public IEndSound {
public:
    explicit CEndSound(QObject* owner) : m_pOwner(owner) {}

    void Play() override {
        if (QMediaDevices::audioOutputs().isEmpty()) {
            LogLine("no audio output: the end sound stays silent");
            return;
        }
        if (!m_pEffect) {
            // Parented to the window, so the effect ends with it.
            m_pEffect = new QSoundEffect(m_pOwner);
            m_pEffect->setSource(QUrl("qrc:/quorin/end.wav"));
        }
        m_pEffect->play();
    }

private:
    QObject* m_pOwner;
    QPointer<QSoundEffect> m_pEffect;
};

} // namespace

std::unique_ptr<IEndSound> MakeEndSound(QObject* owner) {
    EnsureResources();
    return std::make_unique<CEndSound>(owner);
}

} // namespace quorin
