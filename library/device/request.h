// The request wrapper every interface of the library sends its control
// requests through, and the result byte it answers: the module status the
// driver left in byte 0, or one of the library's own transport codes.
#pragma once

#include <cstdint>

#include "platform/user/device_io.h"

namespace pavu {

// The channel is closed or gone, or the call failed.
constexpr std::uint8_t kResultRemoved = 0x80;
// The driver answered with another length than the buffer's.
constexpr std::uint8_t kResultShortReply = 0x02;
// An asynchronous submission is under way.
constexpr std::uint8_t kResultPending = 0x83;

// Synchronous: presets byte 0 to 0xFF, sends `buffer` in and out on `channel`
// and waits for the answer.
std::uint8_t sendRequest(HANDLE channel, DWORD code, void* buffer, DWORD size);
// As sendRequest, for a request whose data area is the caller's own memory:
// `headSize` bytes of `buffer` and then `restSize` bytes of `rest` go in as
// they are, without a joined copy; the whole answer (`headSize` +
// `restSize` bytes) comes back into `buffer`, so that the caller takes from
// it only what a good answer says is there.
std::uint8_t sendRequestFrom(HANDLE channel, DWORD code, void* buffer, DWORD headSize,
                             const void* rest, DWORD restSize);
// Asynchronous (the transaction code): the caller's overlapped block and its
// event carry the completion; kResultPending when under way.
std::uint8_t submitRequest(HANDLE channel, DWORD code, void* buffer, DWORD size,
                           OVERLAPPED* overlapped);

}  // namespace pavu
