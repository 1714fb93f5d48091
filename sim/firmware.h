// The camera's firmware: register spaces, the information block, booting and
// the sensor, register tables, patch download, data blocks, interrupt
// messages and the memory commands over the stored objects. It answers the
// vendor requests of the default pipe and feeds the bulk-in pipe; the bus
// timing around it lives in SimCamera. Not locked: its owner serialises it.
#pragma once

#include <algorithm>
#include <array>
#include <climits>
#include <cstdint>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/usb/usb.h"
#include "sim/object_store.h"
#include "sim/scenario.h"

namespace sim {

constexpr int kRegisterSpaces = 5;  // system, sensor, video processor, ASIC, internal data
constexpr std::size_t kInformationBlockSize = 22;
constexpr std::size_t kPatchHeaderSize = 10;
constexpr std::size_t kMaxPatchLength = 102400;
constexpr std::size_t kMaxItemRead = 32u << 20;  // one request 0x05 never asks more
constexpr std::uint8_t kBootedState = 4;
constexpr std::uint8_t kSensorReadyBit = 0x20;
constexpr std::uint8_t kPowerVideo = 0xCD;
constexpr std::uint8_t kPowerIdle = 0x0D;
// What the host wrote is logged for tests; a camera that runs for days keeps
// only the latest entries, and the logs of tables and data blocks (up to 64
// KiB each) only the latest megabyte.
constexpr std::size_t kMaxLogged = 4096;
constexpr std::size_t kMaxLoggedBytes = 1u << 20;
// The data block area holds this much; a write that would overfill it is
// refused (a stall), as the camera's memory for them is fixed.
constexpr std::size_t kMaxDataBlockBytes = 4u << 20;

// Requests of the camera command set.
enum Request : std::uint8_t {
    kReqWriteRegisters = 0x01,
    kReqDeleteObject = 0x02,
    kReqOpenObject = 0x03,
    kReqReadItem = 0x05,
    kReqPatchHeader = 0x06,
    kReqPrepareStorage = 0x08,
    kReqCloseObject = 0x09,
    kReqPrepareEntry = 0x0A,
    kReqWriteBlock = 0x0B,
    kReqCurrentMemory = 0x80,
    kReqReadRegisters = 0x81,
    kReqStorageFigure = 0x82,
    kReqObjectCount = 0x83,
    kReqInformation = 0x84,
    kReqPrepareTable = 0x85,
    kReqMemoryResult = 0x86,
    kReqEraseMemory = 0x87,
    kReqReadBlock = 0x8B,
};

// Byte 0 of the answer to request 0x86.
enum MemoryResult : std::uint8_t {
    kMemoryOk = 0,
    kMemoryNoObject = 1,
    kMemoryNotOpen = 2,
    kMemoryNoItem = 3,
    kMemoryBadLength = 4,
    kMemoryBusy = 5,
};

struct RegisterWrite {
    std::uint8_t space = 0;
    std::uint8_t reg = 0;
    std::uint8_t value = 0;
    bool operator==(const RegisterWrite&) const = default;
};

struct RegisterTable {
    std::uint8_t space = 0;
    std::vector<std::pair<std::uint8_t, std::uint8_t>>
        pairs;  // (register, value) in the order sent
};

struct DataBlockWrite {
    std::uint16_t item = 0;
    std::vector<std::uint8_t> data;
};

using InterruptMessage = std::array<std::uint8_t, 8>;

enum class PatchState { None, Receiving, Accepted, Rejected };

// A bulk-in answer on its way to the host.
struct BulkChunk {
    std::vector<std::uint8_t> data;
    std::size_t position = 0;
    std::size_t holdAt = SIZE_MAX;  // bytes from here on never come
    LONGLONG availableAt = 0;       // nothing of it comes before this time
    // The bytes that may go out now.
    std::size_t sendable(LONGLONG now) const {
        if (now < availableAt) return 0;
        std::size_t end = std::min(holdAt, data.size());
        return position < end ? end - position : 0;
    }
};

class Firmware {
  public:
    Firmware(const Scenario& scenario, const Faults* faults, ObjectStore store);

    // Power-on reset: registers back to their start values, boot starts; a
    // patch accepted before runs from now on (its version is the level).
    void powerOn(LONGLONG now);

    // A vendor request of the default pipe. In requests fill up to `length`
    // bytes of `data`; out requests take `length` bytes from it. Returns
    // USBD_STATUS_SUCCESS with *moved set, or USBD_STATUS_STALL_PID for a
    // request the camera refuses.
    USBD_STATUS vendorRequest(LONGLONG now, bool in, std::uint8_t request, std::uint16_t value,
                              std::uint8_t* data, ULONG length, ULONG* moved);
    // Bytes received on the bulk-out endpoint.
    void bulkOut(LONGLONG now, const std::uint8_t* data, std::size_t length);
    // Answers prepared for the bulk-in endpoint, oldest first.
    std::deque<BulkChunk>& bulkIn() { return bulkIn_; }
    // Whether bytes of a prepared answer may go out now, and when the next
    // late one may (LLONG_MAX: none waits).
    bool bulkInReady(LONGLONG now) const;
    LONGLONG nextBulkEvent(LONGLONG now) const;

    // Interrupt messages: due ones are taken in order.
    bool interruptDue(LONGLONG now) const;
    bool takeInterrupt(LONGLONG now, InterruptMessage* message);
    void queueInterrupt(const InterruptMessage& message, LONGLONG at);
    // The earliest moment a queued message falls due (LLONG_MAX: none).
    LONGLONG nextEvent() const;

    // Video: the sensor runs while the power mode is "video running" and the
    // sensor tables programmed a size; false otherwise.
    bool videoSize(LONGLONG now, int* width, int* height) const;
    // The size the sensor tables programmed, whether or not video runs.
    bool programmedSize(int* width, int* height) const;

    std::uint16_t firmwareLevel() const { return level_; }
    std::array<std::uint8_t, kInformationBlockSize> informationBlock() const;
    bool booted(LONGLONG now) const;
    bool sensorReady(LONGLONG now) const;
    // The largest picture the sensor takes.
    int sensorMaxWidth() const;
    int sensorMaxHeight() const;

    // What the host did, for tests.
    std::uint8_t registerValue(int space, int reg) const;
    // The most recent kMaxLogged entries of each (tables and data blocks:
    // within kMaxLoggedBytes too), oldest first.
    std::vector<RegisterWrite> registerWrites() const { return {writes_.begin(), writes_.end()}; }
    std::vector<RegisterTable> tables() const { return {tables_.begin(), tables_.end()}; }
    std::vector<DataBlockWrite> dataBlocks() const {
        return {blockWrites_.begin(), blockWrites_.end()};
    }
    const std::array<std::uint8_t, kPatchHeaderSize>& patchHeader() const { return patchHeader_; }
    const std::vector<std::uint8_t>& patchBytes() const { return patch_; }
    PatchState patchState() const { return patchState_; }
    const std::string& patchProblem() const { return patchProblem_; }
    ObjectStore& store() { return store_; }

  private:
    struct MemoryOperation {
        bool running = false;
        LONGLONG doneAt = 0;
        int memory = 0;
        std::uint32_t object = 0;  // 0: the whole memory
    };
    struct OpenObject {
        bool open = false;
        int memory = 0;
        std::uint32_t number = 0;
        std::map<std::uint8_t, std::size_t> positions;  // sequential read position per item
        bool videoRead = false;  // item 1 was read since the object was opened
    };

    USBD_STATUS readRegisters(LONGLONG now, std::uint16_t value, std::uint8_t* data, ULONG length,
                              ULONG* moved);
    USBD_STATUS writeRegisters(LONGLONG now, std::uint16_t value, const std::uint8_t* data,
                               ULONG length);
    void writeRegister(LONGLONG now, int space, int reg, std::uint8_t v);
    USBD_STATUS memoryCommand(LONGLONG now, std::uint8_t request, std::uint16_t value,
                              const std::uint8_t* data, ULONG length);
    void finishOperation(LONGLONG now);
    void respond(LONGLONG now, std::uint8_t request, std::vector<std::uint8_t> answer);
    void checkPatch(LONGLONG now);
    LONGLONG ms(int milliseconds) const { return static_cast<LONGLONG>(milliseconds) * 10000; }
    LONGLONG eraseWindow() const;

    const Scenario scenario_;
    const Faults* faults_;
    ObjectStore store_;
    std::uint16_t level_ = 0;
    std::uint8_t regs_[kRegisterSpaces][256] = {};
    LONGLONG poweredAt_ = 0;
    LONGLONG powerModeAt_ = 0;
    std::size_t textPosition_ = 0;
    std::map<std::uint16_t, std::vector<std::uint8_t>> blocks_;
    std::deque<RegisterWrite> writes_;
    std::deque<RegisterTable> tables_;
    std::deque<DataBlockWrite> blockWrites_;
    std::size_t blockBytes_ = 0;     // held in blocks_
    std::size_t tableLogBytes_ = 0;  // logged in tables_ (two per pair)
    std::size_t blockLogBytes_ = 0;  // logged in blockWrites_
    std::deque<BulkChunk> bulkIn_;
    std::vector<std::pair<LONGLONG, InterruptMessage>> interrupts_;  // by due time
    MemoryOperation operation_;
    std::map<std::size_t, int> answersSeen_;  // per bulk answer fault
    OpenObject open_;
    std::uint8_t lastResult_ = kMemoryOk;
    std::array<std::uint8_t, kPatchHeaderSize> patchHeader_{};
    std::vector<std::uint8_t> patch_;
    std::size_t patchExpected_ = 0;
    PatchState patchState_ = PatchState::None;
    std::string patchProblem_;
    std::uint16_t patchVersion_ = 0;
    bool patched_ = false;
};

}  // namespace sim
