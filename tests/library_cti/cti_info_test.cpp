// What the command transport answers without a session: its version, the
// status texts, camera enumeration and the camera name kept by the driver.
#include <cstring>
#include <string>

#include "pav512/guids.h"
#include "pav512u/pavpi.h"
#include "tests/library_cti/cti_fixture.h"

namespace pavtest {
namespace {

using CtiInfo = LibraryLoaded;

TEST(CtiTexts, NamesAreCutToTheBufferAndAlwaysTerminated) {
    char text[40];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(CtiGetErrorText(0, CTISTATUS_CAMERA_REMOVED, text, 10), CTISTATUS_SUCCESS);
    EXPECT_STREQ(text, "CTISTATUS");
    EXPECT_EQ(text[10], 'x') << "nothing past the length";
    EXPECT_EQ(CtiGetErrorText(0, CTISTATUS_DRIVER_VERSION_MISMATCH, text, sizeof text),
              CTISTATUS_SUCCESS);
    EXPECT_STREQ(text, "CTISTATUS_DRIVER_VERSION_MISMATCH");
    EXPECT_EQ(CtiGetErrorText(0, 0x14, text, sizeof text), CTISTATUS_INVALID_STATUS);
    EXPECT_STREQ(text, "Unknown Error Code");
    EXPECT_EQ(CtiGetErrorText(0, 0x14, text, 8), CTISTATUS_INVALID_STATUS);
    EXPECT_STREQ(text, "Unknown");
    EXPECT_EQ(CtiGetErrorText(0, CTISTATUS_SUCCESS, nullptr, 10), CTISTATUS_NULL_POINTER);
    // No room for even the terminator: the buffer is left alone.
    text[0] = 'q';
    EXPECT_EQ(CtiGetErrorText(0, CTISTATUS_SUCCESS, text, 0), CTISTATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(text[0], 'q');
    EXPECT_EQ(CtiGetErrorText(0, CTISTATUS_SUCCESS, text, 1), CTISTATUS_SUCCESS);
    EXPECT_STREQ(text, "");

    std::uint16_t version = 0;
    EXPECT_EQ(CtiGetVersion(0, &version), CTISTATUS_SUCCESS);
    EXPECT_EQ(version, 0x0203);
    EXPECT_EQ(CtiGetVersion(0, nullptr), CTISTATUS_NULL_POINTER);
}

TEST_F(CtiInfo, EnumerationCountsTheMatchingCamerasAndStoresWhatFits) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("enum-a"));
    ASSERT_TRUE(cameras.plug("enum-b"));
    refreshNow();
    auto present = presentNumbers();
    ASSERT_EQ(present.size(), 2u);
    std::uint8_t numbers[4] = {};
    std::uint8_t count = 0;
    EXPECT_EQ(CtiCameraEnum(0xF1A5, 0x0B2D, 0, numbers, &count), CTISTATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(CtiCameraEnum(0xF1A5, 0x0B2D, 1, nullptr, &count), CTISTATUS_NULL_POINTER);
    EXPECT_EQ(CtiCameraEnum(0xF1A5, 0x0B2D, 1, numbers, nullptr), CTISTATUS_NULL_POINTER);
    ASSERT_EQ(CtiCameraEnum(0xF1A5, 0x0B2D, 1, numbers, &count), CTISTATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(numbers[1], 0u);
    ASSERT_EQ(CtiCameraEnum(0xF1A5, 0x0B2D, 4, numbers, &count), CTISTATUS_SUCCESS);
    ASSERT_EQ(count, 2u);
    EXPECT_TRUE((numbers[0] == present[0] && numbers[1] == present[1]) ||
                (numbers[0] == present[1] && numbers[1] == present[0]));
    ASSERT_EQ(CtiCameraEnum(0x1234, 0x0B2D, 4, numbers, &count), CTISTATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(CtiInfo, TheCameraNameTakesThirtyOneCharactersAndComesBack) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("named"));
    refreshNow();
    auto present = presentNumbers();
    ASSERT_EQ(present.size(), 1u);
    const std::uint8_t n = present[0];
    const std::string longest(31, 'n');
    char name[64];

    ASSERT_EQ(CtiCameraNameSet(n, 31, longest.c_str()), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiCameraNameGet(n, 31, name), CTISTATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(CtiCameraNameGet(n, 32, name), CTISTATUS_SUCCESS);
    EXPECT_EQ(std::string(name), longest);
    const std::string tooLong(32, 'x');
    EXPECT_EQ(CtiCameraNameSet(n, 32, tooLong.c_str()), CTISTATUS_BUFFER_TOO_LARGE);
    // A shorter name leaves nothing of the longer one behind; the length
    // given cuts a name without its terminator there.
    ASSERT_EQ(CtiCameraNameSet(n, 3, "Desk camera"), CTISTATUS_SUCCESS);
    ASSERT_EQ(CtiCameraNameGet(n, sizeof name, name), CTISTATUS_SUCCESS);
    EXPECT_STREQ(name, "Des");
    // Another session-free handle sees the same name: it is the driver's.
    PAV_GUID set;
    std::memcpy(&set, &pav512::kPropertySetDevice, sizeof set);
    PAVPI_HANDLE p = nullptr;
    ASSERT_EQ(PAVPI_HandleOpen(n, &p), PAVPI_STATUS_SUCCESS);
    char field[32] = {};
    ASSERT_EQ(PAVPI_PropertyGet(p, &set, pav512::kPropertyCameraName, 32, field), PAVPI_STATUS_SUCCESS);
    EXPECT_STREQ(field, "Des");
    EXPECT_EQ(PAVPI_HandleClose(&p), PAVPI_STATUS_SUCCESS);

    EXPECT_EQ(CtiCameraNameSet(0, 3, "abc"), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiCameraNameSet(n, 0, "abc"), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiCameraNameSet(n, 3, nullptr), CTISTATUS_NULL_POINTER);
    EXPECT_EQ(CtiCameraNameGet(0, 8, name), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiCameraNameGet(n, 0, name), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiCameraNameGet(n, 8, nullptr), CTISTATUS_NULL_POINTER);
    EXPECT_EQ(CtiCameraNameGet(200, 8, name), CTISTATUS_BAD_PARAMETER);
}

}  // namespace
}  // namespace pavtest
