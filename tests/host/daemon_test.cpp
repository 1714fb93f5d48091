// pav512d as its clients see it: started over simulated cameras, it serves every
// family's version request on each camera, and on SIGTERM it closes its
// channels, removes every device and its socket, and exits.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <sys/stat.h>

#include "platform/registry/hives.h"
#include "tests/channels/channel_fixture.h"
#include "tests/support/process.h"

namespace pavtest {
namespace {

using namespace pav512;

// pav512d with `args`; the test reads what it writes to standard error.
ChildProcess startDaemon(std::vector<std::string> args) {
    args.insert(args.begin(), PAV512D);
    return ChildProcess(std::move(args), ChildProcess::Output::Error);
}

bool writeFile(const std::string& path, const char* text) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fputs(text, f);
    return std::fclose(f) == 0;
}

TEST(Daemon, ServesEveryCameraAndShutsDownInOrder) {
    const std::string socket = uruntime::socketPathIn(uruntime::hostDirectory(false));
    // Two simulated cameras: devices of the test bus have no camera behind
    // them, and the camera's start-up needs one.
    const std::string scenario = pavtest::privateDir() + "/other.json";
    ASSERT_TRUE(writeFile(scenario, "{\"name\": \"other\"}"));
    ChildProcess daemon = startDaemon({"--simulated", "--scenario", scenario, "--no-usb"});
    ASSERT_TRUE(daemon.running());
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(20)));
    uchannel::setTransport(uchannel::makeSocketTransport());

    // The socket is served before the cameras have finished starting.
    std::vector<std::string> paths;
    EXPECT_TRUE(waitFor([&] { return (paths = listInterfaces()).size() == 2; },
                        std::chrono::seconds(20)));
    ASSERT_EQ(paths.size(), 2u);
    std::vector<HANDLE> channels;
    for (const std::string& path : paths) {
        HANDLE h = openChannel(path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        for (ULONG code : {IOCTL_CTI_VERSION, IOCTL_DEBUG_VERSION, IOCTL_STREAM_VERSION,
                           IOCTL_VPI_VERSION, IOCTL_PTP_VERSION}) {
            auto b = requestBuffer(minimumLength(code));
            DWORD returned = 0;
            ASSERT_TRUE(call(h, code, b, &returned)) << code;
            EXPECT_EQ(returned, b.size());
            EXPECT_EQ(b[0], kModuleStatusSuccess);
            EXPECT_EQ(u16At(b, versionOffset(code)), kInterfaceVersion);
        }
        channels.push_back(h);
    }

    // Stopped with channels still open: their requests fail from then on.
    std::string output;
    int status = daemon.stop(SIGTERM, &output);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("2 devices removed"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(socket));
    auto b = requestBuffer(sizeof(CommandHeader));
    DWORD returned = 0;
    EXPECT_FALSE(call(channels[0], IOCTL_CTI_VERSION, b, &returned));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    for (HANDLE h : channels) EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(listInterfaces().empty());
    uchannel::setTransport(nullptr);
}

TEST(Daemon, ServesSimulatedCamerasFromTheBuiltInAndScenarioFiles) {
    const std::string dir = uruntime::hostDirectory(false);
    const std::string socket = uruntime::socketPathIn(dir);
    const std::string scenario = pavtest::privateDir() + "/second.json";
    ASSERT_TRUE(writeFile(scenario,
                          "{\"name\": \"second\", \"sensorType\": 1, \"defaultContent\": false}"));
    ChildProcess daemon = startDaemon({"--simulated", "--scenario", scenario, "--no-usb"});
    ASSERT_TRUE(daemon.running());
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(20)));
    uchannel::setTransport(uchannel::makeSocketTransport());
    std::vector<std::string> paths;
    EXPECT_TRUE(waitFor([&] { return (paths = listInterfaces()).size() == 2; },
                        std::chrono::seconds(20)));
    ASSERT_EQ(paths.size(), 2u);
    bool sawSecond = false;
    for (const std::string& path : paths) {
        // Interface paths carry the scenario's name, so they stay the same across restarts.
        std::string lower = path;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (lower.find("second") != std::string::npos) sawSecond = true;
        HANDLE h = openChannel(path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        auto b = requestBuffer(minimumLength(IOCTL_CTI_VERSION));
        DWORD returned = 0;
        EXPECT_TRUE(call(h, IOCTL_CTI_VERSION, b, &returned));
        EXPECT_EQ(u16At(b, versionOffset(IOCTL_CTI_VERSION)), kInterfaceVersion);
        CloseHandle(h);
    }
    EXPECT_TRUE(sawSecond);
    // SIGHUP stops it in the same order as SIGTERM.
    std::string output;
    int status = daemon.stop(SIGHUP, &output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("2 devices removed"), std::string::npos) << output;
    uchannel::setTransport(nullptr);
}

TEST(Daemon, AsAServiceSharesItsMachineHiveWithItsClients) {
    const std::string state = pavtest::privateDir() + "/service-state";
    const std::string ownHive = std::getenv("PAV512_MACHINE_HIVE");
    const char* ownState = std::getenv("PAV512_SERVICE_STATE_DIR");
    const std::string ownServiceState = ownState ? ownState : "";
    ::unsetenv("PAV512_MACHINE_HIVE");
    ::setenv("PAV512_SERVICE_STATE_DIR", state.c_str(), 1);
    const std::string socket = uruntime::socketPathIn(uruntime::hostDirectory(true));
    ChildProcess daemon = startDaemon({"--service", "--simulated", "--no-usb"});
    ASSERT_TRUE(daemon.running());
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(20)));

    // This process is no service, yet it reads the service's machine values:
    // the driver counted the camera's start there.
    regstore::closeHives();
    EXPECT_EQ(regstore::hivePath(regstore::Hive::Machine), state + "/machine.db");
    std::shared_ptr<regstore::Store> machine;
    ASSERT_EQ(regstore::hive(regstore::Hive::Machine, &machine), regstore::Status::Ok);
    regstore::Key key;
    std::uint32_t changes = 0;
    EXPECT_TRUE(waitFor([&] {
        return machine->openKey(machine->root(), "Software\\Veltra\\USB Camera (PAV512)\\CameraChange",
                                &key) == regstore::Status::Ok &&
               regstore::queryDword(*machine, key, "CameraChange", &changes) ==
                   regstore::Status::Ok &&
               changes >= 1;
    }));
    // Without a group of its own the service keeps its state private.
    struct stat st {};
    ASSERT_EQ(::stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    ASSERT_EQ(::stat((state + "/machine.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);

    std::string output;
    int status = daemon.stop(SIGTERM, &output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    machine.reset();
    regstore::closeHives();
    ::setenv("PAV512_MACHINE_HIVE", ownHive.c_str(), 1);
    if (ownServiceState.empty())
        ::unsetenv("PAV512_SERVICE_STATE_DIR");
    else
        ::setenv("PAV512_SERVICE_STATE_DIR", ownServiceState.c_str(), 1);
}

// A diagnostic buffer: p0 to p2 at 8, 12 and 16, then `data` bytes.
std::vector<std::uint8_t> diagnostic(std::uint32_t p0, std::uint32_t p1, std::uint32_t p2,
                                     std::size_t data) {
    auto b = requestBuffer(kDiagnosticDataOffset + data);
    const auto total = static_cast<std::uint32_t>(b.size());
    std::memcpy(&b[4], &total, 4);
    std::memcpy(&b[8], &p0, 4);
    std::memcpy(&b[12], &p1, 4);
    std::memcpy(&b[16], &p2, 4);
    return b;
}

TEST(Daemon, ASecondSignalEndsItAtOnceWhileTheGraceIsStillRunning) {
    const std::string socket = uruntime::socketPathIn(uruntime::hostDirectory(false));
    ChildProcess daemon = startDaemon({"--simulated", "--no-usb", "--grace-ms", "600000"});
    ASSERT_TRUE(daemon.running());
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(20)));
    uchannel::setTransport(uchannel::makeSocketTransport());
    std::vector<std::string> paths;
    ASSERT_TRUE(waitFor([&] { return (paths = listInterfaces()).size() == 1; },
                        std::chrono::seconds(20)));
    HANDLE h = openChannel(paths[0]);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // A diagnostic read of bulk data the camera never sends: it stays in the
    // driver for a minute, far longer than this test.
    auto setting = diagnostic(0x0100, 0, 0, 0);
    DWORD returned = 0;
    ASSERT_TRUE(call(h, IOCTL_DEBUG_SET_INTERFACE, setting, &returned));
    ASSERT_EQ(setting[0], kModuleStatusSuccess);
    auto transfer = diagnostic(0x82, 64, 60000, 64);
    OVERLAPPED ov{};
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_DEBUG_USB_TRANSFER, transfer.data(),
                                 static_cast<DWORD>(transfer.size()), transfer.data(),
                                 static_cast<DWORD>(transfer.size()), nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    // The host has read the transfer by the time it answers a request sent
    // after it on another channel.
    HANDLE other = openChannel(paths[0]);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    auto version = requestBuffer(minimumLength(IOCTL_CTI_VERSION));
    ASSERT_TRUE(call(other, IOCTL_CTI_VERSION, version, &returned));

    // The first signal starts the stop, whose grace would outlast the
    // transfer; the second ends the host there and then.
    daemon.signal(SIGTERM);
    std::string line;
    while ((line = daemon.line()).find("stopping on signal") == std::string::npos && !line.empty()) {
    }
    ASSERT_NE(line.find("stopping on signal"), std::string::npos);
    std::string output;
    int status = daemon.stop(SIGTERM, &output);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM) << output;
    EXPECT_NE(output.find("stopped at once on a second signal"), std::string::npos) << output;
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &returned, TRUE));
    CloseHandle(other);
    CloseHandle(h);
    uchannel::setTransport(nullptr);
}

TEST(Daemon, RefusesAScenarioFileWithABrokenFieldOrContentNamingIt) {
    const std::string scenario = pavtest::privateDir() + "/broken.json";
    ASSERT_TRUE(writeFile(scenario, "{\"name\": \"broken\", \"interfaceNumber\": 9}"));
    ChildProcess daemon = startDaemon({"--scenario", scenario, "--no-usb"});
    std::string output;
    int status = daemon.stop(0, &output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
    EXPECT_NE(output.find("broken.json"), std::string::npos) << output;
    EXPECT_NE(output.find("interfaceNumber"), std::string::npos) << output;

    // Content that cannot be made (the default content already holds object
    // 1) stops the start too, with the object named, instead of a camera
    // that arrives without it.
    const std::string clash = pavtest::privateDir() + "/clash.json";
    ASSERT_TRUE(writeFile(clash,
                          "{\"name\": \"clash\", \"defaultContent\": true, \"objects\": "
                          "[{\"kind\": 2, \"number\": 1, \"soundBytes\": 100}]}"));
    ChildProcess refused = startDaemon({"--scenario", clash, "--no-usb"});
    output.clear();
    status = refused.stop(0, &output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
    EXPECT_NE(output.find("clash.json: objects[0] (memory 0, number 1)"), std::string::npos)
        << output;
}

TEST(Daemon, RefusesBadArgumentsAndAMissingRuntimeDirectory) {
    std::string output;
    ChildProcess bad = startDaemon({"--dispatch-threads", "many"});
    int status = bad.stop(0, &output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << output;

    // Without either variable (put back afterwards, for the tests that follow).
    const std::string runtime = std::getenv("PAV512_RUNTIME_DIR");
    const std::string xdg = std::getenv("XDG_RUNTIME_DIR");
    ::unsetenv("PAV512_RUNTIME_DIR");
    ::unsetenv("XDG_RUNTIME_DIR");
    ChildProcess nowhere = startDaemon({});
    output.clear();
    status = nowhere.stop(0, &output);
    ::setenv("PAV512_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
    EXPECT_NE(output.find("no runtime directory"), std::string::npos) << output;
}

}  // namespace
}  // namespace pavtest
