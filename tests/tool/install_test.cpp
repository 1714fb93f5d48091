// The installed tree: cmake --install into a staging prefix, then what a
// user of it does: build a program with pkg-config, run the installed tool,
// let systemd check the units and start the host through its socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "sim/descriptors.h"
#include "tests/support/kernel_test.h"
#include "tests/support/process.h"
#include "tests/tool/tool_fixture.h"

namespace pavtest {
namespace {

namespace fs = std::filesystem;

// Runs `command` under the shell; its output (both streams) lands in *output.
int shell(const std::string& command, std::string* output = nullptr) {
    std::string file = privateDir() + "/shell.out";
    int status = std::system((command + " >'" + file + "' 2>&1").c_str());
    if (output) *output = readFile(file);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool have(const std::string& program) {
    return shell("command -v " + program) == 0;
}

class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        prefix_ = new std::string(fs::temp_directory_path() / ("pav512-stage-" + std::to_string(::getpid())));
        fs::remove_all(*prefix_);
        std::string out;
        installed_ = shell(std::string("'") + CMAKE_COMMAND + "' --install '" + PAV_BINARY_DIR + "' --prefix '" +
                               *prefix_ + "'",
                           &out) == 0;
        if (!installed_) std::fprintf(stderr, "%s\n", out.c_str());
    }
    static void TearDownTestSuite() {
        fs::remove_all(*prefix_);
        delete prefix_;
    }
    void SetUp() override { ASSERT_TRUE(installed_) << "cmake --install failed"; }
    static std::string path(const std::string& relative) { return *prefix_ + "/" + relative; }

    static std::string* prefix_;
    static bool installed_;
};
std::string* Installed::prefix_ = nullptr;
bool Installed::installed_ = false;

TEST_F(Installed, PutsEveryPartWhereItsUsersLook) {
    for (const char* f :
         {"bin/pav512", "bin/pav512d", "lib/libpav512u.so", "lib/libpav512u.so.1", "lib/libpavscale.so",
          "lib/pav512u.cfg", "lib/pkgconfig/pav512u.pc", "include/pav512u/pav512u.h", "include/pav512u/pavpi.h",
          "include/pav512u/paci.h", "include/pav512u/ptp.h", "include/pav512u/cti.h", "include/pav512u/pavdebug.h",
          "lib/systemd/user/pav512d.service", "lib/systemd/user/pav512d.socket", "lib/udev/rules.d/70-pav512.rules",
          "share/man/man8/pav512d.8"})
        EXPECT_TRUE(fs::exists(path(f))) << f;
    if (have("help2man")) {
        std::string page = readFile(path("share/man/man1/pav512.1"));
        EXPECT_NE(page.find(".SH EXAMPLES"), std::string::npos);
        EXPECT_NE(page.find("settings"), std::string::npos);
    }
    // The installed tool runs from the installed library, not the build tree's.
    std::string out;
    ASSERT_EQ(shell("ldd '" + path("bin/pav512") + "'", &out), 0) << out;
    EXPECT_NE(out.find(path("bin/../lib/libpav512u.so.1")), std::string::npos) << out;
}

TEST_F(Installed, AProgramBuiltWithPkgConfigListsTheCameras) {
    if (!have("pkg-config") || !have("cc")) GTEST_SKIP() << "no pkg-config or C compiler";
    ToolHost host;
    ASSERT_TRUE(host.plug(scenarioNamed("installed")));
    std::string program = privateDir() + "/list_cameras";
    std::string env = "PKG_CONFIG_PATH='" + path("lib/pkgconfig") + "'";
    std::string flags;
    ASSERT_EQ(shell(env + " pkg-config --cflags --libs pav512u", &flags), 0) << flags;
    EXPECT_NE(flags.find("-lpav512u"), std::string::npos) << flags;
    // The flags point into the staged tree, wherever it was installed.
    std::smatch include;
    ASSERT_TRUE(std::regex_search(flags, include, std::regex("-I(\\S+)"))) << flags;
    EXPECT_EQ(fs::canonical(include[1].str()), fs::canonical(path("include"))) << flags;
    std::string out;
    ASSERT_EQ(shell("cc -Wall -Werror " PAV_SANITIZER_FLAGS " -o '" + program + "' '" LIST_CAMERAS_C "' $(" + env +
                        " pkg-config --cflags --libs pav512u)",
                    &out),
              0)
        << out;
    ASSERT_EQ(shell("LD_LIBRARY_PATH='" + path("lib") + "' '" + program + "'", &out), 0) << out;
    EXPECT_EQ(out, "1 camera(s): 1\n");
}

TEST_F(Installed, SystemdAcceptsTheUnits) {
    if (!have("systemd-analyze")) GTEST_SKIP() << "no systemd-analyze";
    std::string runtime = privateDir() + "/xdg-verify";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    std::string out;
    int rc = shell("XDG_RUNTIME_DIR='" + runtime + "' systemd-analyze verify --man=no --user '" +
                       path("lib/systemd/user/pav512d.socket") + "' '" + path("lib/systemd/user/pav512d.service") +
                       "'",
                   &out);
    EXPECT_EQ(rc, 0) << out;
    // The service runs the installed host, and the socket is where clients look.
    EXPECT_NE(readFile(path("lib/systemd/user/pav512d.service")).find("ExecStart=" + path("bin/pav512d")),
              std::string::npos);
    EXPECT_NE(readFile(path("lib/systemd/user/pav512d.socket")).find("ListenStream=%t/pav512/pav512d.sock"),
              std::string::npos);
}

TEST_F(Installed, TheUdevRuleNamesTheCamerasVendorAndProduct) {
    std::string rule = readFile(path("lib/udev/rules.d/70-pav512.rules"));
    char vendor[8], product[8];
    std::snprintf(vendor, sizeof vendor, "%04x", sim::kVendorId);
    std::snprintf(product, sizeof product, "%04x", sim::kProductId);
    std::regex line(std::string("ATTR\\{idVendor\\}==\"") + vendor + "\".*ATTR\\{idProduct\\}==\"" + product +
                    "\".*TAG\\+=\"uaccess\"");
    EXPECT_TRUE(std::regex_search(rule, line)) << rule;
}

TEST_F(Installed, TheHostStartsThroughItsSocketOnTheFirstConnection) {
    if (!have("systemd-socket-activate")) GTEST_SKIP() << "no systemd-socket-activate";
    // systemd-socket-activate stands in for the user's service manager: it
    // listens on the socket and starts the host with it on the first client.
    std::string dir = privateDir() + "/activated";
    fs::create_directories(dir);
    std::string socket = dir + "/pav512d.sock";
    ChildProcess manager({"/bin/sh", "-c",
                          // The test's private state goes with the host.
                          "exec systemd-socket-activate -E PAV512_MACHINE_HIVE -E PAV512_USER_HIVE "
                          "-E XDG_STATE_HOME -E PAV512_SERVICE_STATE_DIR -l '" +
                              socket + "' '" + path("bin/pav512d") +
                              "' --simulated --no-usb 2>&1"});
    ASSERT_TRUE(waitFor([&] { return fs::exists(socket); }, std::chrono::seconds(10)));
    std::string out;
    int rc = shell("'" + path("bin/pav512") + "' --no-start --socket '" + socket + "' --json cameras", &out);
    ASSERT_EQ(rc, 0) << out;
    nlohmann::json cameras = nlohmann::json::parse(out.substr(out.find('[')));
    ASSERT_EQ(cameras.size(), 1u) << out;
    EXPECT_EQ(cameras[0]["number"], 1);
    manager.signal(SIGTERM);
    std::string log;
    for (std::string l = manager.line(); !l.empty(); l = manager.line()) log += l + "\n";
    EXPECT_NE(log.find("socket from the service manager"), std::string::npos) << log;
    manager.wait();
}

#ifdef TWAIN_CAMERA_CLIENT
TEST_F(Installed, TheDataSourceSitsInTheManagersDirectoryWithItsTables) {
    // The source manager loads only regular files whose name holds ".ds".
    for (const char* f : {"lib/twain/pav512tw.ds", "lib/twain/pav512tw_gtk.so", "lib/twain/pav512tw.cfg",
                          "lib/pav512u.cfg", "lib/libtwaindsm.so.2", "bin/twain-acquire"}) {
        EXPECT_TRUE(fs::exists(path(f))) << f;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path(f))) || std::string(f).find(".so.") != std::string::npos)
            << f;
    }
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path("lib/twain/pav512tw.ds"))));
    EXPECT_EQ(readFile(path("lib/twain/pav512tw.cfg")), readFile(PAV_BINARY_DIR "/twain/pav512tw.cfg"));
    // The installed acquisition program lists the installed source.
    std::string out;
    ASSERT_EQ(shell("PAV_TWAIN_DS_DIR='" + path("lib/twain") + "' '" + path("bin/twain-acquire") + "' --list", &out),
              0)
        << out;
    EXPECT_NE(out.find("TQM Video Camera (Generic, 2-03 build 05) protocol 1.9"), std::string::npos) << out;
    // Opened by an application, the installed source binds the installed
    // user library beside it, not the build tree's.
    ChildProcess client({"/usr/bin/env", "-u", "PAV512TW_USER_LIBRARY", "PAV_TWAIN_DS_DIR=" + path("lib/twain"),
                         std::string("PAV512TW_VIEW_MODULE=") + TWAIN_SCRIPT_VIEW, TWAIN_CAMERA_CLIENT, privateDir(),
                         "libraries"});
    std::string said;
    for (std::string l = client.line(); !l.empty(); l = client.line()) said += l + "\n";
    EXPECT_EQ(client.wait(), 0) << said;
    const std::string lib = fs::canonical(path("lib")).string();
    EXPECT_NE(said.find("source=" + lib + "/twain/pav512tw.ds"), std::string::npos) << said;
    EXPECT_NE(said.find("user=" + lib + "/libpav512u.so.1"), std::string::npos) << said;
}
#endif

}  // namespace
}  // namespace pavtest
