// The library against the host run as a system service for a group: client
// processes find the service's socket, open the simulated camera it serves
// and share one video-capture lock, and read the machine values the service
// keeps where the group can reach them.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "pav512u/pavpi.h"
#include "platform/registry/hives.h"
#include "platform/user/runtime_dir.h"
#include "tests/support/kernel_test.h"
#include "tests/support/process.h"

namespace pavtest {
namespace {

// Puts an environment variable back as it was when the test ends.
class EnvScope {
  public:
    explicit EnvScope(const char* name) : name_(name) {
        const char* v = std::getenv(name);
        had_ = v != nullptr;
        if (had_) old_ = v;
    }
    ~EnvScope() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }
    void set(const std::string& value) { ::setenv(name_, value.c_str(), 1); }
    void unset() { ::unsetenv(name_); }

  private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

std::string statuses(PAVPI_STATUS open, PAVPI_STATUS lock) {
    return "open " + std::to_string(open) + " lock " + std::to_string(lock);
}

TEST(ServiceHost, ClientsOfTheGroupOpenItsCameraAndShareItsLock) {
    struct group* own = ::getgrgid(::getegid());
    ASSERT_NE(own, nullptr);
    const std::string groupName = own->gr_name;
    const std::string state = pavtest::privateDir() + "/service-state";
    EnvScope machineHive("PAV512_MACHINE_HIVE");
    EnvScope serviceState("PAV512_SERVICE_STATE_DIR");
    machineHive.unset();
    serviceState.set(state);
    regstore::closeHives();

    const std::string socket = uruntime::socketPathIn(uruntime::hostDirectory(true));
    ChildProcess daemon({PAV512D, "--service", "--group", groupName, "--simulated", "--no-usb"},
                        ChildProcess::Output::Error);
    ASSERT_TRUE(daemon.running());
    ASSERT_TRUE(waitFor([&] { return std::filesystem::exists(socket); }, std::chrono::seconds(20)));

    // The state folder and the socket are the group's: its members' libraries
    // read and watch the same machine values.
    struct stat st {};
    ASSERT_EQ(::stat(state.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, ::getegid());
    EXPECT_NE(st.st_mode & 0070, 0u);

    // Camera 1, the service's simulated camera, once it has started.
    EXPECT_TRUE(waitFor(
        [] {
            ChildProcess probe({PAV_VPI_CLIENT, "try", "1"});
            bool opened = probe.line() == statuses(0, 0);
            probe.wait();
            return opened;
        },
        std::chrono::seconds(20)));
    // The socket is given to the group once it is bound; by now it serves.
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, ::getegid());
    EXPECT_EQ(st.st_mode & 0060, 0060u);
    ChildProcess holder({PAV_VPI_CLIENT, "lock", "1"});
    ASSERT_EQ(holder.line(), statuses(0, 0));
    ChildProcess other({PAV_VPI_CLIENT, "try", "1"});
    EXPECT_EQ(other.line(), statuses(0, PAVPI_STATUS_IN_USE));
    other.wait();
    holder.kill();

    std::string output;
    int status = daemon.stop(SIGTERM, &output);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    regstore::closeHives();
}

}  // namespace
}  // namespace pavtest
