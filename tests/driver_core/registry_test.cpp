// Registry helpers and the locale lookup, over the kernel's registry calls.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/core/support.h"
#include "host/test_bus.h"

namespace {

const WCHAR kBase[] = u"\\Registry\\Machine\\Software\\PavTest";
const WCHAR kDeep[] = u"\\Registry\\Machine\\Software\\PavTest\\One\\Two\\Three";

std::u16string text(PCWSTR s) {
    return std::u16string(s);
}

NTSTATUS openKey(PCWSTR path, ACCESS_MASK access, HANDLE* key) {
    UNICODE_STRING keyName;
    RtlInitUnicodeString(&keyName, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    return ZwOpenKey(key, access, &attributes);
}

void setString(PCWSTR path, PCWSTR name, PCWSTR value) {
    ASSERT_EQ(regEnsureKey(path), STATUS_SUCCESS);
    HANDLE key = nullptr;
    ASSERT_EQ(openKey(path, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    auto bytes = static_cast<ULONG>((text(value).size() + 1) * sizeof(WCHAR));
    EXPECT_EQ(ZwSetValueKey(key, &valueName, 0, REG_SZ, const_cast<PWCHAR>(value), bytes),
              STATUS_SUCCESS);
    ZwClose(key);
}

HANDLE openKey(PCWSTR path) {
    HANDLE key = nullptr;
    return NT_SUCCESS(openKey(path, KEY_READ, &key)) ? key : nullptr;
}

TEST(Registry, EnsureKeyCreatesEveryMissingKeyOnThePath) {
    EXPECT_FALSE(regKeyExists(kDeep));
    EXPECT_EQ(regEnsureKey(kDeep), STATUS_SUCCESS);
    EXPECT_TRUE(regKeyExists(kDeep));
    EXPECT_TRUE(regKeyExists(u"\\Registry\\Machine\\Software\\PavTest\\One"));
    EXPECT_EQ(regEnsureKey(kDeep), STATUS_SUCCESS) << "an existing key is fine";
}

TEST(Registry, DwordReadsZeroWhenAbsentAndRoundTrips) {
    ULONG value = 77;
    EXPECT_EQ(regReadDword(kDeep, u"Counter", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_TRUE(regKeyExists(kDeep)) << "reading makes the key";
    EXPECT_EQ(regWriteDword(kDeep, u"Counter", 0xA5A5F00D), STATUS_SUCCESS);
    EXPECT_EQ(regReadDword(kDeep, u"counter", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0xA5A5F00Du);

    kfault::arm(kfault::RegistryOpen, 1000);
    EXPECT_EQ(regReadDword(u"\\Registry\\Machine\\Software\\PavTest\\Other", u"Counter", &value),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(regWriteDword(u"\\Registry\\Machine\\Software\\PavTest\\Other", u"Counter", 1),
              STATUS_UNSUCCESSFUL);
    kfault::clearAll();
    EXPECT_FALSE(regKeyExists(u"\\Registry\\Machine\\Software\\PavTest\\Other"));
}

TEST(Registry, BinaryReadsSayWhatIsMissingAndNeverOverflow) {
    UCHAR buffer[16];
    ULONG length = 99;
    EXPECT_EQ(regReadBinary(kDeep, u"Blob", buffer, sizeof buffer, &length), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(regWriteBinary(kDeep, u"Blob", "x", 1), STATUS_UNSUCCESSFUL) << "the key is not made";
    ASSERT_EQ(regEnsureKey(kDeep), STATUS_SUCCESS);
    EXPECT_EQ(regReadBinary(kDeep, u"Blob", buffer, sizeof buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);

    const UCHAR data[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(regWriteBinary(kDeep, u"Blob", data, sizeof data), STATUS_SUCCESS);
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(regReadBinary(kDeep, u"Blob", buffer, sizeof buffer, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(std::memcmp(buffer, data, 5), 0);
    EXPECT_EQ(buffer[5], 0xEE);

    // Exactly sized heap buffers: a write past them is caught.
    std::vector<UCHAR> small(4, 0xEE);
    EXPECT_EQ(regReadBinary(kDeep, u"Blob", small.data(), 4, &length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(small, std::vector<UCHAR>(4, 0xEE));
    EXPECT_EQ(kpool::liveBytes(kRegistryPoolTag), 0);
}

TEST(Registry, DeviceValuesGoToEachDevicesOwnKey) {
    host::TestBus bus;
    PDEVICE_OBJECT first = bus.plug("USB\\VID_F1A5&PID_0B2D\\port-1");
    PDEVICE_OBJECT second = bus.plug("USB\\VID_F1A5&PID_0B2D\\port-2");
    const UCHAR one[] = {1}, two[] = {2, 2};
    EXPECT_TRUE(regWriteDeviceBinary(first, "Patching Status", one, sizeof one));
    EXPECT_TRUE(regWriteDeviceBinary(second, "Patching Status", two, sizeof two));
    const char longName[] = "A name much longer than thirty-one characters";
    EXPECT_TRUE(regWriteDeviceBinary(first, longName, one, sizeof one));
    EXPECT_FALSE(regWriteDeviceBinary(nullptr, "x", one, sizeof one));

    auto read = [](PDEVICE_OBJECT pdo, PCWSTR name) {
        HANDLE key = nullptr;
        EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
                  STATUS_SUCCESS);
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, name);
        UCHAR info[64] = {};
        ULONG got = 0;
        NTSTATUS status =
            ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, info, sizeof info, &got);
        ZwClose(key);
        auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(info);
        if (!NT_SUCCESS(status)) return std::vector<UCHAR>{};
        EXPECT_EQ(partial->Type, REG_BINARY);
        return std::vector<UCHAR>(partial->Data, partial->Data + partial->DataLength);
    };
    EXPECT_EQ(read(first, u"Patching Status"), std::vector<UCHAR>({1}));
    EXPECT_EQ(read(second, u"Patching Status"), std::vector<UCHAR>({2, 2}));
    EXPECT_EQ(read(first, u"A name much longer than thirty-"), std::vector<UCHAR>({1}));

    kfault::arm(kfault::RegistryOpen, 1);
    EXPECT_FALSE(regWriteDeviceBinary(first, "Patching Status", one, sizeof one));
    kfault::clearAll();
}

TEST(Registry, StringsAreAlwaysTerminatedWithinTheBuffer) {
    setString(kBase, u"Name", u"0407");
    HANDLE key = openKey(kBase);
    ASSERT_NE(key, nullptr);

    std::vector<WCHAR> roomy(8, u'#');
    EXPECT_TRUE(regReadString(key, u"Name", u"409", roomy.data(), 16));
    EXPECT_EQ(text(roomy.data()), u"0407");

    EXPECT_TRUE(regReadString(key, u"Absent", u"409", roomy.data(), 16));
    EXPECT_EQ(text(roomy.data()), u"409");

    // Too small for the value: whatever comes back ends inside the buffer.
    std::vector<WCHAR> tight(3, u'#');
    regReadString(key, u"Name", u"409", tight.data(), 6);
    EXPECT_NE(std::find(tight.begin(), tight.end(), u'\0'), tight.end());

    WCHAR untouched[2] = {u'#', u'#'};
    EXPECT_FALSE(regReadString(key, u"Name", u"409", untouched, 1));
    EXPECT_FALSE(regReadString(key, u"Name", u"409", untouched, 0));
    EXPECT_EQ(untouched[0], u'#');
    ZwClose(key);
}

const WCHAR kInternational[] = u"\\Registry\\User\\.DEFAULT\\Control Panel\\International";
const WCHAR kNlsLocale[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Nls\\Locale";

std::u16string locale(ULONG bytes = 32) {
    std::vector<WCHAR> buffer(bytes / sizeof(WCHAR), u'#');
    localeText(buffer.data(), bytes);
    return text(buffer.data());
}

TEST(Locale, IsTheDefaultWhenNeitherKeyExists) {
    EXPECT_EQ(locale(), u"409");
    EXPECT_EQ(locale(4), u"4") << "cut to the caller's buffer, terminated";
}

TEST(Locale, ComesFromTheDefaultUserFirstThenTheMachine) {
    setString(kNlsLocale, u"", u"00000c0a");
    EXPECT_EQ(locale(), u"00000c0a");
    setString(kInternational, u"Locale", u"00000407");
    EXPECT_EQ(locale(), u"00000407");
    kfault::arm(kfault::RegistryOpen, 1000);
    EXPECT_EQ(locale(), u"409");
    kfault::clearAll();
}

}  // namespace
