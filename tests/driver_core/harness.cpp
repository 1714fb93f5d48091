#include "tests/driver_core/harness.h"

#include <gtest/gtest.h>

#include "driver/core/dispatch.h"
#include "tests/support/kernel_test.h"

namespace drvtest {

namespace {

std::mutex moduleLock;
std::vector<UCHAR> moduleDispatched;
std::vector<std::pair<DeviceContext*, PIRP>> moduleHeld;
bool moduleHolding = false;

}  // namespace

void StandInModule::install(PDRIVER_OBJECT driver) {
    reset();
    driverContextOf(driver)->deviceControlRoute = route;
}

void StandInModule::reset() {
    std::lock_guard<std::mutex> g(moduleLock);
    moduleDispatched.clear();
    moduleHeld.clear();
    moduleHolding = false;
}

void StandInModule::hold(bool on) {
    std::lock_guard<std::mutex> g(moduleLock);
    moduleHolding = on;
}

std::vector<UCHAR> StandInModule::dispatched() {
    std::lock_guard<std::mutex> g(moduleLock);
    return moduleDispatched;
}

size_t StandInModule::heldCount() {
    std::lock_guard<std::mutex> g(moduleLock);
    return moduleHeld.size();
}

void StandInModule::release() {
    std::vector<std::pair<DeviceContext*, PIRP>> held;
    {
        std::lock_guard<std::mutex> g(moduleLock);
        held.swap(moduleHeld);
    }
    for (auto& [device, irp] : held) completeWithModuleStatus(device, irp, STATUS_SUCCESS, 0);
}

NTSTATUS StandInModule::route(PDEVICE_OBJECT device, PIRP irp) {
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
    {
        std::lock_guard<std::mutex> g(moduleLock);
        moduleDispatched.push_back(buffer && length > 1 ? buffer[1] : 0);
        if (moduleHolding) {
            IoMarkIrpPending(irp);
            moduleHeld.emplace_back(deviceContextOf(device), irp);
            return STATUS_PENDING;
        }
    }
    completeWithModuleStatus(deviceContextOf(device), irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

std::shared_ptr<Reply> Client::send(UCHAR tag, ULONG length, ULONG code) {
    std::vector<UCHAR> buffer(length, 0xFF);
    if (length > 1) buffer[1] = tag;
    return sendRequest(code, std::move(buffer), false);
}

std::shared_ptr<Reply> Client::sendInternal(ULONG code, ULONG length) {
    return sendRequest(code, std::vector<UCHAR>(length, 0), true);
}

Harness::Harness(bool autoStart) {
    EXPECT_EQ(pnp.loadDriver("pav512", PAV512_DriverEntry), STATUS_SUCCESS);
    StandInModule::install(pnp.driver());
    // The camera's start-up needs a camera behind the device; the test bus
    // has none, so the tests of the core start without it.
    driver()->modules[kModuleStreamInterface] = streamInterfaceWithoutCamera();
    if (autoStart) bus.setListener(&pnp);
}

Harness::~Harness() {
    pnp.removeAll();
    bus.setListener(nullptr);
}

PDEVICE_OBJECT Harness::plug(const std::string& instance,
                             const host::TestBus::DeviceSettings& settings) {
    PDEVICE_OBJECT pdo = bus.plug(instance, settings);
    pnp.settle();
    return pdo;
}

}  // namespace drvtest
