#include "driver/core/modules.h"

#include "driver/core/device_context.h"

namespace {

// Modules that have not landed yet: they keep no state, so there is nothing
// to set up or tear down.
NTSTATUS nothingToInitialise(DeviceContext*) {
    return STATUS_SUCCESS;
}
void nothingToTerminate(DeviceContext*) {}

}  // namespace

void defaultModuleOps(ModuleOps (&ops)[kModuleCount]) {
    ops[kModulePtpTransport] = {"PTPIF", nothingToInitialise, nothingToTerminate};
    ops[kModuleCommandTransport] = {"CTIIF", nothingToInitialise, nothingToTerminate};
    ops[kModuleStreamInterface] = {"SRBIF", nothingToInitialise, nothingToTerminate};
    ops[kModuleStreamRequestList] = {"USBSTRM", nothingToInitialise, nothingToTerminate};
    // Kept so the order of the camera engine's entries stays where it is.
    ops[kModuleReserved] = {"reserved", nothingToInitialise, nullptr};
    ops[kModuleStartupQuery] = {"USBIF", nothingToInitialise, nullptr};
}

NTSTATUS modulesInitialise(DeviceContext* device) {
    for (const ModuleOps& m : device->driver->modules) {
        if (!m.initialise) continue;
        NTSTATUS status = m.initialise(device);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

void modulesTerminate(DeviceContext* device) {
    for (const ModuleOps& m : device->driver->modules) {
        if (m.terminate) m.terminate(device);
    }
}
