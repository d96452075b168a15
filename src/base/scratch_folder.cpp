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
    Leave();
    std::error_code ec;
    if (Valid()) fs::remove_all(path_, ec);
}

bool ScratchFolder::Enter() {
    if (!Valid()) return false;
    std::error_code ec;
    previous_ = fs::current_path(ec);
    fs::current_path(path_, ec);
    return !ec;
}

void ScratchFolder::Leave() {
    if (previous_.empty()) return;
    std::error_code ec;
    fs::current_path(previous_, ec);
    previous_.clear();
}

void ScratchFolder::Empty() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(path_, ec))
        fs::remove_all(entry.path(), ec);
}

} // namespace quorin
