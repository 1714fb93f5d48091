// Device and configuration descriptors as the bus reads them, including the
// malformed ones a scenario can ask for.
#include <gtest/gtest.h>

#include <map>

#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

struct Parsed {
    int totalLength = 0;
    int interfaces = 0;
    // (interface, alternate) -> endpoints as (address, wMaxPacketSize)
    std::map<std::pair<int, int>, std::vector<std::pair<int, int>>> settings;
    std::vector<int> interfaceOrder;
};

// Walks the descriptor the way a careful host does: by bLength, within the bytes.
Parsed parse(const std::vector<std::uint8_t>& d) {
    Parsed p;
    p.totalLength = d[2] | (d[3] << 8);
    p.interfaces = d[4];
    std::pair<int, int> current{-1, -1};
    for (std::size_t i = 0; i + 2 <= d.size() && d[i] >= 2 && i + d[i] <= d.size(); i += d[i]) {
        if (d[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            current = {d[i + 2], d[i + 3]};
            p.settings[current];
            if (current.second == 0) p.interfaceOrder.push_back(current.first);
        } else if (d[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            p.settings[current].emplace_back(d[i + 2], d[i + 4] | (d[i + 5] << 8));
        }
    }
    return p;
}

TEST(SimDescriptors, DeviceDescriptorNamesTheCamera) {
    Host host(quickScenario());
    ControlResult r = host.descriptor(USB_DEVICE_DESCRIPTOR_TYPE, 64);
    ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
    ASSERT_EQ(r.data.size(), 18u);
    EXPECT_EQ(r.data[7], 64) << "bMaxPacketSize0";
    EXPECT_EQ(r.data[8] | (r.data[9] << 8), 0xF1A5);
    EXPECT_EQ(r.data[10] | (r.data[11] << 8), 0x0B2D);
    EXPECT_EQ(r.data[12] | (r.data[13] << 8), 0x0103) << "bcdDevice is the firmware level";
    EXPECT_EQ(host.control(0x80, 6, 0x0300, 0, {}, 255).status, USBD_STATUS_STALL_PID)
        << "no strings";
}

TEST(SimDescriptors, ConfigurationListsEverySettingWithItsPacketSizes) {
    Host host(quickScenario());
    ControlResult head = host.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 9);
    ASSERT_EQ(head.data.size(), 9u) << "wLength is honoured";
    int total = head.data[2] | (head.data[3] << 8);
    ControlResult full =
        host.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, static_cast<std::uint16_t>(total));
    ASSERT_EQ(full.data.size(), static_cast<std::size_t>(total));
    Parsed p = parse(full.data);
    EXPECT_EQ(p.interfaces, 1);
    ASSERT_EQ(p.settings.size(), 8u);
    EXPECT_TRUE((p.settings[{0, 0}].empty()));
    EXPECT_EQ((p.settings[{0, 1}]),
              (std::vector<std::pair<int, int>>{{0x82, 64}, {0x05, 64}, {0x83, 8}}));
    const int sizes[] = {128, 384, 640, 768, 896, 1023};
    for (int alt = 2; alt <= 7; ++alt) {
        auto eps = p.settings[{0, alt}];
        ASSERT_EQ(eps.size(), 4u);
        EXPECT_EQ(eps[0], std::make_pair(0x81, sizes[alt - 2])) << "setting " << alt;
    }
}

TEST(SimDescriptors, InterfaceNumberAndPrecedingInterfacesComeFromTheScenario) {
    sim::Scenario s = quickScenario();
    s.interfaceNumber = 2;
    s.precedingInterfaces = 2;
    Host host(s);
    Parsed p = parse(host.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1024).data);
    EXPECT_EQ(p.interfaces, 3);
    EXPECT_EQ(p.interfaceOrder, (std::vector<int>{4, 5, 2}));
    EXPECT_EQ(p.settings.count({2, 7}), 1u);
    ASSERT_EQ(host.select(3), USBD_STATUS_SUCCESS);
    EXPECT_EQ(host.camera().alternateSetting(), 3);
    EXPECT_EQ(host.camera().setInterface(0, 1), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.camera().setInterface(4, 0), USBD_STATUS_SUCCESS);
}

TEST(SimDescriptors, MalformedDescriptorsAreServedAsAsked) {
    auto read = [](const sim::DescriptorFaults& f, int* reportedTotal) {
        sim::Scenario s = quickScenario();
        s.faults.descriptor = f;
        Host host(s);
        auto bytes = host.descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 2048).data;
        *reportedTotal = bytes[2] | (bytes[3] << 8);
        Parsed p = parse(bytes);
        p.totalLength = static_cast<int>(bytes.size());
        return p;
    };
    int reported = 0;
    sim::DescriptorFaults f;
    f.noIsoEndpoint = true;
    Parsed p = read(f, &reported);
    EXPECT_EQ((p.settings[{0, 7}].size()), 3u);

    f = {};
    f.zeroPacketSize = true;
    EXPECT_EQ((read(f, &reported).settings[{0, 5}][0]), std::make_pair(0x81, 0));
    f = {};
    f.oversizedPacketSize = true;
    EXPECT_EQ((read(f, &reported).settings[{0, 5}][0]), std::make_pair(0x81, 1500));

    f = {};
    f.missingAlternate = 4;
    p = read(f, &reported);
    EXPECT_EQ(p.settings.count({0, 4}), 0u);
    EXPECT_EQ(p.settings.size(), 7u);
    sim::Scenario s = quickScenario();
    s.faults.descriptor = f;
    Host host(s);
    EXPECT_EQ(host.select(4), USBD_STATUS_INVALID_PARAMETER) << "the camera lacks the setting too";

    f = {};
    f.totalLengthDelta = 40;
    p = read(f, &reported);
    EXPECT_EQ(reported, p.totalLength + 40) << "wTotalLength lies; the bytes are the real ones";
}

}  // namespace
