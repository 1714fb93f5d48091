// The PTP responder's operations over the simulated camera, through the PTP
// transport as the library's PTP client reaches it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "driver/camera/ptp_responder.h"
#include "driver/core/device_context.h"
#include "driver/core/ptpif.h"
#include "sim/sim_camera.h"
#include "tests/ptp/ptp_client.h"
#include "tests/support/camera_harness.h"

namespace {

using namespace ptptest;
using namespace pav512;

constexpr std::uint16_t kOk = 0x2001;

// The UTF-16 text of a PTP string field at `at`, and its length byte.
std::string textAt(const Bytes& b, std::size_t at, std::uint8_t* lengthByte = nullptr) {
    if (lengthByte) *lengthByte = b[at];
    std::string s;
    for (std::size_t i = at + 1; i + 1 < b.size() && b[i] != 0; i += 2)
        s.push_back(static_cast<char>(b[i]));
    return s;
}

std::vector<std::uint16_t> codesAt(const Bytes& b, std::size_t at) {
    std::vector<std::uint16_t> codes;
    const std::uint32_t bytes = u32(b, at);
    for (std::uint32_t i = 0; i < bytes / 2; ++i) codes.push_back(u16(b, at + 4 + 2 * i));
    return codes;
}

std::uint32_t handleOf(int memory, std::uint32_t number) {
    return 0x10000000u | (static_cast<std::uint32_t>(memory) << 24) | number;
}

// A camera with nothing but what the test places.
sim::Scenario emptyCamera() {
    sim::Scenario s = sim::defaultScenario();
    s.defaultContent = false;
    return s;
}

TEST(PtpDeviceInfo, DescribesTheCameraInThreeHundredAndThreeBytes) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    // No PTP session is needed for the device information.
    Transaction t = client.run(session, 0x1001, {}, 200);
    ASSERT_EQ(t.response, kOk);
    ASSERT_EQ(t.total, kDeviceInfoLength);
    const Bytes& d = t.data;
    ASSERT_EQ(d.size(), kDeviceInfoLength);
    EXPECT_EQ(u16(d, 0), 0);
    EXPECT_EQ(u32(d, 2), 9u);
    EXPECT_EQ(u16(d, 6), 1);
    std::uint8_t length = 0;
    EXPECT_EQ(textAt(d, 8, &length), std::string(kPtpMakerName) + " 0-01");
    EXPECT_EQ(length, 2 * (std::strlen(kPtpMakerName) + 6));
    std::vector<std::uint16_t> ops = codesAt(d, 59);
    ASSERT_EQ(ops.size(), 29u);
    EXPECT_EQ(ops.front(), 0x1001);
    EXPECT_EQ(ops[27], 0x101C);
    EXPECT_EQ(ops.back(), 0xB001);
    EXPECT_EQ(codesAt(d, 121).size(), 13u);
    EXPECT_EQ(codesAt(d, 151).size(), 15u);
    EXPECT_EQ(codesAt(d, 185), (std::vector<std::uint16_t>{0x3801, 0xB000, 0xB001}));
    EXPECT_EQ(codesAt(d, 195), (std::vector<std::uint16_t>{0x3801}));
    EXPECT_EQ(textAt(d, 201), kPtpMakerName);
    EXPECT_EQ(textAt(d, 240, &length), "PAV0312");
    EXPECT_EQ(length, 16);
    const auto info = h.camera().informationBlock();
    EXPECT_EQ(textAt(d, 257, &length), std::to_string(info[0]) + "-" + std::to_string(info[1]) +
                                           " " + std::to_string(info[2]) + "-" +
                                           std::to_string(info[3]));
    EXPECT_EQ(length, 40) << "the version's length byte is fixed";
    EXPECT_EQ(textAt(d, 298, &length), "0");
    EXPECT_EQ(length, 4);

    // A 100-byte data phase gets the first 100 bytes of the same dataset.
    ASSERT_EQ(client.transfer(session, 1, 0x1001).moduleStatus, 0);
    Phase slice = client.transfer(session, 2, 0x1001, {}, 100);
    EXPECT_EQ(slice.total, kDeviceInfoLength);
    EXPECT_EQ(slice.data, Bytes(d.begin(), d.begin() + 100));
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

TEST(PtpDeviceInfo, TheBuilderWritesOnlyTheFieldsThatFit) {
    const UCHAR info[22] = {1, 4, 1, 3};
    Bytes whole(kDeviceInfoLength, 0);
    ASSERT_EQ(Camera_PtpBuildDeviceInfo(info, whole.data(), kDeviceInfoLength), kDeviceInfoLength);
    Bytes part(kDeviceInfoLength, 0xAA);
    EXPECT_EQ(Camera_PtpBuildDeviceInfo(info, part.data(), 100), kDeviceInfoLength);
    // Below offset 59 every field fits; the operations array (59 to 121) does not.
    EXPECT_EQ(Bytes(part.begin(), part.begin() + 57 + 2), Bytes(whole.begin(), whole.begin() + 59));
    EXPECT_EQ(Bytes(part.begin() + 59, part.end()), Bytes(kDeviceInfoLength - 59, 0xAA));
}

TEST(PtpSessionCheck, OperationsOtherThanDeviceInfoNeedAnOpenSession) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    std::uint32_t session = 0;
    ASSERT_EQ(client.open(&session), kModuleStatusSuccess);
    ASSERT_EQ(client.lock(session), kModuleStatusSuccess);
    for (std::uint16_t op : {0x1003, 0x1004, 0x1008, 0x1009}) {
        Transaction t = client.run(session, op, {handleOf(0, 1)});
        EXPECT_EQ(t.response, 0x2003) << std::hex << op;
        if (op != 0x1003) {
            EXPECT_EQ(t.dataStatus, kPhaseRefused) << std::hex << op;
        }
    }
    EXPECT_EQ(client.run(session, 0x1002, {1}).response, kOk);
    Transaction ids = client.run(session, 0x1004, {});
    EXPECT_EQ(ids.response, kOk);
    EXPECT_EQ(ids.data, (Bytes{1, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(client.run(session, 0x1003, {}).response, kOk);
    EXPECT_EQ(client.run(session, 0x1004, {}).response, 0x2003);
    EXPECT_EQ(client.close(session), kModuleStatusSuccess);
}

TEST(PtpTables, UnsupportedAndUnknownOperationsAnswerByPhase) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    struct Case {
        std::uint16_t op;
        std::uint8_t command, data, response;
    };
    for (const Case& c : {Case{0x100C, 1, 1, 1}, Case{0x1010, 1, 3, 1}, Case{0xB001, 1, 1, 1},
                          Case{0x101C, 1, 3, 1}, Case{0x9999, 3, 3, 3}, Case{0x1006, 0, 3, 0}}) {
        std::vector<std::uint32_t> params = c.op == 0x1006
                                                ? std::vector<std::uint32_t>{0xFFFFFFFF, 0, 0}
                                                : std::vector<std::uint32_t>{};
        Bytes p(params.size() * 4);
        if (!params.empty()) std::memcpy(p.data(), params.data(), p.size());
        EXPECT_EQ(client.transfer(s.id(), 1, c.op, p).moduleStatus, c.command) << std::hex << c.op;
        EXPECT_EQ(client.transfer(s.id(), 2, c.op, {}, 64).moduleStatus, c.data)
            << std::hex << c.op;
        EXPECT_EQ(client.transfer(s.id(), 3, c.op, {}, 64).moduleStatus, c.response)
            << std::hex << c.op;
    }
}

TEST(PtpStorage, StorageInfoReportsTheMemoryAndItsFileSystem) {
    sim::Scenario sc = sim::defaultScenario();
    pavtest::CameraHarness h(sc);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    h.camera().withStore([](sim::ObjectStore& st) { st.memory(2).setDcf(false); });
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    std::uint32_t freeBytes = 0, freePictures = 0, capacity = 0;
    h.camera().withStore([&](sim::ObjectStore& st) {
        freeBytes = st.memory(0).freeBytes();
        freePictures = st.memory(0).freePictures();
        capacity = static_cast<std::uint32_t>(st.memory(0).capacity());
    });
    Transaction t = client.run(s.id(), 0x1005, {0x00010000});
    ASSERT_EQ(t.response, kOk);
    ASSERT_EQ(t.data.size(), kStorageInfoLength);
    EXPECT_EQ(u16(t.data, 0), 3);
    EXPECT_EQ(u16(t.data, 2), 3) << "DCF";
    EXPECT_EQ(u16(t.data, 4), 2);
    EXPECT_EQ(u32(t.data, 6), capacity);
    EXPECT_EQ(u32(t.data, 10), 0u);
    EXPECT_EQ(u32(t.data, 14), freeBytes);
    EXPECT_EQ(u32(t.data, 22), freePictures);
    EXPECT_EQ(t.data[26], 2);
    EXPECT_EQ(t.data[29], 2);
    Transaction other = client.run(s.id(), 0x1005, {0x00010002});
    ASSERT_EQ(other.response, kOk);
    EXPECT_EQ(u16(other.data, 2), 0x8001) << "not DCF";
    EXPECT_EQ(client.run(s.id(), 0x1005, {}).response, 0x2006);
    EXPECT_EQ(client.run(s.id(), 0x1005, {0x00010000, 0}).response, 0x2006);
    EXPECT_EQ(client.run(s.id(), 0x1005, {0x000100FF}).response, 0x2002) << "no such memory";
}

class PtpListing : public ::testing::Test {
  protected:
    // Memory 0: two pictures and a clip; memory 3: a sound, a clip with sound.
    static sim::Scenario scenario() {
        sim::Scenario s = emptyCamera();
        sim::ObjectSpec p;
        p.width = 64;
        p.height = 48;
        s.objects.push_back({0, p});
        p.kind = sim::ObjectKind::Clip;
        p.frames = 2;
        s.objects.push_back({0, p});
        p.kind = sim::ObjectKind::PictureWithThumbnail;
        p.thumbnailWidth = 16;
        p.thumbnailHeight = 12;
        s.objects.push_back({0, p});
        p.kind = sim::ObjectKind::Sound;
        p.soundBytes = 100;
        s.objects.push_back({3, p});
        p.kind = sim::ObjectKind::ClipWithSound;
        s.objects.push_back({3, p});
        return s;
    }
};

TEST_F(PtpListing, FormatsPickTheirObjectsAndHandlesNameMemoryAndNumber) {
    pavtest::CameraHarness h(scenario());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    auto handles = [&](std::uint32_t storage, std::uint32_t format) {
        Transaction t = client.run(s.id(), 0x1007, {storage, format, 0});
        EXPECT_EQ(t.response, kOk);
        std::vector<std::uint32_t> out;
        for (std::uint32_t i = 0; i < u32(t.data, 0); ++i) out.push_back(u32(t.data, 4 + 4 * i));
        return out;
    };
    using V = std::vector<std::uint32_t>;
    EXPECT_EQ(handles(0x00010000, 0x300A), (V{handleOf(0, 2)}));
    EXPECT_EQ(handles(0x00010000, 0x3801), (V{handleOf(0, 1), handleOf(0, 3)}));
    EXPECT_EQ(handles(0xFFFFFFFF, 0xFFFFFFFF), (V{handleOf(0, 1), handleOf(0, 3)}));
    EXPECT_EQ(handles(0x00010000, 0), (V{handleOf(0, 1), handleOf(0, 2), handleOf(0, 3)}));
    EXPECT_EQ(handles(0x00010000, 0x3008), V{});
    EXPECT_EQ(handles(0x00010000, 0x3004), V{}) << "any other format keeps none";
    EXPECT_EQ(handles(0x00010003, 0x3008), (V{handleOf(3, 1)}));
    EXPECT_EQ(handles(0x00010003, 0x300A), (V{handleOf(3, 2)}));

    auto count = [&](std::uint32_t storage, std::uint32_t format) {
        Transaction t = client.run(s.id(), 0x1006, {storage, format, 0xFFFFFFFF});
        EXPECT_EQ(t.response, kOk);
        return t.parameters.empty() ? 0xDEADu : t.parameters[0];
    };
    EXPECT_EQ(count(0x00010000, 0x3801), 2u);
    EXPECT_EQ(count(0x00010003, 0x3008), 1u);
    // Format 0 takes the camera's count without reading the table.
    h.camera().clearRequestLog();
    const auto before = h.camera().counters().bulkInBytes;
    EXPECT_EQ(count(0x00010000, 0), 3u);
    EXPECT_EQ(h.camera().counters().bulkInBytes, before);
    for (const auto& r : h.camera().requestLog()) EXPECT_NE(r.request, 0x85);

    EXPECT_EQ(client.run(s.id(), 0x1007, {0x00010000, 0, 5}).response, 0x201D);
    EXPECT_EQ(client.run(s.id(), 0x1006, {0x00010000, 0}).response, 0x201D);
    // A camera that fails the table read is a general error.
    h.camera().changeFaults([](sim::Faults& f) { f.failedRequests = {{0x85, -1, -1, 1}}; });
    EXPECT_EQ(client.run(s.id(), 0x1007, {0x00010000, 0, 0}).response, 0x2002);
}

TEST(PtpListingLimits, MoreThan8192ObjectsAreAGeneralError) {
    pavtest::CameraHarness h(emptyCamera());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    h.camera().withStore([](sim::ObjectStore& st) {
        sim::ObjectSpec p;
        p.width = p.height = 16;
        st.memory(0).addCopies(sim::generateObject(p, 1), 8192);
    });
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    Transaction all = client.run(s.id(), 0x1007, {0x00010000, 0, 0}, 65536);
    ASSERT_EQ(all.response, kOk);
    ASSERT_EQ(u32(all.data, 0), 8192u);
    EXPECT_EQ(u32(all.data, 4 + 4 * 8191), handleOf(0, 8192));
    h.camera().withStore(
        [](sim::ObjectStore& st) { st.memory(0).addCopies(*st.memory(0).find(1), 1); });
    Transaction over = client.run(s.id(), 0x1007, {0x00010000, 0, 0});
    EXPECT_EQ(over.response, 0x2002);
    EXPECT_EQ(over.dataStatus, kPhaseRefused);
    EXPECT_EQ(client.run(s.id(), 0x1006, {0x00010000, 0, 0}).response, 0x2002);
}

TEST_F(PtpListing, ObjectInfoDescribesEachKind) {
    pavtest::CameraHarness h(scenario());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    sim::StoredObject thumbed, sound;
    h.camera().withStore([&](sim::ObjectStore& st) {
        thumbed = *st.memory(0).find(3);
        sound = *st.memory(3).find(1);
    });
    Transaction t = client.run(s.id(), 0x1008, {handleOf(0, 3)}, 50);
    ASSERT_EQ(t.response, kOk);
    ASSERT_EQ(t.data.size(), kObjectInfoLength);
    EXPECT_EQ(u32(t.data, 0), 0u);
    EXPECT_EQ(u16(t.data, 4), 0x3801);
    EXPECT_EQ(u32(t.data, 8), thumbed.picture.size());
    EXPECT_EQ(u16(t.data, 12), 0x3804);
    EXPECT_EQ(u32(t.data, 14), thumbed.thumbnail.size() + 40);
    EXPECT_EQ(u32(t.data, 18), 16u);
    EXPECT_EQ(u32(t.data, 22), 12u);
    EXPECT_EQ(u32(t.data, 26), 64u);
    EXPECT_EQ(u32(t.data, 30), 48u);
    std::uint8_t length = 0;
    EXPECT_EQ(textAt(t.data, 52, &length), "10000003");
    EXPECT_EQ(length, 18);
    EXPECT_EQ(textAt(t.data, 71, &length), "20020524T101342.0");
    EXPECT_EQ(length, 36);
    EXPECT_EQ(textAt(t.data, 108), "20020524T101342.0");
    EXPECT_EQ(t.data[145], 0);

    Transaction w = client.run(s.id(), 0x1008, {handleOf(3, 1)});
    ASSERT_EQ(w.response, kOk);
    EXPECT_EQ(u16(w.data, 4), 0x3008);
    EXPECT_EQ(u32(w.data, 8), sound.sound.size() + 44);
    EXPECT_EQ(u16(w.data, 12), 0);
    EXPECT_EQ(u32(w.data, 26), 0u);
    EXPECT_EQ(u16(client.run(s.id(), 0x1008, {handleOf(0, 2)}).data, 4), 0x300A);
    EXPECT_EQ(u16(client.run(s.id(), 0x1008, {handleOf(3, 2)}).data, 4), 0x300A);
    EXPECT_EQ(client.run(s.id(), 0x1008, {}).response, 0x201D);
}

TEST_F(PtpListing, APartialReadGoesOnOnlyFromWhereTheObjectsLastReadEnded) {
    pavtest::CameraHarness h(scenario());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    Bytes picture;
    h.camera().withStore([&](sim::ObjectStore& st) { picture = st.memory(0).find(1)->picture; });
    ASSERT_GT(picture.size(), 300u);
    const std::uint32_t handle = handleOf(0, 1);
    Transaction first = client.run(s.id(), 0x101B, {handle, 0, 100}, 64);
    ASSERT_EQ(first.response, kOk);
    EXPECT_EQ(first.data, Bytes(picture.begin(), picture.begin() + 100));
    EXPECT_EQ(first.parameters, (std::vector<std::uint32_t>{100}));
    Transaction next = client.run(s.id(), 0x101B, {handle, 100, 0xFFFFFFFF}, 1000);
    ASSERT_EQ(next.response, kOk);
    EXPECT_EQ(next.data, Bytes(picture.begin() + 100, picture.end()));
    EXPECT_EQ(next.parameters[0], picture.size() - 100);

    // After an ObjectInfo (which closes the object) a non-zero offset has
    // nothing to go on from.
    EXPECT_EQ(client.run(s.id(), 0x101B, {handle, 0, 10}).response, kOk);
    EXPECT_EQ(client.run(s.id(), 0x1008, {handle}).response, kOk);
    EXPECT_EQ(client.run(s.id(), 0x101B, {handle, 10, 10}).response, 0x201D);
    // Nor from another object, or from another offset.
    EXPECT_EQ(client.run(s.id(), 0x101B, {handle, 0, 10}).response, kOk);
    EXPECT_EQ(client.run(s.id(), 0x101B, {handleOf(0, 3), 10, 10}).response, 0x201D);
    EXPECT_EQ(client.run(s.id(), 0x101B, {handle, 0, 10}).response, kOk);
    EXPECT_EQ(client.run(s.id(), 0x101B, {handle, 20, 10}).response, 0x201D);
    EXPECT_EQ(client.run(s.id(), 0x101B, {handle, 0}).response, 0x201D);
}

TEST_F(PtpListing, ThumbnailsComeAsBitmapData) {
    pavtest::CameraHarness h(scenario());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    Bytes pixels;
    h.camera().withStore([&](sim::ObjectStore& st) { pixels = st.memory(0).find(3)->thumbnail; });
    Transaction t = client.run(s.id(), 0x100A, {handleOf(0, 3)}, 100);
    ASSERT_EQ(t.response, kOk);
    ASSERT_EQ(t.data.size(), pixels.size() + 40);
    EXPECT_EQ(u32(t.data, 0), 40u);
    EXPECT_EQ(u32(t.data, 4), 16u);
    EXPECT_EQ(static_cast<std::int32_t>(u32(t.data, 8)), -12);
    EXPECT_EQ(u16(t.data, 12), 1);
    EXPECT_EQ(u16(t.data, 14), 24);
    EXPECT_EQ(u32(t.data, 16), 0u);
    EXPECT_EQ(u32(t.data, 20), pixels.size());
    EXPECT_EQ(Bytes(t.data.begin() + 24, t.data.begin() + 40), Bytes(16, 0));
    EXPECT_EQ(Bytes(t.data.begin() + 40, t.data.end()), pixels);
    // The last slice closed the object on the camera.
    bool closed = false;
    for (const auto& r : h.camera().requestLog()) closed = r.request == 0x09;
    EXPECT_TRUE(closed);
}

TEST_F(PtpListing, DeleteRemovesAnObjectOrAWholeMemoryAndWaitsForTheCamera) {
    sim::Scenario sc = scenario();
    sc.timing.deleteMs = 300;
    pavtest::CameraHarness h(sc);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    auto objects = [&](int memory) {
        std::size_t n = 0;
        h.camera().withStore([&](sim::ObjectStore& st) { n = st.memory(memory).objects().size(); });
        return n;
    };
    EXPECT_EQ(client.run(s.id(), 0x100B, {handleOf(0, 2), 0x3801}).response, 0x2006);
    EXPECT_EQ(client.run(s.id(), 0x100B, {handleOf(0, 2)}).response, 0x201D);
    EXPECT_EQ(objects(0), 3u);
    EXPECT_EQ(client.run(s.id(), 0x100B, {handleOf(0, 2), 0}).response, kOk);
    EXPECT_EQ(objects(0), 2u) << "the delete has finished when the response comes";
    EXPECT_EQ(client.run(s.id(), 0x100B, {handleOf(3, 0), 0}).response, kOk);
    EXPECT_EQ(objects(3), 0u);
    EXPECT_EQ(client.run(s.id(), 0x100B, {0xFFFFFFFF, 0}).response, kOk);
    EXPECT_EQ(objects(0), 0u) << "the current memory";
}

TEST_F(PtpListing, AnEraseThatOutlastsItsTimeEndsTheWaitWithoutAnError) {
    sim::Scenario sc = scenario();
    sc.faults.slowErase = true;
    sc.eraseTime = 16;  // one second
    pavtest::CameraHarnessOptions o;
    o.scenario = sc;
    o.clockScale = 10;
    pavtest::CameraHarness h(o);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    const LONGLONG before = kclock::now();
    EXPECT_EQ(client.run(s.id(), 0x100B, {handleOf(0, 1), 0}).response, kOk);
    const LONGLONG waited = kclock::now() - before;
    EXPECT_GE(waited, 10000000);  // one second
    EXPECT_LT(waited, 30000000) << "the wait is bounded by the camera's erase time";
    h.camera().changeFaults([](sim::Faults& f) { f.failedRequests = {{0x86, -1, -1, 1}}; });
    EXPECT_EQ(client.run(s.id(), 0x100B, {handleOf(0, 2), 0}).response, 0x2002);
}

TEST_F(PtpListing, CancelBringsTheTransactionBackToRestAndKeepsTheSession) {
    pavtest::CameraHarness h(scenario());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    ASSERT_EQ(client.transfer(s.id(), 1, 0x1009, Bytes{3, 0, 0, 0x10}).moduleStatus, 0);
    Phase slice = client.transfer(s.id(), 2, 0x1009, {}, 64);
    ASSERT_EQ(slice.moduleStatus, 0);
    EXPECT_EQ(h.device()->ptpResponder.currentObject, 3u);
    Bytes cancel = {0x01, 0x40, 0, 0, 0, 0};
    EXPECT_EQ(client.classRequest(s.id(), 100, cancel), kModuleStatusSuccess);
    EXPECT_EQ(h.device()->ptpResponder.currentObject, 0u);
    EXPECT_EQ(client.transfer(s.id(), 2, 0x1009, {}, 64).moduleStatus, kPhaseNoData);
    for (std::uint8_t r : {101, 102, 103}) EXPECT_EQ(client.classRequest(s.id(), r, {}), 0);
    EXPECT_EQ(client.classRequest(s.id(), 0x99, {}), kModuleStatusUnknownTransferKind);
    EXPECT_EQ(client.run(s.id(), 0x1004, {}).response, kOk) << "the session stays open";
}

// A picture of several 64 KiB pieces: each piece is asked for once with its
// length and comes whole and in order; a piece the camera refuses to read
// fails the data phase at once (not after the receive's six seconds), with
// the camera's memory result read after it, and the next download is whole.
TEST(PtpObjectReads, EachPieceIsAskedOnceAndARefusedReadFailsAtOnce) {
    pavtest::CameraHarness h(emptyCamera());
    ASSERT_TRUE(h.started()) << h.arrivalText();
    constexpr std::size_t kPicture = 3 * 65536 + 1000;
    Bytes picture;
    const std::uint32_t number = placePicture(h.camera(), kPicture, 11, &picture);
    PtpClient client(h.fdo());
    LockedSession s(client);
    ASSERT_TRUE(s.ok());
    const std::uint32_t handle = handleOf(0, number);
    auto pictureReads = [&] { return itemReads(h.camera(), 8); };

    Transaction whole = client.run(s.id(), 0x1009, {handle}, 65536);
    ASSERT_EQ(whole.response, kOk);
    EXPECT_EQ(whole.data, picture);
    // Whole blocks of at most 64 KiB, the last block read whole.
    std::uint32_t asked = 0;
    const std::vector<std::uint32_t> lengths = pictureReads();
    for (std::uint32_t n : lengths) {
        EXPECT_EQ(n % 512, 0u);
        EXPECT_LE(n, 65536u);
        asked += n;
    }
    EXPECT_EQ(asked, (kPicture + 511) / 512 * 512);
    EXPECT_GE(lengths.size(), 4u);

    h.camera().changeFaults([](sim::Faults& f) { f.failedRequests = {{0x05, 8, -1, 1}}; });
    const std::size_t logged = h.camera().requestLog().size();
    const LONGLONG before = kclock::now();
    Transaction refused = client.run(s.id(), 0x1009, {handle}, 65536);
    EXPECT_LT(kclock::now() - before, LONGLONG{kPtpReceiveWaitMs} * 10000)
        << "a refused read does not wait for an answer that cannot come";
    EXPECT_NE(refused.dataStatus, kModuleStatusSuccess) << "the data phase fails";
    EXPECT_LT(refused.data.size(), picture.size());
    const std::vector<sim::VendorRequestRecord> log = h.camera().requestLog();
    bool refusal = false, resultAfter = false;
    for (std::size_t i = logged; i < log.size(); ++i) {
        if (log[i].request == 0x05 && log[i].value == 8 && log[i].status != USBD_STATUS_SUCCESS)
            refusal = true;
        else if (refusal && log[i].request == 0x86)
            resultAfter = true;
    }
    EXPECT_TRUE(refusal);
    EXPECT_TRUE(resultAfter) << "the camera's memory result is read after the refused read";

    Transaction again = client.run(s.id(), 0x1009, {handle}, 65536);
    EXPECT_EQ(again.response, kOk);
    EXPECT_EQ(again.data, picture);
}

}  // namespace
