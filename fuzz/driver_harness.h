// The driver loaded over the test bus with one camera started, kept for the
// whole fuzzing run.
#pragma once

#include <string>

#include "driver/core/driver.h"
#include "host/channel_host.h"
#include "host/pnp_manager.h"
#include "host/test_bus.h"
#include "pav512/guids.h"

namespace pavfuzz {

struct DriverHarness {
    host::TestBus bus;
    host::PnpManager pnp;
    PDEVICE_OBJECT pdo = nullptr;
    std::string interfacePath;

    DriverHarness() {
        pnp.loadDriver("pav512", PAV512_DriverEntry);
        bus.setListener(&pnp);
        pdo = bus.plug("USB\\VID_F1A5&PID_0B2D\\fuzz-1");
        pnp.settle();
        auto paths = host::enabledInterfacePaths(pav512::kInterfaceClassGuid);
        if (!paths.empty()) interfacePath = paths[0];
    }
};

// Made once and never destroyed: the fuzzer ends the process without running
// destructors in order.
inline DriverHarness& harness() {
    static DriverHarness* h = new DriverHarness();
    return *h;
}

}  // namespace pavfuzz
