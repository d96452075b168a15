// A fresh folder of this process under the temporary directory, removed with everything in it.
// The engine writes its outputs into the current directory, so a caller that needs a private
// place for them (preview files, tests) enters the folder for as long as it needs it.
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

    // Makes the folder the current directory until Leave or the object's end.
    bool Enter();
    // Goes back to the directory that was current at Enter.
    void Leave();
    // Removes everything inside the folder, keeping the folder.
    void Empty();

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

} // namespace quorin
