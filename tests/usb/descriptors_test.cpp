// The checks the bus makes on a device's descriptors when it arrives: what is
// well formed is kept, what is not is named, and nothing past the received
// bytes is read (each case lives in a buffer of its exact size).
#include "platform/usb/descriptors.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/usb/descriptor_builder.h"

using namespace usbtest;
using usbbus::ConfigurationInfo;

namespace {

struct Checked {
    bool ok;
    ConfigurationInfo info;
    std::vector<std::string> problems;
};

Checked check(const std::vector<UCHAR>& bytes, size_t received = SIZE_MAX) {
    Exact e(bytes);
    Checked c;
    c.ok = usbbus::checkConfigurationDescriptor(e.data(), std::min(received, e.size()), &c.info,
                                                &c.problems);
    if (c.ok) {
        // The kept part is itself well formed: checking it again keeps every byte.
        Exact again(c.info.bytes);
        ConfigurationInfo second;
        EXPECT_TRUE(
            usbbus::checkConfigurationDescriptor(again.data(), again.size(), &second, nullptr));
        EXPECT_EQ(second.bytes, c.info.bytes);
    }
    return c;
}

bool mentions(const std::vector<std::string>& problems, const std::string& text) {
    for (const std::string& p : problems)
        if (p.find(text) != std::string::npos) return true;
    return false;
}

TEST(DeviceDescriptorCheck, RefusesShortOrForeignDescriptorsAndNotesOddOnes) {
    std::vector<std::string> problems;
    USB_DEVICE_DESCRIPTOR d{};
    std::vector<UCHAR> good = deviceDescriptor(0x1234, 0xABCD);
    Exact g(good);
    EXPECT_TRUE(usbbus::checkDeviceDescriptor(g.data(), g.size(), &d, &problems));
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(d.idVendor, 0x1234);
    EXPECT_EQ(d.idProduct, 0xABCD);

    Exact shortRead(std::vector<UCHAR>(good.begin(), good.begin() + 8));
    EXPECT_FALSE(usbbus::checkDeviceDescriptor(shortRead.data(), shortRead.size(), &d, &problems));
    EXPECT_TRUE(mentions(problems, "8 bytes received"));

    std::vector<UCHAR> wrongType = good;
    wrongType[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
    Exact w(wrongType);
    EXPECT_FALSE(usbbus::checkDeviceDescriptor(w.data(), w.size(), &d, nullptr));

    std::vector<UCHAR> tinyLength = good;
    tinyLength[0] = 12;
    Exact t(tinyLength);
    EXPECT_FALSE(usbbus::checkDeviceDescriptor(t.data(), t.size(), &d, nullptr));

    std::vector<UCHAR> odd = good;
    odd[7] = 7;   // bMaxPacketSize0
    odd[17] = 0;  // bNumConfigurations
    Exact o(odd);
    problems.clear();
    EXPECT_TRUE(usbbus::checkDeviceDescriptor(o.data(), o.size(), &d, &problems));
    EXPECT_EQ(problems.size(), 2u);
}

TEST(ConfigurationCheck, KeepsAWellFormedDescriptorAsItIs) {
    std::vector<UCHAR> bytes = configurationDescriptor(cameraSettings());
    // A class-specific descriptor after the interface travels with it.
    bytes.insert(bytes.begin() + 18, {5, 0x24, 1, 2, 3});
    finishConfiguration(bytes, 1);
    Checked c = check(bytes);
    ASSERT_TRUE(c.ok);
    EXPECT_TRUE(c.problems.empty()) << c.problems.front();
    EXPECT_EQ(c.info.bytes, bytes);
    ASSERT_EQ(c.info.settings.size(), 4u);
    const usbbus::InterfaceSetting* s3 = c.info.find(0, 3);
    ASSERT_NE(s3, nullptr);
    ASSERT_EQ(s3->endpoints.size(), 4u);
    EXPECT_EQ(s3->endpoints[3].address, 0x81);
    EXPECT_EQ(s3->endpoints[3].packetBytes(), 384);
    EXPECT_EQ(c.info.configurationValue, 1);
}

TEST(ConfigurationCheck, TrustsOnlyTheBytesThatArrivedWhenWTotalLengthLies) {
    std::vector<UCHAR> bytes = configurationDescriptor(cameraSettings());
    // Claims more than was received: the rest is taken as missing.
    size_t received = 9 + 9 + 7 + 7;
    Checked longer = check(bytes, received);
    ASSERT_TRUE(longer.ok);
    EXPECT_TRUE(mentions(longer.problems, "but only 32 bytes received"));
    ASSERT_EQ(longer.info.settings.size(), 1u);
    EXPECT_EQ(longer.info.settings[0].endpoints.size(), 2u);  // the third endpoint did not arrive
    EXPECT_TRUE(mentions(longer.problems, "declares 3 endpoint(s)"));
    EXPECT_EQ(longer.info.bytes[2] | longer.info.bytes[3] << 8,
              static_cast<int>(longer.info.bytes.size()));

    // Claims less than its own header: nothing can be used.
    std::vector<UCHAR> tiny = bytes;
    finishConfiguration(tiny, 1, 4);
    EXPECT_FALSE(check(tiny).ok);

    // A header cut short, or of another type.
    EXPECT_FALSE(check(std::vector<UCHAR>(bytes.begin(), bytes.begin() + 6)).ok);
    std::vector<UCHAR> other = bytes;
    other[1] = USB_DEVICE_DESCRIPTOR_TYPE;
    EXPECT_FALSE(check(other).ok);
}

TEST(ConfigurationCheck, CorrectsInterfacesWhoseEndpointsAreMissing) {
    std::vector<UCHAR> bytes = configurationHeader();
    appendInterface(bytes, 0, 0, 3);  // declares three, has none
    appendInterface(bytes, 0, 1, 1);
    appendEndpoint(bytes, {0x82, USB_ENDPOINT_TYPE_BULK, 64});
    finishConfiguration(bytes, 1);
    Checked c = check(bytes);
    ASSERT_TRUE(c.ok);
    ASSERT_NE(c.info.find(0, 0), nullptr);
    EXPECT_TRUE(c.info.find(0, 0)->endpoints.empty());
    EXPECT_TRUE(
        mentions(c.problems, "interface 0 alternate setting 0 declares 3 endpoint(s) but 0"));
    EXPECT_EQ(c.info.bytes[9 + offsetof(USB_INTERFACE_DESCRIPTOR, bNumEndpoints)], 0);
    EXPECT_EQ(c.info.find(0, 1)->endpoints.size(), 1u);
}

TEST(ConfigurationCheck, DropsEndpointsWithImpossiblePacketSizes) {
    std::vector<UCHAR> bytes = configurationHeader();
    appendInterface(bytes, 0, 0, 6);
    appendEndpoint(bytes, {0x82, USB_ENDPOINT_TYPE_BULK, 0});     // zero
    appendEndpoint(bytes, {0x05, USB_ENDPOINT_TYPE_BULK, 1024});  // oversized for bulk
    appendEndpoint(bytes, {0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS,
                           0x0800 | 1023});  // fine: two extra transactions
    appendEndpoint(bytes, {0x84, USB_ENDPOINT_TYPE_ISOCHRONOUS, 2047});  // oversized
    appendEndpoint(bytes, {0x83, USB_ENDPOINT_TYPE_INTERRUPT, 0xE008});  // reserved bits
    appendEndpoint(bytes, {0x00, USB_ENDPOINT_TYPE_BULK, 64});           // endpoint 0
    finishConfiguration(bytes, 1);
    Checked c = check(bytes);
    ASSERT_TRUE(c.ok);
    const usbbus::InterfaceSetting* s = c.info.find(0, 0);
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(s->endpoints.size(), 1u);
    EXPECT_EQ(s->endpoints[0].address, 0x81);
    EXPECT_TRUE(mentions(c.problems, "endpoint 0x82 has wMaxPacketSize 0"));
    EXPECT_TRUE(mentions(c.problems, "endpoint 0x05 has oversized"));
    EXPECT_TRUE(mentions(c.problems, "endpoint 0x84 has oversized"));
    EXPECT_TRUE(mentions(c.problems, "endpoint 0x83 has oversized"));
    EXPECT_TRUE(mentions(c.problems, "names endpoint 0"));
}

TEST(ConfigurationCheck, NamesMissingAndDuplicateAlternateSettings) {
    std::vector<UCHAR> bytes = configurationHeader();
    appendInterface(bytes, 0, 0, 0);
    appendInterface(bytes, 0, 3, 1);
    appendEndpoint(bytes, {0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 384});
    appendInterface(bytes, 0, 3, 1);  // the same setting again
    appendEndpoint(bytes, {0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, 1023});
    appendInterface(bytes, 2, 1, 0);  // interface 2 without its setting 0
    finishConfiguration(bytes, 2);
    Checked c = check(bytes);
    ASSERT_TRUE(c.ok);
    EXPECT_TRUE(mentions(c.problems, "interface 0 lacks alternate setting 1"));
    EXPECT_TRUE(mentions(c.problems, "interface 0 lacks alternate setting 2"));
    EXPECT_TRUE(mentions(c.problems, "interface 2 lacks alternate setting 0"));
    EXPECT_TRUE(mentions(c.problems, "appears twice"));
    ASSERT_NE(c.info.find(0, 3), nullptr);
    EXPECT_EQ(c.info.find(0, 3)->endpoints[0].packetBytes(), 384);  // the first one is kept
    EXPECT_NE(c.info.find(2, 1), nullptr);
    EXPECT_EQ(c.info.settings.size(), 3u);
}

TEST(ConfigurationCheck, StopsAtZeroLengthAndOverrunningDescriptors) {
    std::vector<UCHAR> zero =
        configurationDescriptor({{0, 0, {{0x82, USB_ENDPOINT_TYPE_BULK, 64}}}});
    zero.insert(zero.end(), {0, 5, 0x83, 3, 8, 0, 1});
    appendInterface(zero, 1, 0, 0);
    finishConfiguration(zero, 2);
    Checked z = check(zero);
    ASSERT_TRUE(z.ok);
    EXPECT_EQ(z.info.settings.size(), 1u);
    EXPECT_TRUE(mentions(z.problems, "has bLength 0"));

    std::vector<UCHAR> over = configurationDescriptor({{0, 0, {}}});
    over.insert(over.end(), {40, USB_ENDPOINT_TYPE_BULK, 0x82});
    finishConfiguration(over, 1);
    Checked o = check(over);
    ASSERT_TRUE(o.ok);
    EXPECT_TRUE(mentions(o.problems, "runs past the end"));

    std::vector<UCHAR> stray = configurationDescriptor({{0, 0, {}}});
    stray.push_back(7);
    finishConfiguration(stray, 1);
    EXPECT_TRUE(mentions(check(stray).problems, "stray byte"));
}

TEST(ConfigurationCheck, DropsShortDescriptorsAndEndpointsOutsideInterfaces) {
    std::vector<UCHAR> bytes = configurationHeader();
    appendEndpoint(bytes, {0x82, USB_ENDPOINT_TYPE_BULK, 64});      // before any interface
    appendInterface(bytes, 0, 0, 1, 0xFF, 5);                       // too short to be an interface
    appendEndpoint(bytes, {0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8});  // belongs to the dropped one
    bytes.insert(bytes.end(), {4, 0x24, 9, 9});                     // so does this
    appendInterface(bytes, 0, 1, 2);
    appendEndpoint(bytes, {0x82, USB_ENDPOINT_TYPE_BULK, 64}, 4);  // endpoint too short
    appendEndpoint(bytes, {0x05, USB_ENDPOINT_TYPE_BULK, 64});
    appendEndpoint(bytes, {0x05, USB_ENDPOINT_TYPE_BULK, 64});  // twice in one setting
    finishConfiguration(bytes, 1);
    Checked c = check(bytes);
    ASSERT_TRUE(c.ok);
    EXPECT_TRUE(mentions(c.problems, "outside any interface"));
    EXPECT_TRUE(mentions(c.problems, "interface descriptor at offset 16 has bLength 5"));
    EXPECT_TRUE(mentions(c.problems, "endpoint descriptor at offset"));
    EXPECT_TRUE(mentions(c.problems, "appears twice in one setting"));
    ASSERT_EQ(c.info.settings.size(), 1u);
    EXPECT_EQ(c.info.settings[0].alternate, 1);
    ASSERT_EQ(c.info.settings[0].endpoints.size(), 1u);
    EXPECT_EQ(c.info.settings[0].endpoints[0].address, 0x05);
    // Only the header, the kept interface and its one endpoint remain.
    EXPECT_EQ(c.info.bytes.size(), 9u + 9u + 7u);
}

TEST(ConfigurationCheck, SurvivesEveryTruncationOfARealDescriptor) {
    std::vector<UCHAR> bytes = configurationDescriptor(cameraSettings());
    for (size_t n = 0; n <= bytes.size(); ++n) {
        Checked c = check(std::vector<UCHAR>(bytes.begin(), bytes.begin() + n));
        EXPECT_EQ(c.ok, n >= 9) << n;
        if (c.ok) {
            EXPECT_LE(c.info.bytes.size(), n);
        }
    }
}

}  // namespace
