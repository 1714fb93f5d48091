#include "host/pnp_manager.h"

#include <future>

namespace host {

namespace {

struct SyncWait {
    KEVENT done;
};

void requestDone(PIRP, PVOID context) {
    KeSetEvent(&static_cast<SyncWait*>(context)->done, IO_NO_INCREMENT, FALSE);
}

// Sends a request built by `setup` to the top of the stack and waits for it
// to come back to us.
NTSTATUS sendAndWait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // What a request nobody handles ends with, as the platform presets it.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (setup) setup(next);
    SyncWait wait;
    KeInitializeEvent(&wait.done, NotificationEvent, FALSE);
    irp->OriginatorCompletion = requestDone;
    irp->OriginatorContext = &wait;
    IoCallDriver(top, irp);
    KeWaitForSingleObject(&wait.done, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

POWER_STATE devicePower(DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    return s;
}

POWER_STATE systemPower(SYSTEM_POWER_STATE state) {
    POWER_STATE s;
    s.SystemState = state;
    return s;
}

struct WaitWakeCall {
    std::function<void(NTSTATUS)> done;
};

void waitWakeDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK status) {
    auto* call = static_cast<WaitWakeCall*>(context);
    if (call->done) call->done(status->Status);
    delete call;
}

}  // namespace

PnpManager::PnpManager() {
    thread_ = std::thread([this] { run(); });
}

PnpManager::~PnpManager() {
    removeAll();
    {
        std::lock_guard<std::mutex> g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (driver_) kio::unloadDriver(driver_);
}

NTSTATUS PnpManager::loadDriver(const char* name, PDRIVER_INITIALIZE entry) {
    if (driver_) return STATUS_OBJECT_NAME_COLLISION;
    return kio::loadDriver(name, entry, &driver_);
}

void PnpManager::run() {
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        wake_.wait(g, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, and nothing left to do
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        g.unlock();
        task();
        g.lock();
    }
}

bool PnpManager::onPnpThread() const {
    return std::this_thread::get_id() == thread_.get_id();
}

void PnpManager::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> g(lock_);
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
}

NTSTATUS PnpManager::runSync(const std::function<NTSTATUS()>& task) {
    if (onPnpThread()) return task();
    std::promise<NTSTATUS> result;
    std::future<NTSTATUS> answer = result.get_future();
    post([&] { result.set_value(task()); });
    return answer.get();
}

void PnpManager::settle() {
    runSync([] { return STATUS_SUCCESS; });
}

NTSTATUS PnpManager::sendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                             const std::function<void(PIO_STACK_LOCATION)>& setup,
                             ULONG_PTR* information) {
    return runSync([&] {
        return sendAndWait(IoGetAttachedDevice(pdo), IRP_MJ_PNP, minor, setup, information);
    });
}

NTSTATUS PnpManager::sendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type,
                               POWER_STATE state) {
    return runSync([&] {
        return sendAndWait(
            IoGetAttachedDevice(pdo), IRP_MJ_POWER, minor,
            [&](PIO_STACK_LOCATION sp) {
                sp->Parameters.Power.Type = type;
                sp->Parameters.Power.State = state;
            },
            nullptr);
    });
}

NTSTATUS PnpManager::arrive(PDEVICE_OBJECT pdo) {
    NTSTATUS status = addDevice(pdo);
    if (NT_SUCCESS(status)) status = start(pdo);
    if (NT_SUCCESS(status)) {
        DEVICE_CAPABILITIES caps;
        queryCapabilities(pdo, &caps);
    }
    std::lock_guard<std::mutex> g(lock_);
    auto it = records_.find(pdo);
    if (it != records_.end()) it->second.arrival = status;
    return status;
}

NTSTATUS PnpManager::leave(PDEVICE_OBJECT pdo) {
    surpriseRemoval(pdo);
    return remove(pdo);
}

void PnpManager::forget(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(lock_);
    records_.erase(pdo);
}

void PnpManager::deviceArrived(PDEVICE_OBJECT pdo) {
    {
        std::lock_guard<std::mutex> g(lock_);
        records_[pdo] = Record{};
    }
    post([this, pdo] { arrive(pdo); });
}

void PnpManager::deviceRemoved(PDEVICE_OBJECT pdo) {
    post([this, pdo] { leave(pdo); });
}

NTSTATUS PnpManager::arrivalStatus(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = records_.find(pdo);
    return it == records_.end() ? STATUS_NO_SUCH_DEVICE : it->second.arrival;
}

PDEVICE_OBJECT PnpManager::functionDevice(PDEVICE_OBJECT pdo) {
    std::lock_guard<std::mutex> g(lock_);
    auto it = records_.find(pdo);
    if (it == records_.end() || !it->second.added) return nullptr;
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    return top == pdo ? nullptr : top;
}

std::vector<PDEVICE_OBJECT> PnpManager::devices() {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<PDEVICE_OBJECT> out;
    for (auto& [pdo, record] : records_)
        if (record.added) out.push_back(pdo);
    return out;
}

NTSTATUS PnpManager::addDevice(PDEVICE_OBJECT pdo) {
    if (driver_ == nullptr || driver_->DriverExtension->AddDevice == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    return runSync([&] {
        NTSTATUS status = driver_->DriverExtension->AddDevice(driver_, pdo);
        std::lock_guard<std::mutex> g(lock_);
        Record& record = records_[pdo];
        record.added = NT_SUCCESS(status);
        if (!NT_SUCCESS(status)) record.arrival = status;
        return status;
    });
}

NTSTATUS PnpManager::start(PDEVICE_OBJECT pdo) {
    return sendPnp(pdo, IRP_MN_START_DEVICE, nullptr);
}
NTSTATUS PnpManager::queryStop(PDEVICE_OBJECT pdo) {
    return sendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE, nullptr);
}
NTSTATUS PnpManager::stop(PDEVICE_OBJECT pdo) {
    return sendPnp(pdo, IRP_MN_STOP_DEVICE, nullptr);
}
NTSTATUS PnpManager::cancelStop(PDEVICE_OBJECT pdo) {
    return sendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE, nullptr);
}
NTSTATUS PnpManager::queryRemove(PDEVICE_OBJECT pdo) {
    return sendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr);
}
NTSTATUS PnpManager::cancelRemove(PDEVICE_OBJECT pdo) {
    return sendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr);
}
NTSTATUS PnpManager::surpriseRemoval(PDEVICE_OBJECT pdo) {
    return sendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, nullptr);
}

NTSTATUS PnpManager::remove(PDEVICE_OBJECT pdo) {
    return runSync([&] {
        // The stack and possibly the physical device object are gone once
        // this returns; nothing of them is touched afterwards.
        NTSTATUS status = sendAndWait(IoGetAttachedDevice(pdo), IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE,
                                      nullptr, nullptr);
        forget(pdo);
        return status;
    });
}

NTSTATUS PnpManager::queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    NTSTATUS status = sendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (capabilities) *capabilities = caps;
    return status;
}

NTSTATUS PnpManager::queryPnpDeviceState(PDEVICE_OBJECT pdo, ULONG_PTR* state) {
    return sendPnp(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, state);
}

NTSTATUS PnpManager::pnp(PDEVICE_OBJECT pdo, UCHAR minor) {
    return sendPnp(pdo, minor, nullptr);
}

NTSTATUS PnpManager::setDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    return sendPower(pdo, IRP_MN_SET_POWER, DevicePowerState, devicePower(state));
}

NTSTATUS PnpManager::queryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    return sendPower(pdo, IRP_MN_QUERY_POWER, DevicePowerState, devicePower(state));
}

NTSTATUS PnpManager::setSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    return sendPower(pdo, IRP_MN_SET_POWER, SystemPowerState, systemPower(state));
}

NTSTATUS PnpManager::querySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state) {
    return sendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, systemPower(state));
}

NTSTATUS PnpManager::waitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state,
                              std::function<void(NTSTATUS)> done) {
    auto* call = new WaitWakeCall{std::move(done)};
    NTSTATUS status =
        PoRequestPowerIrp(pdo, IRP_MN_WAIT_WAKE, systemPower(state), waitWakeDone, call, nullptr);
    if (!NT_SUCCESS(status)) delete call;
    return status;
}

void PnpManager::removeAll() {
    settle();  // arrivals and departures already posted come first
    for (PDEVICE_OBJECT pdo : devices()) remove(pdo);
}

}  // namespace host
