// Drives a simulated camera the way a bus would: transfers submitted to the
// backend and waited for, without a bus in between.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/sim_camera.h"

namespace simtest {

// One transfer in flight; records how and where it completed.
class AsyncTransfer {
  public:
    AsyncTransfer();
    usbbus::Transfer& t() { return transfer_; }
    std::vector<std::uint8_t>& buffer() { return buffer_; }
    std::vector<USBD_ISO_PACKET_DESCRIPTOR>& packets() { return packets_; }

    void control(const std::uint8_t setup[8], std::size_t bufferLength);
    void bulk(std::uint8_t endpoint, std::size_t length);
    void interrupt(std::size_t length);
    void iso(ULONG packets, ULONG packetSize);

    // Submits; returns what submit returned.
    USBD_STATUS submit(sim::SimCamera& camera);
    // Waits (real time) for the completion; false on time-out.
    bool wait(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    bool completed() const;
    int completions() const { return completions_.load(); }
    bool completedInsideSubmit() const { return insideSubmit_.load(); }
    std::vector<std::uint8_t> data() const;  // the bytes received

  private:
    static void onComplete(usbbus::Transfer* transfer, void* context);

    usbbus::Transfer transfer_;
    std::vector<std::uint8_t> buffer_;
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> packets_;
    mutable std::mutex lock_;
    std::condition_variable cv_;
    bool done_ = false;
    std::atomic<int> completions_{0};
    std::atomic<bool> insideSubmit_{false};
};

struct ControlResult {
    USBD_STATUS status = USBD_STATUS_PENDING;
    std::vector<std::uint8_t> data;
};

// A scenario that boots fast and keeps tests quick.
sim::Scenario quickScenario();
// A store with one object of each kind in memory 0, built by hand.
sim::ObjectStore smallStore();

class Host {
  public:
    explicit Host(std::shared_ptr<sim::SimCamera> camera) : camera_(std::move(camera)) {}
    explicit Host(const sim::Scenario& s) : camera_(std::make_shared<sim::SimCamera>(s)) {}
    Host(const sim::Scenario& s, sim::ObjectStore store)
        : camera_(std::make_shared<sim::SimCamera>(s, std::move(store))) {}
    sim::SimCamera& camera() { return *camera_; }
    std::shared_ptr<sim::SimCamera> shared() { return camera_; }

    ControlResult control(std::uint8_t requestType, std::uint8_t request, std::uint16_t value,
                          std::uint16_t index, std::vector<std::uint8_t> data,
                          std::uint16_t length);
    ControlResult vendorIn(std::uint8_t request, std::uint16_t value, std::uint16_t length);
    ControlResult vendorOut(std::uint8_t request, std::uint16_t value,
                            const std::vector<std::uint8_t>& data = {});
    ControlResult descriptor(std::uint8_t type, std::uint16_t length);

    // Register helpers of the command set.
    std::vector<std::uint8_t> readRegisters(int space, int reg, int count);
    std::uint8_t readRegister(int space, int reg) { return readRegisters(space, reg, 1).at(0); }
    USBD_STATUS writeRegister(int space, int reg, std::uint8_t value);
    USBD_STATUS writeTable(int space,
                           const std::vector<std::pair<std::uint8_t, std::uint8_t>>& pairs);

    // Configuration 1 at an alternate setting of the camera interface.
    USBD_STATUS select(int alternateSetting);
    // Powers the sensor for video at a size (register tables as the driver sends them, reduced to
    // the size).
    void startVideo(int width, int height);
    void waitBooted();

    // Bulk and interrupt transfers, waited for.
    ControlResult bulkIn(std::size_t length,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    USBD_STATUS bulkOut(const std::vector<std::uint8_t>& data);
    ControlResult interrupt(std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

    // Memory command helpers: send the command, then read its bulk answer.
    ControlResult memoryCommand(std::uint8_t request, int memory, std::uint8_t item,
                                const std::vector<std::uint8_t>& data);
    std::vector<std::uint8_t> memoryResult(int memory = 0);

  private:
    std::shared_ptr<sim::SimCamera> camera_;
};

std::vector<std::uint8_t> be32(std::uint32_t v);
std::uint32_t readBe32(const std::uint8_t* p);

}  // namespace simtest
