// pav512: the camera's stored files, video and settings from the command line.
//
//   pav512 cameras                       the cameras connected
//   pav512 summary                       model, firmware, sensor, name, storages
//   pav512 ls                            the numbered list of stored files
//   pav512 get 1-3,7 | NAME | --all | --new [-o DIR] [--pattern P]
//   pav512 thumbs [RANGE] [-o DIR]       80 x 60 previews as BMP files
//   pav512 rm RANGE | --all [--yes]
//   pav512 capture / snapshot            video from the camera
//   pav512 settings list | get NAME | set NAME VALUE | default [NAME...]
//   pav512 rename NAME                   the camera's name
//
// Every command finds the camera host and starts one when none answers.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/pav512/camera.h"
#include "tools/pav512/commands.h"
#include "tools/pav512/errors.h"
#include "tools/pav512/host.h"
#include "tools/pav512/settings.h"

#ifndef PAV512_VERSION
#define PAV512_VERSION "1.0.0"
#endif

using nlohmann::json;

namespace pav512 {
namespace {

void printJson(const json& j) {
    std::cout << j.dump(2) << "\n";
}

void runCameras(const Globals& g) {
    json out = json::array();
    std::vector<std::uint32_t> numbers = cameraNumbers();
    for (std::uint32_t n : numbers) {
        json c = {{"number", n}};
        try {
            CameraInfo info = describeCamera(n);
            c["name"] = info.name;
            c["firmware"] = info.firmware;
            c["sensor"] = info.sensor;
            c["largest_size"] = std::to_string(info.maxWidth) + "x" + std::to_string(info.maxHeight);
        } catch (const ToolError& e) {
            c["error"] = e.what();
        }
        out.push_back(c);
    }
    if (g.json) return printJson(out);
    if (numbers.empty()) {
        if (!g.quiet) std::cout << "No camera is connected.\n";
        return;
    }
    std::printf("%-4s %-32s %-9s %-7s %s\n", "#", "NAME", "FIRMWARE", "SENSOR", "LARGEST");
    for (const json& c : out) {
        if (c.contains("error")) {
            std::printf("%-4u %s\n", c["number"].get<unsigned>(), c["error"].get<std::string>().c_str());
            continue;
        }
        std::string name = c["name"].get<std::string>();
        std::printf("%-4u %-32s %-9s %-7s %s\n", c["number"].get<unsigned>(), name.empty() ? "(no name)" : name.c_str(),
                    c["firmware"].get<std::string>().c_str(), c["sensor"].get<std::string>().c_str(),
                    c["largest_size"].get<std::string>().c_str());
    }
}

void runSettingsList(const Globals& g) {
    VideoHandle camera(pickCamera(g.camera));
    json out = json::array();
    for (const Setting& s : settingsTable()) {
        json j = {{"name", s.name}, {"description", s.description}, {"values", describeValues(s)},
                  {"writable", s.writable}};
        try {
            j["value"] = readSetting(camera, s);
        } catch (const ToolError& e) {
            if (e.code() == kExitRemoved || e.code() == kExitNoCamera) throw;
            j["value"] = nullptr;
            j["error"] = e.what();
        }
        if (s.type == SettingType::Number) {
            j["minimum"] = s.minimum;
            j["maximum"] = s.maximum;
        }
        out.push_back(j);
    }
    if (g.json) return printJson(out);
    for (const json& j : out) {
        std::string value = j["value"].is_null() ? "(unreadable)" : j["value"].get<std::string>();
        std::string values = j["writable"].get<bool>() ? j["values"].get<std::string>() : "read-only";
        std::printf("%-20s %-22s %-28s %s\n", j["name"].get<std::string>().c_str(), value.c_str(), values.c_str(),
                    j["description"].get<std::string>().c_str());
    }
}

const Setting& settingNamed(const std::string& name) {
    const Setting* s = findSetting(name);
    if (!s) {
        std::string names;
        for (const Setting& t : settingsTable()) names += (names.empty() ? "" : ", ") + std::string(t.name);
        throw ToolError(kExitUsage, "There is no setting \"" + name + "\" (the settings are " + names + ").");
    }
    return *s;
}

void runSettingsGet(const Globals& g, const std::vector<std::string>& names) {
    VideoHandle camera(pickCamera(g.camera));
    json out = json::object();
    for (const std::string& n : names) out[settingNamed(n).name] = readSetting(camera, settingNamed(n));
    if (g.json) return printJson(out);
    for (const std::string& n : names) {
        if (names.size() == 1)
            std::cout << out[settingNamed(n).name].get<std::string>() << "\n";
        else
            std::cout << settingNamed(n).name << " " << out[settingNamed(n).name].get<std::string>() << "\n";
    }
}

void runSettingsSet(const Globals& g, const std::string& name, const std::string& value) {
    const Setting& s = settingNamed(name);
    // The value is checked before the camera is touched.
    encodeSetting(s, value, std::vector<std::uint8_t>(s.size, 0));
    VideoHandle camera(pickCamera(g.camera));
    writeSetting(camera, s, value);
    std::string now = readSetting(camera, s);
    if (g.json) return printJson({{s.name, now}});
    if (!g.quiet) std::cout << s.name << " " << now << "\n";
}

void runSettingsDefault(const Globals& g, const std::vector<std::string>& names, bool all) {
    if (names.empty() && !all)
        throw ToolError(kExitUsage, "Name the settings to put back, or give --all for every setting.");
    for (const std::string& n : names) settingNamed(n);
    VideoHandle camera(pickCamera(g.camera));
    json out = json::object();
    if (all) {
        defaultAllSettings(camera);
        for (const Setting& s : settingsTable())
            if (s.writable) out[s.name] = readSetting(camera, s);
    } else {
        for (const std::string& n : names) {
            const Setting& s = settingNamed(n);
            defaultSetting(camera, s);
            out[s.name] = readSetting(camera, s);
        }
    }
    if (g.json) return printJson(out);
    if (!g.quiet)
        for (auto& [k, v] : out.items()) std::cout << k << " " << v.get<std::string>() << "\n";
}

void runRename(const Globals& g, const std::string& name) {
    runSettingsSet(g, "name", name);
}

}  // namespace
}  // namespace pav512

int main(int argc, char** argv) {
    using namespace pav512;
    CLI::App app{"pav512: the pictures, sounds and clips stored in a PAV512 camera, its video and its settings.",
                 "pav512"};
    app.set_version_flag("--version", "pav512 " PAV512_VERSION);
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(
        "Ranges are 1-based numbers from 'pav512 ls': 3, 1-4, 2,5,7-9, 6- (to the last).\n"
        "If no camera host answers, pav512 starts pav512d for you and says so.\n"
        "Exit codes: 0 done, 1 failed, 2 bad usage or range, 3 no camera, 4 camera busy,\n"
        "5 camera unplugged, 6 disk full, 7 no host, 130 interrupted.");

    Globals g;
    std::string sim;
    bool simFlag = false;
    app.add_option("--camera,-c", g.camera, "camera number (default: the first camera)")->check(CLI::Range(0, 256));
    app.add_flag("--json", g.json, "print results as JSON");
    app.add_flag("-q,--quiet", g.quiet, "print nothing but errors (and what a command is for)");
    app.add_option("--socket", g.host.socket, "the host's socket (pav512d.sock) or its folder");
    auto* simOpt = app.add_option("--sim", sim, "use a host with a simulated camera (the built-in one, or "
                                                "the one SCENARIO describes)")
                       ->expected(0, 1)
                       ->type_name("[SCENARIO]");
    app.add_flag("--no-start", g.noStart, "never start a host");
    app.add_option("--wait", g.waitSeconds,
                   "seconds the stored-file commands wait for a camera busy in another program, such as one "
                   "recording video (default 60)")
        ->check(CLI::Range(0.0, 86400.0));

    auto* cameras = app.add_subcommand("cameras", "list the cameras connected");
    auto* summary = app.add_subcommand("summary", "model, firmware, sensor, name, storages with capacity and free space");
    auto* ls = app.add_subcommand("ls", "numbered list of the stored files (number, kind, format, size, dimensions, name)");

    GetOptions get;
    auto* getCmd = app.add_subcommand("get", "download stored files");
    getCmd->add_option("files", get.items, "ranges (1-3,7) or file names");
    getCmd->add_flag("--all,-a", get.all, "every stored file");
    getCmd->add_flag("--new,-n", get.onlyNew, "only files not downloaded from this camera before");
    getCmd->add_option("-o,--output", get.folder, "folder for the files (default: the current folder)");
    getCmd->add_option("--pattern,-p", get.pattern,
                       "file names: %n number (%3n zero-padded), %c counter, %f camera's name, %k kind, %e extension");
    getCmd->add_flag("--skip-existing", get.skipExisting, "pass over files already there with the same size");
    getCmd->add_flag("--overwrite", get.overwrite, "replace files already there");
    getCmd->add_flag("--stdout", get.toStdout, "write the file's bytes to standard output");

    ThumbOptions thumbs;
    auto* thumbsCmd = app.add_subcommand("thumbs", "80 x 60 previews of the pictures, as BMP files");
    thumbsCmd->add_option("files", thumbs.items, "ranges or file names (default: every picture)");
    thumbsCmd->add_option("-o,--output", thumbs.folder, "folder for the previews");
    thumbsCmd->add_flag("--overwrite", thumbs.overwrite, "replace previews already there");

    RemoveOptions rm;
    auto* rmCmd = app.add_subcommand("rm", "delete stored files from the camera");
    rmCmd->add_option("files", rm.items, "ranges or file names");
    rmCmd->add_flag("--all", rm.all, "every stored file");
    rmCmd->add_flag("--yes,-y", rm.yes, "do not ask");

    CaptureOptions cap;
    auto* capture = app.add_subcommand("capture", "record video from the camera (MJPEG), holding its video-capture lock");
    capture->add_option("-o,--output", cap.output, "FILE.avi, FILE.mjpeg (or .mjpg: raw JPEG frames), or - for "
                                                   "standard output (raw MJPEG, for 'ffplay -f mjpeg -')");
    capture->add_flag("--stdout", cap.toStdout, "write raw MJPEG to standard output (as -o -)");
    capture->add_option("--size,-s", cap.size, "picture size WIDTHxHEIGHT (default 320x240)");
    capture->add_option("--frames,-f", cap.frames, "stop after this many frames")->check(CLI::Range(1, 1000000));
    capture->add_option("--seconds,-t", cap.seconds, "stop after this many seconds of wall-clock time")
        ->check(CLI::Range(0.1, 86400.0));
    capture->add_option("--skip", cap.skip, "frames to drop first, while the exposure settles (default 0)")
        ->check(CLI::Range(0, 1000));
    capture->add_option("--format", cap.format, "avi or mjpeg (default: from the file name; mjpeg on standard output)");
    capture->add_flag("--overwrite", cap.overwrite, "replace a file already there");
    auto* snapshot = app.add_subcommand("snapshot", "one picture from the video, as a JPEG file");
    snapshot->add_option("-o,--output", cap.output, "FILE.jpg (or - for standard output)");
    snapshot->add_option("--size,-s", cap.size, "picture size WIDTHxHEIGHT (default 320x240)");
    snapshot->add_option("--skip", cap.skip, "frames to drop first (default 5)")->check(CLI::Range(0, 1000));
    snapshot->add_flag("--overwrite", cap.overwrite, "replace a file already there");

    auto* settings = app.add_subcommand("settings", "the camera's settings by name");
    settings->require_subcommand(1);
    auto* sList = settings->add_subcommand("list", "every setting with its value and the values it takes");
    std::vector<std::string> getNames;
    auto* sGet = settings->add_subcommand("get", "the value of settings");
    sGet->add_option("names", getNames, "setting names")->required();
    std::string setName, setValue;
    auto* sSet = settings->add_subcommand("set", "change a setting");
    sSet->add_option("name", setName, "setting name")->required();
    sSet->add_option("value", setValue, "new value")->required();
    std::vector<std::string> defaultNames;
    bool defaultAll = false;
    auto* sDefault = settings->add_subcommand("default", "put settings back to their defaults");
    sDefault->add_option("names", defaultNames, "setting names");
    sDefault->add_flag("--all", defaultAll, "every setting");

    std::string newName;
    auto* rename = app.add_subcommand("rename", "give the camera a name (up to 31 characters)");
    rename->add_option("name", newName, "the new name")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::string what = e.what();
        if (!what.empty() && what.back() != '.') what += ".";
        std::fprintf(stderr, "pav512: %s Try pav512 --help.\n", what.c_str());
        return kExitUsage;
    }

    try {
        g.host.quiet = g.quiet;
        g.host.mayStart = !g.noStart;
        if (simOpt->count() > 0) {
            g.host.simulated = true;
            g.host.scenario = sim;
            simFlag = true;
        }
        (void)simFlag;
        // Checks that need no camera come before the host is started.
        if (getCmd->parsed()) checkGetOptions(get);
        if (rmCmd->parsed() && rm.items.empty() && !rm.all)
            throw ToolError(kExitUsage, "Name the files to delete (a range or names), or give --all.");
        if (capture->parsed() || snapshot->parsed()) checkCaptureOptions(cap, snapshot->parsed());
        g.hostState = ensureHost(g.host);

        if (cameras->parsed()) runCameras(g);
        else if (summary->parsed()) runSummary(g);
        else if (ls->parsed()) runList(g);
        else if (getCmd->parsed()) return runGet(g, get);
        else if (thumbsCmd->parsed()) runThumbs(g, thumbs);
        else if (rmCmd->parsed()) runRemove(g, rm);
        else if (capture->parsed()) return runCapture(g, cap, false);
        else if (snapshot->parsed()) return runCapture(g, cap, true);
        else if (sList->parsed()) runSettingsList(g);
        else if (sGet->parsed()) runSettingsGet(g, getNames);
        else if (sSet->parsed()) runSettingsSet(g, setName, setValue);
        else if (sDefault->parsed()) runSettingsDefault(g, defaultNames, defaultAll);
        else if (rename->parsed()) runRename(g, newName);
        return kExitOk;
    } catch (const ToolError& e) {
        std::fprintf(stderr, "pav512: %s\n", e.what());
        return e.code();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "pav512: %s.\n", e.what());
        return kExitFailure;
    }
}
