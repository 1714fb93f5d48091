// libpav512u as a program sees it: a versioned shared library whose dynamic
// symbols are exactly the functions of its public headers, which may be opened
// twice and closed while idle.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "pav512u/pavpi.h"

extern "C" PAVPI_STATUS pavTestVersionFromC(uint16_t* version);

namespace {

TEST(Exports, TheHeadersServeACProgram) {
    uint16_t version = 0;
    EXPECT_EQ(pavTestVersionFromC(&version), PAVPI_STATUS_SUCCESS);
    EXPECT_EQ(version, PAVPI_VERSION);
}

std::set<std::string> declaredExports() {
    std::set<std::string> names;
    const std::regex declaration(R"(^PAV512U_API\s+[A-Za-z_0-9]+\s*\*?\s*([A-Za-z_0-9]+)\s*\()",
                                 std::regex::ECMAScript | std::regex::multiline);
    for (const auto& entry : std::filesystem::directory_iterator(PAV512U_HEADERS)) {
        if (entry.path().extension() != ".h") continue;
        std::ifstream in(entry.path());
        std::stringstream text;
        text << in.rdbuf();
        std::string s = text.str();
        for (std::sregex_iterator it(s.begin(), s.end(), declaration), end; it != end; ++it)
            names.insert((*it)[1]);
    }
    return names;
}

// The defined dynamic symbols, without their version suffix; the version
// node itself (an absolute symbol) is reported apart.
std::set<std::string> dynamicSymbols(std::set<std::string>* versions) {
    std::set<std::string> names;
    std::string command = std::string("nm -D --defined-only ") + PAV512U_LIBRARY;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return names;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name)) continue;
        auto at = name.find('@');
        std::string version = at == std::string::npos ? "" : name.substr(name.rfind('@') + 1);
        std::string base = name.substr(0, at);
        if (type == "A") {
            versions->insert(base);
            continue;
        }
        names.insert(base);
        if (!version.empty()) versions->insert(version);
    }
    ::pclose(p);
    return names;
}

TEST(Exports, TheDynamicSymbolsAreExactlyThePublicFunctions) {
    std::set<std::string> declared = declaredExports();
    ASSERT_GE(declared.size(), 20u);  // the parser found the headers' functions
    EXPECT_TRUE(declared.count("PAVPI_HandleLockVfWOpen"));
    std::set<std::string> versions;
    std::set<std::string> exported = dynamicSymbols(&versions);
    ASSERT_FALSE(exported.empty());
    for (const std::string& name : exported)
        EXPECT_TRUE(declared.count(name)) << name << " is exported but not in a public header";
    for (const std::string& name : declared)
        EXPECT_TRUE(exported.count(name)) << name << " is declared but not exported";
    EXPECT_EQ(versions, std::set<std::string>{"PAV512U_1"});
}

TEST(Exports, LoadsTwiceAndUnloadsWhileIdle) {
    std::string soname = std::filesystem::path(PAV512U_LIBRARY).parent_path() / "libpav512u.so.1";
    void* first = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(first, nullptr) << ::dlerror();
    void* second = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(second, nullptr) << ::dlerror();
    using ErrorText = PAVPI_STATUS (*)(PAVPI_STATUS, char*, uint32_t);
    auto text = reinterpret_cast<ErrorText>(::dlsym(first, "PAVPI_GetErrorText"));
    ASSERT_NE(text, nullptr);
    char buffer[40];
    EXPECT_EQ(text(PAVPI_STATUS_IN_USE, buffer, sizeof buffer), PAVPI_STATUS_SUCCESS);
    EXPECT_STREQ(buffer, "PAVPI_STATUS_IN_USE");
    // An internal name of the platform model is not reachable from outside.
    EXPECT_EQ(::dlsym(first, "GetTickCount"), nullptr);
    EXPECT_EQ(::dlclose(second), 0);
    EXPECT_EQ(::dlclose(first), 0);
    // Opened again after its last close, it still answers.
    void* again = ::dlopen(soname.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(again, nullptr) << ::dlerror();
    using Open = PAVPI_STATUS (*)(uint32_t, PAVPI_HANDLE*);
    auto open = reinterpret_cast<Open>(::dlsym(again, "PAVPI_HandleOpen"));
    ASSERT_NE(open, nullptr);
    PAVPI_HANDLE h = reinterpret_cast<PAVPI_HANDLE>(1);
    // No host runs for this test: a clear status, and nothing handed out.
    EXPECT_EQ(open(1, &h), PAVPI_STATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(::dlclose(again), 0);
}

}  // namespace
