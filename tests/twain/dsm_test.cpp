// The source manager as an application sees it, with the test sources and
// with the real data source file.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "twain/twain_types.h"

extern "C" TW_UINT16 DSM_Entry(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16, TW_MEMREF);

namespace {

std::vector<TW_UINT16> g_messages;
TW_UINT32 g_fromSource = 0;

TW_UINT16 callback(pTW_IDENTITY origin, pTW_IDENTITY, TW_UINT32 dg, TW_UINT16 dat, TW_UINT16 msg, TW_MEMREF) {
    if (dg == DG_CONTROL && dat == DAT_NULL) {
        g_messages.push_back(msg);
        g_fromSource = origin ? origin->Id : 0;
    }
    return TWRC_SUCCESS;
}

int threadCount() {
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

class Manager : public ::testing::Test {
  protected:
    void openManager(const char* dir) {
        ::setenv("PAV_TWAIN_DS_DIR", dir, 1);
        app_ = TW_IDENTITY{};
        app_.ProtocolMajor = 2;
        app_.ProtocolMinor = 4;
        app_.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
        std::snprintf(app_.ProductName, sizeof app_.ProductName, "manager test");
        ASSERT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TWRC_SUCCESS);
        ASSERT_NE(app_.Id, 0u);
        g_messages.clear();
    }
    void TearDown() override {
        if (app_.Id) DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr);
    }
    std::vector<std::string> listed() {
        std::vector<std::string> names;
        TW_IDENTITY id{};
        for (TW_UINT16 rc = DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id);
             rc == TWRC_SUCCESS; rc = DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETNEXT, &id))
            names.push_back(id.ProductName);
        return names;
    }
    TW_IDENTITY openByName(const char* name) {
        TW_IDENTITY ds{};
        std::snprintf(ds.ProductName, sizeof ds.ProductName, "%s", name);
        EXPECT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &ds), TWRC_SUCCESS) << name;
        TW_CALLBACK cb{reinterpret_cast<TW_MEMREF>(&callback), 0, 0};
        EXPECT_EQ(DSM_Entry(&app_, &ds, DG_CONTROL, DAT_CALLBACK, MSG_REGISTER_CALLBACK, &cb), TWRC_SUCCESS);
        return ds;
    }
    TW_IDENTITY app_{};
};

TEST_F(Manager, ListsOnlySourcesItAccepts) {
    openManager(TEST_SOURCES_DIR);
    // Found below subfolders; a file without ".ds", a symbolic link, a source
    // without DG_IMAGE and one of an unlisted protocol are left out.
    EXPECT_EQ(listed(), (std::vector<std::string>{"Old Source", "New Source"}));
    TW_IDENTITY def{};
    ASSERT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETDEFAULT, &def), TWRC_SUCCESS);
    EXPECT_STREQ(def.ProductName, "Old Source");
}

TEST_F(Manager, OnlyTwain2SourcesGetTheEntryPoints) {
    openManager(TEST_SOURCES_DIR);
    TW_IDENTITY old = openByName("Old Source");
    TW_IDENTITY fresh = openByName("New Source");
    EXPECT_NE(old.Id, fresh.Id);
    TW_UINT32 got = 7;
    ASSERT_EQ(DSM_Entry(&app_, &old, DG_CONTROL, 0x8001, MSG_GET, &got), TWRC_SUCCESS);
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(DSM_Entry(&app_, &fresh, DG_CONTROL, 0x8001, MSG_GET, &got), TWRC_SUCCESS);
    EXPECT_EQ(got, 1u);
    // Both kinds reach the application's callback: the 1.9 one through the
    // manager library it finds loaded, the other through its entry points.
    TW_USERINTERFACE ui{1, 0, nullptr};
    ASSERT_EQ(DSM_Entry(&app_, &old, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(g_messages, std::vector<TW_UINT16>{MSG_XFERREADY});
    EXPECT_EQ(g_fromSource, old.Id);
    ASSERT_EQ(DSM_Entry(&app_, &fresh, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui), TWRC_SUCCESS);
    EXPECT_EQ(g_messages.size(), 2u);
    EXPECT_EQ(g_fromSource, fresh.Id);
    EXPECT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &old), TWRC_SUCCESS);
    EXPECT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &fresh), TWRC_SUCCESS);
    // A closed source is no destination any more.
    EXPECT_EQ(DSM_Entry(&app_, &old, DG_CONTROL, 0x8001, MSG_GET, &got), TWRC_FAILURE);
    TW_STATUS st{};
    ASSERT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &st), TWRC_SUCCESS);
    EXPECT_EQ(+st.ConditionCode, TWCC_BADDEST);
}

TEST_F(Manager, ProbesTheDataSourceWithoutStartingAThread) {
    int before = threadCount();
    openManager(PAV512TW_DIR);
    EXPECT_EQ(threadCount(), before);
    std::vector<std::string> names = listed();
    ASSERT_EQ(names, std::vector<std::string>{"TQM Video Camera"});
    TW_IDENTITY id{};
    ASSERT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_GETFIRST, &id), TWRC_SUCCESS);
    EXPECT_EQ(+id.ProtocolMajor, 1);
    EXPECT_EQ(+id.ProtocolMinor, 9);
    EXPECT_STREQ(id.Manufacturer, "Generic");
}

TEST_F(Manager, RoutesTripletsToTheDataSourceAndRefusesASecondApplication) {
    // No camera library: the source still opens and answers.
    ::setenv("PAV512TW_USER_LIBRARY", "libpav512tw-no-such-library.so", 1);
    openManager(PAV512TW_DIR);
    TW_IDENTITY ds = openByName("TQM Video Camera");
    TW_ONEVALUE five{TWTY_INT16, 5};
    TW_CAPABILITY set{CAP_XFERCOUNT, TWON_ONEVALUE, &five};
    EXPECT_EQ(DSM_Entry(&app_, &ds, DG_CONTROL, DAT_CAPABILITY, MSG_SET, &set), TWRC_SUCCESS);
    TW_SETUPMEMXFER m{};
    ASSERT_EQ(DSM_Entry(&app_, &ds, DG_CONTROL, DAT_SETUPMEMXFER, MSG_GET, &m), TWRC_SUCCESS);
    EXPECT_EQ(+m.MaxBufSize, 304128u);

    TW_IDENTITY second{};
    second.ProtocolMajor = 1;
    second.ProtocolMinor = 9;
    ASSERT_EQ(DSM_Entry(&second, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, nullptr), TWRC_SUCCESS);
    TW_IDENTITY want{};
    std::snprintf(want.ProductName, sizeof want.ProductName, "TQM Video Camera");
    EXPECT_EQ(DSM_Entry(&second, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &want), TWRC_FAILURE);
    TW_STATUS st{};
    ASSERT_EQ(DSM_Entry(&second, nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &st), TWRC_SUCCESS);
    EXPECT_EQ(+st.ConditionCode, TWCC_MAXCONNECTIONS);
    EXPECT_EQ(DSM_Entry(&second, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, nullptr), TWRC_SUCCESS);
    // The first application's session saw nothing of it.
    TW_STATUS mine{};
    ASSERT_EQ(DSM_Entry(&app_, &ds, DG_CONTROL, DAT_STATUS, MSG_GET, &mine), TWRC_SUCCESS);
    EXPECT_EQ(+mine.ConditionCode, TWCC_SUCCESS);
    EXPECT_EQ(DSM_Entry(&app_, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &ds), TWRC_SUCCESS);
    ::unsetenv("PAV512TW_USER_LIBRARY");
}

}  // namespace
