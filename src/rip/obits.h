// The output writer of the extraction engine and the file-name rule that every output
// file of the engine follows (elementary streams, raw rips, backups).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace quorin {

// The name an output file gets for a requested name: the requested name when no file of that name
// exists, else base_000.ext, base_001.ext, ... (base and ext split at the last "."), the first one
// free. The base "PRV" always gives "PRV.m2v" (the preview file, overwritten). The search ends
// after kMaxNumberedNames names (the requested name is returned then).
inline constexpr unsigned long kMaxNumberedNames = 100'000;
std::string ChooseOutputName(const std::string& requested);

// One free base name for all files of a rip: base, base_000, base_001, ... the first under which
// every suffix (".m2v", " delay.log", ...) can be created exclusively. The files are created
// empty while the claim lives, so a second rip into the same folder, in this process or another,
// never takes the same number; OutputFile opens a claimed name as it is. Files still empty when
// the claim ends (a stage that did not run) are removed, unless kept.
class OutputNameClaim {
public:
    // Claims nothing when base is empty or "PRV" or when no file can be created (Base() then
    // gives base, and the stages number their files one by one as before).
    OutputNameClaim(const std::string& base, const std::vector<std::string>& suffixes);
    ~OutputNameClaim();
    OutputNameClaim(const OutputNameClaim&) = delete;
    OutputNameClaim& operator=(const OutputNameClaim&) = delete;

    const std::string& Base() const { return base_; }
    // A file that stays even when empty (a stage wrote it, with nothing in it).
    void Keep(const std::string& name);

private:
    std::string base_;
    std::vector<std::string> claimed_;
    std::vector<std::string> kept_;
};

// The system's reason for an error number, for "could not create" messages.
std::string OutputErrorText(int error);

// A file created by the naming rule above: never overwrites an existing file (except "PRV.m2v").
class OutputFile {
public:
    // How the base "PRV" is treated: the writer of extracted streams makes it "PRV.m2v" (the
    // preview file); raw rips and backups overwrite the requested name itself.
    // kNumbered: "PRV" is a name like any other (backups never overwrite).
    enum class Preview { kRenameToM2v, kOverwrite, kNumbered };

    OutputFile() = default;
    // Chooses the name and creates the file; IsOpen() tells whether that worked, Error() why not.
    explicit OutputFile(const std::string& requested, Preview preview = Preview::kRenameToM2v);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    const std::string& Name() const { return name_; }
    // errno of the failed creation or of the first failed write (0 when none).
    int Error() const { return error_; }
    bool WriteFailed() const { return writeFailed_; }
    // Writes all bytes (retrying short writes); false and WriteFailed() on an error.
    [[nodiscard]] bool Write(std::span<const std::uint8_t> data);
    std::uint64_t BytesWritten() const { return written_; }
    // Moves the write position (lseek); the new position, or -1 with Error() set.
    std::int64_t Seek(std::int64_t offset, int whence);
    // Cuts the file to its first `size` bytes and writes on from there.
    bool Truncate(std::uint64_t size);
    void Close();

private:
    int fd_ = -1;
    std::string name_;
    int error_ = 0;
    bool writeFailed_ = false;
    std::uint64_t written_ = 0;
};

// The writes of full buffers on a thread of its own, so that filling the next buffers and writing
// overlap; up to `depth` buffers wait or are being written. The thread starts with the first
// buffer and owns the file while writes are in flight: Wait() before anything else touches it.
class WriteBehind {
public:
    explicit WriteBehind(OutputFile& file, std::size_t depth = 2);
    ~WriteBehind();
    WriteBehind(const WriteBehind&) = delete;
    WriteBehind& operator=(const WriteBehind&) = delete;

    // Hands the first n bytes of buffer to the thread once fewer than `depth` writes are in
    // flight; buffer comes back as another one of the same size, its old bytes not cleared. False
    // when no thread or memory could be had: nothing was handed on.
    [[nodiscard]] bool Hand(std::vector<std::uint8_t>& buffer, std::size_t n);
    // Until no write is in flight; false when a write failed (the file says why).
    bool Wait();

private:
    struct Pending {
        std::vector<std::uint8_t> bytes;
        std::size_t n = 0;
    };
    void Loop();

    OutputFile& file_;
    const std::size_t depth_;
    std::deque<Pending> queue_; // oldest first; the front one is being written
    std::vector<std::vector<std::uint8_t>> spares_;
    bool stop_ = false;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::thread thread_;
};

// Where a COBits writes instead of a file: a stream another thread reads as it comes. The last
// bytes are held back, so that a cut or a read back of them still works.
class StreamTarget {
public:
    virtual ~StreamTarget() = default;
    // All bytes or false (the stream broke off).
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // The first n bytes of a full buffer, handed over with the buffer itself where the stream can
    // keep it; buffer comes back as one of the same size to fill next.
    virtual bool Take(std::vector<std::uint8_t>& buffer, std::size_t n) {
        return Write(std::span<const std::uint8_t>(buffer.data(), n));
    }
    virtual std::uint64_t Written() const = 0;
    // The stream cut back to its first `size` bytes; false (the stream broken) when some of them
    // were handed on.
    virtual bool Truncate(std::uint64_t size) = 0;
    // n bytes from `at`, false when they are no longer held.
    virtual bool ReadBack(std::uint64_t at, std::size_t n, std::vector<std::uint8_t>& bytes) = 0;
    virtual bool Failed() const = 0;
    virtual int Error() const = 0;
};

// Buffered writer of bytes and bit fields (most significant bit first) into a 1 MiB buffer that
// goes to the file when it is full, on Flush and on destruction.
class COBits {
public:
    static constexpr std::int32_t kBufferSize = 1'048'576;

    COBits(const std::string& requested, bool& ok);
    // Writes into the stream; name is what messages call it.
    COBits(StreamTarget& target, std::string name);
    ~COBits();
    COBits(const COBits&) = delete;
    COBits& operator=(const COBits&) = delete;

    void WriteByte(std::uint8_t b) {
        if (m_Buffer.empty()) return; // no buffer: writes are discarded
        if (m_lBitsFree != 8) NextByte();
        m_Buffer[static_cast<std::size_t>(m_lBytePos)] = b;
        NextByte();
    }
    // The pointer entry point: first resets an out-of-range byte position.
    void WriteBytePointer(const std::uint8_t* b);
    void WriteBits(std::uint32_t value, int n);
    // The same bytes as WriteByte one after another, copied in blocks.
    void WriteBytes(std::span<const std::uint8_t> bytes);
    // Everything written so far in the file.
    void Flush();
    // From now on a full buffer goes to the file on a thread of its own while the next one fills
    // (for the bulk streams of a rip). Flush still returns with everything in the file.
    void WriteInBackground();
    const std::string& GetFileName() const { return m_strFileName; }

    bool IsOpen() const { return m_Target || m_File.IsOpen(); }
    // errno of the failed creation or write (a write in flight is waited for).
    int Error() const;
    bool WriteFailed() const;
    // Bytes handed to the file so far (pending bytes not counted): written, or on their way when
    // writing in the background.
    std::uint64_t BytesFlushed() const {
        if (m_Target) return m_Target->Written();
        return m_Behind ? m_u64Handed : m_File.BytesWritten();
    }
    // For byte writes only: the bytes written so far, pending ones included; the file cut back to
    // the first `size` of them; and `n` of them from `at` read back (false when they cannot be).
    std::uint64_t Position() const {
        return BytesFlushed() + static_cast<std::uint64_t>(m_lBytePos);
    }
    bool TruncateTo(std::uint64_t size);
    bool ReadBack(std::uint64_t at, std::size_t n, std::vector<std::uint8_t>& bytes);

private:
    void NextByte() {
        m_lBitsFree = 8;
        if (++m_lBytePos >= kBufferSize) HandOn();
    }
    // The full buffer to the file (in the background) or the stream.
    void HandOn();
    void WaitForFile() const;

    OutputFile m_File;
    std::unique_ptr<WriteBehind> m_Behind; // file only: the write in flight
    std::uint64_t m_u64Handed = 0;
    StreamTarget* m_Target = nullptr;
    std::vector<std::uint8_t> m_Buffer;
    std::int32_t m_lBytePos = 0;
    std::int32_t m_lBitsFree = 8;
    std::uint32_t m_Power[32] = {};
    std::string m_strFileName;
};

} // namespace quorin
