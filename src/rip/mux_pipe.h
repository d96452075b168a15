// The video stream handed from the video stage to the container writer in memory: the stage writes
// into it on its thread, the writer reads it on its own, and neither holds more than a bounded
// window of it.
#pragma once

#include "media/container_writer.h"
#include "rip/obits.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace quorin {

class MuxPipe : public StreamTarget, public media::StreamFeed {
public:
    // What the reader waits for before the first byte: the track's start and the chapters.
    struct Opening {
        std::int64_t pts = -1;
        std::vector<media::ContainerChapter> chapters;
    };
    // Asked on the writing thread before bytes are handed on; true once the start is known.
    using StartProbe = std::function<bool(Opening&)>;

    // Bytes stay cuttable until holdBack newer ones follow; the writer waits while more than
    // capacity are in memory (up to kHeadLimit while the reader waits for more).
    static constexpr std::size_t kHeadLimit = 32 << 20;
    MuxPipe(StartProbe probe, std::size_t holdBack, std::size_t capacity);

    // The writing side (the video stage's thread).
    bool Write(std::span<const std::uint8_t> bytes) override;
    bool Take(std::vector<std::uint8_t>& buffer, std::size_t n) override;
    std::uint64_t Written() const override;
    bool Truncate(std::uint64_t size) override;
    bool ReadBack(std::uint64_t at, std::size_t n, std::vector<std::uint8_t>& bytes) override;
    bool Failed() const override;
    int Error() const override;
    // Every byte written is handed on; the reader meets the end after them.
    void Close();
    // The stream breaks off: the reader fails with why.
    void Abort(const std::string& why);
    // Whether the reader failed (its own account says why); else the stream's.
    bool ReaderFailed() const;

    // The reading side (the container writer's thread).
    std::int64_t Read(std::int64_t at, std::span<std::uint8_t> bytes) override;
    void Release(std::int64_t at) override;
    bool Start(std::int64_t& startPts, std::vector<media::ContainerChapter>& chapters) override;
    std::string Why() const override;
    void Fail() override;

    // The most bytes held at once.
    std::size_t Peak() const;

private:
    bool Broken() const { return !why_.empty() || readerFailed_; }
    std::vector<std::uint8_t> SpareChunk();
    // A chunk of new bytes (it may be empty) to the stream; the writing side of Write and Take.
    bool Append(std::vector<std::uint8_t> chunk);
    void HandOn();
    void Break(const std::string& why);
    // Each side waits until ready() holds or the stream broke; when the other side waits too and
    // neither can go on, the stream breaks.
    void Await(std::unique_lock<std::mutex>& lock, bool writer, const std::function<bool()>& ready);

    const StartProbe probe_;
    const std::size_t holdBack_;
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    struct Chunk {
        std::int64_t at = 0;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Chunk> chunks_; // the bytes from floor_ on
    static constexpr std::size_t kSpares = 4;
    std::vector<std::vector<std::uint8_t>> spare_;
    std::int64_t floor_ = 0;
    std::int64_t written_ = 0;
    std::int64_t handed_ = 0; // readable up to here
    bool started_ = false;
    bool closed_ = false;
    bool readerFailed_ = false;
    std::string why_;
    Opening start_;
    std::function<bool()> writerReady_, readerReady_;
    std::size_t peak_ = 0;
};

} // namespace quorin
