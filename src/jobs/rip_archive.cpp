#include "jobs/rip_archive.h"

#include "base/format.h"
#include "base/program_log.h"
#include "disk/clip_record.h"
#include "platform/text.h"
#include "rip/mux.h"
#include "rip/rip_runner.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quorin {
namespace {

constexpr const char* kLedgerHeader = "quorin-ripped 1";

std::string Escape(const std::string& field) {
    std::string out;
    for (char c : field) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

std::string Unescape(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char c = field[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
    }
    return out;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    while (true) {
        const std::size_t tab = line.find('\t', at);
        fields.push_back(Unescape(line.substr(at, tab - at)));
        if (tab == std::string::npos) return fields;
        at = tab + 1;
    }
}

// The size of a regular file (not followed through a link); -1 when there is none.
std::int64_t RegularSize(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A folder that exists afterwards (0: made or there; else the error number).
int MakeFolder(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) == 0) return 0;
    if (errno != EEXIST) return errno;
    return IsDirectory(path) ? 0 : ENOTDIR;
}

// Moves a file to a name that must not exist yet: 0, EEXIST, or the error number. Where the
// filesystem cannot refuse atomically, a hard link does; without those, a test before the rename.
int MoveNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    if (::link(from.c_str(), to.c_str()) == 0) return ::unlink(from.c_str()) == 0 ? 0 : errno;
    if (errno == EEXIST) return EEXIST;
    struct stat st;
    if (::lstat(to.c_str(), &st) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

std::uint64_t Fnv1a(const std::string& text) {
    std::uint64_t h = 14695981039346656037ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    return h;
}

std::vector<std::string> RegularFilesIn(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.is_regular_file(ec) && !e.is_symlink(ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::string FileNameText(std::string name) {
    for (char& c : name)
        if (std::string_view("?\\*\"<>|/:").find(c) != std::string_view::npos ||
            static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    while (!name.empty() && (name.front() == ' ' || name.front() == '.'))
        name.erase(0, 1);
    return name;
}

bool HasDate(const ClipRecord& r) {
    return r.Year() > 0 && r.Month() >= 1 && r.Month() <= 12 && r.Day() >= 1 && r.Day() <= 31;
}

} // namespace

std::string RecordingKey(const ClipRecord& r) {
    std::string start = "-";
    if (HasDate(r))
        start = Format("%04d-%02d-%02dT%02d:%02d:%02d", r.Year(), r.Month(), r.Day(), r.Hour(),
                       r.Minute(), r.Second());
    return Format("%08x ", ClipChecksum(r)) + start + " " + Latin1ToUtf8(r.ClipName());
}

std::string OutputKind(const RipRequest& q) {
    if (q.backup) return "backup";
    std::string kind;
    if (q.mux.format != MuxFormat::kNone && !q.rawAudio && !q.rawVideo) {
        kind = MuxExtension(q.mux.format);
        if (q.mux.keepStreams) kind += "+streams";
    } else {
        kind = "es";
    }
    if (!q.audio) kind += "-audio";
    if (!q.video) kind += "-video";
    if (q.rawAudio) kind += "+rawaudio";
    if (q.rawVideo) kind += "+rawvideo";
    if (q.patchSequenceHeader) kind += "+patch";
    return kind;
}

std::string LibraryName(const ClipRecord& r, int clipNumber) {
    std::string title = FileNameText(Latin1ToUtf8(r.ClipName()));
    if (title.empty()) title = "Clip";
    if (!HasDate(r)) return title + Format(" (clip %d)", clipNumber);
    return title + Format(" (%04d-%02d-%02d %02d.%02d)", r.Year(), r.Month(), r.Day(), r.Hour(),
                          r.Minute());
}

RipArchive::RipArchive(std::string folder) : folder_(std::move(folder)) {
    const std::string path = folder_ + "/" + kLedger;
    if (RegularSize(path) < 0) return;
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line) || line != kLedgerHeader) {
        error_ = path + " is not a ledger of this program";
        return;
    }
    while (std::getline(in, line)) {
        const std::vector<std::string> f = SplitTabs(line);
        if (f.size() < 2 || f.size() % 2 != 0) continue;
        ArchiveEntry e{f[0], f[1], {}};
        for (std::size_t i = 2; i + 1 < f.size(); i += 2)
            e.files.push_back({f[i], std::strtoll(f[i + 1].c_str(), nullptr, 10)});
        entries_.push_back(std::move(e));
    }
}

std::optional<ArchiveEntry> RipArchive::Complete(const std::string& key,
                                                 const std::string& kind) const {
    for (const ArchiveEntry& e : entries_) {
        if (e.key != key || e.kind != kind || e.files.empty()) continue;
        bool whole = true;
        for (const ArchivedFile& f : e.files)
            whole = whole && RegularSize(folder_ + "/" + f.name) == f.size;
        if (whole) return e;
    }
    return std::nullopt;
}

std::optional<std::string> RipArchive::Stage(const std::string& key, const std::string& kind,
                                             std::string* error) const {
    const std::string root = folder_ + "/" + kStaging;
    const std::string dir =
        root + Format("/%016llx", static_cast<unsigned long long>(Fnv1a(key + "\n" + kind)));
    int rc = MakeFolder(root);
    if (rc == 0 && IsDirectory(dir)) {
        // Only this program writes there: what an interrupted run left is replaced.
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        if (ec) rc = ec.value();
    }
    if (rc == 0) rc = MakeFolder(dir);
    if (rc != 0) {
        *error = "could not create " + dir + ": " + std::strerror(rc);
        return std::nullopt;
    }
    return dir;
}

void RipArchive::DropIfEmpty(const std::string& staged) const {
    ::rmdir(staged.c_str());
    ::rmdir((folder_ + "/" + kStaging).c_str());
}

bool RipArchive::Settle(const std::string& key, const std::string& kind, const std::string& staged,
                        const std::string& subfolder, const std::string& base,
                        std::vector<std::string>* files, std::string* error) {
    const std::string target = subfolder.empty() ? folder_ : folder_ + "/" + subfolder;
    if (int rc = MakeFolder(target)) {
        *error = "could not create " + target + ": " + std::strerror(rc);
        return false;
    }
    // An earlier rip of the recording that is no longer whole: its remaining files go.
    const bool earlierWhole = Complete(key, kind).has_value();
    std::erase_if(entries_, [&](const ArchiveEntry& e) {
        if (e.key != key || e.kind != kind || earlierWhole) return false;
        for (const ArchivedFile& f : e.files)
            if (RegularSize(folder_ + "/" + f.name) == f.size)
                ::unlink((folder_ + "/" + f.name).c_str());
        return true;
    });
    const std::vector<std::string> names = RegularFilesIn(staged);
    const std::string prefix = subfolder.empty() ? std::string() : subfolder + "/";
    for (unsigned long n = 0; n <= 999; ++n) {
        const std::string chosen = n == 0 ? base : base + Format("_%03lu", n - 1);
        std::vector<std::pair<std::string, std::string>> moved; // staged name, placed name
        int rc = 0;
        for (const std::string& name : names) {
            const std::string placed =
                name.starts_with(base) ? chosen + name.substr(base.size()) : name;
            rc = MoveNoReplace(staged + "/" + name, target + "/" + placed);
            if (rc != 0) break;
            moved.emplace_back(name, placed);
        }
        if (rc != 0) {
            for (const auto& [from, to] : moved)
                ::rename((target + "/" + to).c_str(), (staged + "/" + from).c_str());
            if (rc == EEXIST) continue;
            *error = "could not move the finished files into " + target + ": " + std::strerror(rc);
            return false;
        }
        ArchiveEntry entry{key, kind, {}};
        for (const auto& [from, to] : moved) {
            entry.files.push_back({prefix + to, RegularSize(target + "/" + to)});
            for (std::string& f : *files)
                if (f == staged + "/" + from) f = prefix + to;
        }
        entries_.push_back(std::move(entry));
        DropIfEmpty(staged);
        return Save(error);
    }
    *error = "no free name for " + base + " in " + target;
    return false;
}

bool RipArchive::Save(std::string* error) const {
    const std::string path = folder_ + "/" + kLedger;
    const std::string fresh = path + ".new";
    {
        std::ofstream out(fresh, std::ios::trunc);
        out << kLedgerHeader << '\n';
        for (const ArchiveEntry& e : entries_) {
            out << Escape(e.key) << '\t' << Escape(e.kind);
            for (const ArchivedFile& f : e.files)
                out << '\t' << Escape(f.name) << '\t' << f.size;
            out << '\n';
        }
        out.flush();
        if (!out) {
            *error = "could not write " + fresh + ": " + std::strerror(errno);
            ::unlink(fresh.c_str());
            return false;
        }
    }
    if (::rename(fresh.c_str(), path.c_str()) != 0) {
        *error = "could not write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace quorin
