// A client process for the PTP transport tests: opens the first camera
// channel the socket host lists, opens a PTP session, takes the PTP lock,
// reports the session and waits to be killed.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tests/channels/channel_client.h"

namespace {

bool answered(HANDLE h, DWORD code, std::vector<std::uint8_t>& b) {
    DWORD returned = 0;
    return pavtest::call(h, code, b, &returned) && b[0] == pav512::kModuleStatusSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (int failed = pavtest::openFirstCamera(argv[1], &h)) return failed;
    std::vector<std::uint8_t> open(sizeof(pav512::PtpHeader), 0);
    open[0] = 0xFF;
    if (!answered(h, pav512::IOCTL_PTP_OPEN, open)) {
        std::printf("session refused %u\n", open[0]);
        return 5;
    }
    std::uint32_t session = 0;
    std::memcpy(&session, open.data() + pav512::kPtpOpenSessionOffset, 4);
    std::vector<std::uint8_t> lock(sizeof(pav512::PtpHeader), 0);
    lock[0] = 0xFF;
    std::memcpy(lock.data() + 4, &session, 4);
    if (!answered(h, pav512::IOCTL_PTP_LOCK, lock)) {
        std::printf("lock refused %u\n", lock[0]);
        return 6;
    }
    std::printf("locked %u\n", session);
    std::fflush(stdout);
    for (;;) pause();
}
