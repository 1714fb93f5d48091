// A whole PTP session from a client process of the shared library, over
// the host's socket, against the real driver and a simulated camera.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "sim/sim_camera.h"
#include "tests/library/cameras.h"
#include "tests/library_ptp/ptp_test_support.h"
#include "tests/support/process.h"

namespace ptplibtest {
namespace {

std::uint64_t fnv(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::uint8_t c : bytes) h = (h ^ c) * 1099511628211ull;
    return h;
}

TEST(PtpClientProcess, ListsTheObjectsAndReadsAPictureInPhasesSmallerThanIt) {
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("ptp-process"));
    sim::SimCamera* camera = cameras.camera("ptp-process");
    ASSERT_NE(camera, nullptr);

    pavtest::ChildProcess client({PAV_TEST_PTP_LIB_CLIENT});
    const std::string said = client.line();
    unsigned count = 0, object = 0;
    std::size_t size = 0;
    unsigned long long hash = 0;
    ASSERT_EQ(std::sscanf(said.c_str(), "objects %u handle %x size %zu fnv %llx", &count, &object,
                          &size, &hash),
              4)
        << said;
    EXPECT_EQ(client.wait(), 0);

    std::size_t stored = 0;
    std::vector<std::uint8_t> picture;
    camera->withStore([&](sim::ObjectStore& st) {
        // The camera shows its current memory as its one storage.
        stored = st.memory(st.currentMemory()).objects().size();
        const int memory = static_cast<int>((object >> 24) & 0xF);
        if (const sim::StoredObject* o = st.memory(memory).find(object & 0xFFFFFF))
            picture = o->picture;
    });
    EXPECT_EQ(count, stored);
    ASSERT_FALSE(picture.empty()) << std::hex << object;
    EXPECT_GT(picture.size(), 4096u) << "the picture took more than one call";
    EXPECT_EQ(size, picture.size());
    EXPECT_EQ(hash, fnv(picture));
}

}  // namespace
}  // namespace ptplibtest
