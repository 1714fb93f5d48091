// Live video of the simulated camera: MJPG frames at the size the sensor
// tables programmed, cut into packet payloads at the sensor's pace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/kernel/basetypes.h"

namespace sim {

using FrameSet = std::vector<std::vector<std::uint8_t>>;

// Frames encoded per picture size; the video cycles through them. Encoding
// every frame would cost more CPU than everything else the camera does.
constexpr int kFramesPerSize = 4;

// Every generated frame carries its number, so that a client can check the
// order of what it receives and count what it lost: a comment segment right
// after the start marker (FF D8 FF FE 00 0A) whose text is the frame's 32-bit
// number in eight upper-case hex digits. The cached frames hold "00000000"
// there; the sensor writes each frame's number as it sends those bytes.
// Decoders skip comment segments, and hex digits are never 0xFF, so the
// number cannot make a marker.
constexpr std::size_t kFrameNumberOffset = 6;
constexpr std::size_t kFrameNumberDigits = 8;
// The number a frame carries, or none when it has no number segment.
std::optional<std::uint32_t> frameNumberOf(const std::uint8_t* data, std::size_t size);
// The frame with its number's digits back to "00000000", as the cache holds it.
std::vector<std::uint8_t> withoutFrameNumber(std::vector<std::uint8_t> frame);

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
// The wrong checksum the camera sends when a fault or a script asks for one.
std::uint16_t wrongChecksum(const std::uint8_t* data, std::size_t length);

// ---------------------------------------------------------------------------
// Video of chosen shapes, for proving what the host makes of odd frames.

// How a scripted isochronous packet ends. Bulk video carries no checksum,
// so there only the bytes count.
enum class PacketChecksum {
    Good,  // the sum of the bytes
    Bad,   // a wrong sum
    None,  // nothing is added: the bytes are the whole packet
};

// One packet exactly as the camera sends it.
struct VideoPacket {
    std::vector<std::uint8_t> bytes;  // the payload, before any checksum
    PacketChecksum checksum = PacketChecksum::Good;
    int pauseBeforeMs = 0;  // the sensor sends nothing for this long first
};

enum class FrameShape {
    Whole,        // a generated frame as it is: FF D8 ... FF D9
    LeadingD9,    // D9, then the frame (the tail of an end marker ahead of it)
    Preamble,     // a few bytes that are no marker, then the frame
    NoEndMarker,  // the frame without its final FF D9
    Oversized,    // padded before its end marker past the raw frame size of its picture size
};

// One frame of a script: made from a generated frame of the size the sensor
// runs at, reshaped, and cut into packets.
struct ScriptedFrame {
    FrameShape shape = FrameShape::Whole;
    int base = 0;           // which of the size's generated frames (modulo kFramesPerSize)
    int packetPayload = 0;  // frame bytes per packet; 0: as many as a packet carries
    // This packet (0 = the first) carries two bytes fewer and a wrong
    // checksum, so that it is exactly the packet size minus 2 long; -1: none.
    int fullBadPacket = -1;
    int pauseBeforeMs = 0;  // the sensor sends nothing for this long first
};

constexpr std::size_t kPreambleBytes = 5;  // 0x00 0x11 0x22 0x33 0x44
constexpr std::size_t kOversizeExtra = 1024;

// The bytes of `shape` made from `frame`, for a picture of width x height.
std::vector<std::uint8_t> shapeFrame(FrameShape shape, const std::vector<std::uint8_t>& frame,
                                     int width, int height);
// The packets that carry `bytes` as `frame` asks, when a packet carries at
// most `payloadMax` bytes before its checksum (isochronous: the packet size
// minus 2; bulk: the bulk packet size).
std::vector<VideoPacket> packetsOf(const ScriptedFrame& frame,
                                   const std::vector<std::uint8_t>& bytes, std::size_t payloadMax);

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

    // Generated frames started; the number the last one carries (the first
    // frame is number 1).
    std::uint64_t framesStarted() const { return framesStarted_; }
    std::uint64_t framesCompleted() const { return framesCompleted_; }

    // Scripted video, sent in order at the next frame boundary before the
    // generated frames go on. Kept across size changes; sent only while the
    // sensor runs.
    void queuePackets(std::vector<VideoPacket> packets);
    void queueFrames(std::vector<ScriptedFrame> frames);
    // Packets and frames of the script not yet sent.
    std::size_t scriptedLeft() const { return packets_.size() + script_.size(); }
    std::uint64_t scriptedPacketsSent() const { return scriptedSent_; }
    // Nothing is sent before `until` (in the middle of a frame too).
    void pauseUntil(LONGLONG until) { pausedUntil_ = until; }
    bool paused(LONGLONG now) const { return now < pausedUntil_; }
    // Once `afterFrames` generated frames are complete, the sensor pauses
    // for `ms` before the next (once).
    void pauseOnce(std::uint64_t afterFrames, LONGLONG duration100ns);
    // The scripted packet due now, or null; it stays first until
    // popScripted(). `payloadMax` is what one packet of the pipe carries,
    // used to cut a scripted frame into packets.
    const VideoPacket* scripted(LONGLONG now, std::size_t payloadMax);
    // Bytes of the first scripted packet already sent (a bulk pipe sends
    // one in pieces).
    std::size_t scriptedOffset() const { return scriptedOffset_; }
    void advanceScripted(std::size_t bytes) { scriptedOffset_ += bytes; }
    void popScripted();

  private:
    bool ensureFrame(LONGLONG now);
    bool atBoundary() const { return current_ == nullptr || position_ >= current_->size(); }
    bool loadFrames();

    int width_ = 0;
    int height_ = 0;
    LONGLONG interval_ = 0;
    std::shared_ptr<const FrameSet> frames_;
    std::shared_ptr<const FrameSet> offered_;
    int offeredWidth_ = 0;
    int offeredHeight_ = 0;
    const std::vector<std::uint8_t>* current_ = nullptr;
    std::size_t position_ = 0;
    bool numbered_ = false;  // current_ has the number segment
    char digits_[kFrameNumberDigits] = {};
    std::size_t nextIndex_ = 0;
    LONGLONG lastStart_ = 0;
    bool started_ = false;
    std::uint64_t framesStarted_ = 0;
    std::uint64_t framesCompleted_ = 0;

    std::deque<VideoPacket> packets_;
    std::deque<ScriptedFrame> script_;
    std::size_t scriptedOffset_ = 0;
    std::uint64_t scriptedSent_ = 0;
    LONGLONG pausedUntil_ = 0;
    std::uint64_t pauseAfterFrames_ = 0;
    LONGLONG pauseDuration_ = 0;
    bool pausePlanned_ = false;
};

}  // namespace sim
