// A client process for the command transport tests: opens the first camera
// channel the socket host lists, opens an exclusive command session, locks
// the transport and leaves a transaction pending (it waits for bulk data the
// camera never prepared), then waits to be killed.
#include <unistd.h>

#include <cstdio>

#include "tests/channels/channel_client.h"
#include "tests/cti/cti_wire.h"

namespace {

bool answered(HANDLE h, DWORD code, ctitest::Bytes& b) {
    DWORD returned = 0;
    return pavtest::call(h, code, b, &returned) && b[0] == pav512::kModuleStatusSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (int failed = pavtest::openFirstCamera(argv[1], &h)) return failed;
    const std::uint32_t thread = static_cast<std::uint32_t>(::getpid());
    auto open = ctitest::header(0, thread, 0, 1);
    if (!answered(h, pav512::IOCTL_CTI_OPEN, open)) {
        std::printf("session refused %u\n", open[0]);
        return 5;
    }
    const std::uint32_t session = ctitest::u32(open, 16);
    auto lock = ctitest::header(session, thread, 0, 1);
    if (!answered(h, pav512::IOCTL_CTI_LOCK, lock)) {
        std::printf("lock refused %u\n", lock[0]);
        return 6;
    }
    static ctitest::Bytes transaction =
        ctitest::transaction(session, thread, 1, {ctitest::bulkIn(64)});
    static OVERLAPPED ov{};
    BOOL ok = DeviceIoControl(h, pav512::IOCTL_CTI_TRANSACTION, transaction.data(),
                              static_cast<DWORD>(transaction.size()), transaction.data(),
                              static_cast<DWORD>(transaction.size()), nullptr, &ov);
    std::printf("%s %u\n", !ok && GetLastError() == ERROR_IO_PENDING ? "pending" : "not pending",
                session);
    std::fflush(stdout);
    for (;;) pause();
}
