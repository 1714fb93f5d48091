// The capture minidriver stand-in: the kernel component of the platform's
// capture stack that connects to the driver with the internal connect request,
// hands it every stream request block, hears the completions through the
// routines it gave, registers property-change watches, and disconnects before
// it goes. What it does with the video is the capture stack's business and not
// modelled here.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
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
    void completed(HW_STREAM_REQUEST_BLOCK* srb, bool viaStream);

    // Tokens of this minidriver's routines and of itself (its context).
    pav512::ConnectRecord own_{};
    pav512::ConnectRecord driverRecord_{};
    PDEVICE_OBJECT device_ = nullptr;
    bool connected_ = false;

    mutable std::mutex lock_;
    std::condition_variable arrived_;
    std::vector<Completion> completions_;
    std::vector<PropertyChange> changes_;
};

}  // namespace host
