// Live video of the simulated camera: MJPG frames at the size the sensor
// tables programmed, cut into packet payloads at the sensor's pace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/kernel/basetypes.h"

namespace sim {

using FrameSet = std::vector<std::vector<std::uint8_t>>;

// Frames encoded per picture size; the video cycles through them. Encoding
// every frame would cost more CPU than everything else the camera does.
constexpr int kFramesPerSize = 4;

// The frames of one size, encoded once per process and shared by every camera.
class FrameCache {
  public:
    // Null while the frames are still being encoded (the first ask starts it
    // on a helper thread, so the camera's own thread never waits for it).
    static std::shared_ptr<const FrameSet> tryGet(int width, int height);
    // Waits until the frames are there.
    static std::shared_ptr<const FrameSet> get(int width, int height);
};

// Sum of the bytes, modulo 65536: what ends each isochronous video packet.
std::uint16_t packetChecksum(const std::uint8_t* data, std::size_t length);

// The sensor's output: one frame after another, no sooner than the frame
// interval allows, handed out in pieces of the size the pipe takes.
class VideoSource {
  public:
    // Starts (or restarts) video at a size; a size of 0 stops it. Changing the
    // size drops the frame in progress.
    void configure(int width, int height, LONGLONG frameInterval100ns);
    // Frames made ahead for a size: used when video runs at that size, so
    // that it never waits for the cache.
    void offer(std::shared_ptr<const FrameSet> frames, int width, int height);
    bool running() const { return width_ > 0 && height_ > 0; }
    int width() const { return width_; }
    int height() const { return height_; }
    // Copies up to `maxBytes` of the frame in progress to `out`, starting the
    // next frame when it is due. Returns the bytes copied (0: nothing to send
    // now); *frameEnd tells that they end a frame.
    std::size_t next(LONGLONG now, std::uint8_t* out, std::size_t maxBytes, bool* frameEnd);
    // Skips up to `maxBytes` as if sent (the packet that carried them was lost).
    std::size_t skip(LONGLONG now, std::size_t maxBytes);

    std::uint64_t framesStarted() const { return framesStarted_; }
    std::uint64_t framesCompleted() const { return framesCompleted_; }

  private:
    bool ensureFrame(LONGLONG now);

    int width_ = 0;
    int height_ = 0;
    LONGLONG interval_ = 0;
    std::shared_ptr<const FrameSet> frames_;
    std::shared_ptr<const FrameSet> offered_;
    int offeredWidth_ = 0;
    int offeredHeight_ = 0;
    const std::vector<std::uint8_t>* current_ = nullptr;
    std::size_t position_ = 0;
    std::size_t nextIndex_ = 0;
    LONGLONG lastStart_ = 0;
    bool started_ = false;
    std::uint64_t framesStarted_ = 0;
    std::uint64_t framesCompleted_ = 0;
};

}  // namespace sim
