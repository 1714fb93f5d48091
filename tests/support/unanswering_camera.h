// A camera whose firmware has stopped answering: its vendor control requests
// are taken and never answered, and a cancel does not end them either (the
// host controller keeps them), until the camera leaves the bus, when they end
// with USBD_STATUS_DEVICE_GONE as the bus contract wants. The requests the
// USB core answers by itself (descriptors, configuration, settings) still
// work, so the device enumerates. A test ends with camera().unplug(): once
// the driver has given up on a request the bus's own removal no longer asks
// for it, and only the camera's leaving ends it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/usb/bus.h"
#include "tests/support/camera_harness.h"

namespace sim {
class SimCamera;
}

namespace pavtest {

class UnansweringCamera : public usbbus::ForwardingBackend {
  public:
    explicit UnansweringCamera(std::shared_ptr<sim::SimCamera> camera);
    ~UnansweringCamera() override;

    void attach(usbbus::DeviceBackend::Sink* sink) override;
    USBD_STATUS submit(usbbus::Transfer* transfer) override;
    void cancel(usbbus::Transfer* transfer) override;

    // Off: vendor requests go to the camera as usual (those already held stay held).
    void setWedged(bool wedged) { wedged_ = wedged; }
    // Vendor requests taken and not answered so far, and all ever taken.
    int held() const;
    int taken() const { return taken_; }
    // Cancels the bus asked for and that were not passed on.
    int cancelsIgnored() const { return cancelsIgnored_; }

  private:
    // What the camera tells when it leaves goes through here first.
    struct Relay : usbbus::DeviceBackend::Sink {
        UnansweringCamera* owner = nullptr;
        void deviceGone() override { owner->deviceGone(); }
    };
    void deviceGone();
    void releaseAll();

    Relay relay_;
    mutable std::mutex lock_;
    std::vector<usbbus::Transfer*> held_;
    usbbus::DeviceBackend::Sink* sink_ = nullptr;
    std::atomic<bool> wedged_{true};
    std::atomic<int> taken_{0};
    std::atomic<int> cancelsIgnored_{0};
};

// Harness options with the camera behind an UnansweringCamera; *front
// receives it when the camera is plugged in.
CameraHarnessOptions withUnansweringCamera(CameraHarnessOptions options,
                                           std::shared_ptr<UnansweringCamera>* front);

}  // namespace pavtest
