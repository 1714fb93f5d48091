// Command transport requests as the library lays them out: the header of
// every command and transactions built block by block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/kernel/basetypes.h"

namespace ctitest {

using Bytes = std::vector<std::uint8_t>;

// One block of a transaction.
struct Block {
    bool control = true;
    bool toCamera = false;  // bulk: the bulk-out pipe
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    Bytes data;             // sent, or the room for what comes back
    std::size_t slack = 0;  // bytes past the data inside the block (filled with 0xAB)
};

Block controlOut(std::uint8_t request, std::uint16_t value, Bytes data);
Block controlIn(std::uint8_t request, std::uint16_t value, std::size_t length);
Block bulkIn(std::size_t length, std::size_t slack = 0);
Block bulkOut(Bytes data);

// Header, blocks, the terminating zero and the 24 bytes the library adds.
Bytes transaction(ULONG session, ULONG thread, ULONG task, const std::vector<Block>& blocks);
// Offset of block i in a transaction built from `blocks`.
std::size_t blockOffset(const std::vector<Block>& blocks, std::size_t i);

std::uint32_t u32(const Bytes& b, std::size_t at);
Bytes header(ULONG session, ULONG thread = 0, ULONG task = 0, ULONG value = 0);

}  // namespace ctitest
