// Playable files: elementary streams copied into one container (Matroska, MPEG program stream or
// MPEG transport stream), nothing re-encoded, the tracks placed by the 90 kHz time stamps their
// first picture or frame had.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorin::media {

using LogSink = std::function<void(std::string_view)>;

enum class ContainerFormat { kMatroska, kProgramStream, kTransportStream };

struct ContainerTrack {
    std::string file;           // the elementary stream; empty: no such track
    std::int64_t startPts = -1; // 90 kHz: the first picture shown / the first audio frame
};

struct ContainerTags {
    std::string title;       // UTF-8
    std::string station;     // UTF-8
    std::string recorded;    // "YYYY-MM-DD hh:mm:ss", local time of the receiver; empty: unknown
    std::string application; // the writing application and its version
};

// A chapter, in 90 kHz ticks from the video track's first picture.
struct ContainerChapter {
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::string title;
};

// The video elementary stream while a rip writes it, read on the writer's thread: its head twice
// (to learn the stream's parameters, then for the copy), the rest once, front to back.
class StreamFeed {
public:
    virtual ~StreamFeed() = default;
    // Up to bytes.size() bytes from position at, waiting for them: the count, 0 at the stream's
    // end, -1 when it broke off (Why() says why).
    virtual std::int64_t Read(std::int64_t at, std::span<std::uint8_t> bytes) = 0;
    // The bytes before at are not read again.
    virtual void Release(std::int64_t at) = 0;
    // What the rip knows once its first picture is written (waiting for it): the track's start
    // and the chapters. False when the stream broke off first.
    virtual bool Start(std::int64_t& startPts, std::vector<ContainerChapter>& chapters) = 0;
    virtual std::string Why() const = 0;
    // The writer failed: the rip's writes no longer wait and fail.
    virtual void Fail() = 0;
};

struct ContainerJob {
    ContainerFormat format = ContainerFormat::kMatroska;
    // When set, the video track comes from the feed (video.file only names it in messages), and
    // its start and the chapters are the feed's.
    StreamFeed* videoFeed = nullptr;
    ContainerTrack video;
    ContainerTrack audio;
    ContainerTags tags;
    std::vector<ContainerChapter> chapters; // Matroska only: the other two have none
};

// Where the container's bytes go: the caller's file.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    // All bytes or false; Error() then says why.
    virtual bool Write(std::span<const std::uint8_t> bytes) = 0;
    // lseek's meaning of whence; the new position, or -1 with Error() set.
    virtual std::int64_t Seek(std::int64_t offset, int whence) = 0;
    // errno of the last failure.
    virtual int Error() const = 0;
};

enum class ContainerOutcome { kDone, kCancelled, kFailed };

struct ContainerProgress {
    std::function<void(std::int64_t read, std::int64_t total)> update;
    const std::atomic<bool>* cancel = nullptr;
};

class ContainerWriter {
public:
    virtual ~ContainerWriter() = default;
    // The bytes of the inputs together (for the progress).
    virtual std::int64_t InputBytes() const = 0;
    // Writes the whole container into out (its file name, for messages, is name) and flushes it.
    // The track that starts first starts at 0, the other is delayed by the difference of the
    // start time stamps. why says why not.
    virtual ContainerOutcome Write(ByteSink& out, const std::string& name,
                                   const ContainerProgress& progress, std::string& why) = 0;
    // 90 kHz: where the video track's first picture lies in the container (after Write).
    virtual std::int64_t VideoStart() const = 0;
};

// Opens the inputs (they are read by the time Write returns); null with why when that fails.
std::unique_ptr<ContainerWriter> OpenContainerWriter(const ContainerJob& job, const LogSink& log,
                                                     std::string& why);

} // namespace quorin::media
