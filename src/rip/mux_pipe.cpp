#include "rip/mux_pipe.h"

#include "base/format.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace quorin {

MuxPipe::MuxPipe(StartProbe probe, std::size_t holdBack, std::size_t capacity)
    : probe_(std::move(probe)), holdBack_(holdBack), capacity_(capacity) {}

bool MuxPipe::Write(std::span<const std::uint8_t> bytes) {
    // The copy is made outside the lock, so that the reader can copy out at the same time.
    std::vector<std::uint8_t> chunk = SpareChunk();
    chunk.assign(bytes.begin(), bytes.end());
    return Append(std::move(chunk));
}

bool MuxPipe::Take(std::vector<std::uint8_t>& buffer, std::size_t n) {
    std::vector<std::uint8_t> next = SpareChunk();
    next.resize(buffer.size()); // a chunk the reader is done with had the same size
    std::vector<std::uint8_t> chunk = std::exchange(buffer, std::move(next));
    chunk.resize(n);
    return Append(std::move(chunk));
}

std::vector<std::uint8_t> MuxPipe::SpareChunk() {
    // Chunks the reader is done with are used again: fresh pages cost more than the copy.
    std::lock_guard lock(mutex_);
    if (spare_.empty()) return {};
    std::vector<std::uint8_t> chunk = std::move(spare_.back());
    spare_.pop_back();
    return chunk;
}

bool MuxPipe::Append(std::vector<std::uint8_t> chunk) {
    // The probe reads the stage's state: on this thread, outside the lock.
    Opening start;
    const bool known = !started_ && probe_ && probe_(start);
    std::unique_lock lock(mutex_);
    if (Broken()) return false;
    if (known) {
        start_ = std::move(start);
        started_ = true;
    }
    if (!chunk.empty()) {
        const auto n = static_cast<std::int64_t>(chunk.size());
        chunks_.push_back({written_, std::move(chunk)});
        written_ += n;
        peak_ = std::max(peak_, static_cast<std::size_t>(written_ - floor_));
    }
    HandOn();
    changed_.notify_all();
    // While the reader waits for bytes (its look at the stream's head, or the start still
    // unknown), the stream may grow beyond its capacity, up to a limit.
    Await(lock, true, [this] {
        const auto held = static_cast<std::size_t>(written_ - floor_);
        return held <= capacity_ || (readerReady_ && !readerReady_() && held <= kHeadLimit);
    });
    return !Broken();
}

std::uint64_t MuxPipe::Written() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint64_t>(written_);
}

bool MuxPipe::Truncate(std::uint64_t size) {
    std::lock_guard lock(mutex_);
    const auto to = static_cast<std::int64_t>(size);
    if (to > written_) return false;
    if (to < handed_) {
        Break(Format("could not mux in one pass: the video stage cut back %lld bytes, more than "
                     "the %zu it holds back",
                     static_cast<long long>(written_ - to), holdBack_));
        return false;
    }
    while (!chunks_.empty() && chunks_.back().at >= to)
        chunks_.pop_back();
    if (!chunks_.empty())
        chunks_.back().bytes.resize(std::min<std::size_t>(
            chunks_.back().bytes.size(), static_cast<std::size_t>(to - chunks_.back().at)));
    written_ = to;
    return true;
}

bool MuxPipe::ReadBack(std::uint64_t at, std::size_t n, std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(mutex_);
    const auto from = static_cast<std::int64_t>(at);
    if (from < floor_ || from + static_cast<std::int64_t>(n) > written_) return false;
    bytes.resize(n);
    std::size_t done = 0;
    for (const Chunk& c : chunks_) {
        const std::int64_t end = c.at + static_cast<std::int64_t>(c.bytes.size());
        const std::int64_t p = from + static_cast<std::int64_t>(done);
        if (done == n) break;
        if (end <= p) continue;
        const std::size_t k = std::min(n - done, static_cast<std::size_t>(end - p));
        std::memcpy(bytes.data() + done, c.bytes.data() + (p - c.at), k);
        done += k;
    }
    return done == n;
}

bool MuxPipe::Failed() const {
    std::lock_guard lock(mutex_);
    return Broken();
}

int MuxPipe::Error() const {
    return EPIPE;
}

void MuxPipe::Close() {
    Opening start;
    const bool probed = !started_ && probe_;
    if (probed) probe_(start);
    std::lock_guard lock(mutex_);
    if (probed && !started_) start_ = std::move(start);
    started_ = true;
    closed_ = true;
    handed_ = written_;
    changed_.notify_all();
}

void MuxPipe::Abort(const std::string& why) {
    std::lock_guard lock(mutex_);
    Break(why);
}

bool MuxPipe::ReaderFailed() const {
    std::lock_guard lock(mutex_);
    return readerFailed_;
}

std::int64_t MuxPipe::Read(std::int64_t at, std::span<std::uint8_t> bytes) {
    std::unique_lock lock(mutex_);
    Await(lock, false, [this, at] { return at < handed_ || closed_; });
    if (Broken() || at < floor_) return -1;
    if (at >= handed_) return 0;
    // Bytes below handed_ stay in place until this side releases them (cuts and new chunks touch
    // only what lies above): they are copied outside the lock.
    std::vector<std::span<const std::uint8_t>> pieces;
    std::size_t done = 0;
    const std::size_t n = std::min(bytes.size(), static_cast<std::size_t>(handed_ - at));
    auto c = std::ranges::upper_bound(chunks_, at, {}, &Chunk::at);
    for (--c; done < n; ++c) {
        const auto from = static_cast<std::size_t>(at + static_cast<std::int64_t>(done) - c->at);
        const std::size_t k = std::min(n - done, c->bytes.size() - from);
        pieces.emplace_back(c->bytes.data() + from, k);
        done += k;
    }
    lock.unlock();
    std::uint8_t* to = bytes.data();
    for (const std::span<const std::uint8_t> piece : pieces)
        to = std::copy(piece.begin(), piece.end(), to);
    return static_cast<std::int64_t>(done);
}

void MuxPipe::Release(std::int64_t at) {
    std::lock_guard lock(mutex_);
    while (!chunks_.empty() &&
           chunks_.front().at + static_cast<std::int64_t>(chunks_.front().bytes.size()) <= at) {
        if (spare_.size() < kSpares) spare_.push_back(std::move(chunks_.front().bytes));
        chunks_.pop_front();
    }
    floor_ = chunks_.empty() ? std::min(at, written_) : chunks_.front().at;
    changed_.notify_all();
}

bool MuxPipe::Start(std::int64_t& startPts, std::vector<media::ContainerChapter>& chapters) {
    std::unique_lock lock(mutex_);
    Await(lock, false, [this] { return started_; });
    if (Broken()) return false;
    startPts = start_.pts;
    chapters = start_.chapters;
    return true;
}

std::string MuxPipe::Why() const {
    std::lock_guard lock(mutex_);
    return why_.empty() && readerFailed_ ? "the container writer stopped" : why_;
}

void MuxPipe::Fail() {
    std::lock_guard lock(mutex_);
    readerFailed_ = true;
    changed_.notify_all();
}

std::size_t MuxPipe::Peak() const {
    std::lock_guard lock(mutex_);
    return peak_;
}

void MuxPipe::HandOn() {
    if (!started_) return;
    handed_ = std::max(handed_, written_ - static_cast<std::int64_t>(holdBack_));
}

void MuxPipe::Break(const std::string& why) {
    if (why_.empty()) why_ = why;
    changed_.notify_all();
}

void MuxPipe::Await(std::unique_lock<std::mutex>& lock, bool writer,
                    const std::function<bool()>& ready) {
    std::function<bool()>& mine = writer ? writerReady_ : readerReady_;
    const std::function<bool()>& other = writer ? readerReady_ : writerReady_;
    mine = ready;
    while (!Broken() && !ready()) {
        if (other && !other()) {
            Break(started_ ? "could not mux in one pass: the container needs more of the video "
                             "stream at once than is held for it"
                           : "could not mux in one pass: the video stream's first time stamp "
                             "did not come within the bytes held for it");
            break;
        }
        // The other side may wait for this one to wait.
        changed_.notify_all();
        changed_.wait(lock);
    }
    mine = nullptr;
}

} // namespace quorin
