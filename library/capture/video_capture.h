// The user-mode video capture client: what a capture driver in user mode does
// with the driver's video stream family. It finds the camera's device
// interface, opens a stream with a negotiated format, runs it and reads whole
// frames, each with the camera's picture number and the stream's drop count.
// It is not one of the library's exports: programs that record video (the
// `pav512` tool, the tests, the benchmarks) link it beside the library and
// take the library's video-capture lock themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace pavcap {

// One entry of the stream's format list, as the format information request
// answers it.
struct FormatInfo {
    std::uint16_t granularityX = 0, granularityY = 0;
    std::uint16_t minimumWidth = 0, minimumHeight = 0;
    std::uint16_t maximumWidth = 0, maximumHeight = 0;
    std::uint16_t width = 0, height = 0;  // the default size
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;  // FOURCC; 0 for uncompressed
    std::uint32_t imageSize = 0;
    std::uint32_t frameIntervalMs = 0;
};

// What the client asks for. imageSize 0 and frameIntervalMs 0 take the
// format's own values for the chosen size.
struct Format {
    std::uint16_t width = 320, height = 240;
    std::uint8_t bitCount = 24;
    std::uint32_t compression = 0x47504A4D;  // 'MJPG'
    std::uint32_t imageSize = 0;
    std::uint32_t frameIntervalMs = 0;
};

enum class ReadResult {
    Frame,     // a frame arrived: `bytes` of JPEG data
    TimedOut,  // the camera sent nothing for the stream's watchdog period
    Stopped,   // the stream was stopped, closed or aborted under the read
    Removed,   // the camera is gone
    Failed,    // any other failure; error() says what
};

struct Frame {
    std::size_t bytes = 0;
    std::uint64_t pictureNumber = 0;  // the stream's picture number after this frame
    std::uint64_t dropCount = 0;      // frames the stream dropped so far
    std::uint32_t status = 0;         // the stream request's NTSTATUS
};

class VideoCapture {
  public:
    // Opens the device of camera `camera` (1-based, in the order the device
    // interfaces enumerate; 0 the first). Null with `error` set when there is
    // no such camera or no host answers.
    static std::unique_ptr<VideoCapture> open(int camera, std::string* error);
    virtual ~VideoCapture() = default;

    // The stream's format list (empty with error() set on failure).
    virtual std::vector<FormatInfo> formats() = 0;
    // Opens the stream with `format` and sets it running. False with error()
    // set when the size is refused ("not a size the camera makes"), the
    // stream is already open elsewhere ("camera busy") or the camera fails.
    virtual bool start(const Format& format) = 0;
    // The image size the running stream was given: a buffer this large holds
    // every frame.
    virtual std::size_t imageSize() const = 0;
    // Reads the next frame into `buffer` (at least imageSize() bytes). Safe
    // to call from one thread while another calls stop().
    virtual ReadResult read(std::span<std::uint8_t> buffer, Frame* frame) = 0;
    // Reads the next frame into one of the capture's own buffers, where
    // `data` is pointed at its bytes: valid until the next call of next()
    // or start(), or the end of the capture. It keeps several reads waiting
    // in the driver, so that a frame that comes while the caller is busy
    // with the last still finds one, and sends them a few at a time; where
    // the driver host can share memory with this process the frames are
    // written straight into those buffers. Use next() or read() for a
    // stream, not both. Safe to call from one thread while another calls
    // stop().
    virtual ReadResult next(Frame* frame, std::span<const std::uint8_t>* data) = 0;
    // A buffer of imageSize() bytes for read(), made at the first call after
    // a start(): where the driver host can share memory with this process it
    // writes each frame straight into it, so the frame's bytes do not cross
    // the socket. Valid until the next start() or the end of the capture;
    // empty when no stream has started (or no memory was left, with any
    // other buffer still fine).
    virtual std::span<std::uint8_t> frameBuffer() = 0;
    // Pause, stop and close the stream; waiting reads end with Stopped.
    // Idempotent; the destructor calls it.
    virtual void stop() = 0;
    virtual const std::string& error() const = 0;
};

}  // namespace pavcap
