// The data source's triplets, states, condition codes and capabilities.
#include <cstdlib>
#include <cstring>

#include "tests/twain/source_fixture.h"
#include "twain/source/capabilities.h"

namespace twaintest {
namespace {

using Session = SourceTest;

TW_UINT16 oneValue16(const TW_CAPABILITY& cap) {
    auto* one = static_cast<pTW_ONEVALUE>(cap.hContainer);
    return static_cast<TW_UINT16>(one->Item & 0xFFFF);
}

TEST_F(Session, IdentityIsTheProductsBeforeAndTheManagersAfterOpen) {
    TW_IDENTITY id{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    EXPECT_EQ(+id.Id, 0u);
    EXPECT_EQ(+id.Version.MajorNum, 2);
    EXPECT_EQ(+id.Version.MinorNum, 3);
    EXPECT_EQ(+id.Version.Language, TWLG_USA);
    EXPECT_EQ(+id.Version.Country, TWCY_USA);
    EXPECT_STREQ(id.Version.Info, "2-03 build 05");
    EXPECT_EQ(+id.ProtocolMajor, 1);
    EXPECT_EQ(+id.ProtocolMinor, 9);
    EXPECT_EQ(+id.SupportedGroups, 3u);
    EXPECT_STREQ(id.Manufacturer, "Generic");
    EXPECT_STREQ(id.ProductFamily, "PAV512");
    EXPECT_STREQ(id.ProductName, "TQM Video Camera");
    open();
    ASSERT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    EXPECT_EQ(+id.Id, 3u);
}

TEST_F(Session, StatusReportsOnceAndControlTripletsKeepIt) {
    // DAT_IMAGEINFO in state 3 is refused; the code survives a successful
    // DG_CONTROL triplet and is cleared by reading it.
    TW_IMAGEINFO info{};
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
    TW_IDENTITY id{};
    EXPECT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_GET, &id), TWRC_SUCCESS);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    EXPECT_EQ(conditionCode(), TWCC_SUCCESS);

    EXPECT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_GET, nullptr), TWRC_FAILURE);  // state 3
    open();
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    // A DG_IMAGE triplet starts afresh.
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
    TW_IMAGELAYOUT layout{};
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout), TWRC_SUCCESS);
    EXPECT_EQ(conditionCode(), TWCC_SUCCESS);
}

TEST_F(Session, UnknownGroupsAndMessagesAreRefused) {
    open();
    EXPECT_EQ(ds(DG_AUDIO, DAT_NULL, MSG_GET, nullptr), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADPROTOCOL);
    TW_PENDINGXFERS p{};
    EXPECT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_SET, &p), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADPROTOCOL);
    // An unknown DAT fails and leaves the code as it was.
    EXPECT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_SET, &p), TWRC_FAILURE);
    EXPECT_EQ(ds(DG_CONTROL, 0x0666, MSG_GET, &p), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADPROTOCOL);
    TW_EVENT event{nullptr, 0x1234};
    EXPECT_EQ(ds(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event), TWRC_NOTDSEVENT);
}

TEST_F(Session, StateRefusals) {
    TW_CAPABILITY cap{CAP_XFERCOUNT, TWON_DONTCARE16, nullptr};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_FAILURE);  // state 3
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    TW_USERINTERFACE ui{1, 0, nullptr};
    EXPECT_EQ(ds(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    open();
    TW_IDENTITY again{};
    EXPECT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &again), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    TW_PENDINGXFERS p{};
    EXPECT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    TW_UINT32 handle = 0;
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    enable();
    // MSG_SET on a capability needs state 4.
    TW_ONEVALUE five{TWTY_INT16, 5};
    TW_CAPABILITY set{CAP_XFERCOUNT, TWON_ONEVALUE, &five};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    TW_IMAGEINFO info{};
    EXPECT_EQ(ds(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &info), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    EXPECT_EQ(ds(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(pavtw::sessionState(), 4);
    EXPECT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &again), TWRC_SUCCESS);
    EXPECT_EQ(pavtw::sessionState(), 3);
}

TEST_F(Session, EnableFailsWhenTheWindowCannotShow) {
    view_.showResult = false;
    open();
    TW_USERINTERFACE ui{1, 0, nullptr};
    EXPECT_EQ(ds(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_OPERATIONERROR);
    EXPECT_EQ(pavtw::sessionState(), 4);
}

TEST_F(Session, OneApplicationAtATime) {
    open();
    TW_CAPABILITY cap{CAP_XFERCOUNT, TWON_DONTCARE16, nullptr};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_SUCCESS);
    std::free(cap.hContainer);
    TW_PENDINGXFERS p{};
    EXPECT_EQ(ds(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &p), TWRC_FAILURE);  // leaves SEQERROR

    TW_IDENTITY other = identity(8, 1, 9);
    TW_STATUS st{};
    // Any triplet of another application fails and changes nothing.
    EXPECT_EQ(pavtw::dsEntry(&other, DG_CONTROL, DAT_STATUS, MSG_GET, &st), TWRC_FAILURE);
    EXPECT_EQ(pavtw::dsEntry(&other, DG_CONTROL, DAT_CAPABILITY, MSG_GET, &cap), TWRC_FAILURE);
    EXPECT_EQ(pavtw::dsEntry(&other, DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &p), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_SEQERROR);
    EXPECT_EQ(pavtw::sessionState(), 4);

    TW_IDENTITY source{};
    EXPECT_EQ(pavtw::dsEntry(&other, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_MAXCONNECTIONS);
    EXPECT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source), TWRC_SUCCESS);
    source.Id = 3;
    EXPECT_EQ(pavtw::dsEntry(&other, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source), TWRC_SUCCESS);
    EXPECT_EQ(pavtw::dsEntry(&app_, DG_CONTROL, DAT_STATUS, MSG_GET, &st), TWRC_FAILURE);
}

TEST(Fix32, ConversionsRoundToTheNearestSixtyFifthThousandth) {
    TW_FIX32 f = pavtw::toFix32(640);
    EXPECT_EQ(+f.Whole, 640);
    EXPECT_EQ(+f.Frac, 0);
    f = pavtw::toFix32(22 + 33 / 65536.0);
    EXPECT_EQ(+f.Whole, 22);
    EXPECT_EQ(+f.Frac, 33);
    f = pavtw::toFix32(0.5 + 0.4 / 65536.0);
    EXPECT_EQ(+f.Frac, 32768);
    f = pavtw::toFix32(-1);
    EXPECT_EQ(+f.Whole, -1);
    EXPECT_EQ(+f.Frac, 0);
    EXPECT_DOUBLE_EQ(pavtw::fromFix32(TW_FIX32{1, 16384}), 1.25);
}

class Capabilities : public SourceTest {
  protected:
    void SetUp() override {
        SourceTest::SetUp();
        open();
    }
    TW_UINT16 get(TW_UINT16 msg, TW_UINT16 capId, TW_CAPABILITY* cap) {
        *cap = TW_CAPABILITY{capId, TWON_DONTCARE16, nullptr};
        TW_UINT16 rc = ds(DG_CONTROL, DAT_CAPABILITY, msg, cap);
        if (rc == TWRC_SUCCESS) owned_.push_back(static_cast<void*>(cap->hContainer));
        return rc;
    }
    void TearDown() override {
        for (void* p : owned_) std::free(p);
        SourceTest::TearDown();
    }
    std::vector<void*> owned_;
};

TEST_F(Capabilities, SupportedCapsListsTheThirteenInOrder) {
    TW_CAPABILITY cap;
    ASSERT_EQ(get(MSG_GET, CAP_SUPPORTEDCAPS, &cap), TWRC_SUCCESS);
    EXPECT_EQ(+cap.ConType, TWON_ARRAY);
    auto* a = static_cast<pTW_ARRAY>(cap.hContainer);
    EXPECT_EQ(+a->ItemType, TWTY_UINT16);
    ASSERT_EQ(+a->NumItems, 13u);
    const TW_UINT16 expected[] = {0x1005, 0x0103, 0x111F, 0x1120, 0x0100, 0x1111, 0x1112,
                                  0x0102, 0x112B, 0x0101, 0x111C, 0x0001, 0x100E};
    for (int i = 0; i < 13; ++i) {
        TW_UINT16 v;
        std::memcpy(&v, a->ItemList + 2 * i, 2);
        EXPECT_EQ(v, expected[i]) << i;
        TW_CAPABILITY each;
        EXPECT_EQ(get(MSG_GETCURRENT, v, &each), TWRC_SUCCESS) << v;
    }
    ASSERT_EQ(get(MSG_QUERYSUPPORT, CAP_SUPPORTEDCAPS, &cap), TWRC_SUCCESS);
    EXPECT_EQ(+static_cast<pTW_ONEVALUE>(cap.hContainer)->ItemType, TWTY_UINT32);
    EXPECT_EQ(+static_cast<pTW_ONEVALUE>(cap.hContainer)->Item, 13u);
    ASSERT_EQ(get(MSG_QUERYSUPPORT, ICAP_XFERMECH, &cap), TWRC_SUCCESS);
    EXPECT_EQ(+static_cast<pTW_ONEVALUE>(cap.hContainer)->Item, 31u);
}

TEST_F(Capabilities, PhysicalWidthIsAFix32OneValue) {
    TW_CAPABILITY cap;
    ASSERT_EQ(get(MSG_GET, ICAP_PHYSICALWIDTH, &cap), TWRC_SUCCESS);
    EXPECT_EQ(+cap.ConType, TWON_ONEVALUE);
    auto* one = static_cast<pTW_ONEVALUE>(cap.hContainer);
    EXPECT_EQ(+one->ItemType, TWTY_FIX32);
    TW_FIX32 f;
    std::memcpy(&f, &one->Item, 4);
    EXPECT_EQ(+f.Whole, 640);
    EXPECT_EQ(+f.Frac, 0);
}

TEST_F(Capabilities, XferCountAcceptsOnlyItsList) {
    TW_ONEVALUE thirty{TWTY_INT16, 30};
    TW_CAPABILITY set{CAP_XFERCOUNT, TWON_ONEVALUE, &thirty};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADVALUE);
    TW_ONEVALUE five{TWTY_INT16, 5};
    set.hContainer = &five;
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_SUCCESS);
    TW_CAPABILITY cap;
    ASSERT_EQ(get(MSG_GET, CAP_XFERCOUNT, &cap), TWRC_SUCCESS);
    EXPECT_EQ(oneValue16(cap), 5);
    ASSERT_EQ(get(MSG_GETDEFAULT, CAP_XFERCOUNT, &cap), TWRC_SUCCESS);
    EXPECT_EQ(static_cast<TW_INT16>(oneValue16(cap)), -1);
    // -1 travels as the 16-bit pattern 0xFFFF.
    TW_ONEVALUE minusOne{TWTY_INT16, 0xFFFF};
    set.hContainer = &minusOne;
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_SUCCESS);
    // The wrong item type is a bad value too.
    TW_ONEVALUE wrongType{TWTY_UINT16, 5};
    set.hContainer = &wrongType;
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADVALUE);
    set.ConType = TWON_ARRAY;
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADVALUE);
}

TEST_F(Capabilities, AnEnumerationStoresItsFirstAllowedItem) {
    alignas(4) TW_UINT8 storage[offsetof(TW_ENUMERATION, ItemList) + 4] = {};
    auto* e = reinterpret_cast<pTW_ENUMERATION>(storage);
    e->ItemType = TWTY_UINT16;
    e->NumItems = 2;
    TW_UINT16 items[2] = {7, 2};
    std::memcpy(e->ItemList, items, sizeof items);
    TW_CAPABILITY set{ICAP_XFERMECH, TWON_ENUMERATION, e};
    ASSERT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_SUCCESS);
    TW_CAPABILITY cap;
    ASSERT_EQ(get(MSG_GETCURRENT, ICAP_XFERMECH, &cap), TWRC_SUCCESS);
    EXPECT_EQ(oneValue16(cap), TWSX_MEMORY);
    // MSG_RESET answers with the default and stores it.
    ASSERT_EQ(get(MSG_RESET, ICAP_XFERMECH, &cap), TWRC_SUCCESS);
    EXPECT_EQ(oneValue16(cap), TWSX_NATIVE);
    ASSERT_EQ(get(MSG_GET, ICAP_XFERMECH, &cap), TWRC_SUCCESS);
    EXPECT_EQ(oneValue16(cap), TWSX_NATIVE);
}

TEST_F(Capabilities, ReadOnlyRowsRefuseChangesAndUnknownOnesAreUnsupported) {
    TW_ONEVALUE one{TWTY_BOOL, 0};
    TW_CAPABILITY set{CAP_UICONTROLLABLE, TWON_ONEVALUE, &one};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_CAPBADOPERATION);
    TW_CAPABILITY cap;
    EXPECT_EQ(get(MSG_GET, 0x1234, &cap), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_CAPUNSUPPORTED);
    // A fixed real value compares as a real number.
    TW_FIX32 wide{640, 0};
    TW_ONEVALUE width{TWTY_FIX32, 0};
    std::memcpy(&width.Item, &wide, 4);
    TW_CAPABILITY setWidth{ICAP_PHYSICALWIDTH, TWON_ONEVALUE, &width};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &setWidth), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_CAPBADOPERATION);
}

TEST_F(Capabilities, OldApplicationsHearBadcapForNewerCodes) {
    TW_IDENTITY source{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source), TWRC_SUCCESS);
    app_ = identity(9, 1, 5);
    open();
    TW_CAPABILITY cap;
    EXPECT_EQ(get(MSG_GET, 0x1234, &cap), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADCAP);
    TW_ONEVALUE one{TWTY_BOOL, 0};
    TW_CAPABILITY set{CAP_UICONTROLLABLE, TWON_ONEVALUE, &one};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADCAP);
    // Codes up to 12 reach it unchanged.
    TW_ONEVALUE thirty{TWTY_INT16, 30};
    TW_CAPABILITY bad{CAP_XFERCOUNT, TWON_ONEVALUE, &thirty};
    EXPECT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &bad), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADVALUE);
}

TEST_F(Capabilities, SessionsStartFromTheDefaults) {
    TW_ONEVALUE five{TWTY_INT16, 5};
    TW_CAPABILITY set{CAP_XFERCOUNT, TWON_ONEVALUE, &five};
    ASSERT_EQ(ds(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_SUCCESS);
    TW_IDENTITY source{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source), TWRC_SUCCESS);
    open();
    TW_CAPABILITY cap;
    ASSERT_EQ(get(MSG_GET, CAP_XFERCOUNT, &cap), TWRC_SUCCESS);
    EXPECT_EQ(static_cast<TW_INT16>(oneValue16(cap)), -1);
}

TEST_F(Session, FileTransferSetupKeepsTheNameAndCreatesTheFile) {
    open();
    TW_SETUPFILEXFER f{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GET, &f), TWRC_SUCCESS);
    EXPECT_STREQ(f.FileName, "");
    EXPECT_EQ(+f.Format, TWFF_BMP);
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETDEFAULT, &f), TWRC_SUCCESS);
    EXPECT_STREQ(f.FileName, "./twain.bmp");
    std::string path = ::testing::TempDir() + "twain_setup_" + std::to_string(::getpid()) + ".bmp";
    std::remove(path.c_str());
    std::snprintf(f.FileName, sizeof f.FileName, "%s", path.c_str());
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &f), TWRC_SUCCESS);
    std::FILE* created = std::fopen(path.c_str(), "rb");
    EXPECT_NE(created, nullptr);
    if (created) std::fclose(created);
    TW_SETUPFILEXFER back{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_GETCURRENT, &back), TWRC_SUCCESS);
    EXPECT_EQ(path, back.FileName);
    std::snprintf(f.FileName, sizeof f.FileName, "%s", "/nonexistent-dir/x.bmp");
    EXPECT_EQ(ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_SET, &f), TWRC_FAILURE);
    EXPECT_EQ(conditionCode(), TWCC_BADVALUE);
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPFILEXFER, MSG_RESET, &back), TWRC_SUCCESS);
    EXPECT_STREQ(back.FileName, "./twain.bmp");
    std::remove(path.c_str());
    TW_UINT32 group = 0;
    ASSERT_EQ(ds(DG_CONTROL, DAT_XFERGROUP, MSG_GET, &group), TWRC_SUCCESS);
    EXPECT_EQ(+group, DG_IMAGE);
}

TEST_F(Session, WithoutACameraThePictureIs352By288Of24Bits) {
    open();
    TW_SETUPMEMXFER m{};
    ASSERT_EQ(ds(DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &m), TWRC_SUCCESS);
    EXPECT_EQ(+m.MinBufSize, 352u * 3);
    EXPECT_EQ(+m.Preferred, 352u * 3);
    EXPECT_EQ(+m.MaxBufSize, 304128u);
    TW_IMAGELAYOUT l{};
    ASSERT_EQ(ds(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GETDEFAULT, &l), TWRC_SUCCESS);
    TW_UINT32 word;
    std::memcpy(&word, &l.Frame.Left, 4);
    EXPECT_EQ(word, 0x00210016u);
    EXPECT_EQ(+l.DocumentNumber, 4u);
    EXPECT_EQ(+l.PageNumber, 88u);
    EXPECT_EQ(+l.FrameNumber, 1u);
}

}  // namespace
}  // namespace twaintest
