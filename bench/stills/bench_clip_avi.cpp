// Building a clip's AVI file: the default camera's longest clip read through
// the PTP responder (GetObject, data phases of 64 KiB) against ffmpeg muxing
// the same JPEG frames into an AVI file with `-c copy`, in the same run. The
// figure is ffmpeg's time over ours (above 1: we are faster), each the best
// of several runs of wall-clock time. Ours includes the camera's side: the
// simulated camera answers the memory commands and the bulk reads as fast as
// they are taken (unthrottled timing); ffmpeg's includes starting its process,
// as a user who muxes the frames would pay it.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/quick.h"
#include "driver/camera/ptp_responder.h"
#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "driver/core/ptpif.h"
#include "host/pnp_manager.h"
#include "pav512/buffers.h"
#include "platform/usb/bus.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"

namespace {

using Clock = std::chrono::steady_clock;
const int kRuns = pavbench::scaled(15, 1);
constexpr std::uint32_t kSlice = 65536;

int fail(const char* what) {
    std::fprintf(stderr, "bench_clip_avi: %s\n", what);
    std::printf("clip-avi speedup: n/a\n");
    return pavbench::quick() ? 0 : 1;
}

void put32(std::vector<UCHAR>& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}
void put16(std::vector<UCHAR>& b, std::size_t at, std::uint16_t v) {
    std::memcpy(b.data() + at, &v, 2);
}
std::uint32_t get32(const std::vector<UCHAR>& b, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

std::vector<UCHAR> transfer(std::uint32_t session, std::uint16_t kind, std::uint16_t code,
                            std::uint32_t room) {
    std::vector<UCHAR> b(pav512::kPtpDataOffset + room, 0);
    put32(b, 4, session);
    put16(b, 8, kind);
    put16(b, 10, code);
    put32(b, 20, room);
    return b;
}

// One GetObject transaction through the responder's phase handlers; the
// file's bytes are appended to `file`. False when a phase failed.
bool getObject(DeviceContext* d, std::uint32_t session, std::uint32_t handle,
               std::vector<UCHAR>* file) {
    auto command = transfer(session, 1, 0x1009, 4);
    put32(command, pav512::kPtpDataOffset, handle);
    Camera_PtpCommandPhase(d, command.data(), static_cast<ULONG>(command.size()));
    if (command[0] != 0) return false;
    auto data = transfer(session, 2, 0x1009, kSlice);
    for (;;) {
        put32(data, 20, kSlice);
        Camera_PtpDataPhase(d, data.data(), static_cast<ULONG>(data.size()));
        if (data[0] != 0) return false;
        const std::uint32_t n = get32(data, 20);
        file->insert(file->end(), data.begin() + pav512::kPtpDataOffset,
                     data.begin() + pav512::kPtpDataOffset + n);
        if (get32(data, 24) + n >= get32(data, 16)) break;
    }
    auto response = transfer(session, 3, 0x1009, 16);
    Camera_PtpResponsePhase(d, response.data(), static_cast<ULONG>(response.size()));
    std::uint16_t code;
    std::memcpy(&code, response.data() + 10, 2);
    return code == 0x2001;
}

bool runQuiet(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

int main() {
    sim::Scenario scenario = sim::defaultScenario();
    scenario.timing.throttled = false;
    auto camera = sim::SimCamera::create(scenario);

    // The longest clip of the default content, and its frames as ffmpeg gets them.
    std::uint32_t number = 0;
    std::vector<UCHAR> video;
    int frames = 0, rate = 0;
    camera->withStore([&](sim::ObjectStore& s) {
        for (const sim::StoredObject& o : s.memory(0).objects()) {
            if (o.clipVideo.size() <= video.size()) continue;
            number = o.number;
            video = o.clipVideo;
            frames = static_cast<int>(o.frameLengths.size());
            rate = (o.directoryEntry[28] << 8) | o.directoryEntry[29];
        }
    });
    if (number == 0) return fail("the default content holds no clip");
    const std::string dir = "/tmp/bench_clip_avi_" + std::to_string(::getpid());
    std::string ffmpeg;
    for (const char* p : {"/usr/bin/ffmpeg", "/usr/local/bin/ffmpeg"})
        if (::access(p, X_OK) == 0) ffmpeg = p;
    if (ffmpeg.empty()) return fail("ffmpeg is not installed");
    if (!runQuiet("mkdir -p " + dir)) return fail("no scratch directory");
    std::ofstream(dir + "/frames.mjpeg", std::ios::binary)
        .write(reinterpret_cast<const char*>(video.data()),
               static_cast<std::streamsize>(video.size()));

    double oursBest = 1e30, ffmpegBest = 1e30;
    std::size_t fileBytes = 0;
    {
        usbbus::Bus bus("bench_bus");
        host::PnpManager pnp;
        if (!NT_SUCCESS(pnp.loadDriver("pav512", PAV512_DriverEntry)))
            return fail("the driver did not load");
        bus.setListener(&pnp);
        std::string error;
        PDEVICE_OBJECT pdo = bus.plug(camera, sim::instancePathFor(scenario), &error);
        if (!pdo) return fail(error.c_str());
        pnp.settle();
        PDEVICE_OBJECT fdo = pnp.functionDevice(pdo);
        if (!fdo || pnp.arrivalStatus(pdo) != STATUS_SUCCESS)
            return fail("the camera did not start");
        DeviceContext* device = deviceContextOf(fdo);
        std::vector<UCHAR> header(sizeof(pav512::PtpHeader), 0);
        if (PTPIF_Open(device, header.data()) != 0) return fail("no PTP session");
        const std::uint32_t session = get32(header, 8);
        put32(header, 4, session);
        if (PTPIF_Lock(device, header.data()) != 0) return fail("the PTP lock was refused");
        auto open = transfer(session, 1, 0x1002, 4);
        put32(open, pav512::kPtpDataOffset, 1);
        Camera_PtpCommandPhase(device, open.data(), static_cast<ULONG>(open.size()));
        auto opened = transfer(session, 3, 0x1002, 16);
        Camera_PtpResponsePhase(device, opened.data(), static_cast<ULONG>(opened.size()));

        const std::uint32_t handle = 0x10000000u | number;
        for (int i = 0; i < kRuns; ++i) {
            std::vector<UCHAR> file;
            file.reserve(video.size() + 65536);
            const auto start = Clock::now();
            if (!getObject(device, session, handle, &file)) return fail("GetObject failed");
            oursBest =
                std::min(oursBest, std::chrono::duration<double>(Clock::now() - start).count());
            fileBytes = file.size();
        }
        PTPIF_Close(device, header.data());
        bus.unplug(pdo);
        bus.settle();
        pnp.settle();
        bus.setListener(nullptr);
    }
    // ffmpeg: the same frames at the clip's rate, copied into an AVI file.
    char fps[32];
    std::snprintf(fps, sizeof fps, "%g", rate / 2.0);
    const std::string mux = ffmpeg + " -nostdin -v error -y -f mjpeg -framerate " + fps + " -i " +
                            dir + "/frames.mjpeg -c copy -f avi " + dir + "/out.avi";
    for (int i = 0; i < kRuns; ++i) {
        const auto start = Clock::now();
        if (!runQuiet(mux)) return fail("ffmpeg could not mux the frames");
        ffmpegBest =
            std::min(ffmpegBest, std::chrono::duration<double>(Clock::now() - start).count());
    }
    runQuiet("rm -rf " + dir);
    std::printf("clip: %d frames, %zu video bytes, AVI of %zu bytes\n", frames, video.size(),
                fileBytes);
    std::printf("through the responder: %.3f ms; ffmpeg -c copy: %.3f ms (best of %d)\n",
                oursBest * 1e3, ffmpegBest * 1e3, kRuns);
    std::printf("clip-avi speedup: %.2f\n", ffmpegBest / oursBest);
    return 0;
}
