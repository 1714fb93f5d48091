// The driver's modules as the start and stop sequences see them: an
// initialise/terminate pair each, run in a fixed order. A module brings its own
// pair when it lands; until then its entry succeeds and does nothing.
#pragma once

#include "platform/kernel/wdm.h"

struct DeviceContext;

using ModuleInitialise = NTSTATUS (*)(DeviceContext* device);
using ModuleTerminate = void (*)(DeviceContext* device);

struct ModuleOps {
    const char* name;
    ModuleInitialise initialise;
    // Null for modules that keep nothing past a stop. Runs on every stop,
    // also after an initialisation that failed or never ran, so it must
    // accept a module that was not initialised.
    ModuleTerminate terminate;
};

// Start order; the stop sequence terminates in the same order.
enum ModuleIndex : int {
    kModulePtpTransport = 0,
    kModuleCommandTransport,
    kModuleStreamInterface,
    kModuleStreamRequestList,  // the camera engine's list of stream requests
    kModuleReserved,
    kModuleStartupQuery,  // the camera engine's startup query
    kModuleCount
};

// The pairs a freshly loaded driver uses.
void defaultModuleOps(ModuleOps (&ops)[kModuleCount]);

// The stream interface's pair for devices with no camera behind them (the
// test bus): the device starts and stops without the camera's start-up.
ModuleOps streamInterfaceWithoutCamera();

// Runs the initialisations in order, stopping at the first failure.
NTSTATUS modulesInitialise(DeviceContext* device);
// Runs every terminate in order.
void modulesTerminate(DeviceContext* device);
