// The simulated camera as a USB device backend: its firmware (sim/firmware.h)
// behind a simulated full-speed host controller with 1 ms frames on the
// shared clock. Every transfer completes on the camera's own thread, never
// inside submit:
//   control        controlLatencyFrames frames after submission;
//   isochronous    one packet per frame, so P packets take P frames;
//   bulk           up to 19 packets of 64 bytes per frame shared by both bulk
//                  endpoints (fewer while video uses the isochronous
//                  endpoint), or as fast as taken when the timing is not
//                  throttled (control transfers then complete at once too);
//   interrupt      one 8-byte message per poll interval when one is due.
// An in-transfer with less room left than the packet the camera sends ends
// with USBD_STATUS_BUFFER_OVERRUN (an isochronous packet: that packet's
// status), as a host controller reports babble; nothing of it is written.
// Test hooks read back what the host wrote and switch faults at any time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "platform/usb/bus.h"
#include "sim/descriptors.h"
#include "sim/firmware.h"
#include "sim/scenario.h"
#include "sim/video.h"

namespace sim {

constexpr ULONG kBulkPacketsPerFrame = 19;

// What went over the wire so far, for tests.
struct WireCounters {
    std::uint64_t controlTransfers = 0;
    std::uint64_t isoPackets = 0;      // packets handed to isochronous transfers
    std::uint64_t isoDataPackets = 0;  // ... of them carrying video
    std::uint64_t bulkInBytes = 0;
    std::uint64_t bulkOutBytes = 0;
    std::uint64_t interruptMessages = 0;
    std::uint64_t framesStarted = 0;
    std::uint64_t framesCompleted = 0;
    std::uint64_t maxBulkPacketsAtOnce = 0;  // in one frame, or one pass when unthrottled
};

// One vendor request of the default pipe as the camera received it.
struct VendorRequestRecord {
    std::uint8_t requestType = 0;  // bmRequestType
    std::uint8_t request = 0;      // bRequest
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    bool in = false;                           // device to host
    std::uint16_t length = 0;                  // wLength
    std::vector<std::uint8_t> data;            // the data stage of an out request
    USBD_STATUS status = USBD_STATUS_PENDING;  // how the camera answered
};

// The request log keeps the latest entries within both bounds, so a camera
// that runs for days (or takes megabytes of data blocks) stays small.
constexpr std::size_t kMaxRequestLogEntries = 4096;
constexpr std::size_t kMaxRequestLogBytes = 1u << 20;  // out-request data bytes

class SimCamera : public usbbus::DeviceBackend {
  public:
    // Generates the scenario's content. Objects it cannot make are left out
    // and reported by contentProblems(), each message naming the object
    // ("objects[2] (memory 0, number 5): number: 5 is already in use"); whoever
    // plugs the camera in refuses it then, so a test never runs against
    // content other than what it asked for.
    explicit SimCamera(const Scenario& scenario);
    // Uses the given store as it is (tests that build objects by hand).
    SimCamera(const Scenario& scenario, ObjectStore store);
    ~SimCamera() override;
    SimCamera(const SimCamera&) = delete;
    SimCamera& operator=(const SimCamera&) = delete;

    static std::shared_ptr<SimCamera> create(const Scenario& scenario) {
        return std::make_shared<SimCamera>(scenario);
    }
    static std::shared_ptr<SimCamera> create(const Scenario& scenario, ObjectStore store) {
        return std::make_shared<SimCamera>(scenario, std::move(store));
    }

    // DeviceBackend.
    void attach(Sink* sink) override;
    USBD_STATUS submit(usbbus::Transfer* transfer) override;
    void cancel(usbbus::Transfer* transfer) override;
    USBD_STATUS setConfiguration(UCHAR value) override;
    USBD_STATUS setInterface(UCHAR interfaceNumber, UCHAR alternateSetting) override;
    USBD_STATUS clearHalt(UCHAR endpoint) override;
    ULONG currentFrame() override;
    USBD_STATUS resetPort() override;
    USBD_STATUS cyclePort() override;
    bool reenumerate() override;

    // Test hooks. All are safe from any thread.
    const Scenario& scenario() const { return scenario_; }
    const std::vector<std::string>& contentProblems() const { return contentProblems_; }
    void injectInterrupt(const InterruptMessage& message);
    // Message 2: changed inputs and their new state (bit i = input i).
    void injectInputs(std::uint16_t changed, std::uint16_t state);
    // Message 3: a button code (1, 2 or 4 are the camera's buttons).
    void injectButton(std::uint8_t code);
    std::uint8_t registerValue(int space, int reg) const;
    std::vector<RegisterWrite> registerWrites() const;
    std::vector<RegisterTable> tables() const;
    std::vector<DataBlockWrite> dataBlocks() const;
    std::vector<std::uint8_t> patchBytes() const;
    std::array<std::uint8_t, kPatchHeaderSize> patchHeader() const;
    PatchState patchState() const;
    std::string patchProblem() const;
    std::uint16_t firmwareLevel() const;
    std::array<std::uint8_t, kInformationBlockSize> informationBlock() const;
    int configuration() const;
    int alternateSetting() const;
    bool present() const;  // false after removal and while cycled out
    WireCounters counters() const;
    std::size_t pendingTransfers() const;
    // Vendor requests received, oldest first (see kMaxRequestLog*).
    std::vector<VendorRequestRecord> requestLog() const;
    void clearRequestLog();
    // Reads or changes the stored objects under the camera's lock.
    void withStore(const std::function<void(ObjectStore&)>& use);
    // Faults: the whole set, or one change under the lock.
    Faults faults() const;
    void setFaults(const Faults& faults);
    void changeFaults(const std::function<void(Faults&)>& change);
    void stallEndpoint(std::uint8_t endpoint);
    bool halted(std::uint8_t endpoint) const;
    // Video of chosen shapes: packets exactly as given, or frames reshaped
    // from the generated ones, sent in order at the next frame boundary
    // while the sensor runs, before the generated frames go on.
    void queueVideoPackets(std::vector<VideoPacket> packets);
    void queueVideoFrames(std::vector<ScriptedFrame> frames);
    // The sensor sends nothing for `ms` from now, even in the middle of a
    // frame (0 or less: it goes on at once).
    void pauseVideo(int ms);
    // Scripted packets and frames not yet sent, and packets sent so far.
    std::size_t scriptedVideoLeft() const;
    std::uint64_t scriptedPacketsSent() const;
    // Surprise removal: pending transfers end with USBD_STATUS_DEVICE_GONE,
    // then the sink hears deviceGone.
    void unplug();

  private:
    struct Pending {
        usbbus::Transfer* transfer = nullptr;
        ULONG submitFrame = 0;
        ULONG packetsDone = 0;
        bool started = false;
        bool failing = false;  // a failed-transfer burst took it
    };
    using Queue = std::deque<Pending>;

    void start();
    void run();
    bool needsFrames() const;
    LONGLONG frameStart(ULONG frame) const;
    ULONG frameAt(LONGLONG now) const;
    void processFrame(ULONG frame, LONGLONG now);
    void processControl(ULONG frame, LONGLONG now, bool immediate);
    void executeControl(Pending& p, LONGLONG now);
    USBD_STATUS standardRequest(const UCHAR* setup, UCHAR* data, ULONG length, ULONG* moved);
    void processIso(ULONG frame, LONGLONG now);
    void processInterrupt(ULONG frame, LONGLONG now);
    void processBulk(ULONG frame, LONGLONG now, ULONG budget);
    bool bulkInStep(Pending& p, LONGLONG now, bool* sent, bool* overflow);
    ULONG bulkInRun(Pending& p, LONGLONG now, ULONG maxPackets);
    void beginTransfer(Pending& p);
    bool burstApplies(UCHAR endpoint) const;
    void finishFront(Queue& q, USBD_STATUS status);
    void complete(Queue& q, USBD_STATUS status);
    USBD_STATUS setConfigurationLocked(UCHAR value);
    USBD_STATUS setInterfaceLocked(UCHAR interfaceNumber, UCHAR alternateSetting);
    void completeAll(USBD_STATUS status);
    void leave(bool surprise);
    Queue* queueFor(UCHAR endpoint);
    bool endpointActive(UCHAR endpoint, UCHAR* type) const;
    void updateVideo(LONGLONG now);
    bool transferModeAllows() const;
    int shortReadLimit(int request) const;
    bool takeFailedRequest(UCHAR request, USHORT value, USHORT index);
    void logRequest(VendorRequestRecord record);
    void powerOn();

    const Scenario scenario_;
    std::vector<std::string> contentProblems_;
    Faults faults_;
    std::unique_ptr<Firmware> firmware_;
    VideoSource video_;

    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::thread thread_;
    bool stopping_ = false;
    // Cleared when the camera is destroyed from inside a completion or sink
    // call on its own thread, so that the thread leaves without touching it.
    std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
    // Held while the sink is told something; shared with the thread so that
    // it outlives a camera destroyed from inside the sink.
    std::shared_ptr<std::recursive_mutex> sinkLock_ = std::make_shared<std::recursive_mutex>();
    Sink* sink_ = nullptr;

    // Bus state.
    LONGLONG epoch_ = 0;
    ULONG lastFrame_ = 0;
    bool connected_ = true;  // false after removal or while cycled out
    bool removed_ = false;   // surprise removal: the camera never comes back
    bool goneNotice_ = false;
    int configuration_ = 0;
    int alternate_ = 0;
    std::set<UCHAR> halted_;
    Queue control_;
    Queue iso_;
    Queue bulkIn_;
    Queue bulkOut_;
    Queue interrupt_;
    ULONG lastInterruptFrame_ = 0;
    std::vector<usbbus::Transfer*> done_;
    // Submissions so far, read without the lock by the thread's look for
    // more work before it sleeps (see run()).
    std::atomic<std::uint64_t> submissions_{0};
    std::uint64_t isoPacketCount_ = 0;
    std::uint64_t videoPacketCount_ = 0;
    int transfersStarted_ = 0;
    bool removeAfterFrame_ = false;
    WireCounters counters_;
    std::pair<int, int> prepareSize_{0, 0};  // frames to make before completing
    std::pair<int, int> offeredSize_{0, 0};  // frames the video source holds
    std::vector<UCHAR> scratch_;             // an isochronous packet before it is known to fit
    std::deque<VendorRequestRecord> requestLog_;
    std::size_t requestLogBytes_ = 0;
};

}  // namespace sim
