// The USBD routines: descriptor parsing over malformed input, the
// select-configuration URB builder, status mapping and the URB builders.
#include <gtest/gtest.h>

#include "platform/usb/usb.h"
#include "tests/usb/descriptor_builder.h"

using namespace usbtest;

namespace {

constexpr ULONG kUsbdTag = PoolTag("USBD");

PUSB_INTERFACE_DESCRIPTOR find(Exact& e, LONG number, LONG alternate, PVOID start = nullptr) {
    return USBD_ParseConfigurationDescriptorEx(e.config(), start ? start : e.data(), number,
                                               alternate, -1, -1, -1);
}

TEST(UsbdParse, FindsInterfacesByNumberSettingAndWildcards) {
    std::vector<Setting> settings = cameraSettings();
    settings.push_back({1, 0, {{0x86, USB_ENDPOINT_TYPE_INTERRUPT, 16}}, 0x0E});
    Exact e(configurationDescriptor(settings));

    PUSB_INTERFACE_DESCRIPTOR alt2 = find(e, 0, 2);
    ASSERT_NE(alt2, nullptr);
    EXPECT_EQ(alt2->bAlternateSetting, 2);
    EXPECT_EQ(alt2->bNumEndpoints, 4);
    PUSB_INTERFACE_DESCRIPTOR any1 = find(e, 1, -1);
    ASSERT_NE(any1, nullptr);
    EXPECT_EQ(any1->bInterfaceClass, 0x0E);
    EXPECT_EQ(find(e, 0, 4), nullptr);
    EXPECT_EQ(find(e, 2, -1), nullptr);
    // By class only.
    PUSB_INTERFACE_DESCRIPTOR video =
        USBD_ParseConfigurationDescriptorEx(e.config(), e.data(), -1, -1, 0x0E, -1, -1);
    EXPECT_EQ(video, any1);

    // Continuing after a match finds the next setting of the same interface.
    PUSB_INTERFACE_DESCRIPTOR first = find(e, 0, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bAlternateSetting, 0);
    PUSB_INTERFACE_DESCRIPTOR second =
        find(e, 0, -1, reinterpret_cast<UCHAR*>(first) + first->bLength);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->bAlternateSetting, 1);
}

TEST(UsbdParse, StopsAtMalformedDescriptorsWithoutReadingPastThem) {
    // bLength 0 in the middle: nothing after it is found, and the walk ends.
    std::vector<UCHAR> zero = configurationHeader();
    appendInterface(zero, 0, 0, 0);
    zero.insert(zero.end(), {0, 0x24, 1, 2});
    appendInterface(zero, 1, 0, 0);
    finishConfiguration(zero, 2);
    Exact z(zero);
    EXPECT_NE(find(z, 0, 0), nullptr);
    EXPECT_EQ(find(z, 1, 0), nullptr);

    // A descriptor whose bLength runs past wTotalLength.
    std::vector<UCHAR> over = configurationHeader();
    appendInterface(over, 0, 0, 0);
    over.insert(over.end(), {200, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0, 0, 0, 0, 0, 0});
    finishConfiguration(over, 2);
    Exact o(over);
    EXPECT_EQ(find(o, 1, 0), nullptr);

    // An interface descriptor too short to be one is never read as one.
    std::vector<UCHAR> shortIf = configurationHeader();
    appendInterface(shortIf, 3, 0, 0, 0xFF, 4);
    finishConfiguration(shortIf, 1);
    Exact s(shortIf);
    EXPECT_EQ(find(s, 3, -1), nullptr);
    EXPECT_EQ(find(s, -1, -1), nullptr);

    // A last descriptor cut to one byte.
    std::vector<UCHAR> stray = configurationHeader();
    appendInterface(stray, 0, 0, 0);
    stray.push_back(9);
    finishConfiguration(stray, 1);
    Exact t(stray);
    EXPECT_NE(find(t, 0, 0), nullptr);
    EXPECT_EQ(find(t, 1, 0), nullptr);
}

TEST(UsbdParse, NeverLooksPastWTotalLength) {
    // The buffer holds two interfaces, but wTotalLength covers only the first:
    // the second must stay invisible.
    std::vector<UCHAR> v = configurationDescriptor({{0, 0, {}}, {1, 0, {}}});
    finishConfiguration(v, 2, 9 + 9);
    Exact e(v);
    EXPECT_NE(find(e, 0, 0), nullptr);
    EXPECT_EQ(find(e, 1, 0), nullptr);
    // A start position outside the descriptor finds nothing.
    EXPECT_EQ(find(e, -1, -1, e.data() + 18), nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(e.config(), nullptr, 0, 0, -1, -1, -1), nullptr);
    // wTotalLength of a header-only descriptor.
    Exact h(configurationHeader());
    h.data()[2] = 9;
    EXPECT_EQ(find(h, -1, -1), nullptr);
}

TEST(UsbdConfigurationRequest, SizesBlocksForEachInterfaceAndFreesUnderItsTag) {
    std::vector<Setting> settings = cameraSettings();
    settings.push_back({1, 0, {{0x86, USB_ENDPOINT_TYPE_INTERRUPT, 16}}});
    Exact e(configurationDescriptor(settings));
    PUSB_INTERFACE_DESCRIPTOR i0 = find(e, 0, 3);
    PUSB_INTERFACE_DESCRIPTOR i1 = find(e, 1, 0);
    ASSERT_TRUE(i0 && i1);
    USBD_INTERFACE_LIST_ENTRY list[3] = {{i0, nullptr}, {i1, nullptr}, {nullptr, nullptr}};
    LONGLONG before = kpool::liveBytes(kUsbdTag);
    PURB urb = USBD_CreateConfigurationRequestEx(e.config(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_GT(kpool::liveBytes(kUsbdTag), before);
    size_t expected = offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                      UsbdInterfaceInformationSize(4) + UsbdInterfaceInformationSize(1);
    EXPECT_EQ(urb->UrbHeader.Length, expected);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, e.config());
    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, UsbdInterfaceInformationSize(4));
    EXPECT_EQ(list[0].Interface->AlternateSetting, 3);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 4u);
    for (ULONG p = 0; p < 4; ++p)
        EXPECT_EQ(list[0].Interface->Pipes[p].MaximumTransferSize,
                  USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    auto* second = reinterpret_cast<UCHAR*>(list[0].Interface) + list[0].Interface->Length;
    EXPECT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface), second);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    ExFreePool(urb);
    EXPECT_EQ(kpool::liveBytes(kUsbdTag), before);
}

TEST(UsbdConfigurationRequest, RefusesMalformedListsAndReportsOutOfPool) {
    Exact e(configurationDescriptor(cameraSettings()));
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(e.config(), empty), nullptr);

    // An interface descriptor that is not inside the configuration.
    USB_INTERFACE_DESCRIPTOR elsewhere = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 0, 0, 0, 0, 0};
    USBD_INTERFACE_LIST_ENTRY outside[2] = {{&elsewhere, nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(e.config(), outside), nullptr);

    // One that is, but whose bytes run past wTotalLength.
    std::vector<UCHAR> cut = configurationDescriptor({{0, 0, {}}});
    finishConfiguration(cut, 1, 9 + 5);
    Exact c(cut);
    USBD_INTERFACE_LIST_ENTRY cutList[2] = {
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(c.data() + 9), nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(c.config(), cutList), nullptr);

    USBD_INTERFACE_LIST_ENTRY good[2] = {{find(e, 0, 0), nullptr}, {nullptr, nullptr}};
    kpool::failAllocations(kUsbdTag, 1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(e.config(), good), nullptr);
    kpool::failAllocations(0, 0);
    PURB urb = USBD_CreateConfigurationRequestEx(e.config(), good);
    ASSERT_NE(urb, nullptr);
    ExFreePool(urb);
}

TEST(UsbdStatus, MapsToTheStatusOfTheRequest) {
    struct Case {
        USBD_STATUS usbd;
        NTSTATUS nt;
    } cases[] = {
        {USBD_STATUS_SUCCESS, STATUS_SUCCESS},
        {USBD_STATUS_PENDING, STATUS_PENDING},
        {USBD_STATUS_CANCELED, STATUS_CANCELLED},
        {USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED},
        {USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {USBD_STATUS_NO_MEMORY, STATUS_INSUFFICIENT_RESOURCES},
        {USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES},
        {USBD_STATUS_NO_BANDWIDTH, STATUS_INSUFFICIENT_RESOURCES},
        {USBD_STATUS_TIMEOUT, STATUS_IO_TIMEOUT},
        {USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL},
        {USBD_STATUS_CRC, STATUS_UNSUCCESSFUL},
        {USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UsbdStatusToNtStatus(c.usbd), c.nt) << std::hex << c.usbd;
    }
}

}  // namespace
