// The pav512 tool as a user runs it: a process of its own, against the real
// driver and simulated cameras that this test process serves on the host's
// socket, so the test can read back what reached each camera.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/pnp_manager.h"
#include "host/socket_server.h"
#include "platform/usb/bus.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"

namespace pavtest {

struct ToolRun {
    int code = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

class ToolHost {
  public:
    ToolHost();
    ~ToolHost();
    // Plugs a camera made from `scenario` (its name tells cameras apart).
    bool plug(const sim::Scenario& scenario);
    void unplug(const std::string& name);
    sim::SimCamera* camera(const std::string& name);

  private:
    std::unique_ptr<usbbus::Bus> bus_;
    std::unique_ptr<host::PnpManager> pnp_;
    std::unique_ptr<host::SocketServer> server_;
    std::map<std::string, PDEVICE_OBJECT> plugged_;
    std::map<std::string, std::shared_ptr<sim::SimCamera>> cameras_;
};

// A scenario named `name` with the default content.
sim::Scenario scenarioNamed(const std::string& name);

// The tool's path, and a run of it to its end (never starting a host).
std::string toolPath();
ToolRun runTool(const std::vector<std::string>& args, const std::string& workDir = std::string());

// A run the test watches and signals; its outputs go to files.
class ToolProcess {
  public:
    explicit ToolProcess(const std::vector<std::string>& args, const std::string& workDir = std::string());
    ~ToolProcess();
    void signal(int sig);
    ToolRun wait();
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    std::string outFile_, errFile_;
};

// Lines of `text`.
std::vector<std::string> linesOf(const std::string& text);
// Every file under `dir`, relative, sorted.
std::vector<std::string> filesUnder(const std::string& dir);
std::string readFile(const std::string& path);

// What ordinary programs make of a file the tool wrote.
bool decodesAsJpeg(const std::string& bytes, int* width, int* height);
bool haveFfprobe();
// ffprobe's verdict: the container it found, or empty when it refused the file.
std::string probe(const std::string& path);
// The first video stream as ffprobe reads it, decoding every frame.
struct VideoProbe {
    bool ok = false;  // ffprobe read the file without an error
    std::string container, codec;
    int width = 0, height = 0;
    long frames = -1;        // frames decoded
    double frameRate = 0;    // as the container declares it
    std::string errors;      // what ffprobe said on standard error
};
VideoProbe probeVideo(const std::string& path, const std::string& inputFormat = std::string());

// An error a user sees: one line, "pav512: " and one sentence.
void expectOneSentence(const ToolRun& r);
// The last line of standard error is such a sentence (earlier lines may be
// progress).
void expectLastLineOneSentence(const ToolRun& r);

}  // namespace pavtest
