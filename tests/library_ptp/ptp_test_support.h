// What the PTP client tests share: the library loaded with the in-process
// transport, the device list refreshed, and camera numbers found by path.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "library/device/device_registry.h"
#include "library/device/library.h"
#include "pav512u/ptp.h"
#include "tests/support/kernel_test.h"

namespace ptplibtest {

class LibraryLoaded : public ::testing::Test {
  public:
    // Refreshes the device list now (a refresh runs at most once a second).
    static void refreshNow();
    // The camera number of an interface path, 0 when it has none.
    static std::uint8_t numberOf(const std::string& path);

  protected:
    void SetUp() override;
    void TearDown() override;
};

// The number of the only interface present.
std::uint8_t onlyCamera();

}  // namespace ptplibtest
