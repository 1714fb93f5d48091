// The USB bus below the driver: one bus driver whose physical device objects
// (one per plugged camera) take the driver's URBs and internal requests, and a
// table of operations per device (DeviceBackend) that a simulated camera or the
// libusb backend implements. Backends only submit, cancel and complete
// transfers asynchronously; everything synchronous is built above them.
//
// Contract of the physical device object (what the driver may rely on):
//
// IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB (URB in
// Parameters.Others.Argument1). The request completes once, with
// Irp->IoStatus.Status = UsbdStatusToNtStatus(urb->UrbHeader.Status), and is
// cancellable with IoCancelIrp while pending (the transfer then ends with
// USBD_STATUS_CANCELED / STATUS_CANCELLED). By function:
//   GET_DESCRIPTOR_FROM_DEVICE  a standard GET_DESCRIPTOR read of the device
//       itself (not a cached copy); TransferBufferLength becomes the bytes
//       received, which may be fewer than asked (short reads succeed); bytes
//       past them are left as they were.
//   SELECT_CONFIGURATION  ConfigurationDescriptor null: the device goes
//       unconfigured (every pipe aborted first). Otherwise each interface
//       block (Interface, each Length long) selects its InterfaceNumber and
//       AlternateSetting; the bus fills Class, SubClass, Protocol,
//       InterfaceHandle, NumberOfPipes and every pipe (packet size, endpoint
//       address, interval, type, handle; MaximumTransferSize is kept as the
//       caller set it) from the descriptor the device reported at arrival.
//       USBD_STATUS_INVALID_PARAMETER when a block is too short for its pipes
//       or names an interface or setting the device lacks;
//       USBD_STATUS_NO_BANDWIDTH when the bus cannot grant the setting (the
//       previous setting then stays selected). Pipe handles of the previous
//       setting become invalid.
//   SELECT_INTERFACE  as above for one interface of the current configuration.
//   ABORT_PIPE  every pending transfer of the pipe ends with
//       USBD_STATUS_CANCELED before this request completes.
//   RESET_PIPE  clears a halt of the endpoint.
//   VENDOR_DEVICE  a vendor control request to the device: bmRequestType
//       0x40 (out) or 0xC0 (TransferFlags has USBD_TRANSFER_DIRECTION_IN),
//       bRequest Request, wValue Value, wIndex Index, wLength
//       TransferBufferLength; TransferBufferLength becomes the bytes moved. A
//       stall ends with USBD_STATUS_STALL_PID.
//   BULK_OR_INTERRUPT_TRANSFER  PipeHandle must be a pipe of the current
//       setting (else USBD_STATUS_INVALID_PIPE_HANDLE); the direction is the
//       endpoint's. TransferBufferLength becomes the bytes moved.
//   ISOCH_TRANSFER  NumberOfPackets packets (1 to 255), one per frame; packet
//       i receives at most the pipe's packet size at IsoPacket[i].Offset, and
//       its Length and Status report what came; ErrorCount counts packets that
//       failed. The URB fails with USBD_STATUS_ISOCH_REQUEST_FAILED when every
//       packet failed.
//   GET_CURRENT_FRAME_NUMBER  the bus frame counter (1 ms frames).
//   Any other function: USBD_STATUS_INVALID_URB_FUNCTION.
// IOCTL_INTERNAL_USB_GET_PORT_STATUS  *(ULONG*)Argument1 = USBD_PORT_ENABLED |
//   USBD_PORT_CONNECTED while the device is present, 0 after it left.
// IOCTL_INTERNAL_USB_RESET_PORT  resets the device's port.
// IOCTL_INTERNAL_USB_CYCLE_PORT  sent to the port device object, which is the
//   device that follows the physical device object in the bus driver's device
//   list (pdo->NextDevice): the device leaves (the listener hears
//   deviceRemoved) and comes back as a new physical device object with the
//   same instance path (deviceArrived), re-enumerated by its backend (a
//   patched camera comes back patched). The request itself completes at once.
// After the device left (unplugged, cycled, or the backend reported it gone)
// every pending URB completes with USBD_STATUS_DEVICE_GONE and every new one
// fails with it at once.
// IRP_MJ_PNP: start, stop, query and cancel requests succeed; capabilities
//   report the device's; remove deletes the physical device object once the
//   device has left. IRP_MJ_POWER: set and query succeed; wait-wake stays
//   pending until cancelled. Other requests complete with their status
//   unchanged.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/usb/usb.h"

namespace usbbus {

// One transfer handed to a backend. The bus fills the request fields, the
// backend the result fields, then calls complete exactly once.
struct Transfer {
    // Request.
    UCHAR type = USB_ENDPOINT_TYPE_CONTROL;  // USB_ENDPOINT_TYPE_*
    UCHAR endpoint = 0;                      // with the direction bit; 0 for control
    UCHAR setup[8] = {};                     // control transfers: the setup packet
    UCHAR* buffer = nullptr;
    ULONG length = 0;      // bytes to move (control: wLength; iso: the whole buffer)
    bool shortOk = true;   // a short in-transfer is a success
    ULONG packetSize = 0;  // isochronous: the pipe's maximum packet size
    ULONG numberOfPackets = 0;
    USBD_ISO_PACKET_DESCRIPTOR* isoPackets = nullptr;  // Offset set by the bus
    // Result (written by the backend before complete).
    ULONG actualLength = 0;
    USBD_STATUS status = USBD_STATUS_PENDING;
    ULONG errorCount = 0;
    ULONG startFrame = 0;
    // Completion: called exactly once, from any thread, never from inside submit.
    void (*complete)(Transfer* transfer, void* context) = nullptr;
    void* context = nullptr;
    // Free for the backend's own use while the transfer is pending.
    void* backendData[2] = {nullptr, nullptr};
};

// The operations of one USB device, as the bus needs them.
class DeviceBackend {
  public:
    // What a backend tells the bus on its own initiative.
    class Sink {
      public:
        virtual ~Sink() = default;
        // The device has left the bus (unplugged or dead).
        virtual void deviceGone() = 0;
    };

    virtual ~DeviceBackend() = default;
    // Called by the bus once before any other operation (and again with null
    // when the device has left and the bus lets go of it). Once attach(null)
    // has returned, no call to the earlier sink is under way and none
    // follows: the bus deletes the device behind it.
    virtual void attach(Sink* sink) = 0;
    // Starts a transfer. Returns USBD_STATUS_PENDING when it will complete
    // through transfer->complete; any error status means refused at once, and
    // complete will not be called.
    virtual USBD_STATUS submit(Transfer* transfer) = 0;
    // Asks a pending transfer to end; it completes with USBD_STATUS_CANCELED
    // unless it is completing already. The bus only cancels transfers it has
    // not yet seen complete, but the call may cross the transfer's completion
    // on another thread, so a transfer the backend no longer holds is ignored.
    // May complete the transfer before returning; must not wait for a
    // completion that runs on another thread. Every submitted transfer still
    // completes after the device has left (with an error status).
    virtual void cancel(Transfer* transfer) = 0;
    // SET_CONFIGURATION; 0 unconfigures. The bus has cancelled every transfer
    // of the device's pipes before.
    virtual USBD_STATUS setConfiguration(UCHAR value) = 0;
    // SET_INTERFACE; USBD_STATUS_NO_BANDWIDTH when the bandwidth for the
    // setting cannot be granted. The bus has cancelled every transfer of the
    // interface's pipes before.
    virtual USBD_STATUS setInterface(UCHAR interfaceNumber, UCHAR alternateSetting) = 0;
    // CLEAR_FEATURE(ENDPOINT_HALT).
    virtual USBD_STATUS clearHalt(UCHAR endpoint) = 0;
    // The bus frame counter (1 ms frames).
    virtual ULONG currentFrame() = 0;
    virtual USBD_STATUS resetPort() = 0;
    // Makes the device disconnect and re-enumerate. After this returns the bus
    // lets go of the current physical device object and, once it is removed,
    // calls reenumerate() and plugs the device in again.
    virtual USBD_STATUS cyclePort() = 0;
    // The device comes back after a cycle (a patched camera runs its patch).
    // False when it does not come back.
    virtual bool reenumerate() = 0;
    // Capabilities to report for the device (defaults are fine).
    virtual void capabilities(DEVICE_CAPABILITIES* caps);
};

// A backend put in front of another one: passes every operation on, keeping
// its contract. A subclass overrides what it changes (serves one endpoint
// itself, drops cancels) and calls the forwarding operation for the rest.
class ForwardingBackend : public DeviceBackend {
  public:
    explicit ForwardingBackend(std::shared_ptr<DeviceBackend> inner) : inner_(std::move(inner)) {}
    void attach(Sink* sink) override { inner_->attach(sink); }
    USBD_STATUS submit(Transfer* transfer) override { return inner_->submit(transfer); }
    void cancel(Transfer* transfer) override { inner_->cancel(transfer); }
    USBD_STATUS setConfiguration(UCHAR value) override { return inner_->setConfiguration(value); }
    USBD_STATUS setInterface(UCHAR interfaceNumber, UCHAR alternateSetting) override {
        return inner_->setInterface(interfaceNumber, alternateSetting);
    }
    USBD_STATUS clearHalt(UCHAR endpoint) override { return inner_->clearHalt(endpoint); }
    ULONG currentFrame() override { return inner_->currentFrame(); }
    USBD_STATUS resetPort() override { return inner_->resetPort(); }
    USBD_STATUS cyclePort() override { return inner_->cyclePort(); }
    bool reenumerate() override { return inner_->reenumerate(); }
    void capabilities(DEVICE_CAPABILITIES* caps) override { inner_->capabilities(caps); }

  private:
    std::shared_ptr<DeviceBackend> inner_;
};

// Told of devices arriving and leaving: the Plug and Play stand-in.
class BusListener {
  public:
    virtual ~BusListener() = default;
    // A new physical device object exists; the listener builds its stack.
    virtual void deviceArrived(PDEVICE_OBJECT pdo) = 0;
    // The device has left; the listener sends surprise removal and removal to
    // its stack (the removal deletes the physical device object).
    virtual void deviceRemoved(PDEVICE_OBJECT pdo) = 0;
};

class Bus {
  public:
    // Creates the bus driver object ("\Driver\<name>") and its root device.
    explicit Bus(const std::string& name);
    // Unplugs every device still present and waits until their physical
    // device objects are gone.
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    void setListener(BusListener* listener);
    // Plugs a device in. The instance path names the device stably (physical
    // port or scenario name), e.g. "USB\VID_F1A5&PID_0B2D\sim-default".
    // Reads the device and configuration descriptors through the backend
    // (validated, never trusted); returns the physical device object, or null
    // when the device could not be enumerated.
    PDEVICE_OBJECT plug(std::shared_ptr<DeviceBackend> backend, const std::string& instancePath,
                        std::string* error = nullptr);
    // Surprise removal of the device of this physical device object.
    void unplug(PDEVICE_OBJECT pdo);
    // Physical device objects present now.
    std::vector<PDEVICE_OBJECT> devices() const;
    PDRIVER_OBJECT driver() const;
    // Waits (real time) until no device of this bus is in the middle of leaving
    // or coming back; false on time-out.
    bool settle(int timeoutMs = 10000);

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The backend behind a physical device object of any bus (null when gone).
std::shared_ptr<DeviceBackend> backendOf(PDEVICE_OBJECT pdo);
// What the bus found wrong with the device's descriptors at arrival and
// dropped or corrected (empty for a well-formed device or an unknown object).
std::vector<std::string> descriptorProblems(PDEVICE_OBJECT pdo);

}  // namespace usbbus
