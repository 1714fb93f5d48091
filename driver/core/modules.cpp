#include "driver/core/modules.h"

#include "driver/camera/camera.h"
#include "driver/camera/camprop.h"
#include "driver/camera/usbif.h"
#include "driver/camera/usbstrm.h"
#include "driver/core/cti.h"
#include "driver/core/device_context.h"
#include "driver/core/propman.h"
#include "driver/core/ptpif.h"
#include "driver/core/srbif.h"

namespace {

// Modules that have not landed yet: they keep no state, so there is nothing
// to set up or tear down.
NTSTATUS nothingToInitialise(DeviceContext*) {
    return STATUS_SUCCESS;
}
void nothingToTerminate(DeviceContext*) {}

}  // namespace

void defaultModuleOps(ModuleOps (&ops)[kModuleCount]) {
    ops[kModulePtpTransport] = {"PTPIF", PTPIF_Initialise, PTPIF_Terminate};
    ops[kModuleCommandTransport] = {"CTIIF", CTIIF_Initialise, CTIIF_Terminate};
    // Brings up the property manager and the frame manager, and with it the
    // camera's start-up.
    ops[kModuleStreamInterface] = {"SRBIF", SRBIF_Initialise, SRBIF_Terminate};
    // Puts the streams' watchdog on the 100 ms tick.
    ops[kModuleStreamRequestList] = {"USBSTRM", USBSTRM_Initialise, nothingToTerminate};
    // Kept so the order of the camera engine's entries stays where it is.
    ops[kModuleReserved] = {"reserved", nothingToInitialise, nullptr};
    // Reads and keeps the device identifiers that the identifier requests
    // answer from; a camera whose device descriptor cannot be read does not start.
    ops[kModuleStartupQuery] = {"USBIF", USBIF_StartupQuery, nullptr};
}

ModuleOps streamInterfaceWithoutCamera() {
    return {"SRBIF", nothingToInitialise, nullptr};
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
