// The string-table tool: the tables it builds and the sources it refuses.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "library/stills/string_table.h"
#include "tests/strtab/strtab_test_util.h"

namespace {

using namespace strtabtest;
using pavstills::StringTable;

std::string source(const std::string& name, const std::string& text) {
    const std::string path = tempPath(name);
    std::ofstream(path, std::ios::trunc) << text;
    return path;
}

int tool(const std::string& arguments) {
    return std::system((std::string(PAV_STRTAB_TOOL) + " " + arguments + " 2>/dev/null").c_str());
}

Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(StringTableTool, BuildsTheTableTheSourcesDescribe) {
    const std::string en = source("en.txt",
                                  "# comment\nlanguage = English\nCancel = Cancel\n\n"
                                  "Uploading = Image %d of %d\nPadded = \\sone\\s\n");
    const std::string de = source("de.txt",
                                  "language = Deutsch\nUploading = Bild %d von %d\n"
                                  "Cancel = Abbrechen\nPadded = eins\n");
    const std::string out = tempPath("built.cfg");
    ASSERT_EQ(tool("-o " + out + " " + en + " " + de), 0);
    const Bytes b = fileBytes(out);
    // Width: the longest string ("Image %d of %d", 14 bytes) and its
    // terminator, rounded up to 4.
    ASSERT_GE(b.size(), 12u);
    const std::uint32_t w = b[8] | b[9] << 8;
    EXPECT_EQ(w, 16u);
    EXPECT_EQ(b.size(), 12u + 4 * 3 * 16);
    StringTable t;
    ASSERT_TRUE(t.load(0, out));
    EXPECT_EQ(t.languageCount(), 2u);
    EXPECT_STREQ(t.languageName(1), "Deutsch");
    EXPECT_STREQ(t.textByNumber(0), "Cancel") << "keys in the first source's order";
    EXPECT_STREQ(t.text("Padded"), " one ");
    ASSERT_TRUE(t.selectLanguage(1));
    EXPECT_STREQ(t.text("Uploading"), "Bild %d von %d");

    ASSERT_EQ(tool("--width 40 -o " + out + " " + en + " " + de), 0);
    EXPECT_EQ(fileBytes(out).size(), 12u + 4 * 3 * 40);
    EXPECT_NE(tool("--width 8 -o " + out + " " + en + " " + de), 0);
}

TEST(StringTableTool, RefusesSourcesThatDisagree) {
    const std::string en = source("en2.txt", "language = English\nCancel = Cancel\nImage = Image %d\n");
    const std::string out = tempPath("refused.cfg");
    struct Case {
        const char* what;
        const char* text;
    };
    for (const Case& c : {Case{"a missing key", "language = Deutsch\nCancel = Abbrechen\n"},
                          Case{"an extra key",
                               "language = Deutsch\nCancel = A\nImage = Bild %d\nMore = x\n"},
                          Case{"other conversions", "language = Deutsch\nCancel = A\nImage = Bild %s\n"},
                          Case{"no language line", "Cancel = A\nImage = Bild %d\n"},
                          Case{"a key twice", "language = D\nCancel = A\nCancel = B\nImage = %d\n"},
                          Case{"no equals sign", "language = D\nCancel A\nImage = %d\n"},
                          Case{"a bad escape", "language = D\nCancel = \\q\nImage = %d\n"}}) {
        SCOPED_TRACE(c.what);
        EXPECT_NE(tool("-o " + out + " " + en + " " + source("de2.txt", c.text)), 0);
    }
    EXPECT_NE(tool("-o " + out + " " + tempPath("missing.txt")), 0);
    EXPECT_NE(tool(en), 0) << "no output named";
}

// The shipped tables: both languages carry every caption the data source's
// dialogs look up, and the picture number's placeholder survives translation.
TEST(StringTableTool, TheShippedTablesCoverTheDialogs) {
    for (const char* file : {"pav512u.cfg", "pav512tw.cfg"}) {
        SCOPED_TRACE(file);
        StringTable t;
        ASSERT_TRUE(t.load(0, std::string(PAV_TABLE_DIR) + "/" + file));
        ASSERT_EQ(t.languageCount(), 2u);
        EXPECT_STREQ(t.languageName(0), "English");
        EXPECT_STREQ(t.languageName(1), "Deutsch");
        for (std::uint32_t language = 0; language < 2; ++language) {
            t.selectLanguage(language);
            for (const char* key : {"TWAINControls", "Capture", "Close", "CameraSettings",
                                    "GetPictures", "ClearCamera", "UploadingThumbnails",
                                    "UploadingImage", "PressCancel", "Cancel", "AreYouSure",
                                    "Language", "Version"})
                EXPECT_STRNE(t.text(key), "") << key << " in language " << language;
            EXPECT_NE(std::string(t.text("UploadingImage")).find("%d"), std::string::npos);
        }
        EXPECT_STREQ(t.text("Cancel"), "Ab&brechen");
    }
}

}  // namespace
