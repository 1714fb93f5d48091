// A capture client process: records 320 x 240 MJPG video from the first
// camera of the host answering on this user's socket and says, one line each,
// what every read brought. The test that starts it judges the lines.
//
//   video_client capture N [MS [own|queued]]  read N frames, then stop;
//                            wait MS milliseconds after each (a slow
//                            reader); into memory of this process's own, or
//                            with the capture's queued reads
//   video_client hold        read until a read brings no frame (time-outs,
//                            each a line "timedout", are waited out)
//
// Lines: "started <image size>" or "refused <error>"; per frame "frame <bytes>
// <decoded width> <decoded height> <embedded number> <picture> <drops>"
// (width and height -1 when the frame does not decode, number -1 when it
// carries none); and last "end <frame|timedout|stopped|removed|failed> <error>".
#include <turbojpeg.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <span>
#include <vector>

#include "library/capture/video_capture.h"

namespace {

const char* resultName(pavcap::ReadResult r) {
    switch (r) {
        case pavcap::ReadResult::Frame:
            return "frame";
        case pavcap::ReadResult::TimedOut:
            return "timedout";
        case pavcap::ReadResult::Stopped:
            return "stopped";
        case pavcap::ReadResult::Removed:
            return "removed";
        case pavcap::ReadResult::Failed:
            return "failed";
    }
    return "?";
}

// The simulated camera's number segment right after the start marker: a
// comment whose text is eight hex digits.
long long embeddedNumber(const std::uint8_t* d, std::size_t n) {
    if (n < 14 || d[0] != 0xFF || d[1] != 0xD8 || d[2] != 0xFF || d[3] != 0xFE || d[4] != 0 ||
        d[5] != 10)
        return -1;
    std::string digits(reinterpret_cast<const char*>(d + 6), 8);
    char* end = nullptr;
    unsigned long v = std::strtoul(digits.c_str(), &end, 16);
    return end == digits.c_str() + 8 ? static_cast<long long>(v) : -1;
}

// Decodes the whole picture, so that a frame whose header is fine but whose
// data is cut short does not pass.
bool decode(tjhandle tj, const std::uint8_t* d, std::size_t n, int* width, int* height,
            std::vector<std::uint8_t>* rgb) {
    int sub = 0, space = 0;
    if (tjDecompressHeader3(tj, d, static_cast<unsigned long>(n), width, height, &sub, &space) != 0)
        return false;
    rgb->resize(static_cast<std::size_t>(*width) * *height * 3);
    return tjDecompress2(tj, d, static_cast<unsigned long>(n), rgb->data(), *width, 0, *height,
                         TJPF_RGB, 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s capture N [pause-ms [own|queued]] | hold\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    long wanted = mode == "capture" && argc > 2 ? std::strtol(argv[2], nullptr, 10) : -1;
    const long pauseMs = mode == "capture" && argc > 3 ? std::strtol(argv[3], nullptr, 10) : 0;
    // "own": frames are read into a buffer of this process's own rather
    // than the capture's, which the host writes into in place.
    const bool ownBuffer = mode == "capture" && argc > 4 && std::string(argv[4]) == "own";
    // "queued": frames come in the capture's own buffers, with reads kept
    // waiting in the driver.
    const bool queued = mode == "capture" && argc > 4 && std::string(argv[4]) == "queued";

    std::string error;
    auto capture = pavcap::VideoCapture::open(0, &error);
    if (!capture) {
        std::printf("refused %s\n", error.c_str());
        return 1;
    }
    pavcap::Format format;
    if (!capture->start(format)) {
        std::printf("refused %s\n", capture->error().c_str());
        return 1;
    }
    std::printf("started %zu\n", capture->imageSize());
    tjhandle tj = tjInitDecompress();
    std::vector<std::uint8_t> own;
    // A client of next() never asks for the capture's read buffer.
    std::span<std::uint8_t> buffer;
    if (!queued) buffer = capture->frameBuffer();
    if (!queued && (ownBuffer || buffer.empty())) {
        own.resize(capture->imageSize());
        buffer = own;
    }
    std::vector<std::uint8_t> rgb;
    pavcap::ReadResult r = pavcap::ReadResult::Frame;
    for (long got = 0; wanted < 0 || got < wanted; ++got) {
        pavcap::Frame frame;
        const std::uint8_t* bytes = buffer.data();
        if (queued) {
            std::span<const std::uint8_t> data;
            r = capture->next(&frame, &data);
            bytes = data.data();
        } else {
            r = capture->read(buffer, &frame);
        }
        if (r == pavcap::ReadResult::TimedOut && wanted < 0) {
            // Holding: a camera that paused is waited for.
            std::printf("timedout\n");
            continue;
        }
        if (r != pavcap::ReadResult::Frame) break;
        int w = -1, h = -1;
        if (!decode(tj, bytes, frame.bytes, &w, &h, &rgb)) w = h = -1;
        std::printf("frame %zu %d %d %lld %llu %llu\n", frame.bytes, w, h,
                    embeddedNumber(bytes, frame.bytes),
                    static_cast<unsigned long long>(frame.pictureNumber),
                    static_cast<unsigned long long>(frame.dropCount));
        if (pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    std::printf("end %s %s\n", resultName(r),
                r == pavcap::ReadResult::Frame ? "" : capture->error().c_str());
    capture->stop();
    capture.reset();
    tjDestroy(tj);
    return 0;
}
