// The module's table: the factories of this folder, as the module defines them.
#include "media/module_api.h"

extern "C" __attribute__((visibility("default"))) const quorin::media::ModuleApi*
QuorinMediaModule() {
    using namespace quorin::media;
    static const ModuleApi api{kModuleVersion,     sizeof(ModuleApi),    &MakePictureAnalyser,
                               &MakeAudioAnalyser, &OpenContainerWriter, &DecodeAudio,
                               &SpliceVideo,       &DecodeStreamPictures};
    return &api;
}
