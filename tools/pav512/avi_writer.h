// Recorded video as files: an AVI writer for one MJPG stream and a writer of
// raw concatenated JPEG frames, both over a file descriptor.
//
// The AVI is written as it is recorded: a header with empty counts first,
// then one '00dc' chunk per frame in the movi list; finish() appends the idx1
// index and goes back to the header for the counts and sizes. Every chunk it
// accepts leaves room for its index entry, so a file that reaches the 32-bit
// RIFF limit can still be finished whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pav512 {

enum class Written {
    Ok,
    Full,      // the container cannot grow by this frame; nothing was written
    DiskFull,  // no room on the disk
    Closed,    // the reader of a pipe went away
    Failed,    // any other write error
};

// Writes all of `data` at the descriptor's position (or at `offset` when it
// is not negative); an error sentence names `name`.
Written writeAll(int fd, const void* data, std::size_t size, const std::string& name, std::string* error,
                 std::int64_t offset = -1);

struct AviStream {
    std::uint32_t width = 0, height = 0;
    std::uint32_t frameIntervalMs = 0;  // from the stream's format; the frame rate is 1000 / this
};

class AviWriter {
  public:
    // The largest AVI file: the RIFF size field counts 32 bits after its own 8 bytes.
    static constexpr std::uint64_t kRiffLimit = 0xFFFFFFFFull + 8;
    // Where the first chunk of the movi list starts.
    static constexpr std::uint64_t kHeaderLength = 224;

    // `limit`: the largest file this writer makes (tests give small ones).
    explicit AviWriter(std::uint64_t limit = kRiffLimit) : limit_(limit) {}

    // Writes the header at offset 0 of `fd`, which must be seekable.
    Written begin(int fd, const std::string& name, const AviStream& stream, std::string* error);
    // Appends one frame. Full when the frame and its index entry would take
    // the file past the limit; the file is unchanged then.
    Written addFrame(const void* data, std::size_t size, std::string* error);
    // After a failed addFrame: cuts the file back to its last whole chunk.
    void dropPartialFrame();
    // Writes the index and the header's counts.
    Written finish(std::string* error);

    std::uint32_t frames() const { return static_cast<std::uint32_t>(index_.size()); }
    std::uint64_t bytes() const { return end_; }
    // What the file's length will be once finished.
    std::uint64_t finishedLength() const { return end_ + 8 + 16 * index_.size(); }

  private:
    struct Entry {
        std::uint32_t offset;  // from the "movi" code
        std::uint32_t length;  // of the frame's bytes
    };
    std::vector<std::uint8_t> header() const;

    std::uint64_t limit_;
    int fd_ = -1;
    std::string name_;
    AviStream stream_;
    std::uint64_t end_ = 0;  // end of the last whole chunk
    std::uint32_t largest_ = 0;
    std::vector<Entry> index_;
};

// Raw MJPEG: the frames one after another, as players read "-f mjpeg".
class MjpegWriter {
  public:
    void begin(int fd, const std::string& name, bool seekable) {
        fd_ = fd;
        name_ = name;
        seekable_ = seekable;
    }
    Written addFrame(const void* data, std::size_t size, std::string* error);
    // After a failed addFrame on a file: cuts it back to its last whole frame.
    void dropPartialFrame();
    std::uint32_t frames() const { return frames_; }
    std::uint64_t bytes() const { return end_; }

  private:
    int fd_ = -1;
    std::string name_;
    bool seekable_ = false;
    std::uint64_t end_ = 0;
    std::uint32_t frames_ = 0;
};

// A whole JPEG image: starts FF D8, ends FF D9.
bool looksLikeWholeJpeg(const std::uint8_t* data, std::size_t size);

}  // namespace pav512
