// The Plug and Play manager of the driver host: loads a function driver,
// builds a device stack over every physical device object a bus reports and
// sends the stack its Plug and Play and power requests. As on the platform,
// every Plug and Play request runs on one PnP thread, one at a time, so the
// driver never sees two of them at once; the calls below wait for the final
// status of their request.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/kernel/wdm.h"
#include "platform/usb/bus.h"

namespace host {

class PnpManager : public usbbus::BusListener {
  public:
    PnpManager();
    // Removes every device still present and unloads the driver.
    ~PnpManager() override;
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Loads the function driver that every arriving device gets.
    NTSTATUS loadDriver(const char* name, PDRIVER_INITIALIZE entry);
    PDRIVER_OBJECT driver() const { return driver_; }

    // A bus reports a device: AddDevice, start, query capabilities, in the
    // background on the PnP thread (the bus may report from inside a call).
    void deviceArrived(PDEVICE_OBJECT pdo) override;
    // A bus reports a device gone: surprise removal, then removal.
    void deviceRemoved(PDEVICE_OBJECT pdo) override;
    // Returns once every request posted so far has been handled.
    void settle();

    // Outcome of the arrival handling (AddDevice, then start); STATUS_PENDING
    // while it has not run, STATUS_NO_SUCH_DEVICE for an unknown device.
    NTSTATUS arrivalStatus(PDEVICE_OBJECT pdo);
    // The driver's device object on top of the stack, or null.
    PDEVICE_OBJECT functionDevice(PDEVICE_OBJECT pdo);
    // Devices with a stack that has not been removed.
    std::vector<PDEVICE_OBJECT> devices();

    // Single requests, for hosts and tests. Each returns the final status.
    NTSTATUS addDevice(PDEVICE_OBJECT pdo);
    NTSTATUS start(PDEVICE_OBJECT pdo);
    NTSTATUS queryStop(PDEVICE_OBJECT pdo);
    NTSTATUS stop(PDEVICE_OBJECT pdo);
    NTSTATUS cancelStop(PDEVICE_OBJECT pdo);
    NTSTATUS queryRemove(PDEVICE_OBJECT pdo);
    NTSTATUS cancelRemove(PDEVICE_OBJECT pdo);
    // The stack deletes itself; the device is forgotten afterwards.
    NTSTATUS remove(PDEVICE_OBJECT pdo);
    NTSTATUS surpriseRemoval(PDEVICE_OBJECT pdo);
    NTSTATUS queryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES* capabilities);
    NTSTATUS queryPnpDeviceState(PDEVICE_OBJECT pdo, ULONG_PTR* state);
    // Any other minor code, with nothing in its parameters.
    NTSTATUS pnp(PDEVICE_OBJECT pdo, UCHAR minor);

    NTSTATUS setDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
    NTSTATUS queryDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state);
    NTSTATUS setSystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
    NTSTATUS querySystemPower(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state);
    // Sends a wait-wake request; it stays pending until the stack ends it,
    // and `done` then gets its final status (on whatever thread ended it).
    // Returns STATUS_PENDING once sent.
    NTSTATUS waitWake(PDEVICE_OBJECT pdo, SYSTEM_POWER_STATE state,
                      std::function<void(NTSTATUS)> done);

    // Removes every device still present (orderly shutdown).
    void removeAll();

  private:
    struct Record {
        NTSTATUS arrival = STATUS_PENDING;
        bool added = false;
    };

    void post(std::function<void()> task);
    NTSTATUS runSync(const std::function<NTSTATUS()>& task);
    void run();
    bool onPnpThread() const;
    NTSTATUS sendPnp(PDEVICE_OBJECT pdo, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& setup,
                     ULONG_PTR* information = nullptr);
    NTSTATUS sendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    NTSTATUS arrive(PDEVICE_OBJECT pdo);
    NTSTATUS leave(PDEVICE_OBJECT pdo);
    void forget(PDEVICE_OBJECT pdo);

    PDRIVER_OBJECT driver_ = nullptr;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::map<PDEVICE_OBJECT, Record> records_;
    std::thread thread_;
};

}  // namespace host
