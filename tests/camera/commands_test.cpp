// The camera object as the other modules use it: its command set against
// the simulated camera's registers and memories, the acquire count, mode
// selection with its fall-back and transfer-mode register, and bulk
// transfers with answers that are too long, marked or missing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

class Commands : public ::testing::Test {
  protected:
    void SetUp() override { camtest::UpperModules::reset(); }
};

std::vector<sim::RegisterWrite> writesTo(const sim::SimCamera& camera, int space, int reg) {
    std::vector<sim::RegisterWrite> out;
    for (const auto& w : camera.registerWrites())
        if (w.space == space && w.reg == reg) out.push_back(w);
    return out;
}

TEST_F(Commands, RegistersAreReadWrittenAndModifiedInPlace) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    const UCHAR values[3] = {0x10, 0x20, 0x30};
    ASSERT_EQ(Camera_WriteRegisters(d, CAMERAACCESS_ASIC, 0x60, values, 3), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().registerValue(3, 0x62), 0x30);
    UCHAR back[3] = {};
    ASSERT_EQ(Camera_ReadRegisters(d, CAMERAACCESS_ASIC, 0x60, back, 3), STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(back, back + 3, values));

    // Mask 0x0F then OR 0x80: 0x30 -> 0x80; a zero mask and value change nothing.
    ASSERT_EQ(Camera_ReadModifyWrite(d, CAMERAACCESS_ASIC, 0x62, 0x0F, 0x80), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().registerValue(3, 0x62), 0x80);
    ASSERT_EQ(Camera_ReadModifyWrite(d, CAMERAACCESS_ASIC, 0x61, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().registerValue(3, 0x61), 0x20);
    ASSERT_EQ(Camera_ReadModifyWrite(d, CAMERAACCESS_ASIC, 0x61, 0, 0x01), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().registerValue(3, 0x61), 0x21);

    const UCHAR table[4] = {0x70, 0xAA, 0x72, 0xBB};
    ASSERT_EQ(Camera_WriteTable(d, CAMERAACCESS_ASIC, table, 2), STATUS_SUCCESS);
    ASSERT_FALSE(h.camera().tables().empty());
    EXPECT_EQ(h.camera().tables().back().pairs,
              (std::vector<std::pair<std::uint8_t, std::uint8_t>>{{0x70, 0xAA}, {0x72, 0xBB}}));

    // A register space the chip lacks is refused with the camera's USB status.
    UCHAR none = 0x55;
    EXPECT_FALSE(NT_SUCCESS(Camera_ReadRegister(d, 7, 0, &none)));
}

TEST_F(Commands, ShortAnswersAreRefusedAndHandBackNoStaleBytes) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    h.camera().changeFaults([](sim::Faults& f) {
        f.shortControlReads = {{0x81, 1}, {0x84, 10}, {0x83, 0}};
    });
    UCHAR regs[2] = {0xEE, 0xEE};
    EXPECT_EQ(Camera_ReadRegisters(d, CAMERAACCESS_VP, 6, regs, 2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(regs[1], 0) << "what the camera did not send reads as zero";
    UCHAR info[kInformationBlockLength];
    std::fill(std::begin(info), std::end(info), 0xEE);
    EXPECT_EQ(Camera_ReadInformation(d, info), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(std::all_of(info + 10, std::end(info), [](UCHAR b) { return b == 0; }));
    ULONG count = 7;
    EXPECT_EQ(Camera_ObjectCount(d, 0, &count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count, 0u);
}

TEST_F(Commands, MemoryCommandsAnswerWhatTheMemoriesHold) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    std::size_t objects = 0;
    std::uint32_t freeBytes = 0, freePictures = 0, first = 0;
    int current = 0;
    h.camera().withStore([&](sim::ObjectStore& s) {
        objects = s.memory(0).objects().size();
        freeBytes = s.memory(0).freeBytes();
        freePictures = s.memory(0).freePictures();
        first = s.memory(0).objects().at(0).number;
        current = s.currentMemory();
    });
    UCHAR memory = 0xFF;
    ASSERT_EQ(Camera_CurrentMemory(d, &memory), STATUS_SUCCESS);
    EXPECT_EQ(memory, current);
    ULONG value = 0;
    ASSERT_EQ(Camera_ObjectCount(d, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, objects);
    ASSERT_EQ(Camera_StorageFigure(d, 0, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, freeBytes);
    ASSERT_EQ(Camera_StorageFigure(d, 0, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, freePictures);

    CameraMemoryResult result;
    ASSERT_EQ(Camera_OpenObject(d, 0, first, &result), STATUS_SUCCESS);
    EXPECT_TRUE(result.valid);
    EXPECT_EQ(result.result, 0);
    ASSERT_EQ(Camera_OpenObject(d, 0, 0xFFFFFF, &result), STATUS_SUCCESS);
    EXPECT_EQ(result.result, 1) << "no such object";
    ASSERT_EQ(Camera_OpenObject(d, 0, first, &result), STATUS_SUCCESS);
    ASSERT_EQ(Camera_CloseObject(d, 0, first, &result), STATUS_SUCCESS);
    ASSERT_EQ(Camera_MemoryResult(d, 0, &result), STATUS_SUCCESS);
    EXPECT_EQ(result.result, 0);

    // Deleting runs a while in the camera: 0x86 says it is still running.
    ASSERT_EQ(Camera_DeleteObject(d, 0, first), STATUS_SUCCESS);
    ASSERT_EQ(Camera_MemoryResult(d, 0, &result), STATUS_SUCCESS);
    EXPECT_TRUE(result.running);

    // Data blocks go both ways.
    const UCHAR block[5] = {1, 2, 3, 4, 5};
    ASSERT_EQ(Camera_WriteDataBlock(d, 0x23, block, 5), STATUS_SUCCESS);
    ASSERT_FALSE(h.camera().dataBlocks().empty());
    EXPECT_EQ(h.camera().dataBlocks().back().item, 0x23);
    UCHAR text[16] = {};
    ULONG length = sizeof text;
    ASSERT_EQ(Camera_ReadDataBlock(d, 0x100, text, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), length), "V1.03  ");
}

TEST_F(Commands, OnlyOneUserHoldsTheCameraAtATime) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_SUCCESS);
    EXPECT_EQ(Camera_Acquire(d, 1), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Camera_Acquire(d, 0), STATUS_DEVICE_NOT_READY);
    Camera_Release(d);
    ASSERT_EQ(Camera_Acquire(d, 1), STATUS_SUCCESS);
    Camera_Release(d);
    // A release too many does not let two users in afterwards.
    Camera_Release(d);
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_SUCCESS);
    EXPECT_EQ(Camera_Acquire(d, 0), STATUS_DEVICE_NOT_READY);
    Camera_Release(d);
}

TEST_F(Commands, ModesSelectTheirSettingFallBackAndSetTheTransferMode) {
    sim::Scenario s = sim::defaultScenario();
    s.maxAlternate = 3;
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    CameraState& c = d->camera;

    UCHAR before = h.camera().registerValue(3, 0x21);
    ASSERT_EQ(Camera_SetMode(d, 5), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().alternateSetting(), 3) << "the bus grants no more";
    EXPECT_EQ(c.packetSize.load(), 384u);
    EXPECT_TRUE(c.isochronousMode.load());
    EXPECT_EQ(h.camera().registerValue(3, 0x21), before | 5);
    EXPECT_TRUE(c.isochronous->active);
    EXPECT_TRUE(c.interrupt->active);
    EXPECT_FALSE(c.bulkIn->active);

    UCHAR iso = h.camera().registerValue(3, 0x21);
    ASSERT_EQ(Camera_SetMode(d, 1), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().alternateSetting(), 1);
    EXPECT_EQ(c.packetSize.load(), 0u);
    EXPECT_FALSE(c.isochronousMode.load());
    EXPECT_EQ(h.camera().registerValue(3, 0x21), iso | 6);
    EXPECT_FALSE(c.isochronous->active);
    EXPECT_TRUE(c.bulkIn->active);
    EXPECT_TRUE(c.interrupt->active);

    // Mode 0 stops the streams, selects setting 0, and writes the transfer
    // mode back as it was read.
    std::size_t writes = writesTo(h.camera(), 3, 0x21).size();
    UCHAR bulk = h.camera().registerValue(3, 0x21);
    ASSERT_EQ(Camera_SetMode(d, 0), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_FALSE(c.bulkIn->active);
    EXPECT_FALSE(c.interrupt->active);
    auto after = writesTo(h.camera(), 3, 0x21);
    ASSERT_EQ(after.size(), writes + 1);
    EXPECT_EQ(after.back().value, bulk);

    // The mode-change routine other modules call is the same selection.
    CameraModeRoutine change = c.modeChange.load();
    ASSERT_NE(change, nullptr);
    EXPECT_EQ(change(d, 2), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().alternateSetting(), 2);
    EXPECT_EQ(c.packetSize.load(), 128u);
    EXPECT_EQ(Camera_SetMode(d, 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Camera_SetMode(d, 0), STATUS_SUCCESS);
}

TEST_F(Commands, ABusWithoutBandwidthLeavesTheCameraAtSettingZero) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.refusedAlternates = {1, 2, 3, 4, 5, 6, 7};
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    EXPECT_EQ(Camera_SetMode(d, 6), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(h.camera().alternateSetting(), 0);
    EXPECT_FALSE(d->camera.isochronousMode.load());
    EXPECT_EQ(d->camera.packetSize.load(), 0u);
    EXPECT_FALSE(d->camera.isochronous->active);
}

// Bulk transfers of the camera object: the directory entry of an object (86
// bytes) read over the bulk-in pipe at setting 1.
class BulkTransfers : public Commands {
  protected:
    Bytes prepareEntry(pavtest::CameraHarness& h) {
        DeviceContext* d = h.device();
        std::uint32_t number = 0;
        Bytes entry;
        h.camera().withStore([&](sim::ObjectStore& s) {
            number = s.memory(0).objects().at(0).number;
            auto& e = s.memory(0).objects().at(0).directoryEntry;
            entry.assign(e.begin(), e.end());
        });
        LONG selected = 0;
        EXPECT_EQ(USBIF_SetCameraAlternate(d, d->usbif.interfaceNumber, 1, &selected),
                  STATUS_SUCCESS);
        CameraMemoryResult result;
        EXPECT_EQ(Camera_PrepareDirectoryEntry(d, 0, number, &result), STATUS_SUCCESS);
        return entry;
    }
};

TEST_F(BulkTransfers, AnAnswerOfTheRightLengthArrivesWhole) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Bytes entry = prepareEntry(h);
    Bytes buffer(86, 0xEE);
    ULONG result = 0xAA;
    ASSERT_EQ(Camera_BulkTransfer(h.device(), true, buffer.data(), 86, 6000, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, kBulkResultOk);
    EXPECT_EQ(buffer, entry);
}

TEST_F(BulkTransfers, AnAnswerLongerThanAskedIsCutAndReported) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Bytes entry = prepareEntry(h);
    // 50 bytes asked: the transfer has room for 64, the camera has 86.
    Bytes buffer(50 + 16, 0xEE);
    ULONG result = 0;
    ASSERT_EQ(Camera_BulkTransfer(h.device(), true, buffer.data(), 50, 6000, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, kBulkResultTooLong);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 50, entry.begin()));
    EXPECT_TRUE(std::all_of(buffer.begin() + 50, buffer.end(), [](std::uint8_t b) {
        return b == 0xEE;
    })) << "nothing written past what was asked";
}

TEST_F(BulkTransfers, AMarkedAnswerIsReported) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.edMarker = true;
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    prepareEntry(h);
    Bytes buffer(86);
    ULONG result = 0;
    ASSERT_EQ(Camera_BulkTransfer(h.device(), true, buffer.data(), 86, 6000, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, kBulkResultMarker);
}

TEST_F(BulkTransfers, AnAnswerThatNeverComesGivesUpAfterFiveSeconds) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.bulkInNeverArrives = true;
    pavtest::CameraHarness h(camtest::cameraOptions(s, 50));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    prepareEntry(h);
    Bytes buffer(86);
    ULONG result = 0;
    ULONGLONG before = kclock::milliseconds();
    EXPECT_EQ(Camera_BulkTransfer(h.device(), true, buffer.data(), 86, 6000, &result),
              STATUS_UNSUCCESSFUL);
    ULONGLONG spent = kclock::milliseconds() - before;
    EXPECT_GE(spent, 5000u);
    EXPECT_LT(spent, 6000u) << "the transfer gave up before its caller's wait ran out";
    EXPECT_EQ(result, kBulkResultPending);
    EXPECT_FALSE(h.device()->camera.bulkIn->active) << "the stream was stopped";
    // The camera is usable again at once.
    Bytes entry = prepareEntry(h);
    h.camera().changeFaults([](sim::Faults& f) { f.bulkInNeverArrives = false; });
    prepareEntry(h);
    ASSERT_EQ(Camera_BulkTransfer(h.device(), true, buffer.data(), 86, 6000, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(buffer, entry);
}

TEST_F(BulkTransfers, NothingToTransferIsRefused) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Bytes buffer(8);
    ULONG result = 0;
    EXPECT_EQ(Camera_BulkTransfer(h.device(), true, buffer.data(), 0, 6000, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Camera_BulkTransfer(h.device(), false, nullptr, 8, 6000, &result),
              STATUS_INVALID_PARAMETER);
}

// Two callers of the camera's bulk transfer at once: each is either refused
// at once (the other has the pipes) or gets its own transfer's result; a
// caller never loses its result to the other, nor waits out its time-out
// because the other reset its done event.
TEST_F(BulkTransfers, TwoCallersAtOnceEachGetTheirOwnResultOrAreRefused) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario(), 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    LONG selected = 0;
    ASSERT_EQ(USBIF_SetCameraAlternate(d, d->usbif.interfaceNumber, 1, &selected), STATUS_SUCCESS);
    std::atomic<int> done{0}, refused{0}, lost{0};
    auto caller = [&] {
        Bytes data(64, 0x5A);
        for (int i = 0; i < 40; ++i) {
            ULONG result = 0xAA;
            NTSTATUS status = Camera_BulkTransfer(d, false, data.data(), 64, 3000, &result);
            if (status == STATUS_DEVICE_NOT_READY)
                ++refused;
            else if (status == STATUS_SUCCESS && result == kBulkResultOk)
                ++done;
            else
                ++lost;
        }
    };
    std::thread a(caller), b(caller);
    a.join();
    b.join();
    EXPECT_EQ(lost, 0) << done << " done, " << refused << " refused";
    EXPECT_GT(done, 0);
    EXPECT_EQ(h.camera().counters().bulkOutBytes, 64u * static_cast<unsigned>(done.load()));
}

}  // namespace
