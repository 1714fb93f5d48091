// The string table's file, its loading and its lookups.
#include <gtest/gtest.h>

#include <cstring>

#include "library/stills/string_table.h"
#include "tests/strtab/strtab_test_util.h"

namespace {

using namespace strtabtest;
using pavstills::StringTable;

TEST(StringTable, TheExampleFileOf396Bytes) {
    const Bytes file = exampleTable();
    ASSERT_EQ(file.size(), 396u);
    // "Text" of the second key in language 1 lies at 12 + (2 x 3 + 2) x 32.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[12 + (2 * 3 + 2) * 32])), "Abbrechen");
    StringTable t;
    ASSERT_TRUE(t.load(0, written(file, "example.cfg")));
    EXPECT_EQ(t.languageCount(), 2u);
    EXPECT_EQ(t.textCount(), 3u);
    EXPECT_STREQ(t.languageName(0), "English");
    EXPECT_STREQ(t.languageName(1), "Deutsch");
    EXPECT_STREQ(t.languageName(2), "");
    EXPECT_STREQ(t.text("Cancel"), "Cancel");
    EXPECT_TRUE(t.selectLanguage(1));
    EXPECT_STREQ(t.text("Cancel"), "Abbrechen");
    EXPECT_STREQ(t.textByNumber(0), "Deutsch");
    EXPECT_STREQ(t.textByNumber(2), "Fassung 1");
    EXPECT_STREQ(t.textByNumber(3), "") << "row numbers stop below N";
}

TEST(StringTable, KeysMatchByteForByte) {
    StringTable t;
    ASSERT_TRUE(t.load(0, written(exampleTable(), "keys.cfg")));
    EXPECT_STREQ(t.text("cancel"), "");
    EXPECT_STREQ(t.text("Cancel "), "");
    EXPECT_STREQ(t.text("Cance"), "");
    EXPECT_STREQ(t.text(""), "") << "row 0's empty key column is no key";
    EXPECT_STREQ(t.text("English"), "") << "a language name is no key";
    EXPECT_STREQ(t.text("Version"), "Version 1");
    // The first row of a key wins.
    StringTable twice;
    ASSERT_TRUE(twice.load(0, written(tableFile(16, {{"", "en"}, {"Close", "first"}, {"Close", "second"}}),
                                      "twice.cfg")));
    EXPECT_STREQ(twice.text("Close"), "first");
}

TEST(StringTable, SelectingRefusesIndicesFromLUp) {
    StringTable t;
    ASSERT_TRUE(t.load(0, written(exampleTable(), "select.cfg")));
    EXPECT_FALSE(t.selectLanguage(2)) << "an index equal to L";
    EXPECT_EQ(t.currentLanguage(), 0u);
    EXPECT_FALSE(t.selectLanguage(0xFFFFFFFF));
    EXPECT_FALSE(t.selectLanguage(0)) << "no change";
    EXPECT_TRUE(t.selectLanguage(1));
    EXPECT_FALSE(t.selectLanguage(1));
    EXPECT_EQ(t.currentLanguage(), 1u);
    // A load keeps a current index below L and resets one that is not.
    ASSERT_TRUE(t.load(1, written(exampleTable(), "select2.cfg")));
    EXPECT_EQ(t.currentLanguage(), 1u);
    ASSERT_TRUE(t.load(2, written(exampleTable(), "select3.cfg")));
    EXPECT_EQ(t.currentLanguage(), 0u);
}

TEST(StringTable, MissingShortOrBadFilesLeaveEveryTextEmpty) {
    const Bytes good = exampleTable();
    std::vector<std::pair<std::string, Bytes>> bad = {
        {"header only half", Bytes(good.begin(), good.begin() + 6)},
        {"one byte short", Bytes(good.begin(), good.end() - 1)},
        {"slot width 0", [] {
             Bytes b;
             put32(b, 1);
             put32(b, 1);
             put32(b, 0);
             return b;
         }()},
        {"a header that promises terabytes", [&] {
             Bytes b;
             put32(b, 0xFFFFFFFF);
             put32(b, 0xFFFFFFFF);
             put32(b, 0xFFFFFFFF);
             b.insert(b.end(), good.begin() + 12, good.end());
             return b;
         }()},
    };
    for (const auto& [what, bytes] : bad) {
        SCOPED_TRACE(what);
        StringTable t;
        ASSERT_TRUE(t.load(0, written(good, "good.cfg")));
        EXPECT_FALSE(t.load(0, written(bytes, "bad.cfg")));
        EXPECT_FALSE(t.loaded());
        EXPECT_EQ(t.languageCount(), 0u);
        EXPECT_STREQ(t.text("Cancel"), "");
        EXPECT_STREQ(t.languageName(0), "");
        EXPECT_STREQ(t.textByNumber(0), "");
        EXPECT_FALSE(t.selectLanguage(0));
    }
    StringTable none;
    EXPECT_FALSE(none.load(0, tempPath("no-such-file.cfg")));
    EXPECT_STREQ(none.text("Cancel"), "");
    // Longer than it needs to be is fine: the slots are what counts.
    Bytes longer = good;
    longer.insert(longer.end(), 10, 0x41);
    StringTable t;
    EXPECT_TRUE(t.load(0, written(longer, "longer.cfg")));
    t.unload();
    EXPECT_STREQ(t.text("Cancel"), "");
}

TEST(StringTable, AnUnterminatedSlotEndsInsideItself) {
    Bytes file = tableFile(8, {{"", "en"}, {"Key", "text"}, {"Next", "after"}});
    // Fill the text slot of "Key" to its last byte with no terminator.
    const std::size_t at = 12 + (1 * 2 + 1) * 8;
    std::memset(&file[at], 'x', 8);
    StringTable t;
    ASSERT_TRUE(t.load(0, written(file, "unterminated.cfg")));
    EXPECT_STREQ(t.text("Key"), "xxxxxxx");
    EXPECT_STREQ(t.text("Next"), "after");
}

}  // namespace
