#include "tools/pav512/avi_writer.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pav512 {
namespace {

// Little-endian words and codes into a buffer, one after another.
class Put {
  public:
    explicit Put(std::vector<std::uint8_t>& out) : out_(out) {}
    Put& code(const char (&c)[5]) {
        out_.insert(out_.end(), c, c + 4);
        return *this;
    }
    Put& u32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
    Put& u16(std::uint32_t v) {
        out_.push_back(static_cast<std::uint8_t>(v));
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
        return *this;
    }
    Put& zeros(std::size_t n) {
        out_.insert(out_.end(), n, 0);
        return *this;
    }

  private:
    std::vector<std::uint8_t>& out_;
};

constexpr std::uint32_t kAvifHasIndex = 0x10;
constexpr std::uint32_t kAviifKeyframe = 0x10;
constexpr std::uint64_t kMoviCodeAt = 220;  // offsets in idx1 count from here

Written failure(int err, const std::string& name, std::string* error) {
    if (err == ENOSPC || err == EDQUOT) {
        *error = "The disk is full: " + name + " could not be written.";
        return Written::DiskFull;
    }
    if (err == EPIPE) {
        *error = "The program reading " + name + " closed it.";
        return Written::Closed;
    }
    *error = "Cannot write " + name + ": " + std::strerror(err) + ".";
    return Written::Failed;
}

}  // namespace

Written writeAll(int fd, const void* data, std::size_t size, const std::string& name, std::string* error,
                 std::int64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t w = offset >= 0 ? ::pwrite(fd, p, size, offset) : ::write(fd, p, size);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return failure(w < 0 ? errno : ENOSPC, name, error);
        p += w;
        size -= static_cast<std::size_t>(w);
        if (offset >= 0) offset += w;
    }
    return Written::Ok;
}

bool looksLikeWholeJpeg(const std::uint8_t* data, std::size_t size) {
    return size >= 4 && data[0] == 0xFF && data[1] == 0xD8 && data[size - 2] == 0xFF && data[size - 1] == 0xD9;
}

// ---------------------------------------------------------------------------
// AVI

std::vector<std::uint8_t> AviWriter::header() const {
    const std::uint32_t frames = static_cast<std::uint32_t>(index_.size());
    const std::uint32_t interval = stream_.frameIntervalMs ? stream_.frameIntervalMs : 33;
    const std::uint64_t finished = finishedLength();
    const std::uint32_t moviSize = static_cast<std::uint32_t>(end_ - kMoviCodeAt);
    const std::uint32_t riffSize = static_cast<std::uint32_t>(finished - 8);
    const std::uint64_t perSecond = static_cast<std::uint64_t>(largest_) * 1000 / interval;
    const std::uint32_t suggested = largest_ + 8;
    std::vector<std::uint8_t> h;
    h.reserve(kHeaderLength);
    Put(h).code("RIFF").u32(riffSize).code("AVI ");
    Put(h).code("LIST").u32(192).code("hdrl");
    Put(h)
        .code("avih")
        .u32(56)
        .u32(interval * 1000)  // microseconds per frame
        .u32(perSecond > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(perSecond))
        .u32(0)  // padding granularity
        .u32(kAvifHasIndex)
        .u32(frames)
        .u32(0)  // initial frames
        .u32(1)  // streams
        .u32(suggested)
        .u32(stream_.width)
        .u32(stream_.height)
        .zeros(16);
    Put(h).code("LIST").u32(116).code("strl");
    Put(h)
        .code("strh")
        .u32(56)
        .code("vids")
        .code("MJPG")
        .u32(0)  // flags
        .u16(0)  // priority
        .u16(0)  // language
        .u32(0)  // initial frames
        .u32(interval)  // scale / rate = seconds per frame
        .u32(1000)
        .u32(0)  // start
        .u32(frames)
        .u32(suggested)
        .u32(0xFFFFFFFFu)  // quality: the codec's default
        .u32(0)            // sample size: frames vary
        .u16(0)
        .u16(0)
        .u16(stream_.width)
        .u16(stream_.height);
    Put(h)
        .code("strf")
        .u32(40)
        .u32(40)
        .u32(stream_.width)
        .u32(stream_.height)
        .u16(1)
        .u16(24)
        .code("MJPG")
        .u32(stream_.width * stream_.height * 3)
        .zeros(16);
    Put(h).code("LIST").u32(moviSize).code("movi");
    return h;
}

Written AviWriter::begin(int fd, const std::string& name, const AviStream& stream, std::string* error) {
    fd_ = fd;
    name_ = name;
    stream_ = stream;
    index_.clear();
    largest_ = 0;
    end_ = kHeaderLength;
    std::vector<std::uint8_t> h = header();
    return writeAll(fd_, h.data(), h.size(), name_, error, 0);
}

Written AviWriter::addFrame(const void* data, std::size_t size, std::string* error) {
    const std::uint64_t chunk = 8 + static_cast<std::uint64_t>(size) + (size & 1);
    // The finished file holds this chunk, the index header and one entry
    // more than now.
    if (end_ + chunk + 8 + 16 * (index_.size() + 1) > limit_) {
        *error = name_ + " reached the largest size an AVI file can have (" +
                 std::to_string((limit_ + 512 * 1024) / (1024 * 1024)) + " MiB).";
        return Written::Full;
    }
    std::uint8_t head[8] = {'0', '0', 'd', 'c'};
    for (int i = 0; i < 4; ++i) head[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    static const std::uint8_t pad = 0;
    Written w = writeAll(fd_, head, sizeof head, name_, error, static_cast<std::int64_t>(end_));
    if (w == Written::Ok) w = writeAll(fd_, data, size, name_, error, static_cast<std::int64_t>(end_ + 8));
    if (w == Written::Ok && (size & 1))
        w = writeAll(fd_, &pad, 1, name_, error, static_cast<std::int64_t>(end_ + 8 + size));
    if (w != Written::Ok) return w;
    index_.push_back({static_cast<std::uint32_t>(end_ - kMoviCodeAt), static_cast<std::uint32_t>(size)});
    if (size > largest_) largest_ = static_cast<std::uint32_t>(size);
    end_ += chunk;
    return Written::Ok;
}

void AviWriter::dropPartialFrame() {
    if (fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(end_)) != 0) {
        // A device or a file we may not cut: finish() writes over the rest.
    }
}

Written AviWriter::finish(std::string* error) {
    std::vector<std::uint8_t> idx;
    idx.reserve(8 + 16 * index_.size());
    Put(idx).code("idx1").u32(static_cast<std::uint32_t>(16 * index_.size()));
    for (const Entry& e : index_) Put(idx).code("00dc").u32(kAviifKeyframe).u32(e.offset).u32(e.length);
    Written w = writeAll(fd_, idx.data(), idx.size(), name_, error, static_cast<std::int64_t>(end_));
    if (w != Written::Ok) return w;
    std::vector<std::uint8_t> h = header();
    w = writeAll(fd_, h.data(), h.size(), name_, error, 0);
    if (w != Written::Ok) return w;
    // Anything past the index (an earlier, longer file) is no part of this one.
    if (::ftruncate(fd_, static_cast<off_t>(finishedLength())) != 0) {
    }
    return Written::Ok;
}

// ---------------------------------------------------------------------------
// Raw MJPEG

Written MjpegWriter::addFrame(const void* data, std::size_t size, std::string* error) {
    Written w = writeAll(fd_, data, size, name_, error);
    if (w != Written::Ok) return w;
    end_ += size;
    ++frames_;
    return Written::Ok;
}

void MjpegWriter::dropPartialFrame() {
    if (!seekable_ || fd_ < 0) return;
    if (::ftruncate(fd_, static_cast<off_t>(end_)) == 0) ::lseek(fd_, static_cast<off_t>(end_), SEEK_SET);
}

}  // namespace pav512
