// A simulated camera's make-up: what its firmware reports, what its memories
// hold, how fast it is, and which faults it shows. Scenarios come from JSON
// files (loadScenario) or from defaultScenario(), and tests build them in code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/object_store.h"
#include "sim/video.h"

namespace sim {

// Durations are in milliseconds of the shared clock (kclock), so a test that
// runs the clock faster runs the camera faster too.
struct Timing {
    int bootDelayMs = 150;        // register 0 of space 0 reads 4 this long after power-on
    int sensorReadyDelayMs = 20;  // the sensor settles this long after boot or a power-mode change
    int deleteMs = 200;           // request 0x02 runs this long
    int eraseMs = 1000;           // request 0x87 runs this long
    int patchBootMs = 100;     // a downloaded patch reports "ready" this long after the last byte
    int reportDelayMs = 20;    // message 5 follows the write of register 2 of space 0
    int frameIntervalMs = 33;  // the sensor delivers at most one frame this often
    int controlLatencyFrames = 1;  // control transfers complete this many frames after submission
    bool throttled = true;         // false: control and bulk transfers complete as fast as taken
    // Once this many generated frames are complete, the sensor sends nothing
    // for videoPauseMs, then goes on (once; 0 ms: no pause).
    int videoPauseAfterFrames = 0;
    int videoPauseMs = 0;
};

// Malformations of the configuration descriptor, applied when it is read.
struct DescriptorFaults {
    bool noIsoEndpoint = false;        // settings 2-7 lack the isochronous endpoint
    bool zeroPacketSize = false;       // the isochronous endpoint reports wMaxPacketSize 0
    bool oversizedPacketSize = false;  // the isochronous endpoint reports 1500 bytes
    int missingAlternate = -1;         // this alternate setting is left out (-1: none)
    int totalLengthDelta = 0;          // wTotalLength lies by this much
};

// An in-request whose answers come back short: at most `length` bytes (0:
// empty). Request 6 is the standard GET_DESCRIPTOR; -1 matches every request.
struct ShortRead {
    int request = -1;
    int length = 0;
};

// A bulk-in answer that misbehaves: the nth answer (1 = the first) to the
// request (-1: any request) is cut short (ends after `bytes`), partial (stops
// after `bytes` and the rest never comes), late (comes whole `delayMs`
// after it was prepared) or longer (`bytes` more than the host asked).
struct BulkAnswerFault {
    enum class Kind { Short, Partial, Late, Longer };
    Kind kind = Kind::Short;
    int request = -1;
    int nth = 1;
    std::size_t bytes = 0;
    int delayMs = 0;
};

// A vendor request of the default pipe that the camera refuses with a stall
// for its next `count` occurrences, as firmware that rejects a command does;
// the firmware does not act on a refused request. `request` is bRequest;
// `value` and `index` narrow the match (-1: any). Standard requests are never
// matched.
struct FailedRequest {
    int request = 0;
    int value = -1;
    int index = -1;
    int count = 1;
};

// Fault switches. Counts of the form "next N" run down as they are used;
// "every N" patterns repeat (0 switches them off).
struct Faults {
    std::vector<std::uint8_t> stalledEndpoints;  // halted from the start until clearHalt
    int isoEmptyEvery = 0;        // every Nth isochronous packet is empty (data held back)
    int isoDropEvery = 0;         // every Nth isochronous packet is lost (error status, data lost)
    int isoBadChecksumEvery = 0;  // every Nth video packet carries a wrong checksum
    int isoFailedPackets = 0;     // the next N isochronous packets fail
    int failedTransfers = 0;      // the next N data transfers fail as a whole
    int failedTransfersEndpoint = 0;  // ... only on this endpoint (0: any)
    bool bulkInNeverArrives = false;  // prepared bulk-in answers are never sent
    bool longerAnswers = false;       // bulk-in answers carry 64 bytes more than asked
    bool edMarker = false;            // bulk-in answers carry 0xED 0x15 at offsets 0 and 62
    bool slowErase = false;  // delete and erase outlast the time the information block announces
    bool neverBoot = false;  // register 0 of space 0 never reaches 4
    bool sensorNeverReady = false;       // bit 0x20 of register 2 of space 2 never comes
    std::vector<int> refusedAlternates;  // refused with USBD_STATUS_NO_BANDWIDTH
    int removeDuringTransfer = 0;        // the Nth data transfer is cut by a surprise removal
    bool noReturnAfterCycle = false;     // the camera does not come back from a port cycle
    std::vector<ShortRead> shortControlReads;
    std::vector<FailedRequest> failedRequests;  // entries whose count ran out stay, at 0
    DescriptorFaults descriptor;
    std::vector<BulkAnswerFault> bulkAnswers;
    // The camera refuses (stalls) item reads that are not whole 512-byte
    // blocks, pieces over 64 KiB, and a clip's sound read after its video
    // without the object being closed and opened again.
    bool strictReads = false;
};

// A register's value at power-on, before the host writes anything (so that
// a read-modify-write shows what it kept). Registers whose reads the
// firmware computes (boot state, sensor status, firmware text) still read as
// computed.
struct PowerOnRegister {
    int space = 0;  // 0-4
    int reg = 0;    // 0-255
    std::uint8_t value = 0;
};

// One object placed in a memory.
struct PlacedObject {
    int memory = 0;
    ObjectSpec recipe;
};

struct Scenario {
    std::string name = "default";
    int sensorType = 16;                   // register 6 of space 2
    int sensorRevision = 1;                // low four bits of register 7 of space 2
    std::uint8_t chipRelease[2] = {1, 4};  // information block bytes 0-1
    std::uint16_t firmwareLevel = 0x0103;  // information block bytes 2-3
    int interfaceNumber = 0;               // the camera interface (0-3)
    int precedingInterfaces = 0;           // other interfaces listed before it (numbered from 4)
    std::uint16_t eraseTime = 48;          // information block bytes 12-13
    std::uint16_t infoWords[2] = {0x0004, 0x00FF};  // information block bytes 16-19
    std::string firmwareText = "PAV512 FW 1.03";    // read from register 0x0F of space 2
    std::string versionText = "V1.03";              // data block 0x100 (7 bytes)
    bool defaultContent = true;                     // start from ObjectStore::defaultContent()
    std::vector<PlacedObject> objects;              // added after the default content, if any
    std::vector<std::pair<int, std::uint64_t>> memoryCapacities;  // (memory, bytes)
    int currentMemory = 0;
    int maxAlternate = 7;  // highest alternate setting the bus bandwidth grants
    // The largest picture the sensor takes; a sensor table that programs a
    // larger one is refused (stalled, not acted on). 0: what the sensor type
    // allows (352 x 288 for types 1, 2 and 4, else 640 x 480).
    int sensorMaxWidth = 0;
    int sensorMaxHeight = 0;
    // Video flows only once register 0x21 of space 3 has the transfer mode of
    // the pipe set (bits 6 for bulk at setting 1, bits 5 for isochronous).
    bool honoursTransferMode = false;
    // Frames of chosen shapes, sent once the sensor first runs, before the
    // generated frames.
    std::vector<ScriptedFrame> videoScript;
    std::vector<PowerOnRegister> powerOnRegisters;  // applied in order over the chip's own
    Timing timing;
    Faults faults;
};

// The camera a new user meets: a VGA sensor, booted firmware above 0x0100, a
// few pictures, a sound recording and two clips in memory 0.
Scenario defaultScenario();
// Reads a scenario file. On failure returns the default scenario and sets
// *error to a message that names the field, e.g.
// "objects[2].kind: must be one of 1, 2, 3, 8, 12".
Scenario loadScenario(const std::string& path, std::string* error);
// The same from JSON text; `origin` names the source in messages.
Scenario parseScenario(const std::string& text, std::string* error,
                       const std::string& origin = "scenario");
// The instance path under which a bus plugs the camera of a scenario.
std::string instancePathFor(const Scenario& scenario);

}  // namespace sim
