// The Win32 registry API: results and sizes as the platform gives them, the
// narrow view of string values, and change notification on an event.
#include "platform/user/registry_api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/object.h"
#include "platform/user/handles.h"
#include "tests/support/kernel_test.h"

namespace {

const char* const kProduct = "Software\\Veltra\\USB Camera (PAV512)";

HKEY create(HKEY root, const char* path, REGSAM access = KEY_ALL_ACCESS,
            DWORD* disposition = nullptr) {
    HKEY k = nullptr;
    EXPECT_EQ(RegCreateKeyExA(root, path, 0, nullptr, 0, access, nullptr, &k, disposition),
              ERROR_SUCCESS)
        << path;
    return k;
}

LONG setString(HKEY k, const char* name, const std::string& text) {
    return RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>(text.size() + 1));
}

class RegistryApi : public ::testing::Test {
  protected:
    void SetUp() override {
        handles_ = uhandle::openHandles();
        objects_ = kobj::liveObjects();
    }
    void TearDown() override {
        EXPECT_EQ(uhandle::openHandles(), handles_) << "a handle was left open";
        EXPECT_EQ(kobj::liveObjects(), objects_) << "an object was not released";
    }

  private:
    LONG handles_ = 0;
    LONGLONG objects_ = 0;
};

TEST_F(RegistryApi, ValuesRoundTripWithThePlatformsSizeRules) {
    DWORD disposition = 0;
    HKEY k = create(HKEY_CURRENT_USER, "Software\\Veltra\\USB Camera (PAV512)\\Devices",
                    KEY_ALL_ACCESS, &disposition);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(create(HKEY_CURRENT_USER, "SOFTWARE\\veltra\\usb camera (pav512)\\devices",
                       KEY_READ, &disposition));
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));

    const std::string path =
        "\\\\?\\usb#vid_f1a5&pid_0b2d#port-1-2#{1867c0ee-be92-4214-a791-517103bee9d5}";
    ASSERT_EQ(setString(k, "1", path), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(k, "1", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, path.size() + 1);
    std::vector<char> small(10, 'x');
    size = static_cast<DWORD>(small.size());
    EXPECT_EQ(
        RegQueryValueExA(k, "1", nullptr, &type, reinterpret_cast<BYTE*>(small.data()), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, path.size() + 1);
    std::vector<char> text(size);
    ASSERT_EQ(
        RegQueryValueExA(k, "1", nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(text.data(), path.c_str());
    EXPECT_EQ(RegQueryValueExA(k, "2", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);

    DWORD number = 0x01020304, got = 0;
    ASSERT_EQ(RegSetValueExA(k, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4),
              ERROR_SUCCESS);
    size = 4;
    ASSERT_EQ(RegQueryValueExA(k, "NUMBER", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(got, number);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(RegSetValueExA(k, "Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    size = 99;
    ASSERT_EQ(RegQueryValueExA(k, "Empty", nullptr, &type, reinterpret_cast<BYTE*>(&got), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);

    ASSERT_EQ(RegDeleteValueA(k, "number"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueA(k, "number"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegSetValueExA(k, "x", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExA(k, "1", nullptr, &type, reinterpret_cast<BYTE*>(&got), nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(k, "1", nullptr, &type, nullptr, &size), ERROR_INVALID_HANDLE);

    HKEY ro = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Veltra\\USB Camera (PAV512)\\Devices", 0,
                            KEY_READ, &ro),
              ERROR_SUCCESS);
    EXPECT_EQ(setString(ro, "2", "x"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegCloseKey(ro), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Nobody", 0, KEY_READ, &ro),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_USERS, "x", 0, KEY_READ, &ro), ERROR_INVALID_HANDLE);
}

// What the library writes with narrow strings the driver reads as wide ones.
TEST_F(RegistryApi, StringValuesMeetTheKernelsWideView) {
    HKEY k = create(HKEY_LOCAL_MACHINE, kProduct);
    ASSERT_EQ(setString(k, "LanguageName",
                        "Fran\xC3\xA7"
                        "ais"),
              ERROR_SUCCESS);

    std::u16string path = u"\\Registry\\Machine\\Software\\Veltra\\USB Camera (PAV512)";
    UNICODE_STRING us{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                      path.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, 0, nullptr, nullptr);
    HANDLE h = nullptr;
    ASSERT_EQ(ZwOpenKey(&h, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    std::u16string name = u"languagename";
    UNICODE_STRING n{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                     name.data()};
    alignas(8) UCHAR buffer[64];
    ULONG result = 0;
    ASSERT_EQ(ZwQueryValueKey(h, &n, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    auto* info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION*>(buffer);
    EXPECT_EQ(info->Type, REG_SZ);
    ASSERT_EQ(info->DataLength, 18u);  // 8 characters and the terminator, two bytes each
    std::u16string wide(reinterpret_cast<const char16_t*>(info->Data), 9);
    EXPECT_EQ(wide, std::u16string(u"Fran\u00E7ais\0", 9));

    const char16_t locale[] = u"0407";
    std::u16string lname = u"Locale";
    UNICODE_STRING ln{12, 12, lname.data()};
    ASSERT_EQ(ZwSetValueKey(h, &ln, 0, REG_SZ, const_cast<char16_t*>(locale), sizeof locale),
              STATUS_SUCCESS);
    ASSERT_EQ(ZwClose(h), STATUS_SUCCESS);
    char text[16];
    DWORD size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(k, "Locale", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    EXPECT_STREQ(text, "0407");
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryApi, EnumeratesAndDeletes) {
    HKEY k = create(HKEY_LOCAL_MACHINE, "Enum");
    RegCloseKey(create(k, "beta\\deep"));
    RegCloseKey(create(k, "Alpha"));
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(k, "second", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(k, "first", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_SUCCESS);

    char name[16];
    DWORD chars = sizeof name;
    FILETIME written{};
    ASSERT_EQ(RegEnumKeyExA(k, 0, name, &chars, nullptr, nullptr, nullptr, &written),
              ERROR_SUCCESS);
    EXPECT_STREQ(name, "Alpha");
    EXPECT_EQ(chars, 5u);
    EXPECT_NE(written.dwHighDateTime, 0u);
    chars = 4;  // "beta" without room for its terminator
    EXPECT_EQ(RegEnumKeyExA(k, 1, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    chars = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(k, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "beta");
    chars = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(k, 2, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    DWORD type = 0, data = 0, size = 2;
    chars = sizeof name;
    EXPECT_EQ(
        RegEnumValueA(k, 0, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    chars = sizeof name;
    ASSERT_EQ(
        RegEnumValueA(k, 0, name, &chars, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size),
        ERROR_SUCCESS);
    EXPECT_STREQ(name, "second");
    EXPECT_EQ(data, 1u);
    chars = sizeof name;
    ASSERT_EQ(RegEnumValueA(k, 1, name, &chars, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "first");
    chars = sizeof name;
    EXPECT_EQ(RegEnumValueA(k, 2, name, &chars, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);

    EXPECT_EQ(RegDeleteKeyA(k, "beta"), ERROR_ACCESS_DENIED);  // it has a subkey
    ASSERT_EQ(RegDeleteKeyA(k, "beta\\deep"), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyA(k, "BETA"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteKeyA(k, "beta"), ERROR_FILE_NOT_FOUND);
    HKEY alpha = nullptr;
    ASSERT_EQ(RegOpenKeyExA(k, "alpha", 0, KEY_ALL_ACCESS, &alpha), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "Enum"), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExA(alpha, "x", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegCloseKey(alpha), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
}

TEST_F(RegistryApi, NotifySignalsItsEventOnceOnTheNextChange) {
    HKEY product = create(HKEY_LOCAL_MACHINE, kProduct);
    HKEY watched =
        create(HKEY_LOCAL_MACHINE, "Software\\Veltra\\USB Camera (PAV512)\\CameraChange", KEY_READ);
    HKEY writer = create(HKEY_LOCAL_MACHINE, "Software\\Veltra\\USB Camera (PAV512)\\CameraChange");
    HANDLE plain = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE tree = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(RegNotifyChangeKeyValue(watched, FALSE, REG_NOTIFY_CHANGE_LAST_SET, plain, TRUE),
              ERROR_SUCCESS);
    ASSERT_EQ(RegNotifyChangeKeyValue(product, TRUE, REG_NOTIFY_CHANGE_LAST_SET, tree, TRUE),
              ERROR_SUCCESS);

    // A value of the parent is not a change of the watched key.
    DWORD n = 1;
    ASSERT_EQ(
        RegSetValueExA(product, "CameraWokeSystem", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4),
        ERROR_SUCCESS);
    ASSERT_EQ(WaitForSingleObject(tree, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(plain, 0), WAIT_TIMEOUT);

    ASSERT_EQ(RegSetValueExA(writer, "CameraChange", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(plain, 5000), WAIT_OBJECT_0);

    // Once only: reset, change again, and nothing comes until re-armed. The
    // subtree watch on the product key is re-armed as a witness that the
    // change was seen.
    ResetEvent(plain);
    ResetEvent(tree);
    ASSERT_EQ(RegNotifyChangeKeyValue(product, TRUE, REG_NOTIFY_CHANGE_LAST_SET, tree, TRUE),
              ERROR_SUCCESS);
    n = 2;
    ASSERT_EQ(RegSetValueExA(writer, "CameraChange", 0, REG_DWORD, reinterpret_cast<BYTE*>(&n), 4),
              ERROR_SUCCESS);
    ASSERT_EQ(WaitForSingleObject(tree, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(plain, 0), WAIT_TIMEOUT);

    // Closing the key ends a pending notification by signalling it.
    ASSERT_EQ(RegNotifyChangeKeyValue(watched, FALSE, REG_NOTIFY_CHANGE_LAST_SET, plain, TRUE),
              ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(watched), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(plain, 0), WAIT_OBJECT_0);

    EXPECT_EQ(RegNotifyChangeKeyValue(product, FALSE, 0, plain, TRUE), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(product, FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, TRUE),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegNotifyChangeKeyValue(product, FALSE, REG_NOTIFY_CHANGE_LAST_SET, writer, TRUE),
              ERROR_INVALID_HANDLE);
    RegCloseKey(product);
    RegCloseKey(writer);
    CloseHandle(plain);
    CloseHandle(tree);
}

TEST_F(RegistryApi, SynchronousNotifyReturnsAfterAChange) {
    HKEY k = create(HKEY_CURRENT_USER, "Sync");
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        EXPECT_EQ(RegNotifyChangeKeyValue(k, FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, FALSE),
                  ERROR_SUCCESS);
        returned = true;
    });
    // The waiter may not have armed its watch yet: keep adding subkeys until it returns.
    int i = 0;
    EXPECT_TRUE(pavtest::waitFor([&] {
        RegCloseKey(create(k, ("Child" + std::to_string(i++)).c_str()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return returned.load();
    }));
    waiter.join();
    EXPECT_TRUE(returned);
    RegCloseKey(k);
}

}  // namespace
