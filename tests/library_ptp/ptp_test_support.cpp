#include "tests/library_ptp/ptp_test_support.h"

#include "host/inprocess_transport.h"
#include "platform/user/channel_transport.h"
#include "tests/channels/channel_client.h"

namespace ptplibtest {

void LibraryLoaded::SetUp() {
    uchannel::setTransport(host::makeInProcessTransport());
    pavu::processAttach();
}

void LibraryLoaded::TearDown() {
    pavu::processDetach();
    uchannel::setTransport(nullptr);
}

void LibraryLoaded::refreshNow() {
    unsigned before = pavu::refreshCount();
    EXPECT_TRUE(pavtest::waitFor([&] {
        pavu::refreshDeviceRegistry();
        return pavu::refreshCount() > before;
    }));
}

std::uint8_t LibraryLoaded::numberOf(const std::string& path) {
    for (DWORD n = 1; n <= 32; ++n) {
        char p[pavu::kPathRoom];
        if (pavu::pathOfCameraNumber(n, p, sizeof p) && path == p) return static_cast<std::uint8_t>(n);
    }
    return 0;
}

std::uint8_t onlyCamera() {
    auto paths = pavtest::listInterfaces();
    if (paths.size() != 1) return 0;
    return LibraryLoaded::numberOf(paths[0]);
}

}  // namespace ptplibtest
