// From a client process of the shared library, over the host's socket: a
// session on the simulated camera reads its object table with one command
// and a read data phase.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sim/object_store.h"
#include "sim/sim_camera.h"
#include "tests/library_cti/cti_fixture.h"
#include "tests/support/process.h"

namespace pavtest {
namespace {

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char two[3];
    for (std::uint8_t b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

TEST(CtiProcesses, AClientProcessReadsTheObjectTableOverTheSocket) {
    SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("client-table"));
    std::vector<std::uint8_t> table;
    cameras.camera("client-table")->withStore(
        [&](sim::ObjectStore& s) { table = s.memory(0).objectTable(); });
    ASSERT_GT(table.size(), 0u);

    ChildProcess client({PAV_CTI_CLIENT, std::to_string(table.size())});
    EXPECT_EQ(client.line(), "open 0 camera 1 lock 0 read 0 returned " + std::to_string(table.size()));
    EXPECT_EQ(client.line(), hex(table));
    EXPECT_EQ(client.wait(), 0);
}

}  // namespace
}  // namespace pavtest
