#include "sim/firmware.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <span>

namespace sim {
namespace {

constexpr std::size_t kMaxQueuedMessages = 64;
constexpr std::size_t kMaxDescriptionRead = 256;
constexpr std::uint16_t kVersionBlock = 0x100;

std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           p[3];
}

std::uint16_t be16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void putBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Copies an answer into the request's buffer, as much as it holds.
ULONG answer(const std::uint8_t* bytes, std::size_t size, std::uint8_t* data, ULONG length) {
    ULONG n = static_cast<ULONG>(std::min<std::size_t>(size, length));
    if (n) std::memcpy(data, bytes, n);
    return n;
}

}  // namespace

Firmware::Firmware(const Scenario& scenario, const Faults* faults, ObjectStore store)
    : scenario_(scenario), faults_(faults), store_(std::move(store)) {
    level_ = scenario_.firmwareLevel;
}

void Firmware::powerOn(LONGLONG now) {
    if (patched_) level_ = patchVersion_;
    std::memset(regs_, 0, sizeof(regs_));
    regs_[2][6] = static_cast<std::uint8_t>(scenario_.sensorType);
    regs_[2][7] = static_cast<std::uint8_t>(scenario_.sensorRevision & 0x0F);
    regs_[3][1] = kPowerIdle;
    // Clock dividers as the chip comes up: divider 1 of the small sensors.
    regs_[3][25] = 5;
    regs_[3][26] = 2;
    regs_[3][27] = 2;
    for (const PowerOnRegister& r : scenario_.powerOnRegisters)
        if (r.space >= 0 && r.space < kRegisterSpaces && r.reg >= 0 && r.reg <= 0xFF)
            regs_[r.space][r.reg] = r.value;
    poweredAt_ = now;
    powerModeAt_ = now;
    textPosition_ = 0;
    blocks_.clear();
    std::vector<std::uint8_t> version(7, ' ');
    std::copy_n(scenario_.versionText.begin(),
                std::min<std::size_t>(7, scenario_.versionText.size()), version.begin());
    blocks_[kVersionBlock] = version;
    blockBytes_ = version.size();
    bulkIn_.clear();
    interrupts_.clear();
    operation_ = MemoryOperation{};
    open_ = OpenObject{};
    lastResult_ = kMemoryOk;
    patchState_ = patched_ ? PatchState::Accepted : PatchState::None;
    patch_.clear();
    patchExpected_ = 0;
}

int Firmware::sensorMaxWidth() const {
    if (scenario_.sensorMaxWidth > 0) return scenario_.sensorMaxWidth;
    const int t = scenario_.sensorType;
    return (t == 1 || t == 2 || t == 4) ? 352 : 640;
}

int Firmware::sensorMaxHeight() const {
    if (scenario_.sensorMaxHeight > 0) return scenario_.sensorMaxHeight;
    const int t = scenario_.sensorType;
    return (t == 1 || t == 2 || t == 4) ? 288 : 480;
}

std::uint8_t Firmware::registerValue(int space, int reg) const {
    if (space < 0 || space >= kRegisterSpaces || reg < 0 || reg > 0xFF) return 0;
    return regs_[space][reg];
}

bool Firmware::booted(LONGLONG now) const {
    if (level_ == 0) return true;  // nothing to boot: the chip runs from its ROM
    return !faults_->neverBoot && now >= poweredAt_ + ms(scenario_.timing.bootDelayMs);
}

bool Firmware::sensorReady(LONGLONG now) const {
    if (faults_->sensorNeverReady || !booted(now)) return false;
    LONGLONG settledAt =
        std::max(poweredAt_ + (level_ ? ms(scenario_.timing.bootDelayMs) : 0), powerModeAt_) +
        ms(scenario_.timing.sensorReadyDelayMs);
    return now >= settledAt;
}

std::array<std::uint8_t, kInformationBlockSize> Firmware::informationBlock() const {
    std::array<std::uint8_t, kInformationBlockSize> b{};
    b[0] = scenario_.chipRelease[0];
    b[1] = scenario_.chipRelease[1];
    b[2] = static_cast<std::uint8_t>(level_ >> 8);
    b[3] = static_cast<std::uint8_t>(level_);
    b[4] = static_cast<std::uint8_t>(scenario_.sensorType);
    b[5] = static_cast<std::uint8_t>(kMemoryCount);
    b[12] = static_cast<std::uint8_t>(scenario_.eraseTime >> 8);
    b[13] = static_cast<std::uint8_t>(scenario_.eraseTime);
    b[16] = static_cast<std::uint8_t>(scenario_.infoWords[0] >> 8);
    b[17] = static_cast<std::uint8_t>(scenario_.infoWords[0]);
    b[18] = static_cast<std::uint8_t>(scenario_.infoWords[1] >> 8);
    b[19] = static_cast<std::uint8_t>(scenario_.infoWords[1]);
    return b;
}

bool Firmware::programmedSize(int* width, int* height) const {
    int w = regs_[1][0xE4] * 4;
    int h = regs_[1][0xE5] * 4;
    if (w == 0 || h == 0) return false;
    *width = w;
    *height = h;
    return true;
}

bool Firmware::videoSize(LONGLONG now, int* width, int* height) const {
    int w = 0, h = 0;
    if (regs_[3][1] != kPowerVideo || !programmedSize(&w, &h) || !sensorReady(now)) return false;
    *width = w;
    *height = h;
    return true;
}

USBD_STATUS Firmware::vendorRequest(LONGLONG now, bool in, std::uint8_t request,
                                    std::uint16_t value, std::uint8_t* data, ULONG length,
                                    ULONG* moved) {
    *moved = 0;
    if (length && !data) return USBD_STATUS_STALL_PID;
    finishOperation(now);
    // Requests 0x85 and 0x87 go out although their codes have the top bit set.
    // A request without data has no data stage, and a device ignores the
    // direction bit of such a request.
    bool wantsIn = (request & 0x80) && request != kReqPrepareTable && request != kReqEraseMemory;
    if (length != 0 && in != wantsIn) return USBD_STATUS_STALL_PID;
    const int memory = value >> 8;
    switch (request) {
        case kReqReadRegisters:
            return readRegisters(now, value, data, length, moved);
        case kReqWriteRegisters: {
            USBD_STATUS s = writeRegisters(now, value, data, length);
            if (s == USBD_STATUS_SUCCESS) *moved = length;
            return s;
        }
        case kReqInformation: {
            if (value != 0) return USBD_STATUS_STALL_PID;
            auto b = informationBlock();
            *moved = answer(b.data(), b.size(), data, length);
            return USBD_STATUS_SUCCESS;
        }
        case kReqPatchHeader: {
            if (length != kPatchHeaderSize) return USBD_STATUS_STALL_PID;
            std::size_t total = be16(data + 2);
            if (total == 0 || total > kMaxPatchLength) return USBD_STATUS_STALL_PID;
            std::copy_n(data, kPatchHeaderSize, patchHeader_.begin());
            patch_.clear();
            patchExpected_ = total;
            patchState_ = PatchState::Receiving;
            patchProblem_.clear();
            *moved = length;
            return USBD_STATUS_SUCCESS;
        }
        case kReqWriteBlock: {
            std::vector<std::uint8_t>& block = blocks_[value];
            if (blockBytes_ - block.size() + length > kMaxDataBlockBytes) {
                if (block.empty()) blocks_.erase(value);
                return USBD_STATUS_STALL_PID;
            }
            blockBytes_ = blockBytes_ - block.size() + length;
            block.assign(data, data + length);
            blockWrites_.push_back({value, block});
            blockLogBytes_ += length;
            while (blockWrites_.size() > kMaxLogged || blockLogBytes_ > kMaxLoggedBytes) {
                blockLogBytes_ -= blockWrites_.front().data.size();
                blockWrites_.pop_front();
            }
            *moved = length;
            return USBD_STATUS_SUCCESS;
        }
        case kReqReadBlock: {
            auto it = blocks_.find(value);
            if (it == blocks_.end()) return USBD_STATUS_STALL_PID;
            *moved = answer(it->second.data(), it->second.size(), data, length);
            return USBD_STATUS_SUCCESS;
        }
        case kReqCurrentMemory: {
            std::uint8_t m = static_cast<std::uint8_t>(store_.currentMemory());
            *moved = answer(&m, 1, data, length);
            return USBD_STATUS_SUCCESS;
        }
        case kReqStorageFigure: {
            if (memory >= kMemoryCount) return USBD_STATUS_STALL_PID;
            std::uint8_t b[4];
            switch (value & 0xFF) {
                case 0:
                    putBe32(b, store_.memory(memory).freeBytes());
                    break;
                case 1:
                    putBe32(b, store_.memory(memory).freePictures());
                    break;
                default:
                    return USBD_STATUS_STALL_PID;
            }
            *moved = answer(b, 4, data, length);
            return USBD_STATUS_SUCCESS;
        }
        case kReqObjectCount: {
            if (memory >= kMemoryCount) return USBD_STATUS_STALL_PID;
            std::uint8_t b[4];
            putBe32(b, static_cast<std::uint32_t>(store_.memory(memory).objects().size()));
            *moved = answer(b, 4, data, length);
            return USBD_STATUS_SUCCESS;
        }
        case kReqMemoryResult: {
            if (memory >= kMemoryCount) return USBD_STATUS_STALL_PID;
            std::uint8_t b[2] = {lastResult_,
                                 static_cast<std::uint8_t>(operation_.running ? 0xFF : 0x00)};
            *moved = answer(b, 2, data, length);
            return USBD_STATUS_SUCCESS;
        }
        case kReqDeleteObject:
        case kReqOpenObject:
        case kReqReadItem:
        case kReqPrepareStorage:
        case kReqCloseObject:
        case kReqPrepareEntry:
        case kReqPrepareTable:
        case kReqEraseMemory: {
            if (memory >= kMemoryCount) return USBD_STATUS_STALL_PID;
            USBD_STATUS s = memoryCommand(now, request, value, data, length);
            if (s == USBD_STATUS_SUCCESS) *moved = length;
            return s;
        }
        default:
            return USBD_STATUS_STALL_PID;
    }
}

USBD_STATUS Firmware::readRegisters(LONGLONG now, std::uint16_t value, std::uint8_t* data,
                                    ULONG length, ULONG* moved) {
    int space = value & 7;
    int first = value >> 8;
    if (space >= kRegisterSpaces || (value & 0xF8) != 0 || first + length > 256)
        return USBD_STATUS_STALL_PID;
    for (ULONG i = 0; i < length; ++i) {
        int reg = first + static_cast<int>(i);
        std::uint8_t v = regs_[space][reg];
        if (space == 0 && reg == 0) {
            v = level_ == 0 ? 0 : (booted(now) ? kBootedState : 1);
        } else if (space == 2 && reg == 2) {
            v = static_cast<std::uint8_t>((v & ~kSensorReadyBit) |
                                          (sensorReady(now) ? kSensorReadyBit : 0));
        } else if (space == 2 && reg == 0x0F) {
            // The firmware text comes out one character per read, then a 0,
            // after which it starts again.
            const std::string& t = scenario_.firmwareText;
            if (textPosition_ < t.size()) {
                v = static_cast<std::uint8_t>(t[textPosition_++]);
            } else {
                v = 0;
                textPosition_ = 0;
            }
        }
        data[i] = v;
    }
    *moved = length;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS Firmware::writeRegisters(LONGLONG now, std::uint16_t value, const std::uint8_t* data,
                                     ULONG length) {
    int space = value & 7;
    if (space >= kRegisterSpaces || (value & 0xF0) != 0) return USBD_STATUS_STALL_PID;
    // The sensor refuses a picture larger than it can take, whether the size
    // comes in a table or in plain writes; the firmware then acts on none of it.
    if (space == 1) {
        int w4 = regs_[1][0xE4], h4 = regs_[1][0xE5];
        if (value & 8) {
            for (ULONG i = 0; i + 1 < length; i += 2) {
                if (data[i] == 0xE4) w4 = data[i + 1];
                if (data[i] == 0xE5) h4 = data[i + 1];
            }
        } else {
            const int first = value >> 8;
            for (ULONG i = 0; i < length; ++i) {
                if (first + static_cast<int>(i) == 0xE4) w4 = data[i];
                if (first + static_cast<int>(i) == 0xE5) h4 = data[i];
            }
        }
        if (w4 * 4 > sensorMaxWidth() || h4 * 4 > sensorMaxHeight()) return USBD_STATUS_STALL_PID;
    }
    if (value & 8) {
        // A table of (register, value) pairs.
        if (length % 2 != 0) return USBD_STATUS_STALL_PID;
        RegisterTable table{static_cast<std::uint8_t>(space), {}};
        for (ULONG i = 0; i < length; i += 2) {
            table.pairs.emplace_back(data[i], data[i + 1]);
            writeRegister(now, space, data[i], data[i + 1]);
        }
        tables_.push_back(std::move(table));
        tableLogBytes_ += length;
        while (tables_.size() > kMaxLogged || tableLogBytes_ > kMaxLoggedBytes) {
            tableLogBytes_ -= tables_.front().pairs.size() * 2;
            tables_.pop_front();
        }
        return USBD_STATUS_SUCCESS;
    }
    int first = value >> 8;
    if (first + length > 256) return USBD_STATUS_STALL_PID;
    for (ULONG i = 0; i < length; ++i)
        writeRegister(now, space, first + static_cast<int>(i), data[i]);
    return USBD_STATUS_SUCCESS;
}

void Firmware::writeRegister(LONGLONG now, int space, int reg, std::uint8_t v) {
    writes_.push_back({static_cast<std::uint8_t>(space), static_cast<std::uint8_t>(reg), v});
    if (writes_.size() > kMaxLogged) writes_.pop_front();
    if (space == 3 && reg == 1 && regs_[3][1] != v) powerModeAt_ = now;
    regs_[space][reg] = v;
    if (space == 0 && reg == 2 && v == 1 && level_ > 0x0100)
        queueInterrupt({5, 0, 1, 0, 0, 0, 0, 0}, now + ms(scenario_.timing.reportDelayMs));
}

LONGLONG Firmware::eraseWindow() const {
    // What the host waits at most: the erase-time word x 65536 / 1048576 s.
    return static_cast<LONGLONG>(scenario_.eraseTime) * 625000;
}

void Firmware::finishOperation(LONGLONG now) {
    if (!operation_.running || now < operation_.doneAt) return;
    Memory& m = store_.memory(operation_.memory);
    if (operation_.object == 0) {
        m.erase();
        if (open_.open && open_.memory == operation_.memory) open_ = OpenObject{};
    } else {
        m.remove(operation_.object);
        if (open_.open && open_.memory == operation_.memory && open_.number == operation_.object)
            open_ = OpenObject{};
    }
    // The result stays that of the latest command: the operation's own was
    // "ok" when it started, and a command refused as busy meanwhile stays
    // refused.
    operation_.running = false;
}

void Firmware::respond(LONGLONG now, std::uint8_t request, std::vector<std::uint8_t> answer) {
    // A new command replaces whatever the host left unread.
    bulkIn_.clear();
    if (faults_->bulkInNeverArrives || answer.empty()) return;
    if (faults_->longerAnswers) answer.insert(answer.end(), 64, 0xA5);
    if (faults_->edMarker) {
        if (answer.size() >= 2) answer[0] = 0xED, answer[1] = 0x15;
        if (answer.size() >= 64) answer[62] = 0xED, answer[63] = 0x15;
    }
    BulkChunk chunk{std::move(answer), 0};
    for (std::size_t i = 0; i < faults_->bulkAnswers.size(); ++i) {
        const BulkAnswerFault& f = faults_->bulkAnswers[i];
        if (f.request != -1 && f.request != request) continue;
        if (++answersSeen_[i] != f.nth) continue;
        switch (f.kind) {
            case BulkAnswerFault::Kind::Short:
                chunk.data.resize(std::min(chunk.data.size(), f.bytes));
                break;
            case BulkAnswerFault::Kind::Partial:
                chunk.holdAt = f.bytes;
                break;
            case BulkAnswerFault::Kind::Late:
                chunk.availableAt = now + ms(f.delayMs);
                break;
            case BulkAnswerFault::Kind::Longer:
                chunk.data.insert(chunk.data.end(), f.bytes, 0x5A);
                break;
        }
    }
    if (chunk.data.empty()) return;
    bulkIn_.push_back(std::move(chunk));
}

bool Firmware::bulkInReady(LONGLONG now) const {
    return !bulkIn_.empty() && bulkIn_.front().sendable(now) > 0;
}

LONGLONG Firmware::nextBulkEvent(LONGLONG now) const {
    if (bulkIn_.empty() || bulkIn_.front().availableAt <= now) return LLONG_MAX;
    return bulkIn_.front().availableAt;
}

USBD_STATUS Firmware::memoryCommand(LONGLONG now, std::uint8_t request, std::uint16_t value,
                                    const std::uint8_t* data, ULONG length) {
    const int memory = value >> 8;
    auto needs = [&](ULONG n) { return length == n; };
    switch (request) {
        case kReqDeleteObject:
        case kReqOpenObject:
        case kReqCloseObject:
            if (!needs(4)) return USBD_STATUS_STALL_PID;
            break;
        case kReqReadItem:
            if (!needs(8)) return USBD_STATUS_STALL_PID;
            break;
        case kReqPrepareStorage:
            if (!needs(2)) return USBD_STATUS_STALL_PID;
            break;
        case kReqPrepareEntry:
            if (!needs(6)) return USBD_STATUS_STALL_PID;
            break;
        default:
            break;
    }
    if (operation_.running) {
        lastResult_ = kMemoryBusy;
        return USBD_STATUS_SUCCESS;
    }
    Memory& m = store_.memory(memory);
    lastResult_ = kMemoryOk;
    switch (request) {
        case kReqPrepareTable:
            respond(now, request, m.objectTable());
            break;
        case kReqPrepareStorage: {
            std::size_t n = std::min<std::size_t>(be16(data), kMaxDescriptionRead);
            auto d = m.storageDescription();
            std::vector<std::uint8_t> out(n, 0);
            std::copy_n(d.begin(), std::min(n, d.size()), out.begin());
            respond(now, request, std::move(out));
            break;
        }
        case kReqPrepareEntry: {
            const StoredObject* o = m.find(be32(data));
            if (!o) {
                lastResult_ = kMemoryNoObject;
                bulkIn_.clear();
                break;
            }
            std::size_t n = std::min<std::size_t>(be16(data + 4), kMaxDescriptionRead);
            std::vector<std::uint8_t> out(n, 0);
            std::copy_n(o->directoryEntry.begin(), std::min(n, o->directoryEntry.size()),
                        out.begin());
            respond(now, request, std::move(out));
            break;
        }
        case kReqOpenObject: {
            std::uint32_t number = be32(data);
            open_ = OpenObject{};
            if (!m.find(number)) {
                lastResult_ = kMemoryNoObject;
                break;
            }
            open_.open = true;
            open_.memory = memory;
            open_.number = number;
            break;
        }
        case kReqCloseObject:
            if (!open_.open || open_.number != be32(data)) {
                lastResult_ = kMemoryNotOpen;
                break;
            }
            open_ = OpenObject{};
            break;
        case kReqReadItem: {
            // The object read is the open one, whatever memory the request
            // names; each item is read on from where the last read ended.
            std::uint32_t number = be32(data);
            std::size_t want = be32(data + 4);
            std::uint8_t item = static_cast<std::uint8_t>(value & 0xFF);
            bulkIn_.clear();
            if (!open_.open || open_.number != number) {
                lastResult_ = kMemoryNotOpen;
                break;
            }
            const StoredObject* o = store_.memory(open_.memory).find(number);
            if (!o) {
                lastResult_ = kMemoryNoObject;
                break;
            }
            // The kind decides which items exist; an item may exist and be
            // empty (a recording of no sound), which reads as zeros.
            bool known = item == kItemClipVideo || item == kItemSound || item == kItemThumbnail ||
                         item == kItemPicture;
            if (item != kItemFirstBlock && (!known || !o->item(item))) {
                lastResult_ = kMemoryNoItem;
                break;
            }
            std::span<const std::uint8_t> bytes = o->itemBytes(item);
            // A strict camera reads whole blocks of at most 64 KiB, and a
            // clip's sound only from a fresh opening.
            if (faults_->strictReads &&
                (want % kFirstBlockSize != 0 || want == 0 || want > 65536 ||
                 (item == kItemSound && open_.videoRead))) {
                lastResult_ = kMemoryBadLength;
                return USBD_STATUS_STALL_PID;
            }
            if (item == kItemClipVideo) open_.videoRead = true;
            if (want > kMaxItemRead) {
                lastResult_ = kMemoryBadLength;
                break;
            }
            std::size_t& pos = open_.positions[item];
            std::vector<std::uint8_t> out;
            if (pos < bytes.size()) {
                const auto from = bytes.begin() + static_cast<std::ptrdiff_t>(pos);
                out.assign(from, from + static_cast<std::ptrdiff_t>(std::min(want, bytes.size() - pos)));
            }
            out.resize(want, 0);  // past the end of the item: zero fill
            pos += want;
            respond(now, request, std::move(out));
            break;
        }
        case kReqDeleteObject: {
            std::uint32_t number = be32(data);
            if (!m.find(number)) {
                lastResult_ = kMemoryNoObject;
                break;
            }
            LONGLONG span =
                faults_->slowErase ? eraseWindow() + ms(2000) : ms(scenario_.timing.deleteMs);
            operation_ = MemoryOperation{true, now + span, memory, number};
            break;
        }
        case kReqEraseMemory: {
            LONGLONG span =
                faults_->slowErase ? eraseWindow() + ms(2000) : ms(scenario_.timing.eraseMs);
            operation_ = MemoryOperation{true, now + span, memory, 0};
            break;
        }
        default:
            break;
    }
    finishOperation(now);  // an operation of no duration is done at once
    return USBD_STATUS_SUCCESS;
}

void Firmware::bulkOut(LONGLONG now, const std::uint8_t* data, std::size_t length) {
    if (patchState_ != PatchState::Receiving) return;
    // The last transfer of a download is rounded up to whole packets; bytes
    // past the announced total are padding.
    std::size_t take = std::min(length, patchExpected_ - patch_.size());
    patch_.insert(patch_.end(), data, data + take);
    if (patch_.size() == patchExpected_) checkPatch(now);
}

void Firmware::checkPatch(LONGLONG now) {
    // The image announces its length at offsets 99-100; the checksum covers
    // offsets 6 to that length, and an image not marked "52" adds one.
    const std::size_t total = patch_.size();
    std::size_t imageLength = total >= 101 ? be16(&patch_[99]) : 0;
    if (imageLength < 101 || imageLength > total) {
        patchState_ = PatchState::Rejected;
        patchProblem_ = "image length " + std::to_string(imageLength) + " does not fit the " +
                        std::to_string(total) + " bytes sent";
        return;
    }
    std::uint8_t sum = 0xFF;
    for (std::size_t i = 6; i < imageLength; ++i) sum ^= patch_[i];
    if (!(patch_[2] == '5' && patch_[3] == '2')) sum = static_cast<std::uint8_t>(sum + 1);
    if (patchHeader_[8] != sum || patch_[5] != sum) {
        patchState_ = PatchState::Rejected;
        patchProblem_ = "checksum " + std::to_string(patchHeader_[8]) + " (header), " +
                        std::to_string(patch_[5]) + " (image), computed " + std::to_string(sum);
        return;
    }
    patchState_ = PatchState::Accepted;
    patchVersion_ = static_cast<std::uint16_t>((patchHeader_[4] << 8) | patchHeader_[5]);
    patched_ = true;
    queueInterrupt({1, 0, 1, 0, 0, 0, 0, 0}, now + ms(scenario_.timing.patchBootMs));
}

void Firmware::queueInterrupt(const InterruptMessage& message, LONGLONG at) {
    if (interrupts_.size() >= kMaxQueuedMessages) interrupts_.erase(interrupts_.begin());
    auto it = std::upper_bound(interrupts_.begin(), interrupts_.end(), at,
                               [](LONGLONG t, const auto& e) { return t < e.first; });
    interrupts_.insert(it, {at, message});
}

bool Firmware::interruptDue(LONGLONG now) const {
    return !interrupts_.empty() && interrupts_.front().first <= now;
}

bool Firmware::takeInterrupt(LONGLONG now, InterruptMessage* message) {
    if (!interruptDue(now)) return false;
    *message = interrupts_.front().second;
    interrupts_.erase(interrupts_.begin());
    return true;
}

LONGLONG Firmware::nextEvent() const {
    return interrupts_.empty() ? LLONG_MAX : interrupts_.front().first;
}

}  // namespace sim
