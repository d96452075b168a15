// FFmpeg's libraries are loaded with the media module, on the first call of one of this
// folder's factories: commands that never decode or mux do not load them.
#pragma once

#include <string>

namespace quorin::media {

// Loads the module if that was not tried yet; false with the reason (the loader's text) when
// it cannot be loaded.
bool ModuleAvailable(std::string* why = nullptr);

// Where the module is looked for: $QUORIN_MEDIA_MODULE, else next to the build's programs when
// the program runs from the build tree, else the package's private library folder.
std::string ModulePath();

} // namespace quorin::media
