#include <gtest/gtest.h>

#include "platform/kernel/wdm.h"
#include "tests/support/kernel_test.h"

namespace {

constexpr GUID kClass = {0x1867C0EE, 0xBE92, 0x4214, {0xA7, 0x91, 0x51, 0x71, 0x03, 0xBE, 0xE9, 0xD5}};

struct Driver {
    PDRIVER_OBJECT d = nullptr;
    Driver() { EXPECT_EQ(kio::loadDriver("devtest", nullptr, &d), STATUS_SUCCESS); }
    ~Driver() { kio::unloadDriver(d); }
};

PDEVICE_OBJECT named(PDRIVER_OBJECT d, const char* name, NTSTATUS* st = nullptr) {
    UNICODE_STRING n{};
    krtl::allocateUnicode(std::string(name), &n);
    PDEVICE_OBJECT dev = nullptr;
    NTSTATUS s = IoCreateDevice(d, 32, &n, FILE_DEVICE_UNKNOWN, 0, FALSE, &dev);
    RtlFreeUnicodeString(&n);
    if (st) *st = s;
    return dev;
}

TEST(Devices, NamesAreUniqueCaseInsensitiveAndReleasedOnDelete) {
    Driver drv;
    PDEVICE_OBJECT a = named(drv.d, "\\Device\\Thing_001");
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(a->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_EQ(kio::findDeviceByName("\\device\\THING_001"), a);
    NTSTATUS st;
    EXPECT_EQ(named(drv.d, "\\DEVICE\\thing_001", &st), nullptr);
    EXPECT_EQ(st, STATUS_OBJECT_NAME_COLLISION);
    IoDeleteDevice(a);
    EXPECT_EQ(kio::findDeviceByName("\\Device\\Thing_001"), nullptr);
    PDEVICE_OBJECT b = named(drv.d, "\\Device\\Thing_001");
    EXPECT_NE(b, nullptr);
    IoDeleteDevice(b);
}

TEST(Devices, NewestDeviceHeadsTheDriversListAndExtensionIsZeroed) {
    Driver drv;
    PDEVICE_OBJECT a = named(drv.d, "\\Device\\A");
    PDEVICE_OBJECT b = named(drv.d, "\\Device\\B");
    EXPECT_EQ(drv.d->DeviceObject, b);
    EXPECT_EQ(b->NextDevice, a);
    auto* ext = static_cast<unsigned char*>(b->DeviceExtension);
    for (int i = 0; i < 32; ++i) EXPECT_EQ(ext[i], 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(ext) % 16, 0u);
    IoDeleteDevice(b);
    EXPECT_EQ(drv.d->DeviceObject, a);
    IoDeleteDevice(a);
}

TEST(Devices, CreationAndAttachFailuresAreInjectable) {
    Driver drv;
    kfault::arm(kfault::DeviceCreation, 1);
    NTSTATUS st;
    EXPECT_EQ(named(drv.d, "\\Device\\F", &st), nullptr);
    EXPECT_EQ(st, STATUS_INSUFFICIENT_RESOURCES);
    PDEVICE_OBJECT a = named(drv.d, "\\Device\\F");
    PDEVICE_OBJECT b = named(drv.d, "\\Device\\G");
    kfault::arm(kfault::Attach, 1);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(b, a), nullptr);
    EXPECT_EQ(a->AttachedDevice, nullptr);
    IoDeleteDevice(b);
    IoDeleteDevice(a);
}

TEST(Interfaces, RegistrationNeedsAnInstanceAndEnableIsSeenByListeners) {
    Driver drv;
    PDEVICE_OBJECT pdo = named(drv.d, "\\Device\\Pdo");
    UNICODE_STRING link{};
    EXPECT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &link), STATUS_INVALID_DEVICE_REQUEST);
    kio::setDeviceInstance(pdo, "USB\\VID_F1A5&PID_0B2D\\port-1-2", "USB\\VID_F1A5&PID_0B2D");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kClass, nullptr, &link), STATUS_SUCCESS);
    std::string text = krtl::narrow(&link);
    EXPECT_EQ(text, "\\??\\USB#VID_F1A5&PID_0B2D#port-1-2#{1867c0ee-be92-4214-a791-517103bee9d5}");
    std::vector<bool> seen;
    int token = kio::subscribeInterfaces([&](const kio::InterfaceInfo& i) { seen.push_back(i.enabled); });
    EXPECT_TRUE(kio::interfaces(&kClass, true).empty());
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    auto found = kio::interfaces(&kClass, true);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].physicalDevice, pdo);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);  // no change, no notice
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(kio::interfaces(&kClass, true).empty());
    kio::unsubscribeInterfaces(token);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
    RtlFreeUnicodeString(&link);
    IoDeleteDevice(pdo);
}

TEST(Interfaces, GuidTextRoundTrips) {
    GUID g{};
    ASSERT_TRUE(kio::parseGuid("{00A242B0-920E-11D3-A08F-00A024AD71C2}", &g));
    EXPECT_EQ(kio::guidString(g), "{00A242B0-920E-11D3-A08F-00A024AD71C2}");
    EXPECT_FALSE(kio::parseGuid("{00A242B0-920E-11D3-A08F-00A024AD71C2", &g));
    EXPECT_FALSE(kio::parseGuid("00A242B0-920E-11D3-A08F-00A024AD71C2}x", &g));
}

TEST(Rtl, StringConversionsAndIntegers) {
    ANSI_STRING a;
    RtlInitAnsiString(&a, "\\Device\\PAV512_00A");
    UNICODE_STRING u{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(u.Length, a.Length * 2);
    EXPECT_EQ(krtl::narrow(&u), "\\Device\\PAV512_00A");
    RtlFreeUnicodeString(&u);
    UNICODE_STRING hex{};
    krtl::allocateUnicode(std::string("0409"), &hex);
    ULONG v = 0;
    EXPECT_EQ(RtlUnicodeStringToInteger(&hex, 16, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, 0x409u);
    RtlFreeUnicodeString(&hex);
    WCHAR buf[4];
    UNICODE_STRING small{0, sizeof buf, buf};
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &small), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(RtlIntegerToUnicodeString(255, 16, &small), STATUS_SUCCESS);
    EXPECT_EQ(krtl::narrow(&small), "FF");
}

}  // namespace
