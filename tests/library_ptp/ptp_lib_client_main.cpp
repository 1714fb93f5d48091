// A client process of libpav512u for the PTP tests: a whole PTP session on
// the first camera, through raw PTPTransfer phases. It lists the objects,
// finds the first JPEG picture, reads it with a buffer smaller than the
// picture, and prints
//   objects N handle H size S fnv F
// (F: the FNV-1a hash of the bytes read), or "failed STEP STATUS".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pav512u/ptp.h"

namespace {

PTP_HANDLE handle = nullptr;

[[noreturn]] void fail(const char* step, PTPSTATUS status) {
    std::printf("failed %s %08X\n", step, status);
    std::fflush(stdout);
    if (handle) PTPHandleClose(handle);
    std::exit(1);
}

void command(std::uint16_t code, std::vector<std::uint32_t> params) {
    const auto bytes = static_cast<std::uint32_t>(4 * params.size());
    PtpTransferBlock b{PTP_TRANSFER_COMMAND, code, 1, bytes, bytes, 0};
    PTPSTATUS st = PTPTransfer(handle, &b, bytes, params.empty() ? nullptr : params.data());
    if (st != PTPSTATUS_SUCCESS) fail("command", st);
}

// The whole data phase, read `room` bytes at a time.
std::vector<std::uint8_t> dataPhase(std::uint16_t code, std::uint32_t room) {
    std::vector<std::uint8_t> whole, chunk(room);
    PtpTransferBlock b{PTP_TRANSFER_DATA, code, 1, 0, 0, 0};
    for (;;) {
        PTPSTATUS st = PTPTransfer(handle, &b, room, chunk.data());
        if (st != PTPSTATUS_SUCCESS) fail("data", st);
        if (b.chunkOffset != whole.size()) fail("offset", b.chunkOffset);
        whole.insert(whole.end(), chunk.begin(), chunk.begin() + b.chunkLength);
        if (b.chunkOffset + b.chunkLength >= b.totalLength || b.chunkLength == 0) break;
    }
    if (whole.size() != b.totalLength) fail("total", b.totalLength);
    return whole;
}

void response(std::uint16_t code) {
    std::uint8_t params[20];
    PtpTransferBlock b{PTP_TRANSFER_RESPONSE, code, 1, 0, 0, 0};
    PTPSTATUS st = PTPTransfer(handle, &b, sizeof params, params);
    if (st != PTPSTATUS_SUCCESS) fail("response", st);
}

std::uint32_t u32(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

}  // namespace

int main() {
    PTPSTATUS st = PTPHandleOpen(0, nullptr, &handle);
    if (st != PTPSTATUS_SUCCESS) fail("open", st);
    if ((st = PTPHandleLock(handle, 5000)) != PTPSTATUS_SUCCESS) fail("lock", st);
    command(0x1002, {1});
    response(0x1002);

    command(0x1007, {0xFFFFFFFF, 0, 0});
    std::vector<std::uint8_t> list = dataPhase(0x1007, 16);
    response(0x1007);
    const std::uint32_t count = u32(list, 0);
    if (list.size() < 4 + 4ull * count) fail("list", count);

    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t object = u32(list, 4 + 4 * i);
        command(0x1008, {object});
        std::vector<std::uint8_t> info = dataPhase(0x1008, 256);
        response(0x1008);
        std::uint16_t format = 0;
        std::memcpy(&format, info.data() + 4, 2);
        if (format != 0x3801) continue;
        command(0x1009, {object});
        std::vector<std::uint8_t> picture = dataPhase(0x1009, 4096);
        response(0x1009);
        std::uint64_t fnv = 1469598103934665603ull;
        for (std::uint8_t c : picture) fnv = (fnv ^ c) * 1099511628211ull;
        std::printf("objects %u handle %08X size %zu fnv %016llX\n", count, object, picture.size(),
                    static_cast<unsigned long long>(fnv));
        break;
    }
    command(0x1003, {});
    response(0x1003);
    PTPHandleUnlock(handle);
    PTPHandleClose(handle);
    std::fflush(stdout);
    return 0;
}
