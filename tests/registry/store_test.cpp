// The store on its own: names, types, enumeration, deletion, transactions,
// bad input, and where the hives live.
#include "platform/registry/store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/registry/hives.h"
#include "platform/registry/text.h"
#include "tests/support/kernel_test.h"

namespace {

using regstore::Create;
using regstore::Key;
using regstore::Status;
using regstore::Store;
using regstore::Value;

std::shared_ptr<Store> openStore(const std::string& name = "store.db") {
    std::shared_ptr<Store> s;
    EXPECT_EQ(Store::open(pavtest::privateDir() + "/" + name, &s), Status::Ok);
    return s;
}

std::vector<std::uint8_t> bytes(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list) v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

TEST(RegistryStore, NamesCompareWithoutCaseAndKeepTheirCase) {
    auto store = openStore();
    Key created, opened;
    bool isNew = false;
    ASSERT_EQ(store->createKey(store->root(), "Software\\Veltra\\Cam", Create::WithParents,
                               &created, &isNew),
              Status::Ok);
    EXPECT_TRUE(isNew);
    ASSERT_EQ(store->openKey(store->root(), "SOFTWARE\\veltra\\cAM", &opened), Status::Ok);
    EXPECT_EQ(opened.id, created.id);
    ASSERT_EQ(
        store->createKey(store->root(), "software\\VELTRA", Create::WithParents, &opened, &isNew),
        Status::Ok);
    EXPECT_FALSE(isNew);

    std::vector<std::string> names;
    ASSERT_EQ(store->subkeys(store->root(), &names), Status::Ok);
    EXPECT_EQ(names, std::vector<std::string>{"Software"});

    ASSERT_EQ(regstore::setDword(*store, created, "MixedCase", 1), Status::Ok);
    ASSERT_EQ(regstore::setDword(*store, created, "MIXEDCASE", 2), Status::Ok);
    std::uint32_t v = 0;
    ASSERT_EQ(regstore::queryDword(*store, created, "mixedcase", &v), Status::Ok);
    EXPECT_EQ(v, 2u);
    std::vector<Value> values;
    ASSERT_EQ(store->values(created, &values), Status::Ok);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "MixedCase");

    // Folding is ASCII only: names that differ outside ASCII are distinct.
    ASSERT_EQ(regstore::setDword(*store, created, "\xC3\x89t\xC3\xA9", 3), Status::Ok);  // "Été"
    EXPECT_EQ(regstore::queryDword(*store, created, "\xC3\xA9t\xC3\xA9", &v), Status::NotFound);
    EXPECT_EQ(regstore::queryDword(*store, created, "\xC3\x89T\xC3\xA9", &v), Status::Ok);
}

TEST(RegistryStore, EveryTypeRoundTripsFaithfully) {
    auto store = openStore();
    Key k;
    ASSERT_EQ(store->createKey(store->root(), "Types", Create::WithParents, &k), Status::Ok);

    std::vector<std::uint8_t> big(5000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7 + (i >> 8));
    struct Case {
        const char* name;
        std::uint32_t type;
        std::vector<std::uint8_t> data;
    } cases[] = {
        {"dword", regstore::kTypeDword, bytes({0x78, 0x56, 0x34, 0x12})},
        {"empty", regstore::kTypeBinary, {}},
        {"big", regstore::kTypeBinary, big},
        {"sz", regstore::kTypeString, regstore::encodeString("409")},
        {"odd type", 0x12345678, bytes({1, 2, 3})},
        {"", regstore::kTypeBinary, bytes({9})},  // the key's unnamed value
    };
    for (const Case& c : cases)
        ASSERT_EQ(store->setValue(k, c.name, c.type, c.data), Status::Ok) << c.name;

    // Read back through a second connection, so nothing comes from a cache.
    auto again = openStore();
    for (const Case& c : cases) {
        Value v;
        ASSERT_EQ(again->queryValue(k, c.name, &v), Status::Ok) << c.name;
        EXPECT_EQ(v.type, c.type) << c.name;
        EXPECT_EQ(v.data, c.data) << c.name;
    }
    std::string text;
    ASSERT_EQ(regstore::queryString(*again, k, "sz", &text), Status::Ok);
    EXPECT_EQ(text, "409");
    std::uint32_t d = 0;
    ASSERT_EQ(regstore::queryDword(*again, k, "dword", &d), Status::Ok);
    EXPECT_EQ(d, 0x12345678u);
    // Typed reads refuse values of another shape.
    EXPECT_EQ(regstore::queryDword(*again, k, "odd type", &d), Status::NotFound);
    EXPECT_EQ(regstore::queryString(*again, k, "dword", &text), Status::NotFound);

    // Overwriting changes the type and the data.
    ASSERT_EQ(regstore::setString(*store, k, "dword", "now text"), Status::Ok);
    ASSERT_EQ(regstore::queryString(*again, k, "DWORD", &text), Status::Ok);
    EXPECT_EQ(text, "now text");
}

TEST(RegistryStore, EnumeratesSubkeysByNameAndValuesInOrderOfCreation) {
    auto store = openStore();
    Key k, sub;
    ASSERT_EQ(store->createKey(store->root(), "E", Create::WithParents, &k), Status::Ok);
    for (const char* n : {"beta", "Alpha", "gamma", "ALPHA2"})
        ASSERT_EQ(store->createKey(k, n, Create::ParentMustExist, &sub), Status::Ok);
    for (const char* n : {"z", "a", "M"})
        ASSERT_EQ(regstore::setDword(*store, k, n, 0), Status::Ok);
    ASSERT_EQ(regstore::setDword(*store, k, "A", 5), Status::Ok);  // rewrite keeps its place

    std::vector<std::string> got;
    std::string name;
    std::uint64_t written = 0;
    for (std::uint32_t i = 0; store->subkeyAt(k, i, &name, &written) == Status::Ok; ++i) {
        got.push_back(name);
        EXPECT_GT(written, 116444736000000000ULL);  // after 1970 in 100 ns units from 1601
    }
    EXPECT_EQ(got, (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));
    EXPECT_EQ(store->subkeyAt(k, 4, &name), Status::NoMoreItems);

    got.clear();
    Value v;
    for (std::uint32_t i = 0; store->valueAt(k, i, &v) == Status::Ok; ++i) got.push_back(v.name);
    EXPECT_EQ(got, (std::vector<std::string>{"z", "a", "M"}));
    EXPECT_EQ(store->valueAt(k, 3, &v), Status::NoMoreItems);
}

TEST(RegistryStore, DeletingKeysAndValues) {
    auto store = openStore();
    Key parent, child;
    ASSERT_EQ(store->createKey(store->root(), "P\\C", Create::WithParents, &child), Status::Ok);
    ASSERT_EQ(store->openKey(store->root(), "P", &parent), Status::Ok);
    ASSERT_EQ(regstore::setDword(*store, child, "v", 1), Status::Ok);

    EXPECT_EQ(store->deleteKey(store->root(), "P"), Status::HasSubkeys);
    EXPECT_EQ(store->deleteKey(store->root(), ""), Status::AccessDenied);
    EXPECT_EQ(store->deleteValue(child, "absent"), Status::NotFound);
    ASSERT_EQ(store->deleteValue(child, "V"), Status::Ok);
    Value v;
    EXPECT_EQ(store->queryValue(child, "v", &v), Status::NotFound);

    ASSERT_EQ(store->deleteKey(parent, "c"), Status::Ok);
    EXPECT_EQ(store->check(child), Status::KeyDeleted);
    EXPECT_EQ(store->setValue(child, "v", regstore::kTypeDword, bytes({1, 0, 0, 0})),
              Status::KeyDeleted);

    // A key of the same name is a new key: the old reference stays dead.
    Key again;
    ASSERT_EQ(store->createKey(parent, "C", Create::ParentMustExist, &again), Status::Ok);
    EXPECT_NE(again.id, child.id);
    EXPECT_EQ(store->check(child), Status::KeyDeleted);

    // A tree goes as a whole, values included.
    Key deep;
    ASSERT_EQ(store->createKey(parent, "C\\D\\E", Create::WithParents, &deep), Status::Ok);
    ASSERT_EQ(regstore::setDword(*store, deep, "x", 1), Status::Ok);
    ASSERT_EQ(store->deleteTree(store->root(), "p"), Status::Ok);
    EXPECT_EQ(store->check(deep), Status::KeyDeleted);
    EXPECT_EQ(store->check(parent), Status::KeyDeleted);
    std::vector<std::string> names;
    ASSERT_EQ(store->subkeys(store->root(), &names), Status::Ok);
    EXPECT_TRUE(names.empty());
}

TEST(RegistryStore, CreatingOneComponentNeedsItsParent) {
    auto store = openStore();
    Key k;
    EXPECT_EQ(store->createKey(store->root(), "A\\B", Create::ParentMustExist, &k),
              Status::ParentNotFound);
    EXPECT_EQ(store->openKey(store->root(), "A", &k), Status::NotFound);  // nothing half-made
    ASSERT_EQ(store->createKey(store->root(), "A", Create::ParentMustExist, &k), Status::Ok);
    ASSERT_EQ(store->createKey(store->root(), "A\\B", Create::ParentMustExist, &k), Status::Ok);
    EXPECT_EQ(k.path, "a\\b");
}

TEST(RegistryStore, RefusesBadNamesAndSizes) {
    auto store = openStore();
    Key k;
    for (const char* bad : {"\\A", "A\\", "A\\\\B"})
        EXPECT_EQ(store->createKey(store->root(), bad, Create::WithParents, &k),
                  Status::InvalidName)
            << bad;
    EXPECT_EQ(store->createKey(store->root(), std::string(256, 'k'), Create::WithParents, &k),
              Status::InvalidName);
    ASSERT_EQ(store->createKey(store->root(), std::string(255, 'k'), Create::WithParents, &k),
              Status::Ok);
    std::string deep;
    for (size_t i = 0; i < regstore::kMaxDepth + 1; ++i) deep += (i ? "\\d" : "d");
    EXPECT_EQ(store->createKey(store->root(), deep, Create::WithParents, &k), Status::InvalidName);

    EXPECT_EQ(store->setValue(k, std::string("a\0b", 3), regstore::kTypeDword, bytes({0, 0, 0, 0})),
              Status::InvalidName);
    std::vector<std::uint8_t> huge(regstore::kMaxValueBytes + 1);
    EXPECT_EQ(store->setValue(k, "huge", regstore::kTypeBinary, huge), Status::TooLarge);
    huge.pop_back();
    EXPECT_EQ(store->setValue(k, "huge", regstore::kTypeBinary, huge), Status::Ok);
}

TEST(RegistryStore, AtomicallyCommitsAllOrNothing) {
    auto store = openStore();
    Key k;
    ASSERT_EQ(store->createKey(store->root(), "T", Create::WithParents, &k), Status::Ok);

    EXPECT_EQ(store->atomically([&] {
        EXPECT_EQ(regstore::setDword(*store, k, "a", 1), Status::Ok);
        Key sub;
        EXPECT_EQ(store->createKey(k, "Sub", Create::ParentMustExist, &sub), Status::Ok);
        return Status::NotFound;  // the caller's own failure
    }),
              Status::NotFound);
    Value v;
    EXPECT_EQ(store->queryValue(k, "a", &v), Status::NotFound);
    Key sub;
    EXPECT_EQ(store->openKey(k, "Sub", &sub), Status::NotFound);

    // A failed call inside the body takes back only its own work.
    ASSERT_EQ(store->atomically([&] {
        EXPECT_EQ(regstore::setDword(*store, k, "a", 1), Status::Ok);
        Key sub;
        EXPECT_EQ(store->createKey(k, "X\\Y", Create::ParentMustExist, &sub),
                  Status::ParentNotFound);
        return Status::Ok;
    }),
              Status::Ok);
    EXPECT_EQ(store->queryValue(k, "a", &v), Status::Ok);
    Key x;
    EXPECT_EQ(store->openKey(k, "X", &x), Status::NotFound);
}

TEST(RegistryStore, AFileThatIsNotAStoreIsReportedNotFatal) {
    std::string path = pavtest::privateDir() + "/garbage.db";
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 4096; ++i) f.put(static_cast<char>(i * 31));
    }
    std::shared_ptr<Store> s;
    EXPECT_EQ(Store::open(path, &s), Status::StoreFailed);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(Store::open("", &s), Status::InvalidArgument);
}

TEST(RegistryHives, GoWhereTheEnvironmentSays) {
    // The test harness points both hives into this process's private folder.
    std::string machine = std::getenv("PAV512_MACHINE_HIVE");
    std::string user = std::getenv("PAV512_USER_HIVE");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    const std::string xdgState = std::getenv("XDG_STATE_HOME");
    ASSERT_EQ(regstore::hivePath(regstore::Hive::Machine), machine);
    ASSERT_EQ(regstore::hivePath(regstore::Hive::User), user);
    std::shared_ptr<Store> m, u;
    ASSERT_EQ(regstore::hive(regstore::Hive::Machine, &m), Status::Ok);
    ASSERT_EQ(regstore::hive(regstore::Hive::User, &u), Status::Ok);
    ASSERT_EQ(regstore::setDword(*m, m->root(), "where", 1), Status::Ok);
    EXPECT_TRUE(std::filesystem::exists(machine));
    EXPECT_TRUE(std::filesystem::exists(user));
    std::uint32_t v = 0;
    EXPECT_EQ(regstore::queryDword(*u, u->root(), "where", &v),
              Status::NotFound);  // hives are apart

    std::string state = pavtest::privateDir() + "/xdg";
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    unsetenv("PAV512_MACHINE_HIVE");
    unsetenv("PAV512_USER_HIVE");
    EXPECT_EQ(regstore::hivePath(regstore::Hive::Machine), state + "/pav512/machine.db");
    EXPECT_EQ(regstore::hivePath(regstore::Hive::User), state + "/pav512/user.db");
    // Reopened after the change, the default folder is created on first use.
    regstore::closeHives();
    ASSERT_EQ(regstore::hive(regstore::Hive::Machine, &m), Status::Ok);
    EXPECT_EQ(m->file(), state + "/pav512/machine.db");
    EXPECT_TRUE(std::filesystem::exists(state + "/pav512/machine.db"));

    unsetenv("XDG_STATE_HOME");
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(regstore::hivePath(regstore::Hive::User),
              "/home/someone/.local/state/pav512/user.db");
    setenv("PAV512_SERVICE", "1", 1);
    const char* serviceDir = std::getenv("PAV512_SERVICE_STATE_DIR");
    const std::string serviceState = serviceDir ? serviceDir : "";
    unsetenv("PAV512_SERVICE_STATE_DIR");
    EXPECT_EQ(regstore::hivePath(regstore::Hive::Machine), "/var/lib/pav512/machine.db");

    // As it was, for the tests that follow: none of them may reach the
    // machine's own hives.
    m.reset();
    u.reset();
    regstore::closeHives();
    unsetenv("PAV512_SERVICE");
    if (!serviceState.empty()) setenv("PAV512_SERVICE_STATE_DIR", serviceState.c_str(), 1);
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_STATE_HOME", xdgState.c_str(), 1);
    setenv("PAV512_MACHINE_HIVE", machine.c_str(), 1);
    setenv("PAV512_USER_HIVE", user.c_str(), 1);
}

TEST(RegistryHives, FilesAndFoldersArePrivateUnlessTheirFolderIsSharedWithAGroup) {
    using regstore::Status;
    auto mode = [](const std::string& path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 07777u;
    };
    const std::string base = pavtest::privateDir() + "/private-hives";
    {
        std::shared_ptr<regstore::Store> s;
        ASSERT_EQ(regstore::Store::open(base + "/a/b/machine.db", &s), Status::Ok);
        ASSERT_EQ(regstore::setDword(*s, s->root(), "CameraChange", 1), Status::Ok);
        EXPECT_EQ(mode(base + "/a"), 0700u);
        EXPECT_EQ(mode(base + "/a/b"), 0700u);
        EXPECT_EQ(mode(base + "/a/b/machine.db"), 0600u);
        EXPECT_EQ(mode(base + "/a/b/machine.db-wal"), 0600u);
    }
    // A folder a service shares with its group: the hive is the group's too.
    std::filesystem::create_directories(base + "/shared");
    ASSERT_EQ(::chmod((base + "/shared").c_str(), 02770), 0);
    std::shared_ptr<regstore::Store> s;
    ASSERT_EQ(regstore::Store::open(base + "/shared/machine.db", &s), Status::Ok);
    EXPECT_EQ(mode(base + "/shared/machine.db"), 0660u);
    // A hive left readable by everyone is made private again.
    const std::string loose = base + "/a/b/loose.db";
    { std::ofstream f(loose); }
    ASSERT_EQ(::chmod(loose.c_str(), 0644), 0);
    std::shared_ptr<regstore::Store> l;
    ASSERT_EQ(regstore::Store::open(loose, &l), Status::Ok);
    EXPECT_EQ(mode(loose), 0600u);
}

TEST(RegistryHives, AClientUsesTheServicesMachineHiveWhenItMayWriteIt) {
    const std::string state = pavtest::privateDir() + "/service-hive";
    const char* ownHive = std::getenv("PAV512_MACHINE_HIVE");
    const std::string own = ownHive ? ownHive : "";
    const char* ownUserHive = std::getenv("PAV512_USER_HIVE");
    const std::string ownUser = ownUserHive ? ownUserHive : "";
    ::unsetenv("PAV512_MACHINE_HIVE");
    ::unsetenv("PAV512_USER_HIVE");
    ::unsetenv("PAV512_SERVICE");
    ::setenv("PAV512_SERVICE_STATE_DIR", state.c_str(), 1);
    ::setenv("XDG_STATE_HOME", (pavtest::privateDir() + "/state").c_str(), 1);
    const std::string perUser = pavtest::privateDir() + "/state/pav512/machine.db";
    // No service hive yet: the client's own.
    EXPECT_EQ(regstore::hivePath(regstore::Hive::Machine), perUser);
    std::filesystem::create_directories(state);
    { std::ofstream f(state + "/machine.db"); }
    EXPECT_EQ(regstore::hivePath(regstore::Hive::Machine), state + "/machine.db");
    ::setenv("PAV512_SERVICE", "1", 1);
    EXPECT_EQ(regstore::hivePath(regstore::Hive::Machine), state + "/machine.db");
    EXPECT_EQ(regstore::hivePath(regstore::Hive::User), state + "/user.db");
    ::unsetenv("PAV512_SERVICE");
    ::setenv("PAV512_SERVICE_STATE_DIR", (pavtest::privateDir() + "/service-state").c_str(), 1);
    if (!own.empty()) ::setenv("PAV512_MACHINE_HIVE", own.c_str(), 1);
    if (!ownUser.empty()) ::setenv("PAV512_USER_HIVE", ownUser.c_str(), 1);
}

TEST(RegistryText, ConvertsBetweenUtf8AndUtf16) {
    std::string text =
        "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x93\xB7";  // A é € and a camera outside the BMP
    std::u16string wide = regstore::utf8ToUtf16(text);
    EXPECT_EQ(wide, (std::u16string{u'A', u'\u00E9', u'\u20AC', 0xD83D, 0xDCF7}));
    EXPECT_EQ(regstore::utf16ToUtf8(wide), text);
    // Malformed input never reads past its end and becomes U+FFFD.
    EXPECT_EQ(regstore::utf8ToUtf16("\xE2\x82"), (std::u16string{0xFFFD, 0xFFFD}));
    EXPECT_EQ(regstore::utf8ToUtf16("\xC0\xAF"), (std::u16string{0xFFFD, 0xFFFD}));  // overlong
    EXPECT_EQ(regstore::utf16ToUtf8(std::u16string{0xDC00, u'x'}), "\xEF\xBF\xBDx");
    // A string value stops at its terminator; an odd trailing byte is dropped.
    std::vector<std::uint8_t> data = {'h', 0, 'i', 0, 0, 0, 'x', 0, 'y'};
    EXPECT_EQ(regstore::decodeString(data), "hi");
    EXPECT_EQ(regstore::encodeString("hi"), (std::vector<std::uint8_t>{'h', 0, 'i', 0, 0, 0}));
}

}  // namespace
