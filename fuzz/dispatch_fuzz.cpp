// Arbitrary (code, buffer) pairs into the driver's dispatch switch, through
// the I/O manager as a client's channel sends them, user and internal codes
// alike, with input and output lengths that need not agree.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/driver_harness.h"
#include "pav512/buffers.h"

namespace {

const std::uint32_t kCodes[] = {
    0x220000, 0x220004, 0x220008, 0x22000C, 0x220010, 0x220014, 0x220018, 0x22001C, 0x220400,
    0x220404, 0x220408, 0x22040C, 0x220410, 0x220414, 0x220418, 0x22041C, 0x220420, 0x220424,
    0x220428, 0x22042C, 0x220800, 0x220804, 0x220808, 0x22080C, 0x220810, 0x220814, 0x220818,
    0x22081C, 0x220820, 0x220824, 0x220C00, 0x220C04, 0x220C08, 0x220C0C, 0x220C10, 0x220C14,
    0x220C18, 0x220C1C, 0x221000, 0x221004, 0x221008, 0x22100C, 0x221010, 0x221014, 0x221018,
    0x22101C, 0x221020, 0x224000, 0x224004};

PFILE_OBJECT channel() {
    static PFILE_OBJECT file = [] {
        PFILE_OBJECT f = nullptr;
        kio::openFile(pavfuzz::harness().pdo, "\\PAV512Connect", &f);
        return f;
    }();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    PFILE_OBJECT file = channel();
    if (!file) return 0;
    // Byte 0: bit 0 picks a known code by byte 1 (else bytes 1-4 are the
    // code), bit 1 sends it as an internal request, bits 2-7 shorten or
    // lengthen the output length against the input. The buffer follows.
    std::uint32_t code;
    if (data[0] & 1) {
        code = kCodes[data[1] % (sizeof kCodes / sizeof kCodes[0])];
    } else {
        std::memcpy(&code, data + 1, 4);
    }
    const bool internal = (data[0] & 2) != 0;
    const int delta = static_cast<int>(data[0] >> 2) - 32;
    const std::uint8_t* buffer = data + 5;
    const auto inLength = static_cast<ULONG>(size - 5);
    const auto outLength = static_cast<ULONG>(std::max(0, static_cast<int>(inLength) + delta));
    std::vector<std::uint8_t> out(std::max<std::size_t>(outLength, 1));
    ULONG_PTR information = 0;
    NTSTATUS st = kio::deviceControl(file, code, inLength ? buffer : nullptr, inLength, out.data(),
                                     outLength, &information, internal);
    // Whatever came in, the answer never claims more than the caller's buffer.
    if (information > outLength) __builtin_trap();
    (void)st;
    return 0;
}
