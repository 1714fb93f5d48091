// What the bus tests share: requests sent to a device object and watched to
// completion, a listener standing in for the Plug and Play manager, and a
// fixture with one bus and one fake device.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/usb/bus.h"
#include "tests/support/kernel_test.h"
#include "tests/usb/fake_backend.h"

namespace usbtest {

// One request sent down a device stack, owned by the test.
class Sent {
  public:
    Sent(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, ULONG code, PVOID argument1) {
        irp_ = IoAllocateIrp(target->StackSize, FALSE);
        irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp_->OriginatorCompletion = [](PIRP, PVOID self) {
            auto* s = static_cast<Sent*>(self);
            if (s->onComplete) s->onComplete();
            s->completed_.store(true);
        };
        irp_->OriginatorContext = this;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = major;
        next->MinorFunction = minor;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument1;
        target_ = target;
    }
    ~Sent() {
        if (!irp_) return;
        if (!wait()) {
            ADD_FAILURE() << "request never completed";
            return;  // leaked rather than freed while a driver holds it
        }
        IoFreeIrp(irp_);
    }
    NTSTATUS call() {
        returned_ = IoCallDriver(target_, irp_);
        return returned_;
    }
    bool wait(int ms = 5000) {
        return pavtest::waitFor([&] { return completed_.load(); }, std::chrono::milliseconds(ms));
    }
    bool completed() const { return completed_.load(); }
    NTSTATUS status() const { return irp_->IoStatus.Status; }
    NTSTATUS returned() const { return returned_; }
    PIRP irp() { return irp_; }
    std::function<void()> onComplete;

  private:
    PDEVICE_OBJECT target_;
    PIRP irp_ = nullptr;
    NTSTATUS returned_ = STATUS_PENDING;
    std::atomic<bool> completed_{false};
};

inline std::unique_ptr<Sent> sendUrb(PDEVICE_OBJECT target, PVOID urb) {
    auto s = std::make_unique<Sent>(target, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
                                    IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    s->call();
    return s;
}

inline NTSTATUS submitAndWait(PDEVICE_OBJECT target, PVOID urb) {
    auto s = sendUrb(target, urb);
    EXPECT_TRUE(s->wait());
    return s->status();
}

inline NTSTATUS sendPnp(PDEVICE_OBJECT target, UCHAR minor, PVOID argument1 = nullptr) {
    Sent s(IoGetAttachedDevice(target), IRP_MJ_PNP, minor, 0, argument1);
    s.call();
    EXPECT_TRUE(s.wait());
    return s.status();
}

class TestListener : public usbbus::BusListener {
  public:
    void deviceArrived(PDEVICE_OBJECT pdo) override {
        std::lock_guard<std::mutex> g(m);
        arrived.push_back(pdo);
    }
    void deviceRemoved(PDEVICE_OBJECT pdo) override {
        {
            std::lock_guard<std::mutex> g(m);
            removed.push_back(pdo);
            removedOn = std::this_thread::get_id();
        }
        if (autoRemove) removeStack(pdo);
    }
    static void removeStack(PDEVICE_OBJECT pdo) {
        EXPECT_EQ(sendPnp(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
        EXPECT_EQ(sendPnp(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    }
    size_t removedCount() {
        std::lock_guard<std::mutex> g(m);
        return removed.size();
    }

    std::mutex m;
    std::vector<PDEVICE_OBJECT> arrived;
    std::vector<PDEVICE_OBJECT> removed;
    std::thread::id removedOn;
    std::atomic<bool> autoRemove{true};
};

constexpr const char* kPath = "USB\\VID_F1A5&PID_0B2D\\test-port-1";

class BusTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bus = std::make_unique<usbbus::Bus>("usbtest");
        bus->setListener(&listener);
        fake = std::make_shared<FakeBackend>();
    }
    void TearDown() override {
        owned.clear();
        bus.reset();
        fake.reset();
        EXPECT_EQ(kpool::liveBytes(PoolTag("UBus")), 0);
        EXPECT_EQ(kpool::liveBytes(PoolTag("USBD")), 0);
    }

    PDEVICE_OBJECT plug() {
        std::string error;
        pdo = bus->plug(fake, kPath, &error);
        EXPECT_NE(pdo, nullptr) << error;
        config = std::make_unique<Exact>(fake->configBytes);
        return pdo;
    }

    // A select-configuration URB for interface 0 at `alternate`, as the
    // driver builds it (freed by the fixture).
    PURB selection(UCHAR alternate) {
        PUSB_INTERFACE_DESCRIPTOR ifc = USBD_ParseConfigurationDescriptorEx(
            config->config(), config->data(), 0, alternate, -1, -1, -1);
        EXPECT_NE(ifc, nullptr);
        if (!ifc) return nullptr;
        USBD_INTERFACE_LIST_ENTRY list[2] = {{ifc, nullptr}, {nullptr, nullptr}};
        PURB urb = USBD_CreateConfigurationRequestEx(config->config(), list);
        PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
        for (ULONG i = 0; i < info->NumberOfPipes; ++i)
            info->Pipes[i].MaximumTransferSize = 0x10000;
        owned.emplace_back(urb, [](PURB u) { ExFreePool(u); });
        return urb;
    }
    // Selects `alternate` and returns its interface block (null on failure).
    PUSBD_INTERFACE_INFORMATION select(UCHAR alternate, NTSTATUS* status = nullptr) {
        PURB urb = selection(alternate);
        NTSTATUS st = submitAndWait(pdo, urb);
        if (status) *status = st;
        return NT_SUCCESS(st) ? &urb->UrbSelectConfiguration.Interface : nullptr;
    }
    static USBD_PIPE_HANDLE pipeOf(PUSBD_INTERFACE_INFORMATION info, UCHAR endpoint) {
        for (ULONG i = 0; info && i < info->NumberOfPipes; ++i)
            if (info->Pipes[i].EndpointAddress == endpoint) return info->Pipes[i].PipeHandle;
        return nullptr;
    }
    std::unique_ptr<URB> bulk(USBD_PIPE_HANDLE pipe, UCHAR* buffer, ULONG length, ULONG flags = 0) {
        auto urb = std::make_unique<URB>();
        UsbBuildInterruptOrBulkTransferRequest(urb.get(), sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                               pipe, buffer, length, flags);
        return urb;
    }
    std::unique_ptr<URB> vendorRequest(bool in, UCHAR request, USHORT value, UCHAR* buffer,
                                       ULONG length) {
        auto urb = std::make_unique<URB>();
        UsbBuildVendorRequest(urb.get(), URB_FUNCTION_VENDOR_DEVICE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0,
                              request, value, 0, buffer, length);
        return urb;
    }

    TestListener listener;
    std::unique_ptr<usbbus::Bus> bus;
    std::shared_ptr<FakeBackend> fake;
    PDEVICE_OBJECT pdo = nullptr;
    std::unique_ptr<Exact> config;
    std::vector<std::unique_ptr<URB, void (*)(PURB)>> owned;
};

}  // namespace usbtest
