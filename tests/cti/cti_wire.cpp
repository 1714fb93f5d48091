#include "tests/cti/cti_wire.h"

#include <cstring>

#include "pav512/buffers.h"

namespace ctitest {

Block controlOut(std::uint8_t request, std::uint16_t value, Bytes data) {
    Block b;
    b.request = request;
    b.value = value;
    b.data = std::move(data);
    return b;
}

Block controlIn(std::uint8_t request, std::uint16_t value, std::size_t length) {
    Block b;
    b.request = request;
    b.value = value;
    b.data.assign(length, 0);
    return b;
}

Block bulkIn(std::size_t length, std::size_t slack) {
    Block b;
    b.control = false;
    b.data.assign(length, 0);
    b.slack = slack;
    return b;
}

Block bulkOut(Bytes data) {
    Block b;
    b.control = false;
    b.toCamera = true;
    b.data = std::move(data);
    return b;
}

namespace {

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    std::memcpy(b.data() + at, &v, 4);
}

}  // namespace

std::uint32_t u32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    if (at + 4 <= b.size()) std::memcpy(&v, b.data() + at, 4);
    return v;
}

Bytes header(ULONG session, ULONG thread, ULONG task, ULONG value) {
    Bytes b(sizeof(pav512::CommandHeader), 0);
    b[0] = pav512::kModuleStatusUnanswered;
    put32(b, 4, session);
    put32(b, 8, thread);
    put32(b, 12, task);
    put32(b, 16, value);
    return b;
}

std::size_t blockOffset(const std::vector<Block>& blocks, std::size_t i) {
    std::size_t at = pav512::kTransactionListOffset;
    for (std::size_t k = 0; k < i; ++k) at += 24 + blocks[k].data.size() + blocks[k].slack;
    return at;
}

Bytes transaction(ULONG session, ULONG thread, ULONG task, const std::vector<Block>& blocks) {
    Bytes b = header(session, thread, task);
    for (const Block& block : blocks) {
        std::size_t at = b.size();
        b.resize(at + 24 + block.data.size() + block.slack, 0xAB);
        put32(b, at, static_cast<std::uint32_t>(24 + block.data.size() + block.slack));
        put32(b, at + 4, block.control ? 1 : 0);
        put32(b, at + 8, block.toCamera ? 1 : 0);
        put32(b, at + 12, static_cast<std::uint32_t>(block.data.size()));
        b[at + 16] = 0xFF;  // the block status, preset as the library does
        b[at + 17] = block.request;
        b[at + 18] = static_cast<std::uint8_t>(block.value >> 8);
        b[at + 19] = static_cast<std::uint8_t>(block.value);
        b[at + 20] = static_cast<std::uint8_t>(block.index >> 8);
        b[at + 21] = static_cast<std::uint8_t>(block.index);
        b[at + 22] = b[at + 23] = 0;
        if (!block.data.empty())
            std::memcpy(b.data() + at + 24, block.data.data(), block.data.size());
    }
    b.resize(b.size() + 4 + 24, 0);  // the terminator and the library's spare room
    return b;
}

}  // namespace ctitest
