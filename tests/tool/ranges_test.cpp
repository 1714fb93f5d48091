// Ranges of file numbers as users type them, and the file-name patterns.
#include <gtest/gtest.h>

#include "tools/pav512/pattern.h"
#include "tools/pav512/ranges.h"

namespace pav512 {
namespace {

std::vector<std::size_t> numbers(const std::string& text, std::size_t count) {
    RangeResult r = parseRange(text, count);
    EXPECT_TRUE(r.ok()) << text << ": " << r.error;
    return r.numbers;
}

std::string errorOf(const std::string& text, std::size_t count) {
    RangeResult r = parseRange(text, count);
    EXPECT_FALSE(r.ok()) << text << " was accepted";
    EXPECT_TRUE(r.numbers.empty());
    return r.error;
}

using V = std::vector<std::size_t>;

TEST(Ranges, ListsSpansAndOpenSpansComeOutAscendingAndOnce) {
    EXPECT_EQ(numbers("3", 5), V({3}));
    EXPECT_EQ(numbers("1-3", 5), V({1, 2, 3}));
    EXPECT_EQ(numbers("5,1,3", 5), V({1, 3, 5}));
    EXPECT_EQ(numbers("2-4,3-5,4", 5), V({2, 3, 4, 5}));
    EXPECT_EQ(numbers("4-", 6), V({4, 5, 6}));
    EXPECT_EQ(numbers("6-", 6), V({6}));
    EXPECT_EQ(numbers("2-2", 3), V({2}));
    EXPECT_EQ(numbers(" 1 - 2 , 4 ", 5), V({1, 2, 4}));
    EXPECT_EQ(numbers("007", 9), V({7}));
}

TEST(Ranges, RefusesEachMalformedOrOutOfRangeItemWithOneSentence) {
    struct Case {
        const char* text;
        std::size_t count;
        const char* says;
    };
    const Case cases[] = {
        {"0", 5, "numbered from 1"},
        {"0-2", 5, "numbered from 1"},
        {"6", 5, "there is no file 6, the camera holds 5 files"},
        {"2-9", 5, "there is no file 9"},
        {"7-", 5, "there is no file 7"},
        {"1", 0, "holds no files"},
        {"4-2", 5, "runs backwards"},
        {"", 5, "names no file"},
        {"  ", 5, "names no file"},
        {",1", 5, "must start with a number"},
        {"1,", 5, "ends with ','"},
        {"1,,2", 5, "must start with a number"},
        {"-3", 5, "must start with a number"},
        {"1-2-3", 5, "not expected"},
        {"a", 5, "neither a number"},
        {"1-x", 5, "not a number"},
        {"99999999999999999999999", 5, "too large"},
        {"1-99999999999999999999999", 5, "too large"},
    };
    for (const Case& c : cases) {
        std::string e = errorOf(c.text, c.count);
        EXPECT_NE(e.find(c.says), std::string::npos) << c.text << ": " << e;
        // One sentence: it ends with a full stop and carries no line break.
        EXPECT_EQ(e.back(), '.') << e;
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
    }
    EXPECT_EQ(numbers("1", 1), V({1}));
}

TEST(Ranges, AHugeSpanOnASmallCameraIsRefusedWithoutListingIt) {
    // A span is checked against the count before anything is listed, so a
    // typo cannot make the tool build a list of a billion numbers.
    std::string e = errorOf("1-4000000000", 3);
    EXPECT_NE(e.find("no file 4000000000"), std::string::npos) << e;
}

TEST(Ranges, TellsRangesFromFileNames) {
    EXPECT_TRUE(looksLikeRange("3"));
    EXPECT_TRUE(looksLikeRange("1-4,7"));
    EXPECT_TRUE(looksLikeRange("6-"));
    EXPECT_FALSE(looksLikeRange("10000001.jpg"));
    EXPECT_FALSE(looksLikeRange("10000001a"));
    EXPECT_FALSE(looksLikeRange("-"));
    EXPECT_FALSE(looksLikeRange(""));
}

std::string render(const std::string& pattern, const FileFields& f) {
    Pattern p;
    std::string error;
    EXPECT_TRUE(p.compile(pattern, &error)) << pattern << ": " << error;
    return p.render(f);
}

std::string patternError(const std::string& pattern) {
    Pattern p;
    std::string error;
    EXPECT_FALSE(p.compile(pattern, &error)) << pattern << " was accepted";
    return error;
}

TEST(Patterns, FieldsAndZeroPaddedCounters) {
    FileFields f{7, 12, "10000007", "picture", "jpg"};
    EXPECT_EQ(render(Pattern::kDefault, f), "10000007.jpg");
    EXPECT_EQ(render("%n.%e", f), "7.jpg");
    EXPECT_EQ(render("img_%4n.%e", f), "img_0007.jpg");
    EXPECT_EQ(render("%04n", f), "0007");
    EXPECT_EQ(render("%3c-%k.%e", f), "012-picture.jpg");
    EXPECT_EQ(render("%1n", f), "7");
    EXPECT_EQ(render("%k/%f.%e", f), "picture/10000007.jpg");
    EXPECT_EQ(render("100%%-%n", f), "100%-7");
    // A number wider than its width is never cut.
    FileFields big{12345, 1, "x", "clip", "avi"};
    EXPECT_EQ(render("%3n", big), "12345");
}

TEST(Patterns, FieldsFromTheCameraCannotLeaveTheFolder) {
    FileFields f{1, 1, "../../etc/passwd", "pic/ture", ".."};
    std::string out = render("%f.%k.%e", f);
    EXPECT_EQ(out.find('/'), std::string::npos) << out;
    EXPECT_NE(out.substr(0, 2), "..") << out;
    FileFields hidden{1, 1, ".profile", "picture", "jpg"};
    EXPECT_EQ(render("%f", hidden), "_profile");
}

TEST(Patterns, RefusesPatternsThatCannotNameFilesSafely) {
    struct Case {
        const char* pattern;
        const char* says;
    };
    const Case cases[] = {
        {"", "empty"},
        {"/tmp/%f", "relative"},
        {"%", "ends inside"},
        {"%3", "ends inside"},
        {"%x", "'%x' is not a code"},
        {"%3f", "only %n and %c take a width"},
        {"%3%", "takes no width"},
        {"%99n", "larger than 12"},
        {"../%f", "'.' or '..'"},
        {"a/./%f", "'.' or '..'"},
        {"a//%f", "empty folder name"},
        {"%f/", "ends with '/'"},
        {"photo.%e", "needs %n, %c or %f"},
        {"%k.%e", "needs %n, %c or %f"},
    };
    for (const Case& c : cases) {
        std::string e = patternError(c.pattern);
        EXPECT_NE(e.find(c.says), std::string::npos) << c.pattern << ": " << e;
        EXPECT_EQ(e.back(), '.') << e;
    }
}

}  // namespace
}  // namespace pav512
