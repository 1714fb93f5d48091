#include "sim/video.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <map>
#include <mutex>

#include "sim/jpeg.h"

namespace sim {
namespace {

constexpr std::size_t kMaxCachedSizes = 16;

struct CacheState {
    std::mutex lock;
    std::map<std::pair<int, int>, std::shared_future<std::shared_ptr<const FrameSet>>> sizes;
};

CacheState& cache() {
    static CacheState state;
    return state;
}

std::shared_ptr<const FrameSet> encodeFrames(int width, int height) {
    auto frames = std::make_shared<FrameSet>();
    for (int i = 0; i < kFramesPerSize; ++i) {
        std::vector<std::uint8_t> rgb =
            testPattern(width, height, static_cast<std::uint32_t>(0x100 + i * 7));
        std::vector<std::uint8_t> jpeg = encodeJpeg(rgb.data(), width, height, 70);
        if (!jpeg.empty()) frames->push_back(std::move(jpeg));
    }
    return frames;
}

std::shared_future<std::shared_ptr<const FrameSet>> futureFor(int width, int height) {
    CacheState& c = cache();
    std::lock_guard<std::mutex> g(c.lock);
    auto key = std::make_pair(width, height);
    auto it = c.sizes.find(key);
    if (it == c.sizes.end()) {
        // A host may program many sizes: past a few, the finished entries are
        // dropped (a camera streaming one keeps its own reference) and
        // encoded again if asked for once more.
        if (c.sizes.size() >= kMaxCachedSizes) {
            std::erase_if(c.sizes, [](const auto& e) {
                return e.second.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            });
        }
        it = c.sizes
                 .emplace(key, std::async(std::launch::async, encodeFrames, width, height).share())
                 .first;
    }
    return it->second;
}

}  // namespace

std::shared_ptr<const FrameSet> FrameCache::tryGet(int width, int height) {
    auto f = futureFor(width, height);
    if (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return nullptr;
    return f.get();
}

std::shared_ptr<const FrameSet> FrameCache::get(int width, int height) {
    return futureFor(width, height).get();
}

std::uint16_t packetChecksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum += data[i];
    return static_cast<std::uint16_t>(sum & 0xFFFF);
}

void VideoSource::configure(int width, int height, LONGLONG frameInterval100ns) {
    interval_ = frameInterval100ns;
    if (width == width_ && height == height_) return;
    width_ = width;
    height_ = height;
    frames_.reset();
    current_ = nullptr;
    position_ = 0;
    started_ = false;
}

void VideoSource::offer(std::shared_ptr<const FrameSet> frames, int width, int height) {
    offered_ = std::move(frames);
    offeredWidth_ = width;
    offeredHeight_ = height;
}

bool VideoSource::ensureFrame(LONGLONG now) {
    if (!running()) return false;
    if (current_ && position_ < current_->size()) return true;
    if (started_ && now < lastStart_ + interval_) return false;
    if (!frames_ && offered_ && offeredWidth_ == width_ && offeredHeight_ == height_)
        frames_ = offered_;
    if (!frames_) {
        frames_ = FrameCache::tryGet(width_, height_);
        if (!frames_) return false;
    }
    if (frames_->empty()) return false;
    current_ = &(*frames_)[nextIndex_ % frames_->size()];
    ++nextIndex_;
    position_ = 0;
    // Frames keep their cadence as long as the pipe keeps up; a slow pipe
    // makes them late, never early.
    lastStart_ = (started_ && now < lastStart_ + 2 * interval_) ? lastStart_ + interval_ : now;
    started_ = true;
    ++framesStarted_;
    return true;
}

std::size_t VideoSource::next(LONGLONG now, std::uint8_t* out, std::size_t maxBytes,
                              bool* frameEnd) {
    *frameEnd = false;
    if (maxBytes == 0 || !ensureFrame(now)) return 0;
    std::size_t n = std::min(maxBytes, current_->size() - position_);
    std::memcpy(out, current_->data() + position_, n);
    position_ += n;
    if (position_ == current_->size()) {
        *frameEnd = true;
        ++framesCompleted_;
    }
    return n;
}

std::size_t VideoSource::skip(LONGLONG now, std::size_t maxBytes) {
    if (maxBytes == 0 || !ensureFrame(now)) return 0;
    std::size_t n = std::min(maxBytes, current_->size() - position_);
    position_ += n;
    return n;
}

}  // namespace sim
