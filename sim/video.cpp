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

constexpr std::uint8_t kNumberSegment[] = {0xFF, 0xFE, 0x00, 2 + kFrameNumberDigits};

bool hasNumberSegment(const std::uint8_t* data, std::size_t size) {
    return size >= kFrameNumberOffset + kFrameNumberDigits && data[0] == 0xFF && data[1] == 0xD8 &&
           std::memcmp(data + 2, kNumberSegment, sizeof kNumberSegment) == 0;
}

std::shared_ptr<const FrameSet> encodeFrames(int width, int height) {
    auto frames = std::make_shared<FrameSet>();
    for (int i = 0; i < kFramesPerSize; ++i) {
        std::vector<std::uint8_t> rgb =
            testPattern(width, height, static_cast<std::uint32_t>(0x100 + i * 7));
        std::vector<std::uint8_t> jpeg = encodeJpeg(rgb.data(), width, height, 70);
        if (jpeg.size() < 2) continue;
        // The number segment, right after the start marker.
        // Sized first: an insert that grows a 2-byte vector trips GCC's
        // array-bounds check in optimised builds.
        std::vector<std::uint8_t> numbered;
        numbered.reserve(jpeg.size() + sizeof kNumberSegment + kFrameNumberDigits);
        numbered.insert(numbered.end(), jpeg.begin(), jpeg.begin() + 2);
        numbered.insert(numbered.end(), std::begin(kNumberSegment), std::end(kNumberSegment));
        numbered.insert(numbered.end(), kFrameNumberDigits, '0');
        numbered.insert(numbered.end(), jpeg.begin() + 2, jpeg.end());
        frames->push_back(std::move(numbered));
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

std::optional<std::uint32_t> frameNumberOf(const std::uint8_t* data, std::size_t size) {
    if (!data || !hasNumberSegment(data, size)) return std::nullopt;
    std::uint32_t n = 0;
    for (std::size_t i = 0; i < kFrameNumberDigits; ++i) {
        const std::uint8_t c = data[kFrameNumberOffset + i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return std::nullopt;
        n = n << 4 | static_cast<std::uint32_t>(d);
    }
    return n;
}

std::vector<std::uint8_t> withoutFrameNumber(std::vector<std::uint8_t> frame) {
    if (hasNumberSegment(frame.data(), frame.size()))
        std::memset(frame.data() + kFrameNumberOffset, '0', kFrameNumberDigits);
    return frame;
}

std::uint16_t packetChecksum(const std::uint8_t* data, std::size_t length) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum += data[i];
    return static_cast<std::uint16_t>(sum & 0xFFFF);
}

std::uint16_t wrongChecksum(const std::uint8_t* data, std::size_t length) {
    return static_cast<std::uint16_t>(packetChecksum(data, length) ^ 0x5A5A);
}

std::vector<std::uint8_t> shapeFrame(FrameShape shape, const std::vector<std::uint8_t>& frame,
                                     int width, int height) {
    std::vector<std::uint8_t> out;
    switch (shape) {
        case FrameShape::Whole:
            return frame;
        case FrameShape::LeadingD9:
            out.push_back(0xD9);
            out.insert(out.end(), frame.begin(), frame.end());
            return out;
        case FrameShape::Preamble:
            for (std::size_t i = 0; i < kPreambleBytes; ++i)
                out.push_back(static_cast<std::uint8_t>(i * 0x11));
            out.insert(out.end(), frame.begin(), frame.end());
            return out;
        case FrameShape::NoEndMarker:
            out = frame;
            if (out.size() >= 2 && out[out.size() - 2] == 0xFF && out.back() == 0xD9)
                out.resize(out.size() - 2);
            return out;
        case FrameShape::Oversized: {
            // Filler between the picture and its end marker: a decoder
            // still ends at the marker, but the frame no longer fits the
            // host's raw buffer of the picture size.
            const std::size_t raw = 2 * static_cast<std::size_t>(width) * height + 608;
            out = frame;
            if (out.size() >= 2) out.resize(out.size() - 2);
            if (out.size() < raw + kOversizeExtra - 2) out.resize(raw + kOversizeExtra - 2, 0x00);
            out.push_back(0xFF);
            out.push_back(0xD9);
            return out;
        }
    }
    return frame;
}

std::vector<VideoPacket> packetsOf(const ScriptedFrame& frame,
                                   const std::vector<std::uint8_t>& bytes, std::size_t payloadMax) {
    std::vector<VideoPacket> packets;
    if (payloadMax == 0) return packets;
    std::size_t per = frame.packetPayload > 0
                          ? std::min<std::size_t>(static_cast<std::size_t>(frame.packetPayload),
                                                  payloadMax)
                          : payloadMax;
    std::size_t at = 0;
    while (at < bytes.size()) {
        VideoPacket p;
        std::size_t n = per;
        // Two bytes fewer, and the checksum wrong: the packet is then
        // exactly the packet size minus 2 long.
        if (static_cast<int>(packets.size()) == frame.fullBadPacket && payloadMax > 2) {
            n = payloadMax - 2;
            p.checksum = PacketChecksum::Bad;
        }
        n = std::min(n, bytes.size() - at);
        p.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        packets.push_back(std::move(p));
    }
    if (!packets.empty()) packets.front().pauseBeforeMs = frame.pauseBeforeMs;
    return packets;
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

bool VideoSource::loadFrames() {
    if (!frames_ && offered_ && offeredWidth_ == width_ && offeredHeight_ == height_)
        frames_ = offered_;
    if (!frames_) frames_ = FrameCache::tryGet(width_, height_);
    return frames_ && !frames_->empty();
}

void VideoSource::pauseOnce(std::uint64_t afterFrames, LONGLONG duration100ns) {
    pauseAfterFrames_ = afterFrames;
    pauseDuration_ = duration100ns;
    pausePlanned_ = duration100ns > 0;
}

void VideoSource::queuePackets(std::vector<VideoPacket> packets) {
    for (VideoPacket& p : packets) packets_.push_back(std::move(p));
}

void VideoSource::queueFrames(std::vector<ScriptedFrame> frames) {
    for (const ScriptedFrame& f : frames) script_.push_back(f);
}

const VideoPacket* VideoSource::scripted(LONGLONG now, std::size_t payloadMax) {
    if (!running() || paused(now) || !atBoundary()) return nullptr;
    if (packets_.empty()) {
        if (script_.empty() || !loadFrames()) return nullptr;
        const ScriptedFrame f = script_.front();
        script_.pop_front();
        const auto& base = (*frames_)[static_cast<std::size_t>(f.base) % frames_->size()];
        queuePackets(packetsOf(f, shapeFrame(f.shape, base, width_, height_), payloadMax));
        if (packets_.empty()) return nullptr;
    }
    VideoPacket& p = packets_.front();
    if (p.pauseBeforeMs > 0) {
        pauseUntil(now + static_cast<LONGLONG>(p.pauseBeforeMs) * 10000);
        p.pauseBeforeMs = 0;
        return nullptr;
    }
    return &p;
}

void VideoSource::popScripted() {
    if (packets_.empty()) return;
    packets_.pop_front();
    scriptedOffset_ = 0;
    ++scriptedSent_;
}

bool VideoSource::ensureFrame(LONGLONG now) {
    if (!running() || paused(now)) return false;
    if (current_ && position_ < current_->size()) return true;
    if (pausePlanned_ && framesCompleted_ >= pauseAfterFrames_) {
        pausePlanned_ = false;
        pauseUntil(now + pauseDuration_);
        return false;
    }
    if (started_ && now < lastStart_ + interval_) return false;
    if (!loadFrames()) return false;
    current_ = &(*frames_)[nextIndex_ % frames_->size()];
    ++nextIndex_;
    position_ = 0;
    // Frames keep their cadence as long as the pipe keeps up; a slow pipe
    // makes them late, never early.
    lastStart_ = (started_ && now < lastStart_ + 2 * interval_) ? lastStart_ + interval_ : now;
    started_ = true;
    ++framesStarted_;
    numbered_ = hasNumberSegment(current_->data(), current_->size());
    if (numbered_) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        auto number = static_cast<std::uint32_t>(framesStarted_);
        for (std::size_t i = kFrameNumberDigits; i-- > 0; number >>= 4) digits_[i] = kHex[number & 0xF];
    }
    return true;
}

std::size_t VideoSource::next(LONGLONG now, std::uint8_t* out, std::size_t maxBytes,
                              bool* frameEnd) {
    *frameEnd = false;
    if (maxBytes == 0 || !ensureFrame(now)) return 0;
    std::size_t n = std::min(maxBytes, current_->size() - position_);
    std::memcpy(out, current_->data() + position_, n);
    // The frame's own number over the cached digits, where this piece holds them.
    constexpr std::size_t kEnd = kFrameNumberOffset + kFrameNumberDigits;
    if (numbered_ && position_ < kEnd && position_ + n > kFrameNumberOffset) {
        const std::size_t from = std::max(position_, kFrameNumberOffset);
        const std::size_t to = std::min(position_ + n, kEnd);
        std::memcpy(out + (from - position_), digits_ + (from - kFrameNumberOffset), to - from);
    }
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
