#include "tests/camera_usb/usb_test_util.h"

#include "driver/core/device_context.h"

namespace usbtest {

namespace {

NTSTATUS nothing(DeviceContext*) {
    return STATUS_SUCCESS;
}

}  // namespace

void releaseUsb(DeviceContext* device) {
    for (;;) {
        UsbStream* s = nullptr;
        KIRQL irql = KfAcquireSpinLock(&device->streams.lock);
        s = device->streams.head;
        KfReleaseSpinLock(&device->streams.lock, irql);
        if (!s) break;
        USBSTRM_Destroy(&s);
    }
    USBIF_Terminate(device);
}

pavtest::CameraHarnessOptions usbOnly(const sim::Scenario& scenario, double clockScale) {
    pavtest::CameraHarnessOptions o;
    o.scenario = scenario;
    o.clockScale = clockScale;
    o.configureDriver = [](DriverContext* driver) {
        ModuleOps defaults[kModuleCount];
        defaultModuleOps(defaults);
        for (int i = 0; i < kModuleCount; ++i) {
            if (i == kModuleStreamRequestList || i == kModuleStartupQuery)
                driver->modules[i] = defaults[i];
            else
                driver->modules[i] = ModuleOps{"none", nothing, nullptr};
        }
        // Stands in for the camera object's removal.
        driver->modules[kModuleReserved].terminate = releaseUsb;
    };
    return o;
}

NTSTATUS configure(DeviceContext* device, LONG alternate, LONG* selected) {
    NTSTATUS status = USBIF_Initialise(device);
    if (!NT_SUCCESS(status)) return status;
    LONG got = -1;
    status = USBIF_SetCameraAlternate(device, device->usbif.interfaceNumber, alternate, &got);
    if (selected) *selected = got;
    return status;
}

Recorder& Recorder::get() {
    static Recorder recorder;
    return recorder;
}

void Recorder::clear() {
    std::lock_guard<std::mutex> g(lock_);
    dataCalls_ = 0;
    dataBytes_ = 0;
    dataLengths_.clear();
    fillLengths_.clear();
    resetPhases_.clear();
    supplyLeft_ = 0;
    supplied_ = 0;
}

void Recorder::setSupply(std::uint32_t bytes) {
    std::lock_guard<std::mutex> g(lock_);
    supplyLeft_ = bytes;
    supplied_ = 0;
}

void Recorder::data(DeviceContext*, PUCHAR, ULONG length) {
    Recorder& r = get();
    std::lock_guard<std::mutex> g(r.lock_);
    r.dataCalls_ += 1;
    r.dataBytes_ += length;
    if (r.dataLengths_.size() < 100000) r.dataLengths_.push_back(length);
}

ULONG Recorder::fill(DeviceContext*, PUCHAR buffer, ULONG length) {
    Recorder& r = get();
    std::lock_guard<std::mutex> g(r.lock_);
    r.fillLengths_.push_back(length);
    ULONG n = length < r.supplyLeft_ ? length : r.supplyLeft_;
    // A pattern the camera side can check: byte i of the stream is i & 0xFF.
    for (ULONG i = 0; i < n; ++i) buffer[i] = static_cast<UCHAR>((r.supplied_ + i) & 0xFF);
    r.supplyLeft_ -= n;
    r.supplied_ += n;
    return n;
}

void Recorder::reset(DeviceContext*, ULONG phase) {
    Recorder& r = get();
    std::lock_guard<std::mutex> g(r.lock_);
    r.resetPhases_.push_back(phase);
}

std::vector<ULONG> Recorder::dataLengths() const {
    std::lock_guard<std::mutex> g(lock_);
    return dataLengths_;
}
std::vector<ULONG> Recorder::fillLengths() const {
    std::lock_guard<std::mutex> g(lock_);
    return fillLengths_;
}
std::vector<ULONG> Recorder::resetPhases() const {
    std::lock_guard<std::mutex> g(lock_);
    return resetPhases_;
}

LONGLONG liveBytes(const char (&tag)[5]) {
    return kpool::liveBytes(PoolTag(tag));
}
LONGLONG liveAllocations(const char (&tag)[5]) {
    return kpool::liveAllocations(PoolTag(tag));
}

}  // namespace usbtest

namespace usbtest {

NTSTATUS runSensor(DeviceContext* device, int width, int height) {
    UCHAR size[2] = {static_cast<UCHAR>(width / 4), static_cast<UCHAR>(height / 4)};
    ULONG length = sizeof size;
    NTSTATUS status = USBIF_VendorRequest(device, false, 0x01, (0xE4 << 8) | 1, size, &length);
    if (!NT_SUCCESS(status)) return status;
    UCHAR power = 0xCD;
    length = 1;
    return USBIF_VendorRequest(device, false, 0x01, (0x01 << 8) | 3, &power, &length);
}

}  // namespace usbtest
