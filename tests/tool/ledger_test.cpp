// The per-camera download ledger and the files that appear only when whole.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/kernel_test.h"
#include "tools/pav512/ledger.h"
#include "tools/pav512/part_file.h"

namespace pav512 {
namespace {

namespace fs = std::filesystem;

std::string folder() {
    return pavtest::privateDir() + "/ledger";
}

TEST(Ledger, KnowsAnObjectByStorageNameSizeAndDateAcrossRuns) {
    LedgerKey a{0x00010000, "10000001.jpg", 14800, "20020524T101342.0"};
    {
        Ledger l("Kitchen cam-1234", folder());
        std::string error;
        ASSERT_TRUE(l.load(&error)) << error;
        EXPECT_EQ(l.size(), 0u);
        ASSERT_TRUE(l.record(a, &error)) << error;
    }
    Ledger again("Kitchen cam-1234", folder());
    std::string error;
    ASSERT_TRUE(again.load(&error)) << error;
    EXPECT_TRUE(again.contains(a));
    // Any one field different is another object: the camera reuses names
    // after a delete, and a new picture under an old name must be fetched.
    LedgerKey otherSize = a, otherStorage = a, otherDate = a, otherName = a;
    otherSize.size = 14801;
    otherStorage.storage = 0x00010001;
    otherDate.date = "20020524T101343.0";
    otherName.name = "10000002.jpg";
    for (const LedgerKey& k : {otherSize, otherStorage, otherDate, otherName}) EXPECT_FALSE(again.contains(k));
}

TEST(Ledger, EachCameraHasItsOwnAndOddNamesStayInsideTheFolder) {
    std::string error;
    Ledger one("cam/../../escape", folder());
    LedgerKey k{1, "a.jpg", 1, ""};
    ASSERT_TRUE(one.record(k, &error)) << error;
    EXPECT_EQ(fs::path(one.path()).parent_path(), fs::path(folder()));
    Ledger two("another camera", folder());
    ASSERT_TRUE(two.load(&error));
    EXPECT_FALSE(two.contains(k));
    Ledger hidden(".", folder());
    EXPECT_NE(fs::path(hidden.path()).filename().string()[0], '.');
}

TEST(Ledger, ATornLastLineAndForeignLinesAreIgnored) {
    std::string error;
    Ledger l("torn", folder());
    LedgerKey whole{0x00010000, "10000001.jpg", 100, ""};
    ASSERT_TRUE(l.record(whole, &error)) << error;
    {
        std::ofstream out(l.path(), std::ios::app);
        out << "zz\tnot-a-size\t\tbad.jpg\n";     // malformed
        out << "00010000\t200\t\t\n";             // no name
        out << "00010000\t300\t\t10000003.jpg";   // no line end: the writer died
    }
    Ledger back("torn", folder());
    ASSERT_TRUE(back.load(&error)) << error;
    EXPECT_EQ(back.size(), 1u);
    EXPECT_TRUE(back.contains(whole));
    EXPECT_FALSE(back.contains(LedgerKey{0x00010000, "10000003.jpg", 300, ""}));
}

TEST(Ledger, TabsAndLineEndsInNamesCannotForgeEntries) {
    std::string error;
    Ledger l("forge", folder());
    LedgerKey odd{1, "a\tb\nc", 5, "d\te"};
    ASSERT_TRUE(l.record(odd, &error));
    Ledger back("forge", folder());
    ASSERT_TRUE(back.load(&error));
    EXPECT_EQ(back.size(), 1u);
    EXPECT_TRUE(back.contains(LedgerKey{1, "a b c", 5, "d e"}));
}

TEST(Ledger, AnUnreadableLedgerIsAnErrorNotAnEmptyOne) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    std::string error;
    Ledger l("locked", folder());
    ASSERT_TRUE(l.record(LedgerKey{1, "a.jpg", 1, ""}, &error));
    ::chmod(l.path().c_str(), 0);
    Ledger back("locked", folder());
    EXPECT_FALSE(back.load(&error));
    EXPECT_NE(error.find("Cannot read"), std::string::npos) << error;
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
    return out;
}

TEST(PartFile, TheNameAppearsOnlyWhenTheFileIsWhole) {
    std::string dir = pavtest::privateDir() + "/out/sub";
    std::string path = dir + "/a.jpg";
    std::string error;
    PartFile f;
    ASSERT_EQ(f.open(path, false, &error), PartFile::Result::Ok) << error;
    ASSERT_EQ(f.write("abc", 3, &error), PartFile::Result::Ok);
    EXPECT_FALSE(fs::exists(path));
    EXPECT_TRUE(fs::exists(f.temporaryPath()));
    ASSERT_EQ(f.commit(&error), PartFile::Result::Ok) << error;
    EXPECT_EQ(fs::file_size(path), 3u);
    EXPECT_EQ(filesIn(dir), std::vector<std::string>({"a.jpg"}));
}

TEST(PartFile, AnAbandonedFileLeavesNothingBehind) {
    std::string dir = pavtest::privateDir() + "/out";
    std::string error;
    {
        PartFile f;
        ASSERT_EQ(f.open(dir + "/b.jpg", false, &error), PartFile::Result::Ok);
        ASSERT_EQ(f.write("abc", 3, &error), PartFile::Result::Ok);
    }
    EXPECT_TRUE(filesIn(dir).empty());
}

TEST(PartFile, KeepsAnExistingFileUnlessTold) {
    std::string dir = pavtest::privateDir() + "/out";
    fs::create_directories(dir);
    std::string path = dir + "/c.jpg";
    { std::ofstream(path) << "old"; }
    std::string error;
    PartFile refused;
    EXPECT_EQ(refused.open(path, false, &error), PartFile::Result::Exists);
    EXPECT_NE(error.find("already exists"), std::string::npos);
    // Another process may make the file while this one downloads.
    PartFile raced;
    fs::remove(path);
    ASSERT_EQ(raced.open(path, false, &error), PartFile::Result::Ok);
    { std::ofstream(path) << "theirs"; }
    ASSERT_EQ(raced.write("mine", 4, &error), PartFile::Result::Ok);
    EXPECT_EQ(raced.commit(&error), PartFile::Result::Exists);
    std::ifstream in(path);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "theirs");
    PartFile replace;
    ASSERT_EQ(replace.open(path, true, &error), PartFile::Result::Ok);
    ASSERT_EQ(replace.write("new", 3, &error), PartFile::Result::Ok);
    ASSERT_EQ(replace.commit(&error), PartFile::Result::Ok);
    EXPECT_EQ(fs::file_size(path), 3u);
    EXPECT_EQ(filesIn(dir), std::vector<std::string>({"c.jpg"}));
}

TEST(PartFile, AFullDiskIsReportedAsSuchAndLeavesNothing) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    // /dev/full answers every write with ENOSPC. The temporary name is
    // known beforehand (hidden, with the process id), so a link to it there
    // stands in for a full file system.
    std::string dir = pavtest::privateDir() + "/full";
    fs::create_directories(dir);
    std::string temp = dir + "/.d.jpg." + std::to_string(::getpid()) + ".part";
    fs::create_symlink("/dev/full", temp);
    std::string error;
    PartFile f;
    ASSERT_EQ(f.open(dir + "/d.jpg", true, &error), PartFile::Result::Ok) << error;
    ASSERT_EQ(f.temporaryPath(), temp);
    std::vector<char> block(8192, 'x');
    EXPECT_EQ(f.write(block.data(), block.size(), &error), PartFile::Result::DiskFull);
    EXPECT_EQ(error, "The disk is full: " + dir + "/d.jpg could not be written.");
    f.discard();
    EXPECT_TRUE(filesIn(dir).empty());
}

}  // namespace
}  // namespace pav512
