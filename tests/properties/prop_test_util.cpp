#include "tests/properties/prop_test_util.h"

#include <cstring>

#include "driver/core/device_context.h"
#include "pav512/buffers.h"
#include "pav512/ioctl.h"
#include "platform/kernel/registry.h"
#include "sim/sim_camera.h"
#include "tests/support/device_client.h"

namespace proptest {
namespace {

std::u16string wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::u16string guidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return wide(text);
}

std::u16string itemPath(const sim::Scenario& scenario, const GUID& set, ULONG id) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(id));
    return driverKeyPath(scenario) + u"\\" + guidText(set) + u"\\" + wide(hex);
}

}  // namespace

sim::Scenario scenarioFor(const std::string& name) {
    sim::Scenario s = sim::defaultScenario();
    s.name = name;
    s.defaultContent = false;
    return s;
}

pavtest::CameraHarnessOptions options(const sim::Scenario& scenario) {
    pavtest::CameraHarnessOptions o;
    o.scenario = scenario;
    o.clockScale = 10;
    return o;
}

Bytes word(std::uint32_t value) {
    return words({value});
}

Bytes words(std::initializer_list<std::uint32_t> values) {
    Bytes b;
    for (std::uint32_t v : values)
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    return b;
}

std::uint32_t wordAt(const Bytes& bytes, std::size_t offset) {
    std::uint32_t v = 0;
    if (offset + 4 <= bytes.size()) std::memcpy(&v, bytes.data() + offset, 4);
    return v;
}

Properties::Properties(pavtest::CameraHarness& harness)
    : client_(std::make_unique<pavtest::DeviceClient>(harness.fdo())) {}

Properties::~Properties() = default;

Answer Properties::send(ULONG code, const GUID& set, ULONG id, const Bytes& data) {
    pav512::PropertyHeader h{};
    h.moduleStatus = 0xFF;
    h.propertySet = set;
    h.propertyId = id;
    h.dataLengthOrEvent = static_cast<std::uint32_t>(data.size());
    Bytes buffer(sizeof h);
    std::memcpy(buffer.data(), &h, sizeof h);
    buffer.insert(buffer.end(), data.begin(), data.end());
    auto reply = client_->sendRequest(code, buffer);
    Answer a;
    if (!pavtest::DeviceClient::wait(reply)) return a;
    a.status = reply->status;
    a.moduleStatus = reply->moduleStatus();
    if (reply->data.size() >= sizeof h)
        a.data.assign(reply->data.begin() + sizeof h, reply->data.end());
    return a;
}

Answer Properties::get(const GUID& set, ULONG id, std::size_t length) {
    return send(pav512::IOCTL_VPI_PROPERTY_GET, set, id, Bytes(length, 0xEE));
}

Answer Properties::set(const GUID& set, ULONG id, const Bytes& data) {
    return send(pav512::IOCTL_VPI_PROPERTY_SET, set, id, data);
}

Answer Properties::restoreDefault(const GUID& set, ULONG id) {
    return send(pav512::IOCTL_VPI_PROPERTY_DEFAULT, set, id, {});
}

NTSTATUS request(DeviceContext* device, const GUID& set, ULONG id, Bytes& data, bool isSet) {
    Bytes buffer(24);
    std::memcpy(buffer.data(), &set, sizeof set);
    std::memcpy(buffer.data() + 16, &id, 4);
    buffer.insert(buffer.end(), data.begin(), data.end());
    auto size = static_cast<ULONG>(buffer.size());
    NTSTATUS status =
        PropMan_PropertyRequest(device, &set, id, buffer.data(), size, size, isSet, true);
    data.assign(buffer.begin() + 24, buffer.end());
    return status;
}

std::u16string driverKeyPath(const sim::Scenario& scenario) {
    std::u16string enumKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" +
                             wide(sim::instancePathFor(scenario));
    char16_t driver[128] = {};
    ULONG length = 0;
    if (!NT_SUCCESS(regReadBinary(enumKey.c_str(), u"Driver", driver, sizeof driver - 2, &length)))
        return u"\\Registry\\Machine\\(no driver key)";
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" +
           std::u16string(driver);
}

std::optional<Bytes> stored(const sim::Scenario& scenario, const GUID& set, ULONG id,
                            const char16_t* name) {
    Bytes value(70000);
    ULONG length = 0;
    if (!NT_SUCCESS(regReadBinary(itemPath(scenario, set, id).c_str(), name, value.data(),
                                  static_cast<ULONG>(value.size()), &length)))
        return std::nullopt;
    value.resize(length);
    return value;
}

void store(const sim::Scenario& scenario, const GUID& set, ULONG id, const char16_t* name,
           const Bytes& value) {
    std::u16string path = itemPath(scenario, set, id);
    ASSERT_EQ(regEnsureKey(path.c_str()), STATUS_SUCCESS);
    ASSERT_EQ(regWriteBinary(path.c_str(), name, value.data(), static_cast<ULONG>(value.size())),
              STATUS_SUCCESS);
}

void erase(const sim::Scenario& scenario, const GUID& set, ULONG id, const char16_t* name) {
    std::u16string path = itemPath(scenario, set, id);
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes), STATUS_SUCCESS);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    EXPECT_EQ(ZwDeleteValueKey(key, &valueName), STATUS_SUCCESS);
    ZwClose(key);
}

std::vector<sim::RegisterWrite> writesSince(pavtest::CameraHarness& harness, std::size_t from) {
    auto all = harness.camera().registerWrites();
    if (from >= all.size()) return {};
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.end()};
}

void setLocale(const std::u16string& text) {
    const char16_t* key = u"\\Registry\\User\\.DEFAULT\\Control Panel\\International";
    ASSERT_EQ(regEnsureKey(key), STATUS_SUCCESS);
    std::u16string value = text;
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, key, u"Locale", REG_SZ, value.data(),
                                    static_cast<ULONG>((value.size() + 1) * sizeof(char16_t))),
              STATUS_SUCCESS);
}

}  // namespace proptest
