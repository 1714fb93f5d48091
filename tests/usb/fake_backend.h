// A small device for the bus tests: answers descriptor reads and vendor
// requests from a thread of its own, keeps bulk, interrupt and isochronous
// transfers pending until the test finishes them, and records what the bus
// asked of it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/usb/bus.h"
#include "tests/usb/descriptor_builder.h"

namespace usbtest {

class FakeBackend : public usbbus::DeviceBackend {
  public:
    FakeBackend()
        : deviceBytes(deviceDescriptor()),
          configBytes(configurationDescriptor(cameraSettings())),
          worker_([this] { work(); }) {}
    ~FakeBackend() override {
        {
            std::lock_guard<std::mutex> g(m_);
            stop_ = true;
            cv_.notify_all();
        }
        worker_.join();
        EXPECT_TRUE(held_.empty()) << "transfers left pending in the fake";
    }

    // --- what the device answers -------------------------------------------
    std::vector<UCHAR> deviceBytes;
    std::vector<UCHAR> configBytes;
    std::vector<UCHAR> configAfterCycle;  // descriptors after a re-enumeration, when set
    // Vendor requests: fills the transfer's result; default: success, all bytes.
    std::function<void(usbbus::Transfer&)> vendor;
    bool holdVendor = false;                         // keep vendor requests pending instead
    bool cancelInline = false;                       // complete cancelled transfers inside cancel()
    USBD_STATUS refuseSubmit = USBD_STATUS_PENDING;  // anything else: submit refuses
    std::set<UCHAR> refusedSettings;                 // setInterface answers NO_BANDWIDTH for these
    std::function<void()> duringSetInterface;        // runs in setInterface, before it answers
    bool comesBack = true;

    // --- what the bus did --------------------------------------------------
    struct Calls {
        std::vector<UCHAR> configurations;
        std::vector<std::pair<UCHAR, UCHAR>> interfaces;
        std::vector<UCHAR> clearedHalts;
        std::vector<std::vector<UCHAR>> setups;  // every control transfer's setup packet
        int cancels = 0;
        int cycles = 0;
        int reenumerations = 0;
        int detaches = 0;
        int attaches = 0;
    };
    Calls calls() {
        std::lock_guard<std::mutex> g(m_);
        return calls_;
    }

    // --- driving the device --------------------------------------------------
    size_t held() {
        std::lock_guard<std::mutex> g(m_);
        return held_.size();
    }
    bool waitHeld(size_t n) {
        std::unique_lock<std::mutex> g(m_);
        return cv_.wait_for(g, std::chrono::seconds(5), [&] { return held_.size() >= n; });
    }
    usbbus::Transfer* heldAt(size_t i) {
        std::lock_guard<std::mutex> g(m_);
        return i < held_.size() ? held_[i] : nullptr;
    }
    // Finishes the oldest held transfer with `status`, filling `bytes` bytes
    // with `fill` (iso: every packet gets min(bytes, packet size)).
    void finish(size_t index, USBD_STATUS status, ULONG bytes, UCHAR fill = 0xA5) {
        usbbus::Transfer* t;
        {
            std::lock_guard<std::mutex> g(m_);
            ASSERT_LT(index, held_.size());
            t = held_[index];
            held_.erase(held_.begin() + static_cast<std::ptrdiff_t>(index));
        }
        if (t->type == USB_ENDPOINT_TYPE_ISOCHRONOUS) {
            ULONG total = 0;
            for (ULONG i = 0; i < t->numberOfPackets; ++i) {
                ULONG n = std::min(bytes, t->packetSize);
                std::memset(t->buffer + t->isoPackets[i].Offset, fill, n);
                t->isoPackets[i].Length = n;
                t->isoPackets[i].Status = status;
                total += n;
            }
            t->actualLength = total;
            t->status = USBD_STATUS_SUCCESS;
        } else {
            ULONG n = std::min(bytes, t->length);
            if (n) std::memset(t->buffer, fill, n);
            t->actualLength = n;
            t->status = status;
        }
        queue(t);
    }
    void goAway() {
        // Under the lock attach takes, as the bus's contract wants.
        std::lock_guard<std::mutex> g(m_);
        if (sink_) sink_->deviceGone();
    }

    // --- DeviceBackend -------------------------------------------------------
    void attach(Sink* sink) override {
        std::lock_guard<std::mutex> g(m_);
        sink_ = sink;
        if (sink) {
            ++calls_.attaches;
        } else {
            ++calls_.detaches;
        }
    }
    USBD_STATUS submit(usbbus::Transfer* t) override {
        std::lock_guard<std::mutex> g(m_);
        if (refuseSubmit != USBD_STATUS_PENDING) return refuseSubmit;
        if (t->type == USB_ENDPOINT_TYPE_CONTROL) {
            calls_.setups.emplace_back(t->setup, t->setup + 8);
            if (t->setup[1] == 0x06 && (t->setup[0] & 0x60) == 0) {
                answerDescriptor(t);
                queued_.push_back(t);
                cv_.notify_all();
                return USBD_STATUS_PENDING;
            }
            if (holdVendor) {
                held_.push_back(t);
                cv_.notify_all();
                return USBD_STATUS_PENDING;
            }
            t->status = USBD_STATUS_SUCCESS;
            t->actualLength = t->length;
            if (vendor) vendor(*t);
            queued_.push_back(t);
            cv_.notify_all();
            return USBD_STATUS_PENDING;
        }
        held_.push_back(t);
        cv_.notify_all();
        return USBD_STATUS_PENDING;
    }
    void cancel(usbbus::Transfer* t) override {
        std::unique_lock<std::mutex> g(m_);
        ++calls_.cancels;
        auto it = std::find(held_.begin(), held_.end(), t);
        if (it == held_.end()) return;
        held_.erase(it);
        t->status = USBD_STATUS_CANCELED;
        t->actualLength = 0;
        if (cancelInline) {
            g.unlock();
            t->complete(t, t->context);
            return;
        }
        queued_.push_back(t);
        cv_.notify_all();
    }
    USBD_STATUS setConfiguration(UCHAR value) override {
        std::lock_guard<std::mutex> g(m_);
        EXPECT_EQ(held_.size(), 0u) << "configuration changed under pending transfers";
        calls_.configurations.push_back(value);
        return USBD_STATUS_SUCCESS;
    }
    USBD_STATUS setInterface(UCHAR interfaceNumber, UCHAR alternateSetting) override {
        if (duringSetInterface) duringSetInterface();
        std::lock_guard<std::mutex> g(m_);
        if (refusedSettings.count(alternateSetting)) return USBD_STATUS_NO_BANDWIDTH;
        calls_.interfaces.emplace_back(interfaceNumber, alternateSetting);
        return USBD_STATUS_SUCCESS;
    }
    USBD_STATUS clearHalt(UCHAR endpoint) override {
        std::lock_guard<std::mutex> g(m_);
        calls_.clearedHalts.push_back(endpoint);
        return USBD_STATUS_SUCCESS;
    }
    ULONG currentFrame() override { return 4242; }
    USBD_STATUS resetPort() override { return USBD_STATUS_SUCCESS; }
    USBD_STATUS cyclePort() override {
        std::lock_guard<std::mutex> g(m_);
        ++calls_.cycles;
        return USBD_STATUS_SUCCESS;
    }
    bool reenumerate() override {
        std::lock_guard<std::mutex> g(m_);
        ++calls_.reenumerations;
        if (!configAfterCycle.empty()) configBytes = configAfterCycle;
        return comesBack;
    }
    void capabilities(DEVICE_CAPABILITIES* caps) override {
        DeviceBackend::capabilities(caps);
        caps->SystemWake = PowerSystemSleeping3;
        caps->DeviceWake = PowerDeviceD2;
    }

  private:
    void answerDescriptor(usbbus::Transfer* t) {
        const std::vector<UCHAR>& src =
            t->setup[3] == USB_DEVICE_DESCRIPTOR_TYPE ? deviceBytes : configBytes;
        ULONG n = std::min<ULONG>(t->length, static_cast<ULONG>(src.size()));
        if (n) std::memcpy(t->buffer, src.data(), n);
        t->actualLength = n;
        t->status = USBD_STATUS_SUCCESS;
    }
    void queue(usbbus::Transfer* t) {
        std::lock_guard<std::mutex> g(m_);
        queued_.push_back(t);
        cv_.notify_all();
    }
    void work() {
        std::unique_lock<std::mutex> g(m_);
        for (;;) {
            cv_.wait(g, [&] { return stop_ || !queued_.empty(); });
            if (queued_.empty()) return;
            usbbus::Transfer* t = queued_.front();
            queued_.pop_front();
            g.unlock();
            t->complete(t, t->context);
            g.lock();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    Sink* sink_ = nullptr;
    Calls calls_;
    std::vector<usbbus::Transfer*> held_;
    std::deque<usbbus::Transfer*> queued_;
    bool stop_ = false;
    std::thread worker_;
};

}  // namespace usbtest
