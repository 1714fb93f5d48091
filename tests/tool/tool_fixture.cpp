#include "tests/tool/tool_fixture.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <turbojpeg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "driver/core/driver.h"
#include "host/inprocess_transport.h"
#include "platform/user/channel_transport.h"
#include "platform/user/runtime_dir.h"
#include "tests/support/kernel_test.h"

extern char** environ;

namespace pavtest {

ToolHost::ToolHost() {
    bus_ = std::make_unique<usbbus::Bus>("pav_toolbus");
    pnp_ = std::make_unique<host::PnpManager>();
    EXPECT_TRUE(NT_SUCCESS(pnp_->loadDriver("pav512", PAV512_DriverEntry)));
    bus_->setListener(pnp_.get());
    host::SocketServer::Options o;
    o.socketPath = uruntime::socketPathIn(uruntime::hostDirectory(false));
    std::string error;
    server_ = host::SocketServer::start(o, &error);
    EXPECT_NE(server_, nullptr) << error;
}

ToolHost::~ToolHost() {
    if (server_) server_->stop();
    for (auto& [name, pdo] : plugged_) bus_->unplug(pdo);
    bus_->settle();
    pnp_->settle();
    bus_->setListener(nullptr);
    pnp_.reset();
    bus_.reset();
}

bool ToolHost::plug(const sim::Scenario& scenario) {
    std::string error;
    auto camera = sim::SimCamera::create(scenario);
    EXPECT_TRUE(camera->contentProblems().empty());
    PDEVICE_OBJECT pdo = bus_->plug(camera, sim::instancePathFor(scenario), &error);
    EXPECT_NE(pdo, nullptr) << error;
    if (!pdo) return false;
    plugged_[scenario.name] = pdo;
    cameras_[scenario.name] = camera;
    pnp_->settle();
    return pnp_->arrivalStatus(pdo) == STATUS_SUCCESS && pnp_->functionDevice(pdo) != nullptr;
}

void ToolHost::unplug(const std::string& name) {
    auto it = plugged_.find(name);
    if (it == plugged_.end()) return;
    bus_->unplug(it->second);
    plugged_.erase(it);
    bus_->settle();
    pnp_->settle();
}

sim::SimCamera* ToolHost::camera(const std::string& name) {
    auto it = cameras_.find(name);
    return it == cameras_.end() ? nullptr : it->second.get();
}

sim::Scenario scenarioNamed(const std::string& name) {
    sim::Scenario s = sim::defaultScenario();
    s.name = name;
    return s;
}

std::string toolPath() {
    return PAV512_TOOL;
}

namespace {

std::atomic<int> runs{0};

pid_t spawn(const std::vector<std::string>& args, const std::string& workDir, const std::string& out,
            const std::string& err) {
    // The child changes folder and redirects its outputs itself: a shell is
    // the simplest portable way to do both before the exec.
    std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\" >\"$PAV_OUT\" 2>\"$PAV_ERR\"",
                                     workDir.empty() ? privateDir() : workDir, toolPath(), "--no-start"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    // The child's environment is this process's plus where its outputs go
    // (no setenv here: the host's threads read the environment).
    std::vector<std::string> env = {"PAV_OUT=" + out, "PAV_ERR=" + err};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "PAV_OUT=", 8) != 0 && std::strncmp(*e, "PAV_ERR=", 8) != 0) env.push_back(*e);
    std::vector<char*> cenv;
    for (std::string& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, cargv.data(), cenv.data());
    EXPECT_EQ(rc, 0);
    return rc == 0 ? pid : -1;
}

int exitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::string& workDir) {
    int n = runs++;
    outFile_ = privateDir() + "/tool-" + std::to_string(n) + ".out";
    errFile_ = privateDir() + "/tool-" + std::to_string(n) + ".err";
    pid_ = spawn(args, workDir, outFile_, errFile_);
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void ToolProcess::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

ToolRun ToolProcess::wait() {
    ToolRun r;
    if (pid_ <= 0) return r;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    r.code = exitCodeOf(status);
    r.out = readFile(outFile_);
    r.err = readFile(errFile_);
    return r;
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& workDir) {
    ToolProcess p(args, workDir);
    return p.wait();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

std::vector<std::string> filesUnder(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    if (!std::filesystem::exists(dir, ec)) return out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        if (e.is_regular_file()) out.push_back(std::filesystem::relative(e.path(), dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

bool decodesAsJpeg(const std::string& bytes, int* width, int* height) {
    tjhandle tj = tjInitDecompress();
    int subsampling = 0, colourspace = 0;
    bool ok = tjDecompressHeader3(tj, reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<unsigned long>(bytes.size()), width, height, &subsampling,
                                  &colourspace) == 0;
    if (ok) {
        std::vector<unsigned char> pixels(static_cast<std::size_t>(*width) * *height * 3);
        ok = tjDecompress2(tj, reinterpret_cast<const unsigned char*>(bytes.data()),
                           static_cast<unsigned long>(bytes.size()), pixels.data(), *width, 0, *height, TJPF_RGB,
                           0) == 0;
    }
    tjDestroy(tj);
    return ok;
}

bool haveFfprobe() {
    return std::system("ffprobe -version >/dev/null 2>&1") == 0;
}

std::string probe(const std::string& path) {
    std::string out = privateDir() + "/probe.txt";
    std::string cmd = "ffprobe -v error -show_entries format=format_name -of default=nw=1:nk=1 '" + path +
                      "' >'" + out + "' 2>&1";
    if (std::system(cmd.c_str()) != 0) return std::string();
    std::string s = readFile(out);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

VideoProbe probeVideo(const std::string& path, const std::string& inputFormat) {
    VideoProbe v;
    std::string out = privateDir() + "/probe.json", err = privateDir() + "/probe.err";
    std::string cmd = "ffprobe -v error " + (inputFormat.empty() ? std::string() : "-f " + inputFormat + " ") +
                      "-count_frames -select_streams v:0 -show_entries "
                      "format=format_name:stream=codec_name,width,height,nb_read_frames,r_frame_rate -of json '" +
                      path + "' >'" + out + "' 2>'" + err + "'";
    int rc = std::system(cmd.c_str());
    v.errors = readFile(err);
    nlohmann::json j = nlohmann::json::parse(readFile(out), nullptr, false);
    if (j.is_discarded() || !j.contains("streams") || j["streams"].empty()) return v;
    const nlohmann::json& s = j["streams"][0];
    v.container = j.value("format", nlohmann::json::object()).value("format_name", "");
    v.codec = s.value("codec_name", "");
    v.width = s.value("width", 0);
    v.height = s.value("height", 0);
    v.frames = std::stol(s.value("nb_read_frames", "-1"));
    std::string rate = s.value("r_frame_rate", "0/1");
    std::size_t slash = rate.find('/');
    double num = std::stod(rate.substr(0, slash)), den = slash == std::string::npos ? 1 : std::stod(rate.substr(slash + 1));
    v.frameRate = den > 0 ? num / den : 0;
    v.ok = rc == 0 && v.errors.empty();
    return v;
}

void expectOneSentence(const ToolRun& r) {
    std::vector<std::string> lines = linesOf(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0].rfind("pav512: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].back(), '.') << lines[0];
}

void expectLastLineOneSentence(const ToolRun& r) {
    std::vector<std::string> lines = linesOf(r.err);
    ASSERT_FALSE(lines.empty());
    const std::string& last = lines.back();
    EXPECT_EQ(last.rfind("pav512: ", 0), 0u) << r.err;
    EXPECT_EQ(last.back(), '.') << r.err;
    // One sentence: no full stop before its end, other than in file names and figures.
    std::size_t stop = last.find(". ");
    EXPECT_EQ(stop, std::string::npos) << last;
}

}  // namespace pavtest
