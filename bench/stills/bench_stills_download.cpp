// Downloading a 1 MB picture from a client process: GetObject through
// PTPTransfer over the host's socket (library, socket client, host, driver,
// PTP responder, the unthrottled simulated camera), against a bare Unix
// socket copy of the same bytes in the same blocks, in the same run and the
// same process. Per block the bare copy moves what the control request and
// its completion move on the wire (a data phase sends its data area and gets
// it back filled), so what the figure compares is everything we add to the
// wire. The last line is our throughput over the bare one.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/quick.h"
#include "driver/core/driver.h"
#include "host/inprocess_transport.h"
#include "host/pnp_manager.h"
#include "host/socket_server.h"
#include "library/device/library.h"
#include "pav512/buffers.h"
#include "pav512u/ptp.h"
#include "platform/usb/bus.h"
#include "platform/user/channel_protocol.h"
#include "platform/user/channel_transport.h"
#include "platform/user/runtime_dir.h"
#include "sim/object_store.h"
#include "sim/scenario.h"
#include "sim/sim_camera.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kPictureBytes = 1u << 20;
constexpr std::uint32_t kBlock = 65536;
const int kRounds = pavbench::scaled(15, 2);
const int kDownloadsPerRound = pavbench::scaled(4, 1);

double medianOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

bool readExactly(int fd, std::uint8_t* p, std::size_t n) {
    while (n) {
        ssize_t got = ::recv(fd, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// ---------------------------------------------------------------------------
// The client process.

PTP_HANDLE ptp = nullptr;

bool phase(std::uint16_t kind, std::uint16_t code, void* data, std::uint32_t length,
           PtpTransferBlock* out = nullptr) {
    PtpTransferBlock b{kind, code, 1, kind == PTP_TRANSFER_COMMAND ? length : 0, 0, 0};
    if (PTPTransfer(ptp, &b, length, data) != PTPSTATUS_SUCCESS) return false;
    if (out) *out = b;
    return true;
}

// One GetObject in blocks of kBlock; the bytes received, 0 on failure.
std::size_t download(std::uint32_t object, std::vector<std::uint8_t>& into) {
    if (!phase(PTP_TRANSFER_COMMAND, 0x1009, &object, 4)) return 0;
    std::size_t got = 0;
    for (;;) {
        PtpTransferBlock b{};
        if (into.size() < got + kBlock) into.resize(got + kBlock);
        if (!phase(PTP_TRANSFER_DATA, 0x1009, into.data() + got, kBlock, &b)) return 0;
        got += b.chunkLength;
        if (b.chunkOffset + b.chunkLength >= b.totalLength || b.chunkLength == 0) break;
    }
    std::uint8_t params[16];
    if (!phase(PTP_TRANSFER_RESPONSE, 0x1009, params, sizeof params)) return 0;
    return got;
}

int client(std::uint32_t object) {
    pavu::processAttach();
    if (PTPHandleOpen(0, nullptr, &ptp) != PTPSTATUS_SUCCESS ||
        PTPHandleLock(ptp, 5000) != PTPSTATUS_SUCCESS) {
        std::fprintf(stderr, "bench_stills_download: no PTP handle\n");
        return 1;
    }
    std::uint32_t one = 1;
    std::uint8_t params[16];
    if (!phase(PTP_TRANSFER_COMMAND, 0x1002, &one, 4) ||
        !phase(PTP_TRANSFER_RESPONSE, 0x1002, params, sizeof params)) {
        std::fprintf(stderr, "bench_stills_download: no PTP session\n");
        return 1;
    }
    std::vector<std::uint8_t> picture;
    const std::size_t size = download(object, picture);
    if (size < kPictureBytes) {
        std::fprintf(stderr, "bench_stills_download: the download gave %zu bytes\n", size);
        return 1;
    }

    // The bare copy: per block, a request frame of the size ours has up and a
    // completion frame of the size ours has down, answered by a thread that
    // holds the picture. A fresh pair and thread each round, so that one
    // unlucky placement of the thread does not decide every round.
    const std::size_t blocks = (size + kBlock - 1) / kBlock;
    const std::size_t up = uproto::kHeaderLength + 20 + pav512::kPtpDataOffset + kBlock;
    const std::size_t down = uproto::kHeaderLength + 16 + pav512::kPtpDataOffset + kBlock;
    std::vector<std::uint8_t> request(up, 0xA5), reply(down), copy(size);
    auto bare = [&]() -> double {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 1e30;
        std::thread peer([&] {
            std::vector<std::uint8_t> in(up), out(down);
            std::size_t at = 0;
            while (readExactly(fds[1], in.data(), up)) {
                const std::size_t n = std::min<std::size_t>(kBlock, size - at);
                std::memcpy(out.data() + down - kBlock, picture.data() + at, n);
                at = (at + n) % size;
                if (!uproto::writeAll(fds[1], out)) break;
            }
        });
        auto start = Clock::now();
        for (int d = 0; d < kDownloadsPerRound; ++d) {
            std::size_t at = 0;
            for (std::size_t i = 0; i < blocks; ++i) {
                uproto::writeAll(fds[0], request);
                readExactly(fds[0], reply.data(), down);
                const std::size_t n = std::min<std::size_t>(kBlock, size - at);
                std::memcpy(copy.data() + at, reply.data() + down - kBlock, n);
                at += n;
            }
        }
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        ::shutdown(fds[0], SHUT_RDWR);
        peer.join();
        ::close(fds[0]);
        ::close(fds[1]);
        return t / kDownloadsPerRound;
    };

    // Rounds of the two alternate, so that a change in the machine's load
    // weighs on both alike. The figure compares the best round of each: the
    // bare copy's best is what the wire can do, and a slow round of ours is
    // no excuse for it.
    std::vector<double> ours, theirs;
    bool allWhole = true;
    for (int r = 0; r < kRounds; ++r) {
        auto start = Clock::now();
        for (int i = 0; i < kDownloadsPerRound; ++i)
            allWhole = allWhole && download(object, picture) == size;
        ours.push_back(std::chrono::duration<double>(Clock::now() - start).count() /
                       kDownloadsPerRound);
        theirs.push_back(bare());
    }
    const bool same = std::equal(copy.begin(), copy.end(), picture.begin());
    PTPHandleUnlock(ptp);
    PTPHandleClose(ptp);
    pavu::processDetach();
    if (!allWhole || !same) {
        std::fprintf(stderr, "bench_stills_download: a download came back short or different\n");
        return 1;
    }
    const double oursBest = *std::min_element(ours.begin(), ours.end());
    const double bareBest = *std::min_element(theirs.begin(), theirs.end());
    const double mb = static_cast<double>(size) / 1e6;
    std::printf("picture of %zu bytes in blocks of %u, best of %d rounds (median)\n", size, kBlock,
                kRounds);
    std::printf("through PTPTransfer over the socket: %.2f ms, %.0f MB/s (%.2f ms)\n",
                oursBest * 1e3, mb / oursBest, medianOf(ours) * 1e3);
    std::printf("bare socket copy, same frames: %.2f ms, %.0f MB/s (%.2f ms)\n", bareBest * 1e3,
                mb / bareBest, medianOf(theirs) * 1e3);
    std::printf("stills-download ratio: %.2f\n", bareBest / oursBest);
    return 0;
}

// The same download from the host's own process through the in-process
// transport: what the driver, the responder and the camera take without the
// socket. Printed for comparison only; negative when it could not be made.
double inProcessBest(std::uint32_t object) {
    uchannel::setTransport(host::makeInProcessTransport());
    pavu::processAttach();
    double best = -1;
    if (PTPHandleOpen(0, nullptr, &ptp) == PTPSTATUS_SUCCESS &&
        PTPHandleLock(ptp, 5000) == PTPSTATUS_SUCCESS) {
        std::uint32_t one = 1;
        std::uint8_t params[16];
        phase(PTP_TRANSFER_COMMAND, 0x1002, &one, 4);
        phase(PTP_TRANSFER_RESPONSE, 0x1002, params, sizeof params);
        std::vector<std::uint8_t> picture;
        for (int r = 0; r < kRounds; ++r) {
            auto start = Clock::now();
            if (download(object, picture) < kPictureBytes) {
                best = -1;
                break;
            }
            const double t = std::chrono::duration<double>(Clock::now() - start).count();
            if (best < 0 || t < best) best = t;
        }
        phase(PTP_TRANSFER_COMMAND, 0x1003, nullptr, 0);
        phase(PTP_TRANSFER_RESPONSE, 0x1003, params, sizeof params);
        PTPHandleUnlock(ptp);
    }
    if (ptp) PTPHandleClose(ptp);
    ptp = nullptr;
    pavu::processDetach();
    uchannel::setTransport(nullptr);
    return best;
}

// ---------------------------------------------------------------------------
// The host: the driver and one unthrottled simulated camera holding the
// picture, served on a socket of a private runtime directory.

int fail(const char* what) {
    std::fprintf(stderr, "bench_stills_download: %s\n", what);
    std::printf("stills-download ratio: n/a\n");
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "client") == 0)
        return client(static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 0)));

    char dirTemplate[] = "/tmp/pav512-stills-bench-XXXXXX";
    const char* dir = mkdtemp(dirTemplate);
    if (!dir) return fail("no scratch directory");
    const std::string d = dir;
    setenv("PAV512_MACHINE_HIVE", (d + "/machine.db").c_str(), 1);
    setenv("PAV512_USER_HIVE", (d + "/user.db").c_str(), 1);
    setenv("PAV512_RUNTIME_DIR", (d + "/run").c_str(), 1);
    std::filesystem::create_directories(d + "/run");

    sim::Scenario scenario = sim::defaultScenario();
    scenario.name = "stills-bench";
    scenario.defaultContent = false;
    scenario.timing.throttled = false;
    auto camera = sim::SimCamera::create(scenario);
    // A picture of 1 MB: a start-of-image marker, filler, an end-of-image marker.
    std::uint32_t number = 0;
    camera->withStore([&](sim::ObjectStore& s) {
        sim::ObjectSpec recipe;
        sim::StoredObject o = sim::generateObject(recipe, 1);
        o.picture = sim::syntheticFrame(kPictureBytes, 7);
        sim::fillDirectoryEntry(o, recipe);
        number = s.memory(0).add(std::move(o)).number;
    });
    const std::uint32_t object = 0x10000000u | number;

    int status = 1;
    {
        usbbus::Bus bus("stills_bench_bus");
        host::PnpManager pnp;
        if (!NT_SUCCESS(pnp.loadDriver("pav512", PAV512_DriverEntry)))
            return fail("the driver did not load");
        bus.setListener(&pnp);
        std::string error;
        PDEVICE_OBJECT pdo = bus.plug(camera, sim::instancePathFor(scenario), &error);
        if (!pdo) return fail(error.c_str());
        pnp.settle();
        if (!pnp.functionDevice(pdo) || pnp.arrivalStatus(pdo) != STATUS_SUCCESS)
            return fail("the camera did not start");
        host::SocketServer::Options o;
        o.socketPath = uruntime::socketPathIn(d + "/run");
        auto server = host::SocketServer::start(o, &error);
        if (!server) return fail(error.c_str());

        // First from this process, so that the client's figure comes last.
        const double best = inProcessBest(object);
        if (best > 0)
            std::printf("for comparison, from the host's process without the socket: %.2f ms\n",
                        best * 1e3);
        const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
        const std::string arg = std::to_string(object);
        std::fflush(stdout);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::execl(self.c_str(), self.c_str(), "client", arg.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        int ws = 0;
        if (pid > 0 && ::waitpid(pid, &ws, 0) == pid && WIFEXITED(ws)) status = WEXITSTATUS(ws);
        server->stop();
        bus.unplug(pdo);
        bus.settle();
        pnp.settle();
        bus.setListener(nullptr);
    }
    std::filesystem::remove_all(d);
    if (status != 0) return fail("the client process failed");
    return 0;
}
