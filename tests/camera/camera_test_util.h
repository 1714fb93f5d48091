// Shared pieces of the camera object's tests: the settings and the device key
// in the registry, patch images, and a recorder of the events the camera
// raises (heard the way the capture minidriver hears them).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "driver/camera/camera.h"
#include "platform/kernel/wdm.h"
#include "tests/support/camera_harness.h"

struct DeviceContext;
struct DriverContext;

namespace camtest {

// Values under the machine's settings key of the camera.
void writeSetting(const std::string& name, const std::vector<std::uint8_t>& bytes);
std::optional<std::vector<std::uint8_t>> readSetting(const std::string& name);
// "Patching Status" in the driver key of the device instance, read through
// the registry alone, so it can be read after the device has gone.
std::optional<std::uint8_t> patchingStatus(const std::string& instancePath);

// A patch image of `length` bytes: recognisable filler, the length at 99-100
// (big-endian) and, with `marked`, "52" at offsets 2-3.
std::vector<std::uint8_t> patchImage(std::size_t length, bool marked);
// Stores an image as the registry blocks of version major.minor.
void storePatch(std::uint8_t major, std::uint8_t minor, const std::vector<std::uint8_t>& image);
// The checksum the camera expects for an image.
std::uint8_t expectedChecksum(const std::vector<std::uint8_t>& image);

// The (set, identifier) pairs of every watched event raised on a device, in
// the order raised. Watches every item of both event sets through the watch
// list, as the capture minidriver does.
class EventLog {
  public:
    explicit EventLog(DeviceContext* device);
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Identifiers raised on the camera event set (false) or input set (true).
    std::vector<ULONG> raised(bool inputSet) const;
    void clear();
    // The device is going (removal clears its watches itself): the log
    // keeps what it heard and touches the device no more.
    void forgetDevice();
    // Waits (real time) until `count` events of the set have come.
    bool waitFor(bool inputSet, std::size_t count) const;

  private:
    static void routine(ULONG reason, PVOID context, ULONG_PTR reserved, const GUID* set,
                        ULONG identifier);
    DeviceContext* device_;
    mutable std::mutex lock_;
    std::vector<std::pair<bool, ULONG>> events_;
};

// Stands in for the modules above the camera (the property manager and the
// stream interface's format table): installed by the stream interface's
// initialisation before it runs the camera's start-up, as the real ones will
// be. One per test process.
class UpperModules {
  public:
    static void reset();
    // The picture size property as stored; none: reads of it fail.
    static void setImageSize(std::optional<std::pair<ULONG, ULONG>> size);
    static std::optional<std::pair<ULONG, ULONG>> imageSize();
    static std::vector<CameraVideoFormat> formats();
    static int applied();
    // Replaces the stream interface's module operation with one that
    // installs these hooks and runs the camera's start-up.
    static void install(DriverContext* driver);

  private:
    static NTSTATUS initialise(DeviceContext* device);
    static NTSTATUS addFormat(DeviceContext* device, const CameraVideoFormat& format);
    static NTSTATUS property(DeviceContext* device, const GUID* set, ULONG identifier, bool write,
                             PVOID data, ULONG inputSize, ULONG outputSize, ULONG* actualSize);
    static void apply(DeviceContext* device);
};

// Harness options for the camera object's tests: the scenario given and the
// clock run faster, so the camera's waits take little real time.
// The stand-ins above are installed.
pavtest::CameraHarnessOptions cameraOptions(const sim::Scenario& scenario, double clockScale = 10,
                                            bool plugAtStart = true);

}  // namespace camtest
