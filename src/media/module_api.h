// What the media module hands the loader: its factories in one table. The module is built from
// the same sources and compiler as the programs; the table's layout is checked by its size and
// version.
#pragma once

#include "media/audio_decode.h"
#include "media/container_writer.h"
#include "media/picture_codec.h"
#include "media/signal_analysers.h"
#include "media/video_splice.h"

#include <cstddef>
#include <memory>
#include <string>

namespace quorin::media {

inline constexpr int kModuleVersion = 2;

struct ModuleApi {
    int version = kModuleVersion;
    std::size_t size = sizeof(ModuleApi);
    std::unique_ptr<PictureAnalyser> (*makePictureAnalyser)(int, const LogSink&) = nullptr;
    std::unique_ptr<AudioAnalyser> (*makeAudioAnalyser)(AudioCodec, const LogSink&) = nullptr;
    std::unique_ptr<ContainerWriter> (*openContainerWriter)(const ContainerJob&, const LogSink&,
                                                            std::string&) = nullptr;
    DecodedAudio (*decodeAudio)(std::span<const std::uint8_t>, const LogSink&) = nullptr;
    SpliceResult (*spliceVideo)(const std::string&, const std::string&, std::int64_t,
                                std::span<const TimeRange>, const SpliceOptions&) = nullptr;
    StreamPictures (*decodeStreamPictures)(const std::string&, const LogFn&) = nullptr;
};

} // namespace quorin::media

// The module's one exported symbol.
#define QUORIN_MEDIA_ENTRY "QuorinMediaModule"
extern "C" const quorin::media::ModuleApi* QuorinMediaModule();
