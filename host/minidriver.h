// The capture minidriver stand-in: the kernel component of the platform's
// capture stack that connects to the driver with the internal connect request,
// hands it every stream request block, hears the completions through the
// routines it gave, registers property-change watches, and disconnects before
// it goes.
//
// It also runs a capture the way the stream class drives one: initialise the
// device, read the stream information, intersect a data range of the format
// list, open the capture stream with the result, pause then run it, keep reads
// queued (each completed read is handed back for the next frame from a thread
// of its own, as the capture stack's next read would come), ask for device and
// stream properties, report power changes, stop, close and disconnect. Every
// request goes through the driver's routines from the connect record, every
// answer comes back through this stand-in's own routines, and every call of
// those routines is logged so that tests can tell what the driver called when.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/core/srbif.h"
#include "pav512/buffers.h"
#include "platform/kernel/wdm.h"

namespace host {

class CaptureMinidriver {
  public:
    struct Completion {
        HW_STREAM_REQUEST_BLOCK* srb;
        bool viaStreamRoutine;  // else through the device-request routine
        NTSTATUS status;
    };
    struct PropertyChange {
        ULONG reason;
        PVOID context;
        GUID set;
        ULONG identifier;
    };
    // The routines the driver may call, as the call log names them.
    enum class Routine {
        DeviceRequestComplete,
        StreamRequestComplete,
        FilterRegistration,
        MasterClockQuery,
        PropertyChange,
        StreamReceive,
        DeviceEvent,
    };
    // One completed read as the capture stack receives it.
    struct Frame {
        HW_STREAM_REQUEST_BLOCK* srb;
        NTSTATUS status;
        std::vector<std::uint8_t> bytes;  // the first DataUsed bytes of the buffer
        ULONG dataUsed;
        ULONG optionsFlags;
        LONGLONG presentationTime;
        LONGLONG pictureNumber;
        LONGLONG dropCount;
        ULONG frameFlags;
        // Completed inside the submit that handed this very read over: the
        // driver filled it at once rather than from a later frame.
        bool duringSubmit;
    };

    CaptureMinidriver();
    // Disconnects if still connected and withdraws its routines.
    ~CaptureMinidriver();
    CaptureMinidriver(const CaptureMinidriver&) = delete;
    CaptureMinidriver& operator=(const CaptureMinidriver&) = delete;

    // Connects to the driver's device (the top of the stack above `device`)
    // with a well-formed record. On success the driver's routines resolve.
    NTSTATUS connect(PDEVICE_OBJECT device);
    // Sends a connect record of the caller's making with the given lengths
    // (for checking how the driver treats bad records). Returns the status and
    // the information; `record` gets what came back.
    NTSTATUS sendConnect(PDEVICE_OBJECT device, pav512::ConnectRecord* record, ULONG inputLength,
                         ULONG outputLength, ULONG_PTR* information);
    // The record this minidriver sends, its own routines filled in.
    pav512::ConnectRecord ownRecord() const;
    NTSTATUS disconnect();
    bool connected() const;
    // The device left (its stack was removed): nothing more is sent to it.
    void deviceGone();

    // The driver's half of the last successful connect.
    const pav512::ConnectRecord& driverRecord() const { return driverRecord_; }

    // Hands a block to the driver's receive routine; false when not connected
    // or the driver's routine does not resolve.
    bool submit(HW_STREAM_REQUEST_BLOCK* srb);
    bool cancel(HW_STREAM_REQUEST_BLOCK* srb);
    bool resetTimeout(HW_STREAM_REQUEST_BLOCK* srb);
    // Registers or removes a watch of (set, id) through the driver's watch
    // routine; `record` must live until the watch is removed.
    bool watch(SRB_WATCH_RECORD* record);

    // Waits (real time, bounded) until `count` completions arrived.
    bool waitCompletions(std::size_t count, int timeoutMs = 5000);
    std::vector<Completion> completions() const;
    std::vector<PropertyChange> propertyChanges() const;
    // How often `srb` has completed so far (a block handed back by
    // keepReadsQueued completes once per submission).
    std::size_t completionsOf(const HW_STREAM_REQUEST_BLOCK* srb) const;

    // Submits a block and waits (real time, bounded) for its completion;
    // its status, or STATUS_IO_TIMEOUT when it did not complete in time.
    NTSTATUS request(HW_STREAM_REQUEST_BLOCK* srb, int timeoutMs = 20000);

    // ---- Capture, the stream class's way ----------------------------------

    // Initialise-device, then initialisation-complete (filter registration).
    NTSTATUS initialiseDevice();
    // The filter registrations the driver asked for: (category, pins).
    std::vector<std::pair<GUID, ULONG>> filterRegistrations() const;
    // Get-stream-info into `out`.
    NTSTATUS streamInformation(HW_STREAM_DESCRIPTOR* out);
    // The stream's data ranges, resolved from the stream information.
    std::vector<KS_DATARANGE_VIDEO> formatRanges();
    // Data intersection of the stream's first range (asking for the size
    // first, then with a buffer of that size), then the picture size the
    // capture application picked: `width` x `height` (0: the range's
    // default) with the image size its compression's rule gives.
    NTSTATUS intersect(KS_DATAFORMAT_VIDEOINFOHEADER* out, LONG width = 0, LONG height = 0);
    // Open-stream of stream 0 (the capture stream) with `format`, into this
    // stand-in's stream object.
    NTSTATUS openStream(const KS_DATAFORMAT_VIDEOINFOHEADER& format);
    // Open-stream into a stream object of the caller's (a second instance).
    NTSTATUS openStreamObject(HW_STREAM_OBJECT* object, const KS_DATAFORMAT_VIDEOINFOHEADER& format);
    HW_STREAM_OBJECT* stream() { return &stream_; }
    NTSTATUS setState(ULONG state);
    NTSTATUS getState(ULONG* state);
    // Indicate-master-clock: this stand-in's clock (stream time from now,
    // in 100 ns) or none.
    NTSTATUS indicateMasterClock(bool on);
    // Called on every query of the master clock, from the querying thread,
    // before the time is read (e.g. to act in the driver's window there).
    void onClockQuery(std::function<void()> hook);
    // Get- and set-device-property: the property header, then `value`.
    NTSTATUS getDeviceProperty(const GUID& set, ULONG id, std::vector<std::uint8_t>* value);
    NTSTATUS setDeviceProperty(const GUID& set, ULONG id, const std::vector<std::uint8_t>& value);
    // The stream properties of the capture stream.
    NTSTATUS droppedFrames(KSPROPERTY_DROPPEDFRAMES_CURRENT_S* out);
    NTSTATUS allocatorFraming(KSALLOCATOR_FRAMING* out);
    // Change-power-state to a device power state (PowerDeviceD0 ... D3).
    NTSTATUS changePowerState(ULONG deviceState);
    NTSTATUS closeStream();
    // Stops taking reads back, stop, close and disconnect.
    NTSTATUS shutdown();

    // Keeps `count` reads of `room` bytes each (0: the open format's image
    // size) queued on the open stream: a read that completes is handed
    // back, except one that was cancelled (a stop or a power-down ended the
    // capture; call again to go on). Reads already queued count.
    bool keepReadsQueued(std::size_t count, ULONG room = 0);
    // Hands back no more reads and waits until none is on its way to the
    // driver; reads already queued stay there.
    void stopQueueingReads();
    // One read that is not handed back, in a block of its own that no later
    // read uses (so its completions are its alone); the block, for
    // cancelling it.
    HW_STREAM_REQUEST_BLOCK* submitRead(ULONG room = 0);
    // Reads in the driver's hands now.
    std::size_t readsOutstanding() const;
    std::vector<HW_STREAM_REQUEST_BLOCK*> outstandingReads() const;
    // The block whose submit is running on the calling thread, or null.
    static const HW_STREAM_REQUEST_BLOCK* submittingHere();
    // Waits (real time, bounded) until `count` reads completed with a frame
    // (success); false on the time-out.
    bool waitFrames(std::size_t count, int timeoutMs = 20000);
    // Every completed read, oldest first.
    std::vector<Frame> frames() const;

    // Calls of this stand-in's routines, in order. allRoutineCalls() also
    // counts calls that named no stand-in at all.
    std::vector<Routine> routineCalls() const;
    static std::uint64_t allRoutineCalls();

    // The minidriver's routines, as the driver calls them.
    static void deviceRequestComplete(PVOID hwDeviceExtension, HW_STREAM_REQUEST_BLOCK* srb);
    static void streamRequestComplete(HW_STREAM_OBJECT* stream, HW_STREAM_REQUEST_BLOCK* srb);
    static NTSTATUS filterRegistration(PDEVICE_OBJECT physicalDevice, const GUID* category,
                                       ULONG pinCount);
    static LONGLONG masterClockQuery(PVOID clock);
    static void propertyChange(ULONG reason, PVOID context, ULONG_PTR reserved, const GUID* set,
                               ULONG identifier);
    static void streamReceive(HW_STREAM_REQUEST_BLOCK* srb);
    static NTSTATUS deviceEvent(PVOID eventData);

  private:
    struct ReadSlot {
        HW_STREAM_REQUEST_BLOCK srb{};
        SRB_VIDEO_READ_HEADER header{};
        std::vector<UCHAR> data;
        bool outstanding = false;
        bool handBack = false;
        bool single = false;  // a read of submitRead: never used again
    };

    void completed(HW_STREAM_REQUEST_BLOCK* srb, bool viaStream);
    void logCall(Routine routine);
    ULONG imageSize() const;
    // lock_ held.
    ReadSlot* slotOf(const HW_STREAM_REQUEST_BLOCK* srb);
    ReadSlot* freeSlotLocked(ULONG room);
    bool submitSlot(ReadSlot* slot);
    void readerLoop();
    void stopReader();
    NTSTATUS streamProperty(const GUID& set, ULONG id, void* out, ULONG size);

    // Tokens of this minidriver's routines and of itself (its context).
    pav512::ConnectRecord own_{};
    pav512::ConnectRecord driverRecord_{};
    PDEVICE_OBJECT device_ = nullptr;
    std::atomic<bool> connected_{false};

    HW_STREAM_OBJECT stream_{};
    KS_DATAFORMAT_VIDEOINFOHEADER format_{};
    bool streamOpen_ = false;
    LONGLONG clockStart_ = 0;

    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Completion> completions_;
    std::vector<PropertyChange> changes_;
    std::vector<Routine> calls_;
    std::vector<std::pair<GUID, ULONG>> registrations_;
    std::function<void()> clockHook_;
    std::vector<std::unique_ptr<ReadSlot>> slots_;
    std::vector<Frame> frames_;
    std::size_t framesFilled_ = 0;
    // The reader thread hands completed reads back.
    std::thread reader_;
    bool readerStop_ = false;
    bool queueing_ = false;
    bool readerBusy_ = false;
};

}  // namespace host
