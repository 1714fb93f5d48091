// The video benchmarks' stand-in for the isochronous endpoint: transfers for
// it queue here and a thread of the benchmark's own serves them (serve()),
// while the simulated camera answers everything else. A transfer cancelled
// while it still waits completes cancelled at once; one already taken is
// the serving thread's to complete.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/usb/bus.h"
#include "sim/sim_camera.h"

namespace pavbench {

class IsoStandIn : public usbbus::ForwardingBackend {
  public:
    explicit IsoStandIn(std::shared_ptr<sim::SimCamera> camera)
        : ForwardingBackend(std::move(camera)) {}
    ~IsoStandIn() override { stop(); }

    USBD_STATUS submit(usbbus::Transfer* t) override {
        if (t->type != USB_ENDPOINT_TYPE_ISOCHRONOUS) return ForwardingBackend::submit(t);
        {
            std::lock_guard<std::mutex> g(lock_);
            queue_.push_back(t);
        }
        wake_.notify_one();
        return USBD_STATUS_PENDING;
    }
    void cancel(usbbus::Transfer* t) override {
        if (t->type != USB_ENDPOINT_TYPE_ISOCHRONOUS) return ForwardingBackend::cancel(t);
        bool found = false;
        {
            std::lock_guard<std::mutex> g(lock_);
            auto it = std::find(queue_.begin(), queue_.end(), t);
            if (it != queue_.end()) {
                queue_.erase(it);
                found = true;
            }
        }
        if (!found) return;  // being completed on the serving thread
        t->status = USBD_STATUS_CANCELED;
        t->actualLength = 0;
        t->complete(t, t->context);
    }

  protected:
    // The serving thread's loop: next() until it gives nothing.
    virtual void serve() = 0;
    // Starts the serving thread; from the derived class's constructor, once
    // what serve() uses is made.
    void start() {
        thread_ = std::thread([this] { serve(); });
    }
    // Ends the serving thread; from the derived class's destructor, before
    // what serve() uses goes.
    void stop() {
        if (!thread_.joinable()) return;
        {
            std::lock_guard<std::mutex> g(lock_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    // The next transfer, waited for; null once stopping. `taken` runs under
    // the lock as the transfer is taken.
    template <class Taken>
    usbbus::Transfer* next(Taken taken) {
        std::unique_lock<std::mutex> g(lock_);
        wake_.wait(g, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) return nullptr;
        usbbus::Transfer* t = queue_.front();
        queue_.pop_front();
        taken();
        return t;
    }
    usbbus::Transfer* next() {
        return next([] {});
    }

    std::mutex lock_;  // the queue's, and the derived class's state shared with serve()

  private:
    std::condition_variable wake_;
    std::deque<usbbus::Transfer*> queue_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace pavbench
