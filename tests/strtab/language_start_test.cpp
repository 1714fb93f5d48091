// The language a module starts in: "LanguageName" from the user's key, else
// the machine's, matched against the table's language names.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "library/device/registry_key.h"
#include "library/stills/string_table.h"
#include "tests/strtab/strtab_test_util.h"

namespace {

using namespace strtabtest;
using pavstills::StringTable;

void setName(HKEY root, const char* name) {
    pavu::RegistryKey key;
    ASSERT_TRUE(key.open(root, pavu::kProductKey, true, false));
    if (name) {
        ASSERT_TRUE(key.writeString("LanguageName", name));
    }
}

std::string userName() {
    pavu::RegistryKey key;
    char text[128] = {};
    if (!key.open(HKEY_CURRENT_USER, pavu::kProductKey, false, true)) return "<no key>";
    if (!key.readString("LanguageName", text, sizeof text)) return "<no value>";
    return text;
}

// The table as a directory and a file name, the way a module finds it.
struct Table {
    std::string directory = ::testing::TempDir();
    std::string file;
    explicit Table(const Bytes& bytes, const std::string& name) {
        const std::string path = written(bytes, name);
        file = path.substr(directory.size());
    }
};

TEST(LanguageAtStart, TheUsersNameSelectsAndIsWrittenBack) {
    Table table(exampleTable(), "user.cfg");
    setName(HKEY_CURRENT_USER, "Deutsch");
    setName(HKEY_LOCAL_MACHINE, "English");
    StringTable t;
    pavstills::selectLanguageAtStart(t, table.directory, table.file.c_str(), true);
    EXPECT_EQ(t.currentLanguage(), 1u);
    EXPECT_STREQ(t.text("Cancel"), "Abbrechen");
    EXPECT_EQ(userName(), "Deutsch");
}

TEST(LanguageAtStart, TheMachinesNameWhenTheUserHasNone) {
    Table table(exampleTable(), "machine.cfg");
    setName(HKEY_CURRENT_USER, nullptr);  // the key, without the value
    setName(HKEY_LOCAL_MACHINE, "Deutsch");
    StringTable t;
    pavstills::selectLanguageAtStart(t, table.directory, table.file.c_str(), true);
    EXPECT_EQ(t.currentLanguage(), 1u);
    EXPECT_EQ(userName(), "Deutsch");
}

TEST(LanguageAtStart, OfTwoEqualNamesTheLaterWins) {
    Table table(tableFile(16, {{"", "English", "Deutsch", "Deutsch"},
                               {"Cancel", "Cancel", "Abbrechen", "Abbruch"}}),
                "twice.cfg");
    setName(HKEY_CURRENT_USER, "Deutsch");
    StringTable t;
    pavstills::selectLanguageAtStart(t, table.directory, table.file.c_str(), true);
    EXPECT_EQ(t.currentLanguage(), 2u);
    EXPECT_STREQ(t.text("Cancel"), "Abbruch");
}

TEST(LanguageAtStart, AnUnknownOrCaseDifferentNameLeavesLanguageZero) {
    Table table(exampleTable(), "unknown.cfg");
    for (const char* name : {"Klingon", "deutsch", ""}) {
        SCOPED_TRACE(name);
        setName(HKEY_CURRENT_USER, name);
        StringTable t;
        pavstills::selectLanguageAtStart(t, table.directory, table.file.c_str(), true);
        EXPECT_EQ(t.currentLanguage(), 0u);
        EXPECT_EQ(userName(), "English");
    }
}

TEST(LanguageAtStart, NoTableMeansEmptyTextsAndAnEmptyName) {
    setName(HKEY_CURRENT_USER, "Deutsch");
    StringTable t;
    pavstills::selectLanguageAtStart(t, ::testing::TempDir(), "no-such-table.cfg", true);
    EXPECT_FALSE(t.loaded());
    EXPECT_STREQ(t.text("Cancel"), "");
    EXPECT_EQ(userName(), "");
}

TEST(LanguageAtStart, NeitherKeyIsCreatedAndTheDataSourceWritesNothing) {
    Table table(exampleTable(), "nokey.cfg");
    StringTable t;
    pavstills::selectLanguageAtStart(t, table.directory, table.file.c_str(), true);
    EXPECT_EQ(t.currentLanguage(), 0u);
    EXPECT_EQ(userName(), "<no key>");

    setName(HKEY_LOCAL_MACHINE, "Deutsch");
    setName(HKEY_CURRENT_USER, nullptr);
    StringTable d;
    pavstills::selectLanguageAtStart(d, table.directory, table.file.c_str(), false);
    EXPECT_EQ(d.currentLanguage(), 1u);
    EXPECT_EQ(userName(), "<no value>");
}

// The shared library chooses its language from the table built beside it
// when it is loaded.
TEST(LanguageAtStart, TheLibraryLoadsItsTableWhenItIsLoaded) {
    setName(HKEY_CURRENT_USER, nullptr);
    setName(HKEY_LOCAL_MACHINE, "Deutsch");
    void* library = ::dlopen(PAV512U_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    EXPECT_EQ(userName(), "Deutsch");
    ::dlclose(library);
}

}  // namespace
