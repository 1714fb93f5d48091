// capture and snapshot: video through the user-mode capture client, with the
// library's video-capture lock held for as long as the stream runs, so that
// another program that records video hears "busy" from the lock before it
// touches the camera.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <span>
#include <vector>

#include "library/capture/video_capture.h"
#include "tools/pav512/avi_writer.h"
#include "tools/pav512/camera.h"
#include "tools/pav512/commands.h"
#include "tools/pav512/errors.h"
#include "tools/pav512/part_file.h"
#include "tools/pav512/progress.h"
#include "tools/pav512/video_output.h"

using nlohmann::json;

namespace pav512 {

namespace {

constexpr std::uint32_t kMjpg = 0x47504A4D;
constexpr std::uint32_t kSnapshotSkip = 5;  // frames while the exposure settles
constexpr int kSnapshotTries = 30;          // frames looked at for one whole picture

enum class Container { Avi, Mjpeg, Jpeg };

struct Size {
    std::uint32_t width = 320, height = 240;
};

std::string sizeText(std::uint32_t w, std::uint32_t h) {
    return std::to_string(w) + "x" + std::to_string(h);
}

Size parseSize(const std::string& text) {
    Size s;
    if (text.empty()) return s;
    std::size_t x = text.find('x');
    unsigned long w = std::stoul(text.substr(0, x)), h = std::stoul(text.substr(x + 1));
    if (w == 0 || h == 0 || w > 65535 || h > 65535)
        throw ToolError(kExitUsage, "The size " + text + " is not a picture size.");
    s.width = static_cast<std::uint32_t>(w);
    s.height = static_cast<std::uint32_t>(h);
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

Container containerFor(const CaptureOptions& o, bool snapshot) {
    if (snapshot) return Container::Jpeg;
    if (o.format == "avi") return Container::Avi;
    if (o.format == "mjpeg") return Container::Mjpeg;
    if (o.output == "-") return Container::Mjpeg;
    std::string ext = lower(std::filesystem::path(o.output).extension().string());
    if (ext == ".avi") return Container::Avi;
    if (ext == ".mjpeg" || ext == ".mjpg") return Container::Mjpeg;
    throw ToolError(kExitUsage, "Say what to write: a file name ending in .avi or .mjpeg, or --format avi or mjpeg.");
}

const char* containerName(Container c) {
    switch (c) {
        case Container::Avi: return "avi";
        case Container::Mjpeg: return "mjpeg";
        case Container::Jpeg: return "jpeg";
    }
    return "";
}

bool makes(const pavcap::FormatInfo& f, std::uint32_t w, std::uint32_t h) {
    const std::uint32_t gx = f.granularityX ? f.granularityX : 1, gy = f.granularityY ? f.granularityY : 1;
    return f.compression == kMjpg && w >= f.minimumWidth && w <= f.maximumWidth && h >= f.minimumHeight &&
           h <= f.maximumHeight && (w - f.minimumWidth) % gx == 0 && (h - f.minimumHeight) % gy == 0;
}

// "sizes from 64x56 to 640x480 in steps of 16x8 (such as 160x120, 320x240 and 640x480)"
std::string sizesItMakes(const std::vector<pavcap::FormatInfo>& formats) {
    std::vector<std::string> parts;
    for (const pavcap::FormatInfo& f : formats) {
        if (f.compression != kMjpg) continue;
        if (f.minimumWidth == f.maximumWidth && f.minimumHeight == f.maximumHeight) {
            parts.push_back(sizeText(f.minimumWidth, f.minimumHeight));
            continue;
        }
        std::string p = "sizes from " + sizeText(f.minimumWidth, f.minimumHeight) + " to " +
                        sizeText(f.maximumWidth, f.maximumHeight);
        if (f.granularityX > 1 || f.granularityY > 1)
            p += " in steps of " + sizeText(std::max<std::uint32_t>(f.granularityX, 1),
                                            std::max<std::uint32_t>(f.granularityY, 1));
        std::vector<std::string> usual;
        for (Size s : {Size{160, 120}, Size{320, 240}, Size{640, 480}})
            if (makes(f, s.width, s.height)) usual.push_back(sizeText(s.width, s.height));
        if (!usual.empty()) {
            p += " (such as ";
            for (std::size_t i = 0; i < usual.size(); ++i)
                p += (i == 0 ? "" : i + 1 == usual.size() ? " and " : ", ") + usual[i];
            p += ")";
        }
        parts.push_back(p);
    }
    if (parts.empty()) return "no MJPG video at all";
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i)
        out += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return out;
}

// The library's video-capture lock, held through a property handle of its
// own for the life of this object.
class CaptureLock {
  public:
    explicit CaptureLock(std::uint32_t camera) : handle_(camera) {
        PAVPI_STATUS st = PAVPI_HandleLockVfWOpen(handle_.get());
        if (st == PAVPI_STATUS_IN_USE || st == PAVPI_STATUS_ALREADY_LOCKED)
            throw ToolError(kExitBusy, "The camera is busy: another program is recording video from it.");
        if (st != PAVPI_STATUS_SUCCESS) failPavpi(st, "taking the video-capture lock", camera);
        held_ = true;
    }
    ~CaptureLock() { release(); }
    CaptureLock(const CaptureLock&) = delete;
    CaptureLock& operator=(const CaptureLock&) = delete;
    void release() {
        if (held_) PAVPI_HandleUnLockVfWOpen(handle_.get());
        held_ = false;
    }

  private:
    VideoHandle handle_;
    bool held_ = false;
};

// Ends a read that waits for a frame when Ctrl-C comes: the signal handler
// only writes to a pipe; this thread turns that into stop().
class InterruptWatch {
  public:
    explicit InterruptWatch(pavcap::VideoCapture* capture) : capture_(capture) {
        if (::pipe2(quit_, O_CLOEXEC) != 0) quit_[0] = quit_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }
    ~InterruptWatch() {
        if (quit_[1] >= 0) {
            const char b = 1;
            ssize_t w = ::write(quit_[1], &b, 1);
            (void)w;
        }
        thread_.join();
        for (int fd : quit_)
            if (fd >= 0) ::close(fd);
    }

  private:
    void run() {
        pollfd fds[2] = {{interruptFd(), POLLIN, 0}, {quit_[0], POLLIN, 0}};
        while (!interrupted()) {
            int n = ::poll(fds, 2, -1);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 || (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) return;
            if (fds[0].revents) break;
        }
        if (interrupted()) capture_->stop();
    }
    pavcap::VideoCapture* capture_;
    int quit_[2] = {-1, -1};
    std::thread thread_;
};

// The line on standard error while recording: redrawn on a terminal, a line
// a second otherwise.
class CaptureProgress {
  public:
    CaptureProgress(std::string name, bool enabled)
        : name_(std::move(name)), enabled_(enabled), terminal_(stderrIsTerminal()) {}
    void update(std::uint32_t frames, double seconds, std::uint64_t dropped) {
        if (!enabled_) return;
        auto now = std::chrono::steady_clock::now();
        auto every = terminal_ ? std::chrono::milliseconds(100) : std::chrono::milliseconds(1000);
        if (drawn_ && now - last_ < every) return;
        if (!drawn_ && !terminal_ && seconds < 1.0) return;
        last_ = now;
        drawn_ = true;
        char line[256];
        std::snprintf(line, sizeof line, "%s: %u frames, %.1f s, %llu dropped, %.1f frames/s", name_.c_str(), frames,
                      seconds, static_cast<unsigned long long>(dropped), seconds > 0 ? frames / seconds : 0.0);
        if (terminal_)
            std::fprintf(stderr, "\r%s\033[K", line);
        else
            std::fprintf(stderr, "%s\n", line);
        std::fflush(stderr);
    }
    void finish() {
        if (enabled_ && terminal_ && drawn_) {
            std::fprintf(stderr, "\r\033[K");
            std::fflush(stderr);
        }
        enabled_ = false;
    }

  private:
    std::string name_;
    bool enabled_, terminal_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_;
};

// Why a recording ended.
enum class Ended { Frames, Seconds, Interrupted, Removed, NoVideo, CameraFailed, DiskFull, WriteFailed, SizeLimit, ReaderClosed };

const char* endedName(Ended e) {
    switch (e) {
        case Ended::Frames: return "frames";
        case Ended::Seconds: return "seconds";
        case Ended::Interrupted: return "interrupted";
        case Ended::Removed: return "unplugged";
        case Ended::NoVideo: return "no video";
        case Ended::CameraFailed: return "camera failed";
        case Ended::DiskFull: return "disk full";
        case Ended::WriteFailed: return "write failed";
        case Ended::SizeLimit: return "size limit";
        case Ended::ReaderClosed: return "reader closed";
    }
    return "";
}

Ended endedBy(pavcap::ReadResult r) {
    switch (r) {
        case pavcap::ReadResult::Stopped: return interrupted() ? Ended::Interrupted : Ended::CameraFailed;
        case pavcap::ReadResult::Removed: return Ended::Removed;
        case pavcap::ReadResult::TimedOut: return Ended::NoVideo;
        default: return Ended::CameraFailed;
    }
}

Ended endedBy(Written w) {
    switch (w) {
        case Written::Full: return Ended::SizeLimit;
        case Written::DiskFull: return Ended::DiskFull;
        case Written::Closed: return Ended::ReaderClosed;
        default: return Ended::WriteFailed;
    }
}

// The camera number the capture client takes. The client counts the present
// device interfaces in the host's order and knows nothing of the library's
// camera numbers (kept per user, by device path); this takes the library's
// n-th present camera to be the client's n-th interface, which holds with one
// camera and while cameras were numbered in the order the host lists them.
int captureIndexOf(std::uint32_t number) {
    std::vector<std::uint32_t> numbers = cameraNumbers();
    for (std::size_t i = 0; i < numbers.size(); ++i)
        if (numbers[i] == number) return static_cast<int>(i + 1);
    throw ToolError(kExitNoCamera, "There is no camera " + std::to_string(number) + " (see pav512 cameras).");
}

std::string sayFrames(std::uint32_t n) {
    return std::to_string(n) + (n == 1 ? " frame" : " frames");
}

std::string shownPath(const VideoOutput& out, const std::string& path) {
    if (out.kind() != VideoOutput::Kind::File) return path;
    return std::filesystem::absolute(path).lexically_normal().string();
}

}  // namespace

void checkCaptureOptions(const CaptureOptions& o, bool snapshot) {
    if (o.output.empty() && !o.toStdout)
        throw ToolError(kExitUsage, snapshot ? "Name the picture to write with -o FILE.jpg."
                                             : "Name the file to write with -o FILE (or -o - for standard output).");
    if (o.toStdout && !o.output.empty() && o.output != "-")
        throw ToolError(kExitUsage, "Give either -o FILE or --stdout, not both.");
    if (!snapshot && o.frames == 0 && o.seconds <= 0)
        throw ToolError(kExitUsage, "Say how long to record: --frames N or --seconds S.");
    if (!snapshot && o.frames != 0 && o.seconds > 0)
        throw ToolError(kExitUsage, "Give either --frames or --seconds, not both.");
    if (!o.format.empty() && o.format != "avi" && o.format != "mjpeg")
        throw ToolError(kExitUsage, "The format must be avi or mjpeg, not \"" + o.format + "\".");
    if (!snapshot && (o.toStdout || o.output == "-") && o.format == "avi")
        throw ToolError(kExitUsage, "An AVI file cannot go to standard output (its header is written last); use "
                                    "--format mjpeg.");
    if (!o.size.empty()) {
        std::size_t x = o.size.find('x');
        if (x == std::string::npos || x == 0 || x + 1 == o.size.size() ||
            o.size.find_first_not_of("0123456789x") != std::string::npos || o.size.find('x', x + 1) != std::string::npos ||
            o.size.size() > 11)
            throw ToolError(kExitUsage, "The size must be WIDTHxHEIGHT, like 640x480, not \"" + o.size + "\".");
    }
    if (!snapshot) {
        CaptureOptions named = o;
        if (o.toStdout) named.output = "-";
        containerFor(named, false);
    }
}

int runCapture(const Globals& g, const CaptureOptions& opts, bool snapshot) {
    CaptureOptions o = opts;
    if (o.toStdout) o.output = "-";
    const Container container = containerFor(o, snapshot);
    const Size size = parseSize(o.size);
    const std::uint32_t skip = o.skip >= 0 ? static_cast<std::uint32_t>(o.skip) : snapshot ? kSnapshotSkip : 0;
    const bool videoOnStdout = o.output == "-";
    // Messages and the summary never go where the video goes.
    std::FILE* report = videoOnStdout ? stderr : stdout;
    ::signal(SIGPIPE, SIG_IGN);  // a player that quits is an EPIPE, not the end of the tool

    const std::uint32_t number = pickCamera(g.camera);
    const std::string cam = "Camera " + std::to_string(number);

    // The file first: a name that cannot be written fails before the camera
    // is touched.
    VideoOutput out;
    std::string error;
    VideoOutput::Result opened = out.open(o.output, o.overwrite, &error);
    if (opened == VideoOutput::Result::Exists)
        throw ToolError(kExitFailure, o.output + " already exists (use --overwrite to replace it).");
    if (opened == VideoOutput::Result::DiskFull) throw ToolError(kExitDiskFull, error);
    if (opened != VideoOutput::Result::Ok) throw ToolError(kExitFailure, error);
    if (container == Container::Avi && !out.seekable())
        throw ToolError(kExitUsage, "An AVI file needs a file it can go back into (its header is written last); "
                                    "use --format mjpeg for " + out.name() + ".");

    CaptureLock lock(number);
    std::unique_ptr<pavcap::VideoCapture> capture = pavcap::VideoCapture::open(captureIndexOf(number), &error);
    if (!capture) throw ToolError(kExitNoCamera, cam + " cannot be opened for video (" + error + ").");
    std::vector<pavcap::FormatInfo> formats = capture->formats();
    if (formats.empty()) {
        if (capture->error().find("gone") != std::string::npos)
            throw ToolError(kExitRemoved, cam + " was unplugged.");
        throw ToolError(kExitFailure, cam + " lists no video formats (" + capture->error() + ").");
    }
    const pavcap::FormatInfo* format = nullptr;
    for (const pavcap::FormatInfo& f : formats)
        if (makes(f, size.width, size.height)) {
            format = &f;
            break;
        }
    if (!format)
        throw ToolError(kExitUsage, cam + " cannot make " + sizeText(size.width, size.height) + " video; it makes " +
                                        sizesItMakes(formats) + ".");
    const std::uint32_t intervalMs = format->frameIntervalMs;

    AviWriter avi;
    MjpegWriter mjpeg;
    if (container == Container::Avi) {
        Written w = avi.begin(out.fd(), out.name(), {size.width, size.height, intervalMs}, &error);
        if (w == Written::DiskFull) throw ToolError(kExitDiskFull, error);
        if (w != Written::Ok) throw ToolError(kExitFailure, error);
    } else if (container == Container::Mjpeg) {
        mjpeg.begin(out.fd(), out.name(), out.kind() != VideoOutput::Kind::Stdout && out.seekable());
    }

    installInterruptHandler();
    pavcap::Format wanted;
    wanted.width = static_cast<std::uint16_t>(size.width);
    wanted.height = static_cast<std::uint16_t>(size.height);
    if (!capture->start(wanted)) {
        const std::string why = capture->error();
        if (why.find("busy") != std::string::npos)
            throw ToolError(kExitBusy, "The camera is busy: another program is using its video.");
        if (why.find("not a size") != std::string::npos)
            throw ToolError(kExitUsage, cam + " cannot make " + sizeText(size.width, size.height) +
                                            " video; it makes " + sizesItMakes(formats) + ".");
        if (why.find("gone") != std::string::npos) throw ToolError(kExitRemoved, cam + " was unplugged.");
        throw ToolError(kExitFailure, cam + " could not start its video (" + why + ").");
    }

    // Each frame in the capture's own buffers, which the driver host writes
    // into in place.
    std::span<const std::uint8_t> data;
    pavcap::Frame frame;
    std::uint32_t skipped = 0;
    std::uint64_t dropBase = 0, dropped = 0;
    std::uint32_t frames = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::string writeError;
    Ended ended = Ended::Frames;
    std::chrono::steady_clock::time_point started;
    CaptureProgress progress(out.kind() == VideoOutput::Kind::Stdout ? "standard output" : o.output,
                             !g.quiet && !snapshot);
    {
        InterruptWatch watch(capture.get());
        int tries = 0;
        for (;;) {
            if (interrupted()) {
                ended = Ended::Interrupted;
                break;
            }
            pavcap::ReadResult r = capture->next(&frame, &data);
            if (r != pavcap::ReadResult::Frame) {
                ended = endedBy(r);
                break;
            }
            if (skipped < skip) {
                ++skipped;
                dropBase = frame.dropCount;
                continue;
            }
            if (frames == 0) started = std::chrono::steady_clock::now();
            Written w = Written::Ok;
            if (container == Container::Jpeg) {
                if (!looksLikeWholeJpeg(data.data(), frame.bytes)) {
                    if (++tries >= kSnapshotTries) {
                        ended = Ended::CameraFailed;
                        break;
                    }
                    continue;
                }
                w = writeAll(out.fd(), data.data(), frame.bytes, out.name(), &writeError);
            } else if (container == Container::Avi) {
                w = avi.addFrame(data.data(), frame.bytes, &writeError);
            } else {
                w = mjpeg.addFrame(data.data(), frame.bytes, &writeError);
            }
            if (w != Written::Ok) {
                ended = endedBy(w);
                if (w != Written::Full) {
                    if (container == Container::Avi) avi.dropPartialFrame();
                    if (container == Container::Mjpeg) mjpeg.dropPartialFrame();
                }
                break;
            }
            ++frames;
            bytes += frame.bytes;
            dropped = frame.dropCount - dropBase;
            seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            progress.update(frames, seconds, dropped);
            if (container == Container::Jpeg) break;
            if (o.frames != 0 && frames >= o.frames) {
                ended = Ended::Frames;
                break;
            }
            if (o.seconds > 0 && seconds >= o.seconds) {
                ended = Ended::Seconds;
                break;
            }
        }
    }
    // The camera is free for the next program as soon as the frames are in.
    const std::string cameraError = capture->error();
    capture->stop();
    progress.finish();

    // Finish the file: whatever ended the recording, the frames written so
    // far make a whole file.
    std::string finishError;
    bool kept = false;
    if (frames > 0) {
        Written w = container == Container::Avi ? avi.finish(&finishError) : Written::Ok;
        if (w == Written::Ok) {
            VideoOutput::Result c = out.commit(&finishError);
            kept = c == VideoOutput::Result::Ok;
            if (!kept && c == VideoOutput::Result::DiskFull && ended != Ended::DiskFull) ended = Ended::DiskFull;
            if (!kept && c == VideoOutput::Result::Exists)
                throw ToolError(kExitFailure, o.output + " appeared while recording; the recording was not saved "
                                                         "over it (use --overwrite to replace it).");
        } else if (ended != Ended::DiskFull && ended != Ended::WriteFailed) {
            ended = endedBy(w);
        }
        if (!kept) {
            out.discard();
            if (writeError.empty()) writeError = finishError;
        }
    } else {
        out.discard();
    }
    lock.release();

    const std::string where = shownPath(out, o.output);
    const std::uint64_t fileBytes = container == Container::Avi ? avi.finishedLength() : bytes;
    json summary = {{"camera", number},
                    {"output", where},
                    {"format", containerName(container)},
                    {"width", size.width},
                    {"height", size.height},
                    {"frames", frames},
                    {"seconds", std::round(seconds * 1000) / 1000},
                    {"dropped", dropped},
                    {"rate", seconds > 0 ? std::round(frames / seconds * 100) / 100 : 0.0},
                    {"frame_interval_ms", intervalMs},
                    {"skipped", skipped},
                    {"bytes", kept ? fileBytes : 0},
                    {"stopped", endedName(ended)},
                    {"complete", kept}};
    if (snapshot) summary = {{"camera", number}, {"output", where}, {"width", size.width}, {"height", size.height},
                             {"bytes", kept ? bytes : 0}, {"skipped", skipped}};
    if (kept && g.json) {
        std::fprintf(report, "%s\n", summary.dump(2).c_str());
    } else if (kept && !g.quiet) {
        if (snapshot)
            std::fprintf(report, "%s  %s  %s\n", where.c_str(), sizeText(size.width, size.height).c_str(),
                         formatBytes(bytes).c_str());
        else if (!videoOnStdout)
            std::fprintf(report, "%s  %s, %.1f s, %s, %llu dropped, %s\n", where.c_str(), sayFrames(frames).c_str(),
                         seconds, sizeText(size.width, size.height).c_str(), static_cast<unsigned long long>(dropped),
                         formatBytes(fileBytes).c_str());
    }

    const std::string holds = kept ? "; " + where + " holds the " + sayFrames(frames) + " recorded before" : "";
    switch (ended) {
        case Ended::Frames:
        case Ended::Seconds:
            if (!kept) throw ToolError(kExitFailure, finishError.empty() ? cam + " sent no video." : finishError);
            return kExitOk;
        case Ended::ReaderClosed:
            // The player that read standard output was closed: the usual end of watching.
            return kExitOk;
        case Ended::Interrupted:
            throw ToolError(kExitInterrupted, kept ? "Interrupted: " + where + " holds the " + sayFrames(frames) +
                                                         " recorded."
                                                   : "Interrupted before any video was saved.");
        case Ended::Removed:
            throw ToolError(kExitRemoved, cam + " was unplugged while recording" + holds + ".");
        case Ended::NoVideo:
            throw ToolError(kExitFailure, cam + " stopped sending video" + holds + ".");
        case Ended::CameraFailed:
            if (snapshot && frames == 0 && cameraError.empty())
                throw ToolError(kExitFailure, cam + " sent no whole picture.");
            throw ToolError(kExitFailure, cam + " failed while recording (" + cameraError + ")" + holds + ".");
        case Ended::DiskFull:
            if (kept)
                throw ToolError(kExitDiskFull, "The disk is full" + holds + " it filled up.");
            throw ToolError(kExitDiskFull, "The disk is full: " + out.name() + " could not be written.");
        case Ended::WriteFailed: {
            std::string e = writeError.empty() ? "Cannot write " + out.name() + "." : writeError;
            if (kept && !e.empty() && e.back() == '.') e.pop_back();
            throw ToolError(kExitFailure, e + holds + (kept ? "." : ""));
        }
        case Ended::SizeLimit: {
            std::string e = writeError;
            if (!e.empty() && e.back() == '.') e.pop_back();
            throw ToolError(kExitFailure, e + (kept ? "; it holds the " + sayFrames(frames) +
                                                          " recorded (use --format mjpeg for longer recordings)."
                                                    : "."));
        }
    }
    return kExitOk;
}

}  // namespace pav512
