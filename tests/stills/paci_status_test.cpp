// What the still camera interface answers without a camera: the status texts
// and their buffer rules, the PTP client's statuses as PACI statuses, the
// identifier conversions, the PTP string rule of the property values, and
// the exports that do nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "library/stills/paci_internal.h"
#include "library/stills/properties.h"
#include "pav512u/paci.h"

extern "C" PACI_STATUS paciTestTextFromC(PACI_STATUS status, char* text, uint32_t length);

namespace stillstest {
namespace {

TEST(PaciText, TheHeaderServesACProgram) {
    char text[32];
    ASSERT_EQ(paciTestTextFromC(PACI_STATUS_LOCKED, text, sizeof text), PACI_STATUS_SUCCESS);
    EXPECT_STREQ(text, "PACI_STATUS_LOCKED");
}

TEST(PaciText, NamesComeWithTheirTerminatorOrNotAtAll) {
    char text[64];
    ASSERT_EQ(PACI_GetErrorText(PACI_STATUS_DECODE_FAILED, text, sizeof text), PACI_STATUS_SUCCESS);
    EXPECT_STREQ(text, "PACI_STATUS_DECODE_FAILED");
    ASSERT_EQ(PACI_GetErrorText(0x4C, text, sizeof text), PACI_STATUS_SUCCESS);
    EXPECT_STREQ(text, "PACI_STATUS_TIMEDOUT");

    // Exactly as long as the text leaves no room for the terminator: refused,
    // and the buffer keeps what it had.
    const char* name = "PACI_STATUS_IN_USE";
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(PACI_GetErrorText(PACI_STATUS_IN_USE, text, std::strlen(name)),
              PACI_STATUS_BUFFER_TOO_SMALL);
    for (std::size_t i = 0; i < sizeof text; ++i) ASSERT_EQ(text[i], 'x') << i;
    EXPECT_EQ(PACI_GetErrorText(PACI_STATUS_IN_USE, text, std::strlen(name) + 1), PACI_STATUS_SUCCESS);
    EXPECT_STREQ(text, name);

    EXPECT_EQ(PACI_GetErrorText(PACI_STATUS_IN_USE, nullptr, 10), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_GetErrorText(PACI_STATUS_IN_USE, text, 0), PACI_STATUS_BUFFER_TOO_SMALL);
}

TEST(PaciText, CodesWithoutTextGiveTheEmptyString) {
    char text[8];
    for (PACI_STATUS code : {PACI_STATUS_MORE_DATA, PACI_STATUS_BLOCK_OVERRUN, 10u, 15u, 17u, 27u,
                             0xF0002009u, 0x44u}) {
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(PACI_GetErrorText(code, text, 1), PACI_STATUS_SUCCESS) << code;
        EXPECT_EQ(text[0], '\0') << code;
        EXPECT_EQ(text[1], 'x') << code;
    }
}

TEST(PaciText, EveryNamedCodeHasItsOwnName) {
    const std::vector<std::pair<PACI_STATUS, const char*>> named = {
        {0, "PACI_STATUS_SUCCESS"},          {9, "PACI_STATUS_NOT_IMPLEMENTED"},
        {0x10, "PACI_STATUS_CAMERA_NOT_FOUND"}, {0x12, "PACI_STATUS_CAMERA_ERROR"},
        {0x41, "PACI_STATUS_BULK_FAILED"},   {0x45, "PACI_STATUS_TASK_INVALID"},
        {0x51, "PACI_STATUS_NOT_LOCKED"},    {0x60, "PACI_STATUS_BAD_PROP_STREAM"},
        {0x65, "PACI_STATUS_NO_CURRENT_BLOCK_TRANSFER"}, {0x69, "PACI_STATUS_DLL_LOAD_ERROR"},
        {0x6A, "PACI_STATUS_NO_PREVIEW"},    {0x6B, "PACI_STATUS_SCALE_FAILED"},
    };
    char text[64];
    for (auto& [code, name] : named) {
        ASSERT_EQ(PACI_GetErrorText(code, text, sizeof text), PACI_STATUS_SUCCESS) << code;
        EXPECT_STREQ(text, name);
    }
    // 39 codes have a text.
    int withText = 0;
    for (PACI_STATUS c = 0; c < 0x100; ++c)
        if (paci::statusName(c)) ++withText;
    EXPECT_EQ(withText, 39);
}

TEST(PaciMapping, PtpStatusesBecomeTheirPaciNames) {
    const std::vector<std::pair<std::uint32_t, PACI_STATUS>> table = {
        {0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5},
        {6, PACI_STATUS_MORE_DATA}, {7, PACI_STATUS_BULK_FAILED}, {8, PACI_STATUS_ALLOC_FAILED},
        {9, 9}, {10, 10},
        {11, PACI_STATUS_TASK_INVALID}, {12, PACI_STATUS_TASK_PENDING},
        {13, PACI_STATUS_TASK_ABORT_FAILED}, {14, PACI_STATUS_TASK_ABORTED},
        {15, 15}, {16, PACI_STATUS_LOCKED}, {17, PACI_STATUS_TIMEDOUT},
        {18, PACI_STATUS_CAMERA_NOT_FOUND}, {19, PACI_STATUS_IN_USE}, {20, 17},
        {21, PACI_STATUS_CAMERA_ERROR}, {22, PACI_STATUS_COMMAND_INVALID},
        {23, PACI_STATUS_COMMAND_FAILED}, {24, PACI_STATUS_COMMAND_NOT_ATTEMPTED},
        {25, PACI_STATUS_TRANSPORT_FAILED}, {26, PACI_STATUS_DRIVER_VERSION_MISMATCH},
        {27, 27}, {28, PACI_STATUS_NOT_LOCKED}, {29, 29},
        {0xF0002009u, 0xF0002009u}, {0xF000201Du, 0xF000201Du},
    };
    for (auto& [ptp, paci] : table) EXPECT_EQ(paci::mapPtpStatus(ptp), paci) << ptp;
}

TEST(PaciIdentifiers, StorageIdsAndIdentifiersConvertBothWays) {
    EXPECT_EQ(paci::storageToId(0x00010000), 0x10000000u);
    EXPECT_EQ(paci::storageToId(0x00010003), 0x13000000u);
    EXPECT_EQ(paci::storageToId(0x000F000F), 0xFF000000u);
    // Only the low four bits of the logical number survive.
    EXPECT_EQ(paci::storageToId(0x00020013), 0x23000000u);
    EXPECT_EQ(paci::idToStorage(0x13000000), 0x00010003u);
    EXPECT_EQ(paci::idToStorage(0x13000005), 0x00010003u);  // a picture's storage
    EXPECT_TRUE(paci::isStorage(0x10000000));
    EXPECT_FALSE(paci::isStorage(0x10000001));
    EXPECT_FALSE(paci::isStorage(PACI_ID_DEVICE));
    EXPECT_FALSE(paci::isStorage(0));
    EXPECT_TRUE(paci::isObject(0x10000001));
    EXPECT_FALSE(paci::isObject(PACI_ID_DEVICE));
}

std::vector<std::uint8_t> ptpString(const std::string& s) {
    std::vector<std::uint8_t> out;
    out.push_back(static_cast<std::uint8_t>(2 * (s.size() + 1)));
    for (char c : s) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0x04);  // a high byte the value drops
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

TEST(PaciPtpText, TheLowBytesOfEachCharacterWhenTheyFit) {
    // A StorageInfo whose description has 12 characters: length byte 26, and
    // the volume label after it at 27 + 26.
    std::vector<std::uint8_t> info(26, 0);
    auto desc = ptpString("Card memory!");
    ASSERT_EQ(desc[0], 26);
    info.insert(info.end(), desc.begin(), desc.end());
    auto label = ptpString("VOL1");
    ASSERT_EQ(info.size(), 53u);
    EXPECT_EQ(paci::volumeLabelOffset(info.data()), 53u);
    info.insert(info.end(), label.begin(), label.end());

    std::uint8_t value[32] = {};
    paci::ptpText(info.data(), info.size(), 26, value);
    EXPECT_STREQ(reinterpret_cast<char*>(value), "Card memory!");
    std::uint8_t vol[32] = {};
    paci::ptpText(info.data(), info.size(), paci::volumeLabelOffset(info.data()), vol);
    EXPECT_STREQ(reinterpret_cast<char*>(vol), "VOL1");
}

TEST(PaciPtpText, TooLongOrCutShortStaysEmpty) {
    std::uint8_t value[40];
    // 32 characters with the terminator fit; 33 do not.
    auto fits = ptpString(std::string(31, 'a'));
    std::memset(value, 0, sizeof value);
    paci::ptpText(fits.data(), fits.size(), 0, value);
    EXPECT_EQ(std::strlen(reinterpret_cast<char*>(value)), 31u);
    auto tooLong = ptpString(std::string(32, 'a'));
    std::memset(value, 0, sizeof value);
    paci::ptpText(tooLong.data(), tooLong.size(), 0, value);
    EXPECT_EQ(value[0], 0);
    // A length byte that promises more than the dataset holds writes nothing.
    auto cut = ptpString("truncated");
    cut.resize(cut.size() - 4);
    std::memset(value, 0, sizeof value);
    paci::ptpText(cut.data(), cut.size(), 0, value);
    EXPECT_EQ(value[0], 0);
    // Nor does a string that starts past the end.
    paci::ptpText(cut.data(), cut.size(), cut.size(), value);
    EXPECT_EQ(value[0], 0);
}

TEST(PaciNothing, TheExportsThatDoNothingSucceed) {
    auto bogus = reinterpret_cast<PACI_HANDLE>(0x1234);
    std::uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(PACI_WriteObject(bogus, 0x10000000, data, sizeof data), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_WriteBlock(nullptr, data, sizeof data), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_TaskQueryComplete(bogus, 7), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_TaskWaitComplete(bogus, 7, 100), PACI_STATUS_SUCCESS);
    EXPECT_EQ(PACI_TaskAbort(nullptr, 7), PACI_STATUS_SUCCESS);
    EXPECT_EQ(data[0], 1);
    std::uint16_t version = 0;
    EXPECT_EQ(PACI_GetVersion(&version), PACI_STATUS_SUCCESS);
    EXPECT_EQ(version, PACI_VERSION);
}

TEST(PaciHandles, UnknownHandlesAreRefusedWithoutBeingTouched) {
    // A pointer the library never handed out: refused by the list, not read.
    std::vector<std::uint8_t> junk(sizeof(void*) * 64, 0xAB);
    auto bogus = reinterpret_cast<PACI_HANDLE>(junk.data());
    std::uint32_t total = 0;
    EXPECT_EQ(PACI_HandleLock(bogus, 0), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_HandleUnLock(bogus), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ObjectEnum(bogus, 0, 0, nullptr, 0, &total), PACI_STATUS_BAD_PARAMETER);
    PACI_OBJECT_INFO info;
    EXPECT_EQ(PACI_GetObjectInfo(bogus, 0x10000001, &info), PACI_STATUS_BAD_PARAMETER);
    std::uint8_t buffer[16];
    std::uint32_t got = 0, sofar = 0;
    EXPECT_EQ(PACI_ReadFirstBlock(bogus, 0x10000001, buffer, 16, &got), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_ReadNextBlock(bogus, buffer, 16, &got, &sofar), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_CancelBlockTransfer(bogus), PACI_STATUS_BAD_PARAMETER);
    EXPECT_EQ(PACI_HandleClose(&bogus), PACI_STATUS_BAD_PARAMETER);
    PACI_HANDLE none = nullptr;
    EXPECT_EQ(PACI_HandleClose(&none), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_HandleClose(nullptr), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_HandleLock(nullptr, 0), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_HandleUnLock(nullptr), PACI_STATUS_NULL_POINTER);
    EXPECT_EQ(PACI_HandleOpen(0, nullptr), PACI_STATUS_NULL_POINTER);
    for (std::uint8_t b : junk) ASSERT_EQ(b, 0xAB);
}

}  // namespace
}  // namespace stillstest
