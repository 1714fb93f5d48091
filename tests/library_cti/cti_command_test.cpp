// Commands over the real driver and a simulated camera: the transaction the
// library builds from a list, results written back into the caller's blocks,
// the data phases, tasks completed by query, wait and abort, the five-second
// limit of a synchronous command, and the argument checks that keep a bad
// list from reaching the driver.
#include <cstring>
#include <string>
#include <vector>

#include "pav512/buffers.h"
#include "sim/object_store.h"
#include "sim/sim_camera.h"
#include "tests/library_cti/cti_fixture.h"

namespace pavtest {
namespace {

using namespace pav512;
using Bytes = std::vector<std::uint8_t>;

class CtiCommands : public LibraryLoaded {
  protected:
    // One camera plugged in, a shared session on it, the requests noted.
    void start(const std::string& name) {
        cameras_ = std::make_unique<SimulatedCameras>();
        ASSERT_TRUE(cameras_->plug(name));
        camera_ = cameras_->camera(name);
        refreshNow();
        recorder_ = recordInProcess();
        ASSERT_EQ(CtiHandleOpen(CTI_MODE_SHARED, 0, nullptr, &h_), CTISTATUS_SUCCESS);
    }
    void TearDown() override {
        if (h_) {
            EXPECT_EQ(CtiHandleClose(h_), CTISTATUS_SUCCESS);
        }
        cameras_.reset();
        LibraryLoaded::TearDown();
    }
    Bytes objectTable() {
        Bytes table;
        camera_->withStore([&](sim::ObjectStore& s) { table = s.memory(0).objectTable(); });
        return table;
    }
    Bytes lastTransaction() {
        auto seen = recorder_->seen(IOCTL_CTI_TRANSACTION);
        return seen.empty() ? Bytes() : seen.back().input;
    }

    std::unique_ptr<SimulatedCameras> cameras_;
    sim::SimCamera* camera_ = nullptr;
    std::shared_ptr<RecordingTransport> recorder_;
    CtiHandle* h_ = nullptr;
};

CtiCommandBlock block(std::uint8_t request, std::uint8_t space, std::uint8_t reg, void* data,
                      std::uint32_t length, CtiCommandBlock* next = nullptr) {
    CtiCommandBlock c{};
    c.request = request;
    c.valueHigh = reg;
    c.valueLow = space;
    c.data = data;
    c.dataLength = length;
    c.returnedLength = 0xDEAD;
    c.status = 0xDEAD;
    c.next = next;
    return c;
}

TEST_F(CtiCommands, AListBecomesOneTransactionAndItsResultsComeBack) {
    start("list");
    std::uint8_t written[3] = {0x11, 0x22, 0x33};
    std::uint8_t read[3] = {};
    CtiCommandBlock second = block(0x81, 3, 0x40, read, 3);
    CtiCommandBlock first = block(0x01, 3, 0x40, written, 3, &second);
    ASSERT_EQ(CtiCommand(h_, &first, nullptr), CTISTATUS_SUCCESS);
    EXPECT_EQ(first.status, CTISTATUS_SUCCESS);
    EXPECT_EQ(first.returnedLength, 3u);
    EXPECT_EQ(second.status, CTISTATUS_SUCCESS);
    EXPECT_EQ(second.returnedLength, 3u);
    EXPECT_EQ(Bytes(read, read + 3), Bytes({0x11, 0x22, 0x33}));
    EXPECT_EQ(camera_->registerValue(3, 0x41), 0x22);

    // Header, two control blocks with their data, no data phase, then the
    // terminating zero and 20 spare bytes.
    Bytes t = lastTransaction();
    ASSERT_EQ(t.size(), 20u + (3 + 24) + (3 + 24) + 24);
    EXPECT_EQ(t[0], kModuleStatusUnanswered);
    EXPECT_EQ(u32At(t, 8), GetCurrentThreadId());
    const std::uint32_t task = u32At(t, 12);
    EXPECT_GT(task, 0x0ED15000u);
    EXPECT_EQ(u32At(t, 20), 27u);    // length
    EXPECT_NE(u32At(t, 24), 0u);     // control
    EXPECT_EQ(u32At(t, 32), 3u);     // data length
    EXPECT_EQ(t[36], 0xFF);          // block status preset
    EXPECT_EQ(t[37], 0x01);
    EXPECT_EQ(t[38], 0x40);
    EXPECT_EQ(t[39], 3);
    EXPECT_EQ(t[40], 0);  // no index
    EXPECT_EQ(Bytes(t.begin() + 44, t.begin() + 47), Bytes({0x11, 0x22, 0x33}));
    EXPECT_EQ(u32At(t, 47), 27u);
    EXPECT_EQ(t[47 + 17], 0x81);
    EXPECT_EQ(u32At(t, 74), 0u);  // the end of the list
    // Every command has a task id of its own.
    ASSERT_EQ(CtiCommand(h_, &first, nullptr), CTISTATUS_SUCCESS);
    EXPECT_EQ(u32At(lastTransaction(), 12), task + 1);
}

TEST_F(CtiCommands, AFailingCommandEndsTheListAndTheRestIsNotAttempted) {
    start("failing");
    std::uint8_t one = 0x11, room[4] = {}, two = 0x22;
    CtiCommandBlock third = block(0x01, 3, 0x41, &two, 1);
    CtiCommandBlock second = block(0x81, 7, 0x00, room, 4, &third);  // no space 7: stalled
    CtiCommandBlock first = block(0x01, 3, 0x40, &one, 1, &second);
    EXPECT_EQ(CtiCommand(h_, &first, nullptr), CTISTATUS_COMMAND_FAILED);
    EXPECT_EQ(first.status, CTISTATUS_SUCCESS);
    EXPECT_EQ(first.returnedLength, 1u);
    EXPECT_EQ(second.status, CTISTATUS_COMMAND_FAILED);
    EXPECT_EQ(second.returnedLength, 0u);
    EXPECT_EQ(third.status, CTISTATUS_COMMAND_NOT_ATTEMPTED);
    EXPECT_NE(camera_->registerValue(3, 0x41), 0x22);
}

TEST_F(CtiCommands, ACommandWithADataReadGetsTheObjectTable) {
    start("table");
    Bytes table = objectTable();
    ASSERT_GT(table.size(), 0u);
    Bytes buffer(table.size() + 16, 0xCC);
    std::uint32_t got = 0;
    CtiCommandBlock list = block(0x85, 0, 0, nullptr, 0);
    ASSERT_EQ(CtiCommandWithDataRead(h_, &list, buffer.data(), static_cast<std::uint32_t>(table.size()),
                                     &got, nullptr),
              CTISTATUS_SUCCESS);
    EXPECT_EQ(list.status, CTISTATUS_SUCCESS);
    EXPECT_EQ(got, table.size());
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + got), table);
    EXPECT_EQ(buffer[got], 0xCC) << "nothing past the length is written";
    // The bulk block reads (direction 0) and carries no data of the caller's.
    Bytes t = lastTransaction();
    ASSERT_EQ(t.size(), 20u + 24 + (table.size() + 24) + 24);
    EXPECT_EQ(u32At(t, 44 + 4), 0u);  // bulk
    EXPECT_EQ(u32At(t, 44 + 8), 0u);  // from the camera
    EXPECT_EQ(u32At(t, 44 + 12), table.size());
}

TEST_F(CtiCommands, ADataWriteCarriesTheCallersBytes) {
    start("write");
    Bytes out = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint32_t sent = 0;
    // The camera takes bulk-out data after a request that expects it; without
    // one it takes nothing, so only the request is checked here.
    CtiTask* task = nullptr;
    ASSERT_EQ(CtiDataWrite(h_, out.data(), 8, &sent, &task), CTISTATUS_SUCCESS);
    Bytes t = lastTransaction();
    ASSERT_EQ(t.size(), 20u + (8 + 24) + 24);
    EXPECT_EQ(u32At(t, 24), 0u);  // bulk
    EXPECT_EQ(u32At(t, 28), 1u);  // to the camera
    EXPECT_EQ(Bytes(t.begin() + 44, t.begin() + 52), out);
    CTISTATUS st = CtiTaskWaitComplete(&task, 0);
    if (st == CTISTATUS_TASK_PENDING) st = CtiTaskAbort(&task);
    EXPECT_TRUE(st == CTISTATUS_SUCCESS || st == CTISTATUS_TASK_ABORTED) << st;
    EXPECT_EQ(task, nullptr);
}

TEST_F(CtiCommands, IndexedCommandsSendTheLowByteAndTheIndexAndGetTheirResults) {
    start("indexed");
    std::uint8_t value = 0x6B, read = 0;
    CtiIndexedCommandBlock second{};
    second.request = 0x181;  // the low byte is sent
    second.valueHigh = 0x42;
    second.valueLow = 3;
    second.indexHigh = 0x12;
    second.indexLow = 0x34;
    second.data = &read;
    second.dataLength = 1;
    CtiIndexedCommandBlock first{};
    first.request = 0x01;
    first.valueHigh = 0x42;
    first.valueLow = 3;
    first.data = &value;
    first.dataLength = 1;
    first.next = &second;
    ASSERT_EQ(CtiCommandWithIndex(h_, &first, nullptr), CTISTATUS_SUCCESS);
    EXPECT_EQ(read, 0x6B);
    EXPECT_EQ(second.returnedLength, 1u);
    EXPECT_EQ(second.status, CTISTATUS_SUCCESS);
    Bytes t = lastTransaction();
    ASSERT_EQ(t.size(), 20u + 25 + 25 + 24);
    EXPECT_EQ(t[45 + 17], 0x81);
    EXPECT_EQ(t[45 + 20], 0x12);
    EXPECT_EQ(t[45 + 21], 0x34);

    // A task writes the results back as well.
    read = 0;
    second.status = 0xDEAD;
    CtiTask* task = nullptr;
    ASSERT_EQ(CtiCommandWithIndex(h_, &first, &task), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiTaskWaitComplete(&task, CTI_WAIT_FOREVER), CTISTATUS_SUCCESS);
    EXPECT_EQ(read, 0x6B);
    EXPECT_EQ(second.status, CTISTATUS_SUCCESS);
}

TEST_F(CtiCommands, TasksCompleteByQueryWaitOrAbortAndAreThenGone) {
    start("tasks");
    // A read the camera was never told to answer stays pending.
    std::uint8_t data[64];
    std::uint32_t got = 0xDEAD;
    CtiTask* task = nullptr;
    ASSERT_EQ(CtiDataRead(h_, data, sizeof data, &got, &task), CTISTATUS_SUCCESS);
    ASSERT_NE(task, nullptr);
    EXPECT_EQ(CtiTaskQueryComplete(&task), CTISTATUS_TASK_PENDING);
    EXPECT_EQ(CtiTaskWaitComplete(&task, 20), CTISTATUS_TASK_PENDING);
    ASSERT_NE(task, nullptr);
    CtiTask* copy = task;
    EXPECT_EQ(CtiTaskAbort(&task), CTISTATUS_TASK_ABORTED);
    EXPECT_EQ(task, nullptr);
    EXPECT_EQ(got, 0u);
    auto aborts = recorder_->seen(IOCTL_CTI_ABORT_TASK);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(u32At(aborts[0].input, 16), u32At(lastTransaction(), 12));
    // A completed task is no task: neither the null pointer nor a stale copy.
    EXPECT_EQ(CtiTaskQueryComplete(&task), CTISTATUS_TASK_INVALID);
    EXPECT_EQ(CtiTaskQueryComplete(&copy), CTISTATUS_TASK_INVALID);
    EXPECT_EQ(CtiTaskWaitComplete(&copy, 0), CTISTATUS_TASK_INVALID);
    EXPECT_EQ(CtiTaskAbort(&copy), CTISTATUS_TASK_INVALID);
    EXPECT_EQ(CtiTaskQueryComplete(nullptr), CTISTATUS_TASK_INVALID);

    // A command the camera answers: the task's result, by query.
    auto info = camera_->informationBlock();
    Bytes block22(info.size());
    CtiCommandBlock c = block(0x84, 0, 0, block22.data(), static_cast<std::uint32_t>(info.size()));
    ASSERT_EQ(CtiCommand(h_, &c, &task), CTISTATUS_SUCCESS);
    CTISTATUS st = CTISTATUS_TASK_PENDING;
    EXPECT_TRUE(waitFor([&] { return (st = CtiTaskQueryComplete(&task)) != CTISTATUS_TASK_PENDING; }));
    EXPECT_EQ(st, CTISTATUS_SUCCESS);
    EXPECT_EQ(task, nullptr);
    EXPECT_EQ(block22, Bytes(info.begin(), info.end()));

    // Resetting the transport aborts every task of the session.
    CtiTask* a = nullptr;
    CtiTask* b = nullptr;
    std::uint8_t more[8];
    ASSERT_EQ(CtiDataRead(h_, data, sizeof data, &got, &a), CTISTATUS_SUCCESS);
    ASSERT_EQ(CtiDataRead(h_, more, sizeof more, &got, &b), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiResetTransport(h_), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiTaskWaitComplete(&a, CTI_WAIT_FOREVER), CTISTATUS_TASK_ABORTED);
    EXPECT_EQ(CtiTaskWaitComplete(&b, CTI_WAIT_FOREVER), CTISTATUS_TASK_ABORTED);
    // The handle serves on.
    ASSERT_EQ(CtiCommand(h_, &c, nullptr), CTISTATUS_SUCCESS);
}

TEST_F(CtiCommands, ClosingTheSessionTakesItsUnfinishedTasksWithIt) {
    start("close-tasks");
    std::uint8_t data[32];
    std::uint32_t got = 0;
    CtiTask* task = nullptr;
    ASSERT_EQ(CtiDataRead(h_, data, sizeof data, &got, &task), CTISTATUS_SUCCESS);
    ASSERT_EQ(CtiHandleClose(h_), CTISTATUS_SUCCESS);
    h_ = nullptr;
    EXPECT_EQ(CtiTaskQueryComplete(&task), CTISTATUS_TASK_INVALID);
}

TEST_F(CtiCommands, BadListsAndDataPhasesNeverReachTheDriver) {
    start("checks");
    std::uint8_t b[8] = {};
    std::uint32_t got = 0;
    CtiCommandBlock noData = block(0x01, 3, 0x40, nullptr, 1);
    EXPECT_EQ(CtiCommand(h_, &noData, nullptr), CTISTATUS_NULL_POINTER);
    CtiCommandBlock ok = block(0x01, 3, 0x40, b, 1);
    CtiCommandBlock chained = block(0x01, 3, 0x40, b, 1, &noData);
    EXPECT_EQ(CtiCommand(h_, &chained, nullptr), CTISTATUS_NULL_POINTER);
    std::vector<std::uint8_t> huge(0x10000);
    CtiCommandBlock tooLong = block(0x01, 3, 0x40, huge.data(), 0x10000);
    EXPECT_EQ(CtiCommand(h_, &tooLong, nullptr), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiCommandWithDataRead(h_, &ok, nullptr, 8, &got, nullptr), CTISTATUS_NULL_POINTER);
    EXPECT_EQ(CtiCommandWithDataRead(h_, &ok, b, 8, nullptr, nullptr), CTISTATUS_NULL_POINTER);
    EXPECT_EQ(CtiCommandWithDataWrite(h_, &ok, b, 0, nullptr, nullptr), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiCommandWithDataWrite(h_, &ok, nullptr, 0, &got, nullptr), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiDataRead(h_, nullptr, 4, &got, nullptr), CTISTATUS_NULL_POINTER);
    CtiIndexedCommandBlock indexed{};
    indexed.request = 0x01;
    indexed.dataLength = 2;
    EXPECT_EQ(CtiCommandWithIndex(h_, &indexed, nullptr), CTISTATUS_NULL_POINTER);
    EXPECT_EQ(recorder_->count(IOCTL_CTI_TRANSACTION), 0u);
    // An empty list is a transaction that ends at once.
    EXPECT_EQ(CtiCommand(h_, nullptr, nullptr), CTISTATUS_SUCCESS);
    EXPECT_EQ(lastTransaction().size(), 44u);
}

// The camera never answers a synchronous read: after five seconds of the
// (scaled) clock the library aborts it, and says so as a camera error.
TEST_F(CtiCommands, ASynchronousCommandNotAnsweredInFiveSecondsIsAbortedAsACameraError) {
    ClockScale fast(20);
    start("unanswered");
    std::uint8_t data[64];
    std::uint32_t got = 0xDEAD;
    CtiCommandBlock c = block(0x01, 3, 0x40, data, 1);
    DWORD start = GetTickCount();
    EXPECT_EQ(CtiCommandWithDataRead(h_, &c, data, sizeof data, &got, nullptr),
              CTISTATUS_CAMERA_ERROR);
    EXPECT_GE(GetTickCount() - start, 5000u);
    auto aborts = recorder_->seen(IOCTL_CTI_ABORT_TASK);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(u32At(aborts[0].input, 16), u32At(lastTransaction(), 12));
    // The command before the read ran; the read moved nothing.
    EXPECT_EQ(c.status, CTISTATUS_SUCCESS);
    EXPECT_EQ(got, 0u);
    // The session is still good for the next command.
    EXPECT_EQ(CtiCommand(h_, &c, nullptr), CTISTATUS_SUCCESS);
}

}  // namespace
}  // namespace pavtest
