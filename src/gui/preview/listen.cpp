#include "gui/preview/listen.h"

#include "base/program_log.h"
#include "base/scratch_folder.h"
#include "disk/pvr_file.h"
#include "media/audio_decode.h"
#include "rip/rip_runner.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace quorin {

namespace {

class DeviceAudioOut : public AudioOut {
public:
    bool Available(QString* why) const override {
        if (!QMediaDevices::defaultAudioOutput().isNull()) return true;
        if (why) *why = QStringLiteral("No audio output device: there is nothing to listen on.");
        return false;
    }

    void Play(Pcm pcm) override {
        Stop();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull() || pcm.samples.empty()) return;
        QAudioFormat format;
        format.setSampleRate(pcm.rate);
        format.setChannelCount(pcm.channels);
        format.setSampleFormat(QAudioFormat::Int16);
        bytes_ = QByteArray(reinterpret_cast<const char*>(pcm.samples.data()),
                            static_cast<qsizetype>(pcm.samples.size() * sizeof(std::int16_t)));
        buffer_ = std::make_unique<QBuffer>(&bytes_);
        buffer_->open(QIODevice::ReadOnly);
        sink_ = std::make_unique<QAudioSink>(device, format);
        sink_->start(buffer_.get()); // returns at once; Qt plays it on
    }

    void Stop() override {
        if (sink_) sink_->stop();
        sink_.reset();
        buffer_.reset();
    }

    ~DeviceAudioOut() override { Stop(); }

private:
    QByteArray bytes_;
    std::unique_ptr<QBuffer> buffer_;
    std::unique_ptr<QAudioSink> sink_;
};

} // namespace

Pcm DecodeAudioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
    media::DecodedAudio decoded = media::DecodeAudio(
        data, [&](std::string_view text) { LogLine(std::string(text) + ": " + path); });
    return Pcm{decoded.rate, decoded.channels, std::move(decoded.samples)};
}

Pcm RipAudioSnippet(RipRunner& runner, double begin, double seconds) {
    ScratchFolder folder("quorin-listen");
    if (!folder.Valid()) return {};
    // Video too, so that the times are the video's as the dialog shows them; its file is unused.
    RipRequest request;
    request.begin = begin;
    request.length = seconds;
    request.outputName = "listen";
    request.outputFolder = folder.Path().string();
    const RipRunReport report = runner.Run(request);
    Pcm pcm;
    for (const RipReport::File& file : report.stages.files)
        if (file.kind == FileKind::kAudio) pcm = DecodeAudioFile(file.name);
    return pcm;
}

std::unique_ptr<AudioOut> MakeDeviceAudioOut() {
    return std::make_unique<DeviceAudioOut>();
}

} // namespace quorin
