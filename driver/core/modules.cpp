#include "driver/core/modules.h"

#include "driver/camera/camera.h"
#include "driver/camera/camprop.h"
#include "driver/camera/usbif.h"
#include "driver/camera/usbstrm.h"
#include "driver/core/cti.h"
#include "driver/core/device_context.h"
#include "driver/core/frame.h"
#include "driver/core/propman.h"
#include "driver/core/ptpif.h"

namespace {

// Modules that have not landed yet: they keep no state, so there is nothing
// to set up or tear down.
NTSTATUS nothingToInitialise(DeviceContext*) {
    return STATUS_SUCCESS;
}
void nothingToTerminate(DeviceContext*) {}

// The stream interface's initialisation brings up the property manager and
// then the frame manager, which runs the camera's start-up; until the stream
// interface lands, this pair stands in for it. A property manager that could
// not allocate leaves the camera running without stored properties.
NTSTATUS streamInterfaceInitialise(DeviceContext* device) {
    PropMan_Initialise(device);
    return Frame_Initialise(device);
}
// The property manager goes first: it waits for a property request still in
// a handler, and refuses later ones, before the camera's state is freed.
void streamInterfaceTerminate(DeviceContext* device) {
    PropMan_Terminate(device);
    Frame_Terminate(device);
}

}  // namespace

void defaultModuleOps(ModuleOps (&ops)[kModuleCount]) {
    ops[kModulePtpTransport] = {"PTPIF", PTPIF_Initialise, PTPIF_Terminate};
    ops[kModuleCommandTransport] = {"CTIIF", CTIIF_Initialise, CTIIF_Terminate};
    // The property manager and the frame manager (with the camera's
    // start-up) run here until the stream interface lands and runs them from
    // its own initialisation.
    ops[kModuleStreamInterface] = {"SRBIF", streamInterfaceInitialise, streamInterfaceTerminate};
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
