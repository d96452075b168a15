#include "rip/obits.h"

#include "base/program_log.h"
#include "disk/pvr_file.h"
#include "platform/volume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace quorin {
namespace {

// Names an OutputNameClaim created and no OutputFile has opened yet.
std::mutex g_claimedMutex;
std::set<std::string> g_claimed;

bool TakeClaimed(const std::string& name) {
    std::lock_guard lock(g_claimedMutex);
    return g_claimed.erase(name) > 0;
}

bool Exists(const std::string& name) {
    struct stat st;
    return ::lstat(name.c_str(), &st) == 0;
}

void SplitName(const std::string& requested, std::string& base, std::string& ext) {
    std::size_t dot = requested.rfind('.');
    if (dot == std::string::npos) {
        base.clear();
        ext = requested;
    } else {
        base = requested.substr(0, dot);
        ext = requested.substr(dot);
    }
}

std::string Numbered(const std::string& base, const std::string& ext, unsigned long n) {
    char num[32];
    std::snprintf(num, sizeof num, "_%03lu", n);
    return base + num + ext;
}

// Creates the file under the rule's name. Numbered names are created exclusively, so a file that
// appears between the test and the creation is never truncated.
int CreateByRule(const std::string& requested, std::string& chosen, int& error,
                 OutputFile::Preview preview) {
    std::string base, ext;
    SplitName(requested, base, ext);
    if (base == "PRV" && preview != OutputFile::Preview::kNumbered) {
        chosen = preview == OutputFile::Preview::kRenameToM2v ? "PRV.m2v" : requested;
        int fd = ::open(chosen.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        error = fd < 0 ? errno : 0;
        return fd;
    }
    if (TakeClaimed(requested)) {
        chosen = requested;
        // Not opened with O_TRUNC: on ext4 a truncation to nothing makes the close write the
        // whole file out and wait for it. The claim made the file empty; only a file someone else
        // has written into since is cut.
        int fd = ::open(requested.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size != 0 && ::ftruncate(fd, 0) != 0) {
            ::close(fd);
            fd = -1;
        }
        if (fd >= 0 || errno != ENOENT) {
            error = fd < 0 ? errno : 0;
            return fd;
        }
        // Someone removed the claimed file: the rule finds another name.
    }
    std::string name = requested;
    // A bound on the counter keeps a directory that refuses every
    // name from looping for ever.
    for (unsigned long n = 0; n <= kMaxNumberedNames; ++n) {
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            chosen = name;
            error = 0;
            return fd;
        }
        if (errno != EEXIST) {
            error = errno;
            chosen = name;
            return -1;
        }
        name = Numbered(base, ext, n);
    }
    error = EEXIST;
    chosen = requested;
    return -1;
}

} // namespace

std::string ChooseOutputName(const std::string& requested) {
    std::string base, ext;
    SplitName(requested, base, ext);
    if (base == "PRV") return "PRV.m2v";
    if (!Exists(requested)) return requested;
    for (unsigned long n = 0; n < kMaxNumberedNames; ++n) {
        std::string name = Numbered(base, ext, n);
        if (!Exists(name)) return name;
    }
    return requested;
}

namespace {

// Creates every file of the set exclusively; on the first that exists, removes the ones it made.
// 1 when all were made, 0 when one existed, -1 (errno set) when one could not be created.
int CreateAll(const std::string& base, const std::vector<std::string>& suffixes,
              std::vector<std::string>& made) {
    made.clear();
    for (const std::string& suffix : suffixes) {
        const std::string name = base + suffix;
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            made.push_back(name);
            continue;
        }
        const int error = errno;
        for (const std::string& m : made)
            ::unlink(m.c_str());
        made.clear();
        errno = error;
        return error == EEXIST ? 0 : -1;
    }
    return 1;
}

} // namespace

OutputNameClaim::OutputNameClaim(const std::string& base, const std::vector<std::string>& suffixes)
    : base_(base) {
    if (base.empty() || std::filesystem::path(base).filename() == "PRV" || suffixes.empty()) return;
    std::vector<std::string> made;
    for (unsigned long n = 0; n <= kMaxNumberedNames; ++n) {
        const std::string candidate = n == 0 ? base : Numbered(base, "", n - 1);
        const int r = CreateAll(candidate, suffixes, made);
        if (r < 0) {
            LogLine("could not claim the output name " + candidate + ": " + SystemErrorText(errno));
            return;
        }
        if (r == 0) continue;
        base_ = candidate;
        claimed_ = made;
        std::lock_guard lock(g_claimedMutex);
        g_claimed.insert(made.begin(), made.end());
        return;
    }
    LogLine("no free output name for " + base);
}

void OutputNameClaim::Keep(const std::string& name) {
    kept_.push_back(name);
}

OutputNameClaim::~OutputNameClaim() {
    for (const std::string& name : claimed_) {
        TakeClaimed(name);
        if (std::find(kept_.begin(), kept_.end(), name) != kept_.end()) continue;
        struct stat st;
        if (::lstat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0)
            ::unlink(name.c_str());
    }
}

OutputFile::OutputFile(const std::string& requested, Preview preview) {
    fd_ = CreateByRule(requested, name_, error_, preview);
}

std::string OutputErrorText(int error) {
    return SystemErrorText(error);
}

OutputFile::~OutputFile() {
    Close();
}

bool OutputFile::Write(std::span<const std::uint8_t> data) {
    if (fd_ < 0) {
        if (!writeFailed_) error_ = error_ ? error_ : EBADF;
        writeFailed_ = true;
        return false;
    }
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (!writeFailed_) error_ = errno;
            writeFailed_ = true;
            return false;
        }
        if (n == 0) {
            if (!writeFailed_) error_ = ENOSPC;
            writeFailed_ = true;
            return false;
        }
        done += static_cast<std::size_t>(n);
        written_ += static_cast<std::uint64_t>(n);
    }
    return true;
}

std::int64_t OutputFile::Seek(std::int64_t offset, int whence) {
    const off_t at = fd_ < 0 ? -1 : ::lseek(fd_, static_cast<off_t>(offset), whence);
    if (at < 0) error_ = fd_ < 0 ? EBADF : errno;
    return at;
}

bool OutputFile::Truncate(std::uint64_t size) {
    if (fd_ < 0 || ::ftruncate(fd_, static_cast<off_t>(size)) != 0 ||
        ::lseek(fd_, static_cast<off_t>(size), SEEK_SET) < 0) {
        if (!writeFailed_) error_ = fd_ < 0 ? EBADF : errno;
        writeFailed_ = true;
        return false;
    }
    written_ = size;
    return true;
}

void OutputFile::Close() {
    if (fd_ >= 0) {
        if (::close(fd_) != 0 && !writeFailed_) {
            error_ = errno;
            writeFailed_ = true;
        }
    }
    fd_ = -1;
}

WriteBehind::WriteBehind(OutputFile& file, std::size_t depth)
    : file_(file), depth_(std::max<std::size_t>(depth, 1)) {}

WriteBehind::~WriteBehind() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
}

bool WriteBehind::Hand(std::vector<std::uint8_t>& buffer, std::size_t n) {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return queue_.size() < depth_; });
    try {
        if (!thread_.joinable()) thread_ = std::thread([this] { Loop(); });
        std::vector<std::uint8_t> next;
        if (!spares_.empty() && spares_.back().size() == buffer.size()) {
            next = std::move(spares_.back());
            spares_.pop_back();
        } else {
            next.resize(buffer.size());
        }
        queue_.push_back({std::move(next), n});
    } catch (...) {
        return false;
    }
    buffer.swap(queue_.back().bytes);
    const bool wake = queue_.size() == 1;
    lock.unlock();
    if (wake) work_.notify_one();
    return true;
}

bool WriteBehind::Wait() {
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return queue_.empty(); });
    return !file_.WriteFailed();
}

void WriteBehind::Loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return !queue_.empty() || stop_; });
        if (queue_.empty()) return;
        Pending& front = queue_.front();
        lock.unlock();
        if (!file_.Write(std::span<const std::uint8_t>(front.bytes.data(), front.n)))
            LogLine("COBits::Flush WriteFile failed!");
        lock.lock();
        spares_.push_back(std::move(front.bytes));
        queue_.pop_front();
        done_.notify_all();
    }
}

COBits::COBits(const std::string& requested, bool& ok) : m_File(requested) {
    LogLine("COBits::COBits");
    LogLine(requested);
    m_strFileName = m_File.Name();
    ok = false;
    if (m_File.IsOpen()) {
        LogLine("filehandle okay");
        m_lBytePos = 0;
        m_lBitsFree = 8;
        try {
            m_Buffer.assign(kBufferSize, 0);
        } catch (...) {
            m_Buffer.clear();
        }
        for (int i = 0; i < 32; ++i)
            m_Power[i] = 1u << i;
        if (m_Buffer.empty())
            LogLine("could net get memory for buffer");
        else
            ok = true;
    } else {
        LogLine("filehandle NOT okay!!!");
    }
}

COBits::COBits(StreamTarget& target, std::string name)
    : m_Target(&target), m_Buffer(kBufferSize, 0), m_strFileName(std::move(name)) {
    for (int i = 0; i < 32; ++i)
        m_Power[i] = 1u << i;
}

COBits::~COBits() {
    if (m_Target) Flush();
    if (m_File.IsOpen()) {
        Flush();
        m_File.Close();
    }
}

void COBits::WaitForFile() const {
    if (m_Behind) static_cast<void>(m_Behind->Wait());
}

int COBits::Error() const {
    if (m_Target) return m_Target->Error();
    WaitForFile();
    return m_File.Error();
}

bool COBits::WriteFailed() const {
    if (m_Target) return m_Target->Failed();
    WaitForFile();
    return m_File.WriteFailed();
}

void COBits::WriteBytePointer(const std::uint8_t* b) {
    if (m_lBytePos < 0 || m_lBytePos >= kBufferSize) m_lBytePos = 0;
    WriteByte(*b);
}

void COBits::WriteBits(std::uint32_t v, int n) {
    if (m_Buffer.empty()) return;
    while (n > 0) {
        if (m_lBitsFree == 8 && n % 8 == 0) {
            m_Buffer[static_cast<std::size_t>(m_lBytePos)] =
                static_cast<std::uint8_t>((v >> (n - 8)) & 0xFF);
            n -= 8;
            NextByte();
            continue;
        }
        // A byte begun here: earlier contents of the buffer are not cleared.
        if (m_lBitsFree == 8) m_Buffer[static_cast<std::size_t>(m_lBytePos)] = 0;
        if ((v & m_Power[n - 1]) != 0)
            m_Buffer[static_cast<std::size_t>(m_lBytePos)] = static_cast<std::uint8_t>(
                m_Buffer[static_cast<std::size_t>(m_lBytePos)] + m_Power[m_lBitsFree - 1]);
        --n;
        if (--m_lBitsFree == 0) NextByte();
    }
}

void COBits::WriteBytes(std::span<const std::uint8_t> bytes) {
    if (m_Buffer.empty() || bytes.empty()) return;
    if (m_lBitsFree != 8) {
        WriteByte(bytes.front());
        bytes = bytes.subspan(1);
    }
    while (!bytes.empty()) {
        std::size_t room = static_cast<std::size_t>(kBufferSize - m_lBytePos);
        std::size_t n = std::min(room, bytes.size());
        std::memcpy(m_Buffer.data() + m_lBytePos, bytes.data(), n);
        m_lBytePos += static_cast<std::int32_t>(n);
        bytes = bytes.subspan(n);
        if (m_lBytePos >= kBufferSize) HandOn();
    }
}

void COBits::HandOn() {
    if (m_Buffer.empty()) return;
    std::int32_t pending = m_lBytePos + (m_lBitsFree != 8 ? 1 : 0);
    if (pending > kBufferSize) pending = kBufferSize;
    if (pending <= 0) return;
    const auto n = static_cast<std::size_t>(pending);
    m_lBytePos = 0;
    m_lBitsFree = 8;
    bool written = false;
    if (m_Target) {
        written = m_Target->Take(m_Buffer, n);
    } else {
        m_u64Handed += n;
        if (m_Behind && m_Behind->Hand(m_Buffer, n)) return;
        written = m_File.Write(std::span<const std::uint8_t>(m_Buffer.data(), n));
    }
    if (!written) LogLine("COBits::Flush WriteFile failed!");
}

void COBits::WriteInBackground() {
    if (m_File.IsOpen() && !m_Behind) m_Behind = std::make_unique<WriteBehind>(m_File);
}

void COBits::Flush() {
    HandOn();
    WaitForFile();
}

bool COBits::TruncateTo(std::uint64_t size) {
    if (m_Buffer.empty() || size > Position()) return false;
    const std::uint64_t flushed = BytesFlushed();
    if (size < flushed) {
        m_lBytePos = 0;
        if (m_Target) return m_Target->Truncate(size);
        WaitForFile();
        m_u64Handed = size;
        return m_File.Truncate(size);
    }
    m_lBytePos = static_cast<std::int32_t>(size - flushed);
    return true;
}

bool COBits::ReadBack(std::uint64_t at, std::size_t n, std::vector<std::uint8_t>& bytes) {
    if (at + n > Position()) return false;
    bytes.resize(n);
    const std::uint64_t flushed = BytesFlushed();
    std::size_t fromFile =
        at < flushed ? static_cast<std::size_t>(std::min<std::uint64_t>(n, flushed - at)) : 0;
    if (fromFile > 0 && m_Target) {
        std::vector<std::uint8_t> held;
        if (!m_Target->ReadBack(at, fromFile, held)) return false;
        std::memcpy(bytes.data(), held.data(), fromFile);
    } else if (fromFile > 0) {
        WaitForFile();
        // The writer's descriptor is write-only: the file is opened again to read.
        const int fd = ::open(m_strFileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        std::size_t done = 0;
        while (done < fromFile) {
            const ssize_t got =
                ::pread(fd, bytes.data() + done, fromFile - done, static_cast<off_t>(at + done));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            done += static_cast<std::size_t>(got);
        }
        ::close(fd);
        if (done < fromFile) return false;
    }
    if (fromFile < n)
        std::memcpy(bytes.data() + fromFile, m_Buffer.data() + (at + fromFile - flushed),
                    n - fromFile);
    return true;
}

} // namespace quorin
