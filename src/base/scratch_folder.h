// A fresh folder of this process under the temporary directory, removed with everything in it:
// a private place for files nobody keeps (preview files, listening, tests).
#pragma once

#include <filesystem>
#include <string>

namespace quorin {

class ScratchFolder {
public:
    // The folder is named "<prefix>-XXXXXX" under $TMPDIR (or the system's temporary directory).
    explicit ScratchFolder(const std::string& prefix = "quorin");
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool Valid() const { return !path_.empty(); }
    const std::filesystem::path& Path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Removes everything inside the folder, keeping the folder.
    void Empty();

private:
    std::filesystem::path path_;
};

} // namespace quorin
