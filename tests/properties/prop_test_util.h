// Shared pieces of the property tests: a camera brought up with the real
// property manager, property requests sent the way the library sends them
// (the video property codes on a control channel), and the camera's driver
// key read and written through the registry alone.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pav512/guids.h"
#include "platform/kernel/wdm.h"
#include "sim/firmware.h"
#include "sim/scenario.h"
#include "tests/support/camera_harness.h"

struct DeviceContext;

namespace pavtest {
class DeviceClient;
}

namespace proptest {

using Bytes = std::vector<std::uint8_t>;

// A scenario of its own for each test, so that driver keys of tests run in
// one process never meet.
sim::Scenario scenarioFor(const std::string& name);
// The driver as it starts for real (the property manager included), the
// clock ten times faster.
pavtest::CameraHarnessOptions options(const sim::Scenario& scenario);

Bytes word(std::uint32_t value);
Bytes words(std::initializer_list<std::uint32_t> values);
std::uint32_t wordAt(const Bytes& bytes, std::size_t offset);

// What a property request answered.
struct Answer {
    NTSTATUS status = STATUS_PENDING;  // of the request itself
    std::uint8_t moduleStatus = 0xFF;
    Bytes data;
    bool ok() const { return status == STATUS_SUCCESS && moduleStatus == 0; }
};

// Sends 0x220C08, 0x220C0C and 0x220C18 to one camera.
class Properties {
  public:
    explicit Properties(pavtest::CameraHarness& harness);
    ~Properties();
    Answer get(const GUID& set, ULONG id, std::size_t length);
    Answer set(const GUID& set, ULONG id, const Bytes& data);
    Answer restoreDefault(const GUID& set, ULONG id);

  private:
    Answer send(ULONG code, const GUID& set, ULONG id, const Bytes& data);
    std::unique_ptr<pavtest::DeviceClient> client_;
};

// The property manager called directly, with the request as the library's
// buffer holds it (24-byte property header, then `data`); `data` gets back
// what the request left there.
NTSTATUS request(DeviceContext* device, const GUID& set, ULONG id, Bytes& data, bool isSet);

// The driver key of the camera plugged in for a scenario, as a registry path.
std::u16string driverKeyPath(const sim::Scenario& scenario);
// "Value" or "Default" of (set, id) below the driver key.
std::optional<Bytes> stored(const sim::Scenario& scenario, const GUID& set, ULONG id,
                            const char16_t* name);
void store(const sim::Scenario& scenario, const GUID& set, ULONG id, const char16_t* name,
           const Bytes& value);

// Removes that value.
void erase(const sim::Scenario& scenario, const GUID& set, ULONG id, const char16_t* name);

// The register writes the camera received after the first `from` of them.
std::vector<sim::RegisterWrite> writesSince(pavtest::CameraHarness& harness, std::size_t from);

// The system locale text the driver reads (the default user's "Locale").
void setLocale(const std::u16string& text);

}  // namespace proptest
