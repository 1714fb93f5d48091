#include "host/test_bus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace host {

namespace {

struct Device {
    std::string instancePath;
    TestBus::DeviceSettings settings;
    bool left = false;
    bool removed = false;
    std::vector<UCHAR> pnpSeen;
    std::vector<UCHAR> powerSeen;
    DEVICE_POWER_STATE lastDevicePower = PowerDeviceUnspecified;
    std::vector<PIRP> waitWakes;
};

struct PdoExtension {
    TestBus::Impl* bus;
};

}  // namespace

struct TestBus::Impl {
    PDRIVER_OBJECT driver = nullptr;
    mutable std::mutex lock;
    std::map<PDEVICE_OBJECT, Device> devices;
    usbbus::BusListener* listener = nullptr;
    ULONG nextNumber = 1;
    std::string name;

    static Impl* of(PDEVICE_OBJECT pdo) {
        return static_cast<PdoExtension*>(pdo->DeviceExtension)->bus;
    }

    // Takes the pending wait-wake requests whose cancel routine has not been
    // claimed by a canceller; those are ours to complete.
    std::vector<PIRP> claimWaitWakes(PDEVICE_OBJECT pdo) {
        std::vector<PIRP> claimed;
        std::lock_guard<std::mutex> g(lock);
        auto it = devices.find(pdo);
        if (it == devices.end()) return claimed;
        std::vector<PIRP> keep;
        for (PIRP irp : it->second.waitWakes) {
            if (IoSetCancelRoutine(irp, nullptr))
                claimed.push_back(irp);
            else
                keep.push_back(irp);  // its cancel routine is running and completes it
        }
        it->second.waitWakes = keep;
        return claimed;
    }

    static void complete(PIRP irp, NTSTATUS status) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    static void cancelWaitWake(PDEVICE_OBJECT pdo, PIRP irp) {
        IoReleaseCancelSpinLock(irp->CancelIrql);
        Impl* bus = of(pdo);
        {
            std::lock_guard<std::mutex> g(bus->lock);
            auto it = bus->devices.find(pdo);
            if (it != bus->devices.end()) std::erase(it->second.waitWakes, irp);
        }
        PoStartNextPowerIrp(irp);
        complete(irp, STATUS_CANCELLED);
    }

    static NTSTATUS dispatchPnp(PDEVICE_OBJECT pdo, PIRP irp) {
        Impl* bus = of(pdo);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = irp->IoStatus.Status;
        std::unique_lock<std::mutex> g(bus->lock);
        Device& device = bus->devices[pdo];
        device.pnpSeen.push_back(sp->MinorFunction);
        switch (sp->MinorFunction) {
            case IRP_MN_START_DEVICE:
            case IRP_MN_QUERY_STOP_DEVICE:
            case IRP_MN_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE:
            case IRP_MN_QUERY_REMOVE_DEVICE:
            case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL:
                status = STATUS_SUCCESS;
                break;
            case IRP_MN_REMOVE_DEVICE:
                // Deleted later by reap(): the driver above detaches only
                // after this request has come back to it.
                device.removed = true;
                status = STATUS_SUCCESS;
                break;
            case IRP_MN_QUERY_CAPABILITIES: {
                status = device.settings.capabilitiesStatus;
                PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
                if (NT_SUCCESS(status) && caps) {
                    for (int s = PowerSystemUnspecified; s < PowerSystemMaximum; ++s)
                        caps->DeviceState[s] = PowerDeviceD3;
                    caps->DeviceState[PowerSystemWorking] = device.settings.workingState;
                    caps->SystemWake = device.settings.systemWake;
                    caps->DeviceWake = device.settings.deviceWake;
                }
                break;
            }
            default:
                break;  // not a bus matter: the status stays as it came
        }
        g.unlock();
        complete(irp, status);
        return status;
    }

    static NTSTATUS dispatchPower(PDEVICE_OBJECT pdo, PIRP irp) {
        Impl* bus = of(pdo);
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = irp->IoStatus.Status;
        std::unique_lock<std::mutex> g(bus->lock);
        Device& device = bus->devices[pdo];
        device.powerSeen.push_back(sp->MinorFunction);
        switch (sp->MinorFunction) {
            case IRP_MN_WAIT_WAKE:
                if (device.left) {
                    status = STATUS_NO_SUCH_DEVICE;
                    break;
                }
                IoMarkIrpPending(irp);
                device.waitWakes.push_back(irp);
                IoSetCancelRoutine(irp, cancelWaitWake);
                if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
                    std::erase(device.waitWakes, irp);
                    g.unlock();
                    PoStartNextPowerIrp(irp);
                    complete(irp, STATUS_CANCELLED);
                }
                return STATUS_PENDING;
            case IRP_MN_SET_POWER:
            case IRP_MN_QUERY_POWER:
                if (sp->MinorFunction == IRP_MN_SET_POWER &&
                    sp->Parameters.Power.Type == DevicePowerState)
                    device.lastDevicePower = sp->Parameters.Power.State.DeviceState;
                status = STATUS_SUCCESS;
                break;
            default:
                break;
        }
        g.unlock();
        PoStartNextPowerIrp(irp);
        complete(irp, status);
        return status;
    }

    static NTSTATUS dispatchOther(PDEVICE_OBJECT, PIRP irp) {
        complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    // Only the device descriptor is answered; any other URB or internal
    // request is refused the way a bus refuses what it does not know.
    static NTSTATUS dispatchInternal(PDEVICE_OBJECT pdo, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
        if (sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB || !urb ||
            urb->UrbHeader.Length < sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) ||
            urb->UrbHeader.Function != URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE ||
            urb->UrbControlDescriptorRequest.DescriptorType != USB_DEVICE_DESCRIPTOR_TYPE) {
            return dispatchOther(pdo, irp);
        }
        USB_DEVICE_DESCRIPTOR dd{};
        dd.bLength = sizeof dd;
        dd.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        dd.bcdUSB = 0x0110;
        dd.bMaxPacketSize0 = 64;
        dd.bNumConfigurations = 1;
        {
            Impl* bus = of(pdo);
            std::lock_guard<std::mutex> g(bus->lock);
            const Device& device = bus->devices[pdo];
            dd.idVendor = device.settings.vendorId;
            dd.idProduct = device.settings.productId;
        }
        _URB_CONTROL_DESCRIPTOR_REQUEST& r = urb->UrbControlDescriptorRequest;
        ULONG moved = r.TransferBuffer ? std::min<ULONG>(r.TransferBufferLength, sizeof dd) : 0;
        if (moved) std::memcpy(r.TransferBuffer, &dd, moved);
        r.TransferBufferLength = moved;
        urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
        complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        driver->MajorFunction[IRP_MJ_PNP] = dispatchPnp;
        driver->MajorFunction[IRP_MJ_POWER] = dispatchPower;
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatchInternal;
        driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = dispatchOther;
        return STATUS_SUCCESS;
    }
};

TestBus::TestBus(const std::string& name) : impl_(std::make_unique<Impl>()) {
    impl_->name = name;
    kio::loadDriver(name.c_str(), Impl::entry, &impl_->driver);
}

TestBus::~TestBus() {
    std::vector<PDEVICE_OBJECT> left = devices();
    for (PDEVICE_OBJECT pdo : left) {
        for (PIRP irp : impl_->claimWaitWakes(pdo)) {
            PoStartNextPowerIrp(irp);
            Impl::complete(irp, STATUS_CANCELLED);
        }
        // A stack still on it belongs to a function driver that was never
        // told to remove it; deleting under it would break that driver.
        if (pdo->AttachedDevice == nullptr) IoDeleteDevice(pdo);
    }
    if (impl_->driver) kio::unloadDriver(impl_->driver);
}

void TestBus::setListener(usbbus::BusListener* listener) {
    std::lock_guard<std::mutex> g(impl_->lock);
    impl_->listener = listener;
}

PDEVICE_OBJECT TestBus::plug(const std::string& instancePath, const DeviceSettings& settings) {
    reap();
    if (impl_->driver == nullptr) return nullptr;
    ULONG number;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        number = impl_->nextNumber++;
    }
    char name[64];
    std::snprintf(name, sizeof name, "\\Device\\%s_PDO_%04u", impl_->name.c_str(), number);
    UNICODE_STRING deviceName;
    if (!NT_SUCCESS(krtl::allocateUnicode(std::string(name), &deviceName))) return nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(impl_->driver, sizeof(PdoExtension), &deviceName,
                                     settings.type, settings.characteristics, FALSE, &pdo);
    RtlFreeUnicodeString(&deviceName);
    if (!NT_SUCCESS(status)) return nullptr;
    static_cast<PdoExtension*>(pdo->DeviceExtension)->bus = impl_.get();
    pdo->Flags |= settings.flags;
    pdo->AlignmentRequirement = settings.alignment;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    kio::setDeviceInstance(pdo, instancePath, "USB\\VID_F1A5&PID_0B2D");
    usbbus::BusListener* listener;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        Device& device = impl_->devices[pdo];
        device.instancePath = instancePath;
        device.settings = settings;
        listener = impl_->listener;
    }
    if (listener) listener->deviceArrived(pdo);
    return pdo;
}

void TestBus::unplug(PDEVICE_OBJECT pdo) {
    usbbus::BusListener* listener;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        auto it = impl_->devices.find(pdo);
        if (it == impl_->devices.end() || it->second.left) return;
        it->second.left = true;
        listener = impl_->listener;
    }
    // A device that is gone cannot wake anything.
    for (PIRP irp : impl_->claimWaitWakes(pdo)) {
        PoStartNextPowerIrp(irp);
        Impl::complete(irp, STATUS_NO_SUCH_DEVICE);
    }
    if (listener) listener->deviceRemoved(pdo);
}

std::vector<PDEVICE_OBJECT> TestBus::devices() const {
    std::lock_guard<std::mutex> g(impl_->lock);
    std::vector<PDEVICE_OBJECT> out;
    for (auto& [pdo, device] : impl_->devices) out.push_back(pdo);
    return out;
}

void TestBus::reap() {
    std::vector<PDEVICE_OBJECT> gone;
    {
        std::lock_guard<std::mutex> g(impl_->lock);
        for (auto it = impl_->devices.begin(); it != impl_->devices.end();) {
            PDEVICE_OBJECT pdo = it->first;
            if (it->second.left && it->second.removed && pdo->AttachedDevice == nullptr) {
                gone.push_back(pdo);
                it = impl_->devices.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (PDEVICE_OBJECT pdo : gone) IoDeleteDevice(pdo);
}

std::vector<UCHAR> TestBus::pnpSeen(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->devices.find(pdo);
    return it == impl_->devices.end() ? std::vector<UCHAR>{} : it->second.pnpSeen;
}

std::vector<UCHAR> TestBus::powerSeen(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->devices.find(pdo);
    return it == impl_->devices.end() ? std::vector<UCHAR>{} : it->second.powerSeen;
}

DEVICE_POWER_STATE TestBus::lastDevicePower(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->devices.find(pdo);
    return it == impl_->devices.end() ? PowerDeviceUnspecified : it->second.lastDevicePower;
}

ULONG TestBus::waitWakePending(PDEVICE_OBJECT pdo) const {
    std::lock_guard<std::mutex> g(impl_->lock);
    auto it = impl_->devices.find(pdo);
    return it == impl_->devices.end() ? 0 : static_cast<ULONG>(it->second.waitWakes.size());
}

void TestBus::wake(PDEVICE_OBJECT pdo) {
    for (PIRP irp : impl_->claimWaitWakes(pdo)) {
        PoStartNextPowerIrp(irp);
        Impl::complete(irp, STATUS_SUCCESS);
    }
}

PDRIVER_OBJECT TestBus::driver() const {
    return impl_->driver;
}

}  // namespace host
