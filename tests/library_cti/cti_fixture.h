// The library loaded in the test process, with simulated cameras behind the
// real driver and every request of the library's channels noted on the way.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "library/device/device_registry.h"
#include "library/device/library.h"
#include "pav512u/cti.h"
#include "platform/kernel/clock.h"
#include "tests/channels/channel_client.h"
#include "tests/library/cameras.h"
#include "tests/library_cti/recording_transport.h"
#include "tests/support/kernel_test.h"

namespace pavtest {

class LibraryLoaded : public ::testing::Test {
  protected:
    void SetUp() override { pavu::processAttach(); }
    void TearDown() override { pavu::processDetach(); }
};

// Runs refreshes until one gets past the once-a-second limit, so that the
// cameras plugged in so far have numbers.
inline void refreshNow() {
    unsigned before = pavu::refreshCount();
    EXPECT_TRUE(waitFor([&] {
        pavu::refreshDeviceRegistry();
        return pavu::refreshCount() > before;
    }));
}

// The numbers of the cameras present, in the order the host lists them.
inline std::vector<std::uint8_t> presentNumbers() {
    std::vector<std::uint8_t> out;
    for (const std::string& path : listInterfaces()) {
        for (DWORD n = 1; n <= 255; ++n) {
            char registered[pavu::kPathRoom];
            if (pavu::pathOfCameraNumber(n, registered, sizeof registered) && path == registered) {
                out.push_back(static_cast<std::uint8_t>(n));
                break;
            }
        }
    }
    return out;
}

// The shared clock runs `factor` times faster while this lives (set before
// the cameras are plugged in).
class ClockScale {
  public:
    explicit ClockScale(double factor) : before_(kclock::scale()) { kclock::setScale(factor); }
    ~ClockScale() { kclock::setScale(before_); }

  private:
    double before_;
};

// A session on one camera, closed when it goes.
struct Session {
    explicit Session(std::uint8_t camera, std::int32_t mode = CTI_MODE_SHARED) {
        status = CtiHandleOpen(mode, camera, &opened, &handle);
    }
    ~Session() {
        if (handle) CtiHandleClose(handle);
    }
    CTISTATUS status = CTISTATUS_INVALID_STATUS;
    std::uint8_t opened = 0xEE;
    CtiHandle* handle = nullptr;
};

}  // namespace pavtest
