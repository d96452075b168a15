// The factories of the media headers, forwarded to the module loaded with dlopen.
#include "media/loader/media_loader.h"

#include "media/module_api.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace quorin::media {
namespace {

struct Module {
    const ModuleApi* api = nullptr;
    std::string error;
};

Module Open() {
    Module m;
    const std::string path = ModulePath();
    // Never closed: the objects it made may live until the process ends.
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* e = ::dlerror();
        m.error = e ? e : path + ": cannot be loaded";
        return m;
    }
    using Entry = const ModuleApi* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(handle, QUORIN_MEDIA_ENTRY));
    const ModuleApi* api = entry ? entry() : nullptr;
    if (!api || api->version != kModuleVersion || api->size != sizeof(ModuleApi)) {
        m.error = path + ": not the module of this version";
        return m;
    }
    m.api = api;
    return m;
}

const Module& Loaded() {
    static const Module module = Open();
    return module;
}

std::string Needs(std::string_view what) {
    return std::string(what) + " needs FFmpeg's libraries: " + Loaded().error;
}

const ModuleApi* Api(std::string_view what, const LogSink& log) {
    if (Loaded().api) return Loaded().api;
    if (log) log(Needs(what));
    return nullptr;
}

} // namespace

std::string ModulePath() {
    if (const char* path = std::getenv("QUORIN_MEDIA_MODULE"); path && *path) return path;
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec && exe.string().starts_with(QUORIN_BUILD_TREE "/"))
        return QUORIN_MEDIA_BUILD_DIR "/" QUORIN_MEDIA_FILE;
    const std::filesystem::path dir = ec ? std::filesystem::path("/usr/bin") : exe.parent_path();
    return (dir.parent_path() / QUORIN_MEDIA_LIBDIR / QUORIN_MEDIA_FILE).string();
}

bool ModuleAvailable(std::string* why) {
    if (!Loaded().api && why) *why = Loaded().error;
    return Loaded().api != nullptr;
}

std::unique_ptr<PictureAnalyser> MakePictureAnalyser(int reduction, const LogSink& log) {
    const ModuleApi* api = Api("decoding pictures", log);
    return api ? api->makePictureAnalyser(reduction, log) : nullptr;
}

std::unique_ptr<AudioAnalyser> MakeAudioAnalyser(AudioCodec codec, const LogSink& log) {
    const ModuleApi* api = Api("decoding audio", log);
    return api ? api->makeAudioAnalyser(codec, log) : nullptr;
}

std::unique_ptr<ContainerWriter> OpenContainerWriter(const ContainerJob& job, const LogSink& log,
                                                     std::string& why) {
    if (!Loaded().api) {
        why = Needs("muxing");
        return nullptr;
    }
    return Loaded().api->openContainerWriter(job, log, why);
}

DecodedAudio DecodeAudio(std::span<const std::uint8_t> stream, const LogSink& log) {
    const ModuleApi* api = Api("decoding audio", log);
    return api ? api->decodeAudio(stream, log) : DecodedAudio{};
}

SpliceResult SpliceVideo(const std::string& input, const std::string& output,
                         std::int64_t firstTime, std::span<const TimeRange> ranges,
                         const SpliceOptions& options) {
    if (!Loaded().api) {
        SpliceResult failed;
        failed.error = Needs("joining ranges");
        return failed;
    }
    return Loaded().api->spliceVideo(input, output, firstTime, ranges, options);
}

StreamPictures DecodeStreamPictures(const std::string& path, const LogFn& log) {
    if (!Loaded().api) {
        StreamPictures failed;
        failed.error = Needs("decoding single pictures");
        return failed;
    }
    return Loaded().api->decodeStreamPictures(path, log);
}

} // namespace quorin::media
