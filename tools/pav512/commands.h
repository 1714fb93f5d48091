// The commands of pav512 over the stored files and the video, and the
// options they share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/pav512/host.h"

namespace pav512 {

struct Globals {
    std::uint32_t camera = 0;  // 0: the first camera
    bool json = false;
    bool quiet = false;
    bool noStart = false;
    double waitSeconds = 60;  // for a camera another program holds (stored-file commands)
    HostOptions host;
    HostState hostState;
};

struct GetOptions {
    std::vector<std::string> items;
    bool all = false;
    bool onlyNew = false;
    std::string folder = ".";
    std::string pattern;
    bool skipExisting = false;
    bool overwrite = false;
    bool toStdout = false;
    std::string ledgerFolder;  // the default state folder when empty
};

struct ThumbOptions {
    std::vector<std::string> items;
    std::string folder = ".";
    bool overwrite = false;
};

struct RemoveOptions {
    std::vector<std::string> items;
    bool all = false;
    bool yes = false;
};

struct CaptureOptions {
    std::string output;  // "-": standard output
    std::string size;    // WIDTHxHEIGHT; empty: 320x240
    std::uint32_t frames = 0;
    double seconds = 0;  // of wall-clock time, from the first frame kept
    std::int32_t skip = -1;  // -1: none for capture, a few for snapshot
    std::string format;      // avi, mjpeg, or empty: from the file name
    bool toStdout = false;
    bool overwrite = false;
};

// Option checks that need no camera (throw ToolError(kExitUsage)).
void checkGetOptions(const GetOptions& o);
void checkCaptureOptions(const CaptureOptions& o, bool snapshot);

void runSummary(const Globals& g);
void runList(const Globals& g);
int runGet(const Globals& g, const GetOptions& o);
void runThumbs(const Globals& g, const ThumbOptions& o);
void runRemove(const Globals& g, const RemoveOptions& o);
int runCapture(const Globals& g, const CaptureOptions& o, bool snapshot);

}  // namespace pav512
