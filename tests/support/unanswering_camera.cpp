#include "tests/support/unanswering_camera.h"

#include "sim/sim_camera.h"

namespace pavtest {

namespace {

bool isVendorRequest(const usbbus::Transfer* t) {
    return t->type == USB_ENDPOINT_TYPE_CONTROL && ((t->setup[0] >> 5) & 3) == 2;
}

}  // namespace

UnansweringCamera::UnansweringCamera(std::shared_ptr<sim::SimCamera> camera)
    : ForwardingBackend(std::move(camera)) {
    relay_.owner = this;
}

UnansweringCamera::~UnansweringCamera() {
    releaseAll();
}

void UnansweringCamera::attach(usbbus::DeviceBackend::Sink* sink) {
    {
        std::lock_guard<std::mutex> g(lock_);
        sink_ = sink;
    }
    // The camera tells this backend when it leaves, so that what is held here
    // ends before the bus hears of it.
    ForwardingBackend::attach(sink ? &relay_ : nullptr);
}

USBD_STATUS UnansweringCamera::submit(usbbus::Transfer* t) {
    if (!wedged_ || !isVendorRequest(t)) return ForwardingBackend::submit(t);
    std::lock_guard<std::mutex> g(lock_);
    held_.push_back(t);
    ++taken_;
    return USBD_STATUS_PENDING;
}

void UnansweringCamera::cancel(usbbus::Transfer* t) {
    {
        std::lock_guard<std::mutex> g(lock_);
        for (usbbus::Transfer* h : held_) {
            if (h == t) {
                ++cancelsIgnored_;
                return;
            }
        }
    }
    ForwardingBackend::cancel(t);
}

int UnansweringCamera::held() const {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<int>(held_.size());
}

void UnansweringCamera::releaseAll() {
    std::vector<usbbus::Transfer*> held;
    {
        std::lock_guard<std::mutex> g(lock_);
        held.swap(held_);
    }
    for (usbbus::Transfer* t : held) {
        t->actualLength = 0;
        t->status = USBD_STATUS_DEVICE_GONE;
        t->complete(t, t->context);
    }
}

void UnansweringCamera::deviceGone() {
    releaseAll();
    usbbus::DeviceBackend::Sink* sink;
    {
        std::lock_guard<std::mutex> g(lock_);
        sink = sink_;
    }
    if (sink) sink->deviceGone();
}

CameraHarnessOptions withUnansweringCamera(CameraHarnessOptions options,
                                           std::shared_ptr<UnansweringCamera>* front) {
    options.wrapBackend = [front](std::shared_ptr<sim::SimCamera> camera) {
        auto wrapped = std::make_shared<UnansweringCamera>(std::move(camera));
        *front = wrapped;
        return std::static_pointer_cast<usbbus::DeviceBackend>(wrapped);
    };
    return options;
}

}  // namespace pavtest
