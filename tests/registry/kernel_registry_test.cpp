// The kernel's registry calls: paths, component-by-component creation, value
// queries with short buffers, direct queries with defaults, and each device
// instance's own software key.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/kernel/registry.h"
#include "platform/kernel/wdm.h"
#include "platform/registry/hives.h"
#include "platform/registry/store.h"
#include "tests/support/kernel_test.h"

namespace {

// A counted string over its own copy of the text.
struct Name {
    std::u16string text;
    UNICODE_STRING us{};
    explicit Name(std::u16string t) : text(std::move(t)) {
        us.Buffer = text.data();
        us.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        us.MaximumLength = us.Length;
    }
};

NTSTATUS createKey(const std::u16string& path, HANDLE* h, ULONG* disposition = nullptr,
                   HANDLE root = nullptr) {
    Name n(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(h, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, disposition);
}

NTSTATUS openKey(const std::u16string& path, HANDLE* h, ACCESS_MASK access = KEY_ALL_ACCESS) {
    Name n(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &n.us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    return ZwOpenKey(h, access, &oa);
}

NTSTATUS setValue(HANDLE h, const std::u16string& name, ULONG type, const void* data, ULONG size) {
    Name n(name);
    return ZwSetValueKey(h, &n.us, 0, type, const_cast<void*>(data), size);
}

NTSTATUS setDword(HANDLE h, const std::u16string& name, ULONG value) {
    return setValue(h, name, REG_DWORD, &value, sizeof value);
}

NTSTATUS queryValue(HANDLE h, const std::u16string& name, void* buffer, ULONG length,
                    ULONG* result) {
    Name n(name);
    return ZwQueryValueKey(h, &n.us, KeyValuePartialInformation, buffer, length, result);
}

const std::u16string kProduct = u"\\Registry\\Machine\\Software\\Veltra\\USB Camera (PAV512)";

class KernelRegistry : public ::testing::Test {
  protected:
    void SetUp() override { objects_ = kobj::liveObjects(); }
    void TearDown() override {
        EXPECT_EQ(kobj::liveObjects(), objects_) << "a key object was not released";
    }

  private:
    LONGLONG objects_ = 0;
};

TEST_F(KernelRegistry, CreatesOneMissingComponentAtATime) {
    HANDLE h = nullptr;
    EXPECT_EQ(createKey(kProduct + u"\\CameraChange", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(openKey(kProduct, &h), STATUS_OBJECT_NAME_NOT_FOUND);

    // The driver's ensure-key: every prefix of the path in turn.
    std::u16string path = kProduct + u"\\CameraChange";
    std::vector<ULONG> dispositions;
    for (size_t at = path.find(u'\\', 1);; at = path.find(u'\\', at + 1)) {
        ULONG disposition = 0;
        ASSERT_EQ(createKey(path.substr(0, at), &h, &disposition), STATUS_SUCCESS) << at;
        dispositions.push_back(disposition);
        EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
        if (at == std::u16string::npos) break;
    }
    // \Registry, \Registry\Machine and Software exist; Veltra, the product and CameraChange are
    // made.
    EXPECT_EQ(dispositions, (std::vector<ULONG>{REG_OPENED_EXISTING_KEY, REG_OPENED_EXISTING_KEY,
                                                REG_CREATED_NEW_KEY, REG_CREATED_NEW_KEY,
                                                REG_CREATED_NEW_KEY, REG_CREATED_NEW_KEY}));

    ASSERT_EQ(
        openKey(u"\\REGISTRY\\machine\\SOFTWARE\\veltra\\usb camera (pav512)\\CAMERACHANGE", &h),
        STATUS_SUCCESS);
    ASSERT_EQ(setDword(h, u"CameraChange", 7), STATUS_SUCCESS);
    // Relative to a key handle.
    HANDLE parent = nullptr, child = nullptr;
    ASSERT_EQ(openKey(kProduct, &parent), STATUS_SUCCESS);
    Name rel(u"cameraCHANGE");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &rel.us, 0, parent, nullptr);
    ASSERT_EQ(ZwOpenKey(&child, KEY_READ, &oa), STATUS_SUCCESS);
    ULONG buffer[8];
    ULONG result = 0;
    ASSERT_EQ(queryValue(child, u"cameraChange", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data[0], 7);
    for (HANDLE x : {h, parent, child}) EXPECT_EQ(ZwClose(x), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_INVALID_HANDLE);
}

TEST_F(KernelRegistry, QueryValueReportsTheSizeItNeeds) {
    HANDLE h = nullptr;
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\Q", &h), STATUS_SUCCESS);
    const UCHAR data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(setValue(h, u"Patch", REG_BINARY, data, sizeof data), STATUS_SUCCESS);
    const ULONG fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

    alignas(8) UCHAR buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    ULONG result = 0;
    EXPECT_EQ(queryValue(h, u"patch", buffer, 4, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, fixed + 10);
    EXPECT_EQ(queryValue(h, u"patch", buffer, fixed + 9, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, fixed + 10);
    EXPECT_EQ(info->Type, REG_BINARY);
    EXPECT_EQ(info->DataLength, 10u);
    ASSERT_EQ(queryValue(h, u"patch", buffer, fixed + 10, &result), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(info->Data, data, 10), 0);
    EXPECT_EQ(buffer[fixed + 10], 0xEE);  // nothing written past the answer

    EXPECT_EQ(queryValue(h, u"absent", buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    Name n(u"Patch");
    EXPECT_EQ(ZwQueryValueKey(h, &n.us, KeyValueBasicInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(h, &n.us, KeyValuePartialInformation, buffer, sizeof buffer, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwDeleteValueKey(h, &n.us), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(h, &n.us), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

    // A key opened for reading refuses writes.
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\Q", &h, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(setDword(h, u"x", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(KernelRegistry, RejectsMalformedArguments) {
    HANDLE h = nullptr;
    EXPECT_EQ(createKey(u"Registry\\Machine\\X", &h), STATUS_OBJECT_NAME_INVALID);  // not absolute
    EXPECT_EQ(createKey(u"\\Registry\\Machine\\\\X", &h), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(createKey(u"\\Registry\\Elsewhere", &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(createKey(u"\\Device\\Foo", &h), STATUS_OBJECT_NAME_NOT_FOUND);

    Name odd(u"\\Registry\\Machine");
    odd.us.Length = 3;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &odd.us, 0, nullptr, nullptr);
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
    odd.us.Length = 8;
    odd.us.MaximumLength = 4;
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, &oa), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwOpenKey(&h, KEY_READ, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwOpenKey(nullptr, KEY_READ, &oa), STATUS_INVALID_PARAMETER);

    ULONG result;
    UCHAR buffer[32];
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x80007777));
    EXPECT_EQ(queryValue(bogus, u"x", buffer, sizeof buffer, &result), STATUS_INVALID_HANDLE);
    EXPECT_EQ(setDword(bogus, u"x", 1), STATUS_INVALID_HANDLE);

    // A handle that is not a key.
    KEVENT* event = nullptr;
    struct Ev {
        KEVENT e;
    };
    auto* ev = kobj::create<Ev>(*ExEventObjectType);
    event = &ev->e;
    KeInitializeEvent(event, NotificationEvent, FALSE);
    HANDLE eh = kobj::insertHandle(ev);
    ObfDereferenceObject(ev);
    EXPECT_EQ(setDword(eh, u"x", 1), STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(eh), STATUS_SUCCESS);

    ASSERT_EQ(createKey(u"\\Registry\\Machine\\M", &h), STATUS_SUCCESS);
    EXPECT_EQ(setValue(h, u"x", REG_BINARY, nullptr, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(KernelRegistry, UserPathsShareTheUserHive) {
    HANDLE a = nullptr, b = nullptr, m = nullptr;
    for (const char16_t* p : {u"\\Registry\\User", u"\\Registry\\User\\.DEFAULT",
                              u"\\Registry\\User\\.DEFAULT\\Control Panel",
                              u"\\Registry\\User\\.DEFAULT\\Control Panel\\International"}) {
        ASSERT_EQ(createKey(p, &a), STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(a), STATUS_SUCCESS);
    }
    ASSERT_EQ(openKey(u"\\Registry\\User\\.DEFAULT\\Control Panel\\International", &a),
              STATUS_SUCCESS);
    ASSERT_EQ(setDword(a, u"Probe", 5), STATUS_SUCCESS);
    ASSERT_EQ(openKey(u"\\Registry\\User\\S-1-5-18\\control panel\\international", &b),
              STATUS_SUCCESS);
    ULONG buffer[8], result;
    EXPECT_EQ(queryValue(b, u"Probe", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    // The machine hive is another file.
    EXPECT_EQ(openKey(u"\\Registry\\Machine\\Control Panel", &m), STATUS_OBJECT_NAME_NOT_FOUND);
    std::shared_ptr<regstore::Store> user;
    ASSERT_EQ(regstore::Store::open(std::getenv("PAV512_USER_HIVE"), &user), regstore::Status::Ok);
    regstore::Key k;
    std::uint32_t probe = 0;
    ASSERT_EQ(user->openKey(user->root(), "Control Panel\\International", &k),
              regstore::Status::Ok);
    ASSERT_EQ(regstore::queryDword(*user, k, "Probe", &probe), regstore::Status::Ok);
    EXPECT_EQ(probe, 5u);
    // The keys above the hives hold no values.
    HANDLE top = nullptr;
    ASSERT_EQ(openKey(u"\\Registry", &top), STATUS_SUCCESS);
    EXPECT_EQ(setDword(top, u"x", 1), STATUS_ACCESS_DENIED);
    EXPECT_EQ(queryValue(top, u"x", buffer, sizeof buffer, &result), STATUS_OBJECT_NAME_NOT_FOUND);
    for (HANDLE x : {a, b, top}) EXPECT_EQ(ZwClose(x), STATUS_SUCCESS);
}

TEST_F(KernelRegistry, QueryRegistryValuesTakesDefaultsForAbsentValues) {
    HANDLE h = nullptr;
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\Software", &h), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(h), STATUS_SUCCESS);
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\Software\\R", &h), STATUS_SUCCESS);
    ASSERT_EQ(setDword(h, u"FPGA", 0x11), STATUS_SUCCESS);
    const char16_t locale[] = u"0407";
    ASSERT_EQ(setValue(h, u"Locale", REG_SZ, locale, sizeof locale), STATUS_SUCCESS);
    ASSERT_EQ(setDword(h, u"NotText", 3), STATUS_SUCCESS);
    const UCHAR blob[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_EQ(setValue(h, u"Blob", REG_BINARY, blob, sizeof blob), STATUS_SUCCESS);

    ULONG fpga = 0, missing = 0xFFFF, zero = 0;
    WCHAR text[8], fallbackText[8], shape[8];
    UNICODE_STRING localeOut{0, sizeof text, text},
        fallbackOut{0, sizeof fallbackText, fallbackText}, shapeOut{0, sizeof shape, shape};
    LONG blobOut[3] = {-8, 0, 0};
    RTL_QUERY_REGISTRY_TABLE table[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"fpga"), &fpga, REG_DWORD, &zero,
         sizeof zero},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"Absent"), &missing, REG_DWORD,
         &zero, 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"Locale"), &localeOut, REG_SZ,
         const_cast<PWCHAR>(u"409"), 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"NoLocale"), &fallbackOut, REG_SZ,
         const_cast<PWCHAR>(u"409"), 0},
        // A number where text is expected counts as absent: the default goes in.
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"NotText"), &shapeOut, REG_SZ,
         const_cast<PWCHAR>(u"x"), 0},
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"Blob"), blobOut, REG_NONE,
         nullptr, 0},
        {},
    };
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Software\\R",
                                     table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(fpga, 0x11u);
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(std::u16string(text, localeOut.Length / 2), u"0407");
    EXPECT_EQ(text[4], 0);
    EXPECT_EQ(std::u16string(fallbackText, fallbackOut.Length / 2), u"409");
    EXPECT_EQ(fallbackText[3], 0);
    EXPECT_EQ(std::u16string(shape, shapeOut.Length / 2), u"x");
    EXPECT_EQ(std::memcmp(blobOut, blob, sizeof blob), 0);

    // Relative to the Software root, and through a handle.
    fpga = 0;
    RTL_QUERY_REGISTRY_TABLE one[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED,
         const_cast<PWCHAR>(u"FPGA"), &fpga, REG_NONE, nullptr, 0},
        {}};
    ASSERT_EQ(
        RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), one, nullptr, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(fpga, 0x11u);

    // Failures: text too long for the caller's buffer, a required value that
    // is absent, a key that is absent (unless optional), unsupported entries.
    WCHAR tiny[2];
    UNICODE_STRING tinyOut{0, sizeof tiny, tiny};
    RTL_QUERY_REGISTRY_TABLE small[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"Locale"), &tinyOut, REG_SZ,
         nullptr, 0},
        {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), small, nullptr,
                                     nullptr),
              STATUS_BUFFER_TOO_SMALL);
    LONG shortBlob[1] = {-4};
    RTL_QUERY_REGISTRY_TABLE shortTable[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT, const_cast<PWCHAR>(u"Blob"), shortBlob, REG_NONE,
         nullptr, 0},
        {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), shortTable,
                                     nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);
    RTL_QUERY_REGISTRY_TABLE required[] = {
        {nullptr, RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED,
         const_cast<PWCHAR>(u"Absent"), &fpga, REG_NONE, nullptr, 0},
        {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), required, nullptr,
                                     nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\Nowhere", one,
                                     nullptr, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL,
                                     u"\\Registry\\Machine\\Nowhere", one, nullptr, nullptr),
              STATUS_SUCCESS);
    RTL_QUERY_REGISTRY_TABLE notDirect[] = {
        {nullptr, 0, const_cast<PWCHAR>(u"FPGA"), &fpga, REG_NONE, nullptr, 0}, {}};
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(h), notDirect,
                                     nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(KernelRegistry, WriteValueNeedsTheKeyAndCheckKeyTellsIfItExists) {
    ULONG v = 42;
    EXPECT_EQ(
        RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(u"\\Registry\\Machine\\W")),
        STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\W", u"v",
                                    REG_DWORD, &v, sizeof v),
              STATUS_OBJECT_NAME_NOT_FOUND);
    HANDLE h = nullptr;
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\W", &h), STATUS_SUCCESS);
    EXPECT_EQ(
        RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, const_cast<PWSTR>(u"\\registry\\machine\\w")),
        STATUS_SUCCESS);
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Machine\\W", u"v",
                                    REG_DWORD, &v, sizeof v),
              STATUS_SUCCESS);
    ULONG buffer[8], result;
    ASSERT_EQ(queryValue(h, u"V", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, REG_DWORD);
    EXPECT_EQ(info->DataLength, 4u);
    ULONG got;
    std::memcpy(&got, info->Data, 4);
    EXPECT_EQ(got, 42u);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(KernelRegistry, FaultInjectionFailsTheNextOpens) {
    HANDLE h = nullptr;
    ASSERT_EQ(createKey(u"\\Registry\\Machine\\F", &h), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(h), STATUS_SUCCESS);
    kfault::arm(kfault::RegistryOpen, 2);
    EXPECT_EQ(openKey(u"\\Registry\\Machine\\F", &h), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(createKey(u"\\Registry\\Machine\\F", &h), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\F", &h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    kfault::clearAll();
}

class DeviceKeys : public KernelRegistry {
  protected:
    void SetUp() override {
        KernelRegistry::SetUp();
        ASSERT_EQ(kio::loadDriver("regtest", nullptr, &driver_), STATUS_SUCCESS);
    }
    void TearDown() override {
        for (PDEVICE_OBJECT d : devices_) IoDeleteDevice(d);
        kio::unloadDriver(driver_);
        KernelRegistry::TearDown();
    }
    PDEVICE_OBJECT device(const std::string& instance) {
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo),
                  STATUS_SUCCESS);
        if (!pdo) return nullptr;
        kio::setDeviceInstance(pdo, instance, "USB\\VID_F1A5&PID_0B2D");
        devices_.push_back(pdo);
        return pdo;
    }
    // The value "Mark" of a device's software key, or -1.
    static LONGLONG mark(PDEVICE_OBJECT pdo) {
        HANDLE h = nullptr;
        if (IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h) !=
            STATUS_SUCCESS)
            return -2;
        ULONG buffer[8], result;
        LONGLONG v = -1;
        if (queryValue(h, u"Mark", buffer, sizeof buffer, &result) == STATUS_SUCCESS)
            v = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data[0];
        ZwClose(h);
        return v;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<PDEVICE_OBJECT> devices_;
};

TEST_F(DeviceKeys, EachInstanceKeepsItsOwnSoftwareKeyAcrossRestarts) {
    PDEVICE_OBJECT first = device("USB\\VID_F1A5&PID_0B2D\\port-1-2");
    PDEVICE_OBJECT second = device("USB\\VID_F1A5&PID_0B2D\\port-1-3");
    ASSERT_TRUE(first && second);
    HANDLE h = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(first, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    ASSERT_EQ(setDword(h, u"Mark", 1), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(h), STATUS_SUCCESS);
    ASSERT_EQ(IoOpenDeviceRegistryKey(second, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    ASSERT_EQ(setDword(h, u"Mark", 2), STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(mark(first), 1);
    EXPECT_EQ(mark(second), 2);

    // The keys sit where the platform keeps them, numbered in order of first use.
    const std::u16string classKey =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\{6BDD1FC6-810F-11D0-BEC7-"
        u"08002BE2092F}";
    ULONG buffer[8], result;
    ASSERT_EQ(openKey(classKey + u"\\0001", &h), STATUS_SUCCESS);
    ASSERT_EQ(queryValue(h, u"Mark", buffer, sizeof buffer, &result), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer)->Data[0], 2);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

    // As after a restart of the host: the hive is opened afresh and a new
    // device object stands for the same instance.
    regstore::closeHives();
    PDEVICE_OBJECT again = device("USB\\VID_F1A5&PID_0B2D\\port-1-2");
    EXPECT_EQ(mark(again), 1);
    PDEVICE_OBJECT third = device("USB\\VID_F1A5&PID_0B2D\\port-2-1");
    EXPECT_EQ(mark(third), -1);
    ASSERT_EQ(openKey(classKey + u"\\0002", &h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);

    // The hardware key of the instance.
    ASSERT_EQ(IoOpenDeviceRegistryKey(first, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &h), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    ASSERT_EQ(openKey(u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_F1A5&PID_"
                      u"0B2D\\port-1-2"
                      u"\\Device Parameters",
                      &h),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

TEST_F(DeviceKeys, RefusesDevicesWithoutAnInstanceAndHonoursFaults) {
    PDEVICE_OBJECT bare = device("");
    PDEVICE_OBJECT good = device("USB\\VID_F1A5&PID_0B2D\\port-4");
    ASSERT_TRUE(bare && good);
    HANDLE h = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(bare, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(good, 7, KEY_ALL_ACCESS, &h), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(nullptr, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_INVALID_PARAMETER);
    kfault::arm(kfault::RegistryOpen, 1);
    EXPECT_EQ(IoOpenDeviceRegistryKey(good, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(IoOpenDeviceRegistryKey(good, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

}  // namespace
