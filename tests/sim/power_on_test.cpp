// Register values a scenario gives the camera at power-on, read back as set
// while the registers the firmware computes keep being computed.
#include <gtest/gtest.h>

#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

TEST(SimPowerOn, ScenarioRegistersReadBackAndComputedOnesStayComputed) {
    std::string error;
    sim::Scenario s = sim::parseScenario(R"({
        "powerOnRegisters": [
            {"space": 2, "register": 21, "value": 130},
            {"space": 3, "register": 33, "value": 8},
            {"space": 3, "register": 2, "value": 17},
            {"space": 3, "register": 25, "value": 23},
            {"space": 2, "register": 21, "value": 131},
            {"space": 0, "register": 0, "value": 9}
        ]})",
                                         &error);
    ASSERT_EQ(error, "");
    s.timing = quickScenario().timing;
    Host host(s);
    // A later entry for the same register wins; untouched defaults remain.
    EXPECT_EQ(host.readRegisters(2, 0x15, 1), (std::vector<std::uint8_t>{131}));
    EXPECT_EQ(host.readRegisters(3, 0x21, 1), (std::vector<std::uint8_t>{8}));
    EXPECT_EQ(host.readRegisters(3, 2, 3), (std::vector<std::uint8_t>{17, 0, 0}));
    EXPECT_EQ(host.readRegisters(3, 25, 3), (std::vector<std::uint8_t>{23, 2, 2}));
    EXPECT_EQ(host.readRegisters(3, 1, 1), (std::vector<std::uint8_t>{0x0D}));
    // The boot state is the firmware's answer, whatever was put there.
    host.waitBooted();
    EXPECT_EQ(host.readRegister(0, 0), 4);
}

TEST(SimPowerOn, BrokenEntriesAreNamed) {
    std::string error;
    sim::parseScenario(R"({"powerOnRegisters": [{"space": 5, "register": 1, "value": 0}]})",
                       &error);
    EXPECT_NE(error.find("powerOnRegisters[0].space"), std::string::npos) << error;
    sim::parseScenario(R"({"powerOnRegisters": [{"space": 2, "register": 1, "value": 256}]})",
                       &error);
    EXPECT_NE(error.find("powerOnRegisters[0].value"), std::string::npos) << error;
    sim::parseScenario(R"({"powerOnRegisters": [{"space": 2, "reg": 1}]})", &error);
    EXPECT_NE(error.find("powerOnRegisters[0]"), std::string::npos) << error;
    sim::parseScenario(R"({"powerOnRegisters": {"space": 2}})", &error);
    EXPECT_NE(error.find("powerOnRegisters"), std::string::npos) << error;
}

}  // namespace
