#include "base/scratch_folder.h"

#include <cstdlib>
#include <unistd.h>

namespace quorin {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder(const std::string& prefix) {
    std::error_code ec;
    fs::path root = fs::temp_directory_path(ec);
    if (ec) root = "/tmp";
    std::string pattern = (root / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    if (Valid()) fs::remove_all(path_, ec);
}

void ScratchFolder::Empty() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path_, ec))
        fs::remove_all(entry.path(), ec);
}

} // namespace quorin
