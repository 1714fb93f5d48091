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

Client::Client(PDEVICE_OBJECT device) {
    file_.Type = 5;
    file_.Size = sizeof(FILE_OBJECT);
    file_.DeviceObject = device;
}

Client::~Client() {
    std::lock_guard<std::mutex> g(lock_);
    for (PIRP irp : sent_) kio::releaseIrp(irp);
}

std::shared_ptr<Reply> Client::sendRequest(ULONG code, std::vector<UCHAR> buffer, bool internal) {
    auto reply = std::make_shared<Reply>();
    auto length = static_cast<ULONG>(buffer.size());
    PIRP irp =
        kio::sendDeviceControl(&file_, code, buffer.data(), length, length, internal,
                               [reply](NTSTATUS status, ULONG_PTR information, const void* data) {
                                   reply->status = status;
                                   reply->information = information;
                                   auto* bytes = static_cast<const UCHAR*>(data);
                                   if (bytes) reply->data.assign(bytes, bytes + information);
                                   reply->done.store(true);
                               });
    if (irp) {
        reply->irp = irp;
        std::lock_guard<std::mutex> g(lock_);
        sent_.push_back(irp);
    }
    return reply;
}

std::shared_ptr<Reply> Client::send(UCHAR tag, ULONG length, ULONG code) {
    std::vector<UCHAR> buffer(length, 0xFF);
    if (length > 1) buffer[1] = tag;
    return sendRequest(code, std::move(buffer), false);
}

std::shared_ptr<Reply> Client::sendInternal(ULONG code, ULONG length) {
    return sendRequest(code, std::vector<UCHAR>(length, 0), true);
}

bool Client::wait(const std::shared_ptr<Reply>& reply) {
    return pavtest::waitFor([&] { return reply->done.load(); });
}

Harness::Harness(bool autoStart) {
    EXPECT_EQ(pnp.loadDriver("pav512", PAV512_DriverEntry), STATUS_SUCCESS);
    StandInModule::install(pnp.driver());
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
