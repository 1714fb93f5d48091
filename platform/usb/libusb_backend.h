// Real cameras on the bus through libusb-1.0: a DeviceBackend per opened
// device and a watcher that plugs cameras in as they arrive and unplugs them
// as they leave.
//
// This backend has not been tried with a real camera. What runs here is
// checked against stand-ins for the library's transfer calls and against a
// machine with no camera attached.
#pragma once

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/usb/bus.h"

namespace usbbus {

constexpr std::uint16_t kCameraVendorId = 0xF1A5;
constexpr std::uint16_t kCameraProductId = 0x0B2D;

// USBD status of a finished libusb transfer or iso packet (libusb_transfer_status).
USBD_STATUS usbdStatusFromTransfer(int transferStatus);
// USBD status of a failed libusb call (libusb_error).
USBD_STATUS usbdStatusFromError(int error);
// "USB\VID_F1A5&PID_0B2D\port-<bus>-<port>.<port>...": one physical port always
// gives the same text, whatever address the device got this time.
std::string libusbInstancePath(std::uint16_t vendor, std::uint16_t product, std::uint8_t busNumber,
                               const std::uint8_t* ports, int portCount);

// The libusb calls the backend makes, so tests can stand in for the library.
// A stand-in for submitTransfer must not run the callback before it returns,
// as libusb never does.
struct LibusbCalls {
    int (*submitTransfer)(libusb_transfer*) = libusb_submit_transfer;
    int (*cancelTransfer)(libusb_transfer*) = libusb_cancel_transfer;
    int (*setConfiguration)(libusb_device_handle*, int) = libusb_set_configuration;
    int (*claimInterface)(libusb_device_handle*, int) = libusb_claim_interface;
    int (*releaseInterface)(libusb_device_handle*, int) = libusb_release_interface;
    int (*setAltSetting)(libusb_device_handle*, int, int) = libusb_set_interface_alt_setting;
    int (*clearHalt)(libusb_device_handle*, unsigned char) = libusb_clear_halt;
    int (*resetDevice)(libusb_device_handle*) = libusb_reset_device;
    void (*close)(libusb_device_handle*) = libusb_close;
};

class LibusbBackend final : public DeviceBackend {
  public:
    // Takes over the open handle (closed when the backend goes). Transfers
    // complete on the thread that runs the context's events.
    explicit LibusbBackend(libusb_device_handle* handle, LibusbCalls calls = {});
    ~LibusbBackend() override;

    void attach(Sink* sink) override;
    USBD_STATUS submit(Transfer* transfer) override;
    void cancel(Transfer* transfer) override;
    USBD_STATUS setConfiguration(UCHAR value) override;
    USBD_STATUS setInterface(UCHAR interfaceNumber, UCHAR alternateSetting) override;
    USBD_STATUS clearHalt(UCHAR endpoint) override;
    ULONG currentFrame() override;
    USBD_STATUS resetPort() override;
    USBD_STATUS cyclePort() override;
    bool reenumerate() override;

    // The watcher saw the device leave.
    void markGone();
    // True between cyclePort and reenumerate while the device re-enumerates
    // under a new address; the watcher then hands the returning device over
    // with adopt instead of plugging it as a new one.
    bool awaitingReturn() const;
    void adopt(libusb_device_handle* handle);
    size_t transfersInFlight() const;

  private:
    struct Pending;
    static void LIBUSB_CALL onTransferDone(libusb_transfer* lt);
    void releaseInterfaces();

    LibusbCalls calls_;
    mutable std::recursive_mutex lock_;
    std::condition_variable_any changed_;
    libusb_device_handle* handle_;
    Sink* sink_ = nullptr;
    bool gone_ = false;
    bool awaitingReturn_ = false;
    libusb_device_handle* returned_ = nullptr;
    std::vector<int> claimed_;
    std::map<Transfer*, Pending*> inflight_;
};

// Watches the system's USB devices and keeps the cameras on a bus.
class LibusbWatcher {
  public:
    explicit LibusbWatcher(Bus& bus, std::uint16_t vendor = kCameraVendorId,
                           std::uint16_t product = kCameraProductId);
    ~LibusbWatcher();
    LibusbWatcher(const LibusbWatcher&) = delete;
    LibusbWatcher& operator=(const LibusbWatcher&) = delete;

    // Starts libusb, its event thread and the watch (hotplug notifications
    // where libusb has them, else a periodic scan). Cameras already present
    // are plugged in. False with a reason when libusb cannot start.
    bool start(std::string* error = nullptr);
    // Unplugs the cameras it plugged, waits for the bus to let go of them and
    // stops everything it started. Safe to call twice.
    void stop();
    bool running() const;
    bool usingHotplug() const { return hotplug_; }
    // Cameras plugged in by this watcher now.
    size_t cameras() const;

  private:
    struct Event {
        libusb_device* device;  // referenced
        bool arrived;
    };
    static int LIBUSB_CALL onHotplug(libusb_context* ctx, libusb_device* device,
                                     libusb_hotplug_event event, void* self);
    void eventLoop();
    void watchLoop();
    void arrived(libusb_device* device);
    void left(libusb_device* device);
    void scan();
    std::string pathOf(libusb_device* device) const;

    Bus& bus_;
    std::uint16_t vendor_;
    std::uint16_t product_;
    libusb_context* context_ = nullptr;
    libusb_hotplug_callback_handle hotplugHandle_ = 0;
    bool hotplug_ = false;
    bool stopping_ = false;                    // the watch thread ends (lock_)
    std::atomic<bool> eventsStopping_{false};  // the event thread ends
    std::thread eventThread_;
    std::thread watchThread_;

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    struct Camera {
        libusb_device* device;  // referenced
        std::shared_ptr<LibusbBackend> backend;
    };
    std::map<std::string, Camera> cameras_;  // by instance path
};

}  // namespace usbbus
