// The software cost of the video pipe: CPU time spent in the isochronous
// stream's completion path per second of video at 1023-byte packets (one
// packet per 1 ms bus frame at full speed), as a share of that second.
//
// Measured as the CPU time (CLOCK_THREAD_CPUTIME_ID) of the thread that runs
// the completions, over a window of 400 s of video: the bus's completion of a
// transfer, the I/O manager, the stream's packet loop and data routine calls,
// the rebuild of the URB and its resubmission to the bus. The isochronous pipe
// is served by a stand-in that completes transfers as fast as they come, with
// every packet full, while the simulated camera answers everything else. The
// camera's own side is kept out of the window: the transfer buffers are
// recycled, so their video bytes are written once during the warm-up and the
// stand-in then only reports each packet's length and status, as a host
// controller does. The data routine copies each packet into a frame buffer,
// as frame assembly does at the least.
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/quick.h"
#include "bench/video/iso_stand_in.h"
#include "driver/camera/usbif.h"
#include "driver/camera/usbstrm.h"
#include "driver/core/device_context.h"
#include "driver/core/driver.h"
#include "host/pnp_manager.h"
#include "platform/usb/bus.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"

namespace {

constexpr ULONG kPacketBytes = 1023;
constexpr ULONG kPacketsPerVideoSecond = 1000;
const std::uint64_t kWarmupPackets = pavbench::scaled<std::uint64_t>(20000, 100);
const std::uint64_t kMeasuredPackets =
    pavbench::scaled<std::uint64_t>(400000, 2000);  // 400 s of video

std::uint64_t threadCpuNs() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
}

// Serves the isochronous endpoint itself and hands everything else to the
// simulated camera.
class FastIsoPipe : public pavbench::IsoStandIn {
  public:
    explicit FastIsoPipe(std::shared_ptr<sim::SimCamera> camera) : IsoStandIn(std::move(camera)) {
        for (ULONG i = 0; i < kPacketBytes; ++i) payload_[i] = static_cast<UCHAR>(i * 7);
        start();
    }
    ~FastIsoPipe() override { stop(); }

    // Times the next `packets` packets on the pipe's thread.
    void measure(std::uint64_t packets) {
        std::lock_guard<std::mutex> g(lock_);
        measureLimit_ = packets;
        startMeasure_ = true;
    }
    bool done() {
        std::lock_guard<std::mutex> g(lock_);
        return finished_;
    }
    std::uint64_t packets() const { return packets_.load(); }
    std::uint64_t timedPackets() const { return timedPackets_; }
    std::uint64_t timedNs() const { return timedNs_; }

  private:
    void serve() override {
        bool measuring = false;
        std::uint64_t startNs = 0;
        for (;;) {
            usbbus::Transfer* t = next([&] {
                if (startMeasure_) {
                    startMeasure_ = false;
                    measuring = true;
                    timedPackets_ = 0;
                    startNs = threadCpuNs();
                }
            });
            if (!t) return;
            ULONG n = std::min<ULONG>(t->packetSize, kPacketBytes);
            for (ULONG i = 0; i < t->numberOfPackets; ++i) {
                USBD_ISO_PACKET_DESCRIPTOR& p = t->isoPackets[i];
                if (!measuring) std::memcpy(t->buffer + p.Offset, payload_, n);
                p.Length = n;
                p.Status = USBD_STATUS_SUCCESS;
            }
            t->actualLength = n * t->numberOfPackets;
            t->errorCount = 0;
            t->status = USBD_STATUS_SUCCESS;
            ULONG count = t->numberOfPackets;
            t->complete(t, t->context);
            packets_ += count;
            if (measuring) {
                timedPackets_ += count;
                if (timedPackets_ >= measureLimit_) {
                    timedNs_ = threadCpuNs() - startNs;
                    measuring = false;
                    std::lock_guard<std::mutex> g(lock_);
                    finished_ = true;
                }
            }
        }
    }

    UCHAR payload_[kPacketBytes];
    bool startMeasure_ = false;
    bool finished_ = false;
    std::uint64_t measureLimit_ = 0;
    std::uint64_t timedPackets_ = 0;
    std::uint64_t timedNs_ = 0;
    std::atomic<std::uint64_t> packets_{0};
};

// Frame assembly at its least: every packet copied into a frame buffer.
UCHAR frameBuffer[640 * 480 * 2];
std::atomic<ULONG> frameOffset{0};

void copyIntoFrame(DeviceContext*, PUCHAR data, ULONG length) {
    ULONG at = frameOffset.load(std::memory_order_relaxed);
    if (at + length > sizeof frameBuffer) at = 0;
    std::memcpy(frameBuffer + at, data, length);
    frameOffset.store(at + length, std::memory_order_relaxed);
}

NTSTATUS nothing(DeviceContext*) {
    return STATUS_SUCCESS;
}

int fail(const char* what) {
    std::fprintf(stderr, "bench_video_pipe: %s\n", what);
    std::printf("video-pipe cpu-share: n/a\n");
    return 1;
}

}  // namespace

int main() {
    sim::Scenario scenario = sim::defaultScenario();
    scenario.timing.throttled = false;
    auto camera = sim::SimCamera::create(scenario);
    auto pipe = std::make_shared<FastIsoPipe>(camera);
    double share = 0;
    std::uint64_t timedPackets = 0, timedNs = 0;
    {
        usbbus::Bus bus("bench_bus");
        host::PnpManager pnp;
        if (!NT_SUCCESS(pnp.loadDriver("pav512", PAV512_DriverEntry)))
            return fail("the driver did not load");
        // Only the USB layer's modules run: the stream below is the bench's own.
        DriverContext* driver = driverContextOf(pnp.driver());
        for (int i = 0; i < kModuleCount; ++i)
            if (i != kModuleStreamRequestList && i != kModuleStartupQuery)
                driver->modules[i] = {"none", nothing, nullptr};
        bus.setListener(&pnp);
        std::string error;
        PDEVICE_OBJECT pdo = bus.plug(pipe, sim::instancePathFor(scenario), &error);
        if (!pdo) return fail(error.c_str());
        pnp.settle();
        PDEVICE_OBJECT fdo = pnp.functionDevice(pdo);
        if (!fdo || pnp.arrivalStatus(pdo) != STATUS_SUCCESS)
            return fail("the camera did not start");
        DeviceContext* device = deviceContextOf(fdo);
        LONG selected = -1;
        if (!NT_SUCCESS(USBIF_Initialise(device)) ||
            !NT_SUCCESS(
                USBIF_SetCameraAlternate(device, device->usbif.interfaceNumber, 7, &selected)) ||
            selected != 7)
            return fail("alternate setting 7 could not be selected");
        UsbStream* stream = nullptr;
        // The video stream as the camera runs it: 8 transfers of 8 packets.
        if (!NT_SUCCESS(USBSTRM_Create(device, device->usbif.interfaceNumber, 0x81, 8, 8,
                                       "Isochronous Image Data", &stream)))
            return fail("no stream");
        if (!NT_SUCCESS(USBSTRM_Start(stream, 0, copyIntoFrame, nullptr, nullptr)))
            return fail("start failed");
        while (pipe->packets() < kWarmupPackets)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        pipe->measure(kMeasuredPackets);
        while (!pipe->done()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        timedPackets = pipe->timedPackets();
        timedNs = pipe->timedNs();
        USBSTRM_Destroy(&stream);
        USBIF_Terminate(device);
        bus.unplug(pdo);
        bus.settle();
        pnp.settle();
        bus.setListener(nullptr);
    }
    double videoSeconds = static_cast<double>(timedPackets) / kPacketsPerVideoSecond;
    double perPacketNs = static_cast<double>(timedNs) / static_cast<double>(timedPackets);
    share = 100.0 * (static_cast<double>(timedNs) / 1e9) / videoSeconds;
    std::printf("packets measured: %llu (%.0f s of video at %u-byte packets)\n",
                static_cast<unsigned long long>(timedPackets), videoSeconds, kPacketBytes);
    std::printf("completion path: %.0f ns per packet, %.0f ns per transfer of 8\n", perPacketNs,
                perPacketNs * 8);
    std::printf("method: CPU time of the completing thread over the window\n");
    std::printf("video-pipe cpu-share: %.3f%%\n", share);
    return 0;
}
