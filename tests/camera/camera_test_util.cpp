#include "tests/camera/camera_test_util.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "driver/core/device_context.h"
#include "platform/kernel/registry.h"
#include "tests/support/kernel_test.h"

namespace camtest {
namespace {

const char kSettingsKey[] = "\\Registry\\Machine\\Software\\Veltra\\USB Camera (PAV512)";

std::u16string wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// Identifiers of the items of the two event sets.
std::vector<ULONG> cameraItems() {
    std::vector<ULONG> ids = {0, 1, 2, 3, 4, 5};
    for (ULONG i = 0x10; i <= 0x1F; ++i) ids.push_back(i);
    return ids;
}
std::vector<ULONG> inputItems() {
    std::vector<ULONG> ids;
    for (ULONG i = 0; i <= 0x0F; ++i) ids.push_back(i);
    for (ULONG i = 0x20; i <= 0x2F; ++i) ids.push_back(i);
    ids.insert(ids.end(), {0x30, 0x32, 0x31});
    return ids;
}

}  // namespace

void writeSetting(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::u16string key = wide(kSettingsKey), value = wide(name);
    ASSERT_EQ(regEnsureKey(key.c_str()), STATUS_SUCCESS);
    ASSERT_EQ(
        regWriteBinary(key.c_str(), value.c_str(), bytes.data(), static_cast<ULONG>(bytes.size())),
        STATUS_SUCCESS);
}

std::optional<std::vector<std::uint8_t>> readSetting(const std::string& name) {
    std::u16string key = wide(kSettingsKey), value = wide(name);
    std::vector<std::uint8_t> bytes(8192);
    ULONG length = 0;
    if (!NT_SUCCESS(regReadBinary(key.c_str(), value.c_str(), bytes.data(),
                                  static_cast<ULONG>(bytes.size()), &length)))
        return std::nullopt;
    bytes.resize(length);
    return bytes;
}

std::optional<std::uint8_t> patchingStatus(const std::string& instancePath) {
    // The instance's key names its driver key ("{class}\\NNNN") in "Driver".
    std::u16string enumKey =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + wide(instancePath);
    char16_t driver[128] = {};
    ULONG length = 0;
    if (!NT_SUCCESS(regReadBinary(enumKey.c_str(), u"Driver", driver, sizeof driver - 2, &length)))
        return std::nullopt;
    std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" +
                         std::u16string(driver);
    std::uint8_t value[4] = {};
    if (!NT_SUCCESS(regReadBinary(key.c_str(), u"Patching Status", value, sizeof value, &length)) ||
        length != 1)
        return std::nullopt;
    return value[0];
}

std::vector<std::uint8_t> patchImage(std::size_t length, bool marked) {
    std::vector<std::uint8_t> image(length);
    for (std::size_t i = 0; i < length; ++i) image[i] = static_cast<std::uint8_t>(i * 7 + 3);
    image[2] = marked ? '5' : 'x';
    image[3] = marked ? '2' : 'y';
    image[99] = static_cast<std::uint8_t>(length >> 8);
    image[100] = static_cast<std::uint8_t>(length);
    return image;
}

void storePatch(std::uint8_t major, std::uint8_t minor, const std::vector<std::uint8_t>& image) {
    for (std::size_t block = 0; block * 4096 < image.size(); ++block) {
        char name[32];
        std::snprintf(name, sizeof name, "Patch v%.2x.%.2x_%d", major, minor,
                      static_cast<int>(block));
        std::size_t end = std::min(image.size(), (block + 1) * 4096);
        writeSetting(name,
                     std::vector<std::uint8_t>(image.begin() + block * 4096, image.begin() + end));
    }
}

std::uint8_t expectedChecksum(const std::vector<std::uint8_t>& image) {
    // Written from the rule, not from the driver: 0xFF, XOR of offsets 6 to
    // the image length, plus one unless the image is marked "52".
    std::size_t length = (image[99] << 8) | image[100];
    std::uint8_t sum = 0xFF;
    for (std::size_t i = 6; i < length; ++i) sum ^= image[i];
    if (!(image[2] == '5' && image[3] == '2')) ++sum;
    return sum;
}

EventLog::EventLog(DeviceContext* device) : device_(device) {
    for (ULONG id : cameraItems()) device_->watches.addWatch(kCameraEventSet, id, this, this);
    for (ULONG id : inputItems()) device_->watches.addWatch(kInputEventSet, id, this, this);
    device_->watches.connect(routine);
}

EventLog::~EventLog() {
    if (device_ == nullptr) return;
    device_->watches.disconnect();
    device_->watches.removeWatch(this);
}

void EventLog::forgetDevice() {
    device_ = nullptr;
}

void EventLog::routine(ULONG reason, PVOID context, ULONG_PTR, const GUID* set, ULONG identifier) {
    auto* log = static_cast<EventLog*>(context);
    if (reason != kPropertyChangeReason || log == nullptr) return;
    std::lock_guard<std::mutex> g(log->lock_);
    log->events_.emplace_back(*set == kInputEventSet, identifier);
}

std::vector<ULONG> EventLog::raised(bool inputSet) const {
    std::lock_guard<std::mutex> g(lock_);
    std::vector<ULONG> ids;
    for (const auto& [input, id] : events_)
        if (input == inputSet) ids.push_back(id);
    return ids;
}

void EventLog::clear() {
    std::lock_guard<std::mutex> g(lock_);
    events_.clear();
}

bool EventLog::waitFor(bool inputSet, std::size_t count) const {
    return pavtest::waitFor([&] { return raised(inputSet).size() >= count; });
}

namespace {
std::mutex upperLock;
std::optional<std::pair<ULONG, ULONG>> storedSize;
std::vector<CameraVideoFormat> registered;
int appliedCount = 0;
}  // namespace

void UpperModules::reset() {
    std::lock_guard<std::mutex> g(upperLock);
    storedSize.reset();
    registered.clear();
    appliedCount = 0;
}

void UpperModules::setImageSize(std::optional<std::pair<ULONG, ULONG>> size) {
    std::lock_guard<std::mutex> g(upperLock);
    storedSize = size;
}

std::optional<std::pair<ULONG, ULONG>> UpperModules::imageSize() {
    std::lock_guard<std::mutex> g(upperLock);
    return storedSize;
}

std::vector<CameraVideoFormat> UpperModules::formats() {
    std::lock_guard<std::mutex> g(upperLock);
    return registered;
}

int UpperModules::applied() {
    std::lock_guard<std::mutex> g(upperLock);
    return appliedCount;
}

void UpperModules::install(DriverContext* driver) {
    driver->modules[kModuleStreamInterface] = {"SRBIF", initialise, Camera_Remove};
}

NTSTATUS UpperModules::initialise(DeviceContext* device) {
    device->camera.hooks.addFormat.store(addFormat);
    device->camera.hooks.applyProperties.store(apply);
    device->propertyRequest.store(property);
    return Camera_Startup(device);
}

NTSTATUS UpperModules::addFormat(DeviceContext*, const CameraVideoFormat& format) {
    std::lock_guard<std::mutex> g(upperLock);
    registered.push_back(format);
    return STATUS_SUCCESS;
}

NTSTATUS UpperModules::property(DeviceContext*, const GUID* set, ULONG identifier, bool write,
                                PVOID data, ULONG inputSize, ULONG outputSize, ULONG* actualSize) {
    std::lock_guard<std::mutex> g(upperLock);
    if (*set != kDevicePropertySet || identifier != kPropertyImageSize)
        return STATUS_NOT_IMPLEMENTED;
    if (inputSize != 8 || outputSize != 8) return STATUS_INVALID_PARAMETER;
    auto* words = static_cast<ULONG*>(data);
    if (write) {
        storedSize = std::make_pair(words[0], words[1]);
    } else {
        if (!storedSize) return STATUS_UNSUCCESSFUL;
        words[0] = storedSize->first;
        words[1] = storedSize->second;
    }
    if (actualSize) *actualSize = 8;
    return STATUS_SUCCESS;
}

void UpperModules::apply(DeviceContext*) {
    std::lock_guard<std::mutex> g(upperLock);
    ++appliedCount;
}

pavtest::CameraHarnessOptions cameraOptions(const sim::Scenario& scenario, double clockScale,
                                            bool plugAtStart) {
    pavtest::CameraHarnessOptions o;
    o.scenario = scenario;
    o.clockScale = clockScale;
    o.plugAtStart = plugAtStart;
    o.configureDriver = [](DriverContext* driver) { UpperModules::install(driver); };
    return o;
}

}  // namespace camtest
