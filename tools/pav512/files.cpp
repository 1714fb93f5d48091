// summary, ls, get, thumbs and rm over the still camera exports.
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>

#include "tools/pav512/camera.h"
#include "tools/pav512/commands.h"
#include "tools/pav512/errors.h"
#include "tools/pav512/ledger.h"
#include "tools/pav512/part_file.h"
#include "tools/pav512/pattern.h"
#include "tools/pav512/progress.h"
#include "tools/pav512/ranges.h"

#if PAV512_HAVE_STILLS
#include "tools/pav512/stills.h"
#endif

using nlohmann::json;

namespace pav512 {

void checkGetOptions(const GetOptions& o) {
    int choices = (o.items.empty() ? 0 : 1) + (o.all ? 1 : 0) + (o.onlyNew ? 1 : 0);
    if (choices == 0)
        throw ToolError(kExitUsage, "Name the files to download (a range or names), or give --all or --new.");
    if (o.all && !o.items.empty())
        throw ToolError(kExitUsage, "Give either --all or the files to download, not both.");
    if (o.skipExisting && o.overwrite)
        throw ToolError(kExitUsage, "Give either --skip-existing or --overwrite, not both.");
    if (o.toStdout && (!o.pattern.empty() || o.folder != "."))
        throw ToolError(kExitUsage, "--stdout writes no files, so -o and --pattern do not apply.");
    if (!o.pattern.empty()) {
        Pattern p;
        std::string error;
        if (!p.compile(o.pattern, &error)) throw ToolError(kExitUsage, error);
    }
}

#if !PAV512_HAVE_STILLS

[[noreturn]] static void noStills() {
    throw ToolError(kExitFailure, "This build of pav512 has no access to stored files (the library lacks its "
                                  "still camera interface).");
}
void runSummary(const Globals&) { noStills(); }
void runList(const Globals&) { noStills(); }
int runGet(const Globals&, const GetOptions&) { noStills(); }
void runThumbs(const Globals&, const ThumbOptions&) { noStills(); }
void runRemove(const Globals&, const RemoveOptions&) { noStills(); }

#else

namespace {

std::vector<StoredObject> select(const std::vector<StoredObject>& objects, const std::vector<std::string>& items,
                                 std::uint32_t camera) {
    std::set<std::size_t> chosen;
    for (const std::string& item : items) {
        if (looksLikeRange(item)) {
            RangeResult r = parseRange(item, objects.size());
            if (!r.ok()) throw ToolError(kExitUsage, r.error);
            chosen.insert(r.numbers.begin(), r.numbers.end());
            continue;
        }
        bool found = false;
        for (const StoredObject& o : objects)
            if (o.fileName() == item || o.name == item) {
                chosen.insert(o.number);
                found = true;
            }
        if (!found)
            throw ToolError(kExitUsage, "Camera " + std::to_string(camera) + " holds no file named \"" + item +
                                            "\" (see pav512 ls).");
    }
    std::vector<StoredObject> out;
    for (std::size_t n : chosen) out.push_back(objects[n - 1]);
    return out;
}

// A ledger per camera: its name and its identification block tell cameras apart.
std::string cameraIdentity(std::uint32_t number) {
    VideoHandle h(number);
    char name[33] = {};
    h.tryRead(kDeviceSet, 2, name, 32);
    std::uint8_t block[22] = {};
    h.tryRead(kFirmwareSet, 6, block, sizeof block);
    std::uint32_t hash = 2166136261u;
    for (std::uint8_t b : block) hash = (hash ^ b) * 16777619u;
    char tag[16];
    std::snprintf(tag, sizeof tag, "%08x", hash);
    std::string n(name, strnlen(name, 32));
    return (n.empty() ? std::string("camera") : n) + "-" + tag;
}

LedgerKey keyOf(const StoredObject& o) {
    return LedgerKey{o.storage, o.fileName(), o.size, o.date};
}

json objectJson(const StoredObject& o) {
    return {{"number", o.number}, {"id", o.id},         {"kind", o.kind},     {"format", o.extension},
            {"size", o.size},     {"width", o.width},   {"height", o.height}, {"name", o.fileName()},
            {"storage", o.storage}};
}

}  // namespace

void runSummary(const Globals& g) {
    std::uint32_t number = pickCamera(g.camera);
    StillCamera camera(number, g.waitSeconds, g.quiet || g.json);
    DeviceSummary d = camera.summary();
    std::vector<StorageInfo> storages = camera.storages();
    std::string model = "PAV512";
    {
        VideoHandle h(number);
        char text[7] = {};
        static const PAV_GUID kModelSet = {0x66A4C633u, 0x4438u, 0x401Eu,
                                           {0xB7, 0x3C, 0xD7, 0x0D, 0xF0, 0x53, 0xCA, 0xBF}};
        if (h.tryRead(kModelSet, 0, text, 6) == PAVPI_STATUS_SUCCESS && text[0]) model = std::string(text, strnlen(text, 6));
    }
    json out = {{"camera", number}, {"model", model},       {"vendor", d.vendor}, {"firmware", d.firmware},
                {"sensor", d.sensor}, {"name", d.name},     {"patch", d.patch},   {"storages", json::array()}};
    for (const StorageInfo& s : storages)
        out["storages"].push_back({{"id", s.id},
                                   {"description", s.description},
                                   {"label", s.label},
                                   {"capacity", s.capacity},
                                   {"free", s.freeBytes},
                                   {"free_images", s.freeImages}});
    if (g.json) {
        std::cout << out.dump(2) << "\n";
        return;
    }
    std::printf("Camera %u\n", number);
    std::printf("  model     %s\n", model.c_str());
    if (!d.vendor.empty()) std::printf("  maker     %s\n", d.vendor.c_str());
    std::printf("  firmware  %s\n", d.firmware.c_str());
    std::printf("  sensor    %s\n", d.sensor.c_str());
    std::printf("  name      %s\n", d.name.empty() ? "(none)" : d.name.c_str());
    for (const StorageInfo& s : storages) {
        std::string what = s.description.empty() ? "storage" : s.description;
        std::printf("  %-9s %s in all, %s free (%u more pictures)%s\n", "storage", formatBytes(s.capacity).c_str(),
                    formatBytes(s.freeBytes).c_str(), s.freeImages,
                    (what == "storage" ? std::string() : " - " + what).c_str());
    }
}

void runList(const Globals& g) {
    std::uint32_t number = pickCamera(g.camera);
    StillCamera camera(number, g.waitSeconds, g.quiet || g.json);
    std::vector<StoredObject> objects = camera.list();
    if (g.json) {
        json out = json::array();
        for (const StoredObject& o : objects) out.push_back(objectJson(o));
        std::cout << out.dump(2) << "\n";
        return;
    }
    if (objects.empty()) {
        if (!g.quiet) std::printf("Camera %u holds no files.\n", number);
        return;
    }
    std::printf("%4s  %-8s %-5s %10s  %-10s %s\n", "#", "KIND", "TYPE", "SIZE", "PIXELS", "NAME");
    for (const StoredObject& o : objects) {
        std::string dims = o.width && o.height ? std::to_string(o.width) + "x" + std::to_string(o.height) : "-";
        std::printf("%4zu  %-8s %-5s %10s  %-10s %s\n", o.number, o.kind.c_str(), o.extension.c_str(),
                    formatBytes(o.size).c_str(), dims.c_str(), o.fileName().c_str());
    }
}

int runGet(const Globals& g, const GetOptions& o) {
    std::uint32_t number = pickCamera(g.camera);
    StillCamera camera(number, g.waitSeconds, g.quiet || g.json);
    std::vector<StoredObject> objects = camera.list();
    std::vector<StoredObject> chosen = o.all || (o.onlyNew && o.items.empty()) ? objects : select(objects, o.items, number);

    Ledger ledger(cameraIdentity(number), o.ledgerFolder);
    std::string error;
    if (!ledger.load(&error)) throw ToolError(kExitFailure, error);
    Pattern pattern;
    if (!pattern.compile(o.pattern.empty() ? Pattern::kDefault : o.pattern, &error))
        throw ToolError(kExitUsage, error);
    installInterruptHandler();

    json downloaded = json::array(), skipped = json::array();
    std::uint64_t bytes = 0;
    std::size_t counter = 0;
    bool progressShown = !g.quiet && !g.json && stderrIsTerminal();
    for (const StoredObject& obj : chosen) {
        if (interrupted()) break;
        if (o.onlyNew && ledger.contains(keyOf(obj))) {
            skipped.push_back({{"number", obj.number}, {"name", obj.fileName()}, {"why", "downloaded before"}});
            continue;
        }
        if (o.toStdout) {
            std::string sinkError;
            auto sink = [&](const void* data, std::size_t n) {
                const char* p = static_cast<const char*>(data);
                while (n) {
                    ssize_t w = ::write(1, p, n);
                    if (w < 0 && errno == EINTR) continue;
                    if (w <= 0) {
                        sinkError = "Standard output was closed while writing " + obj.fileName() + ".";
                        return false;
                    }
                    p += w;
                    n -= static_cast<std::size_t>(w);
                }
                return true;
            };
            auto outcome = camera.download(obj, sink, [](std::uint64_t) {}, interrupted);
            if (!sinkError.empty()) throw ToolError(kExitFailure, sinkError);
            if (outcome == StillCamera::Outcome::Interrupted)
                throw ToolError(kExitInterrupted, "Interrupted while writing " + obj.fileName() + ".");
            bytes += obj.size;
            continue;
        }
        ++counter;
        FileFields fields{obj.number, counter, obj.name, obj.kind, obj.extension};
        std::filesystem::path target = std::filesystem::path(o.folder) / pattern.render(fields);
        // Decided from the object's information before any byte is read.
        std::error_code ec;
        if (std::filesystem::exists(target, ec)) {
            auto have = std::filesystem::file_size(target, ec);
            if (o.skipExisting && !ec && have == obj.size) {
                --counter;
                skipped.push_back({{"number", obj.number}, {"name", obj.fileName()}, {"path", target.string()},
                                   {"why", "already there"}});
                if (!ledger.contains(keyOf(obj))) ledger.record(keyOf(obj), &error);
                continue;
            }
            if (!o.overwrite)
                throw ToolError(kExitFailure, target.string() + " already exists" +
                                                  (o.skipExisting ? " with another size" : "") +
                                                  " (use --overwrite to replace it).");
        }
        PartFile file;
        PartFile::Result r = file.open(target.string(), o.overwrite, &error);
        if (r == PartFile::Result::DiskFull) throw ToolError(kExitDiskFull, error);
        if (r != PartFile::Result::Ok) throw ToolError(kExitFailure, error);
        std::string sinkError;
        PartFile::Result sinkResult = PartFile::Result::Ok;
        auto sink = [&](const void* data, std::size_t n) {
            sinkResult = file.write(data, n, &sinkError);
            return sinkResult == PartFile::Result::Ok;
        };
        Progress bar(obj.fileName(), obj.size, progressShown);
        auto outcome = camera.download(obj, sink, [&](std::uint64_t done) { bar.update(done); }, interrupted);
        bar.finish();
        if (sinkResult != PartFile::Result::Ok)
            throw ToolError(sinkResult == PartFile::Result::DiskFull ? kExitDiskFull : kExitFailure, sinkError);
        if (outcome == StillCamera::Outcome::Interrupted) {
            file.discard();
            throw ToolError(kExitInterrupted, "Interrupted: " + target.string() + " was not saved (" +
                                                  std::to_string(downloaded.size()) + " saved before it).");
        }
        r = file.commit(&error);
        if (r == PartFile::Result::DiskFull) throw ToolError(kExitDiskFull, error);
        if (r != PartFile::Result::Ok) throw ToolError(kExitFailure, error);
        if (!ledger.record(keyOf(obj), &error) && !g.quiet) std::fprintf(stderr, "pav512: %s\n", error.c_str());
        bytes += obj.size;
        downloaded.push_back({{"number", obj.number}, {"name", obj.fileName()}, {"path", target.string()},
                              {"size", obj.size}});
        if (!g.quiet && !g.json) std::printf("%s  %s\n", target.string().c_str(), formatBytes(obj.size).c_str());
    }
    if (interrupted()) throw ToolError(kExitInterrupted, "Interrupted after " + std::to_string(downloaded.size()) + " files.");
    if (o.toStdout) return kExitOk;
    if (g.json) {
        std::cout << json{{"camera", number},
                          {"folder", std::filesystem::absolute(o.folder).lexically_normal().string()},
                          {"downloaded", downloaded},
                          {"skipped", skipped},
                          {"bytes", bytes}}
                         .dump(2)
                  << "\n";
    } else if (!g.quiet) {
        std::printf("%zu file%s downloaded (%s)", downloaded.size(), downloaded.size() == 1 ? "" : "s",
                    formatBytes(bytes).c_str());
        if (!skipped.empty()) std::printf(", %zu skipped", skipped.size());
        std::printf(", in %s\n", std::filesystem::absolute(o.folder).lexically_normal().string().c_str());
    }
    return kExitOk;
}

void runThumbs(const Globals& g, const ThumbOptions& o) {
    std::uint32_t number = pickCamera(g.camera);
    StillCamera camera(number, g.waitSeconds, g.quiet || g.json);
    std::vector<StoredObject> objects = camera.list();
    std::vector<StoredObject> chosen = o.items.empty() ? objects : select(objects, o.items, number);
    installInterruptHandler();
    json written = json::array();
    for (const StoredObject& obj : chosen) {
        if (interrupted()) throw ToolError(kExitInterrupted, "Interrupted.");
        if (obj.format != 0x3801) {
            if (o.items.empty()) continue;  // only pictures have previews
            throw ToolError(kExitUsage, obj.fileName() + " is a " + obj.kind + " and has no preview.");
        }
        std::vector<std::uint8_t> bmp = camera.previewBmp(obj);
        if (bmp.empty()) continue;
        std::filesystem::path target = std::filesystem::path(o.folder) / (obj.name + ".thumb.bmp");
        PartFile file;
        std::string error;
        PartFile::Result r = file.open(target.string(), o.overwrite, &error);
        if (r == PartFile::Result::Ok) r = file.write(bmp.data(), bmp.size(), &error);
        if (r == PartFile::Result::Ok) r = file.commit(&error);
        if (r == PartFile::Result::DiskFull) throw ToolError(kExitDiskFull, error);
        if (r != PartFile::Result::Ok) throw ToolError(kExitFailure, error);
        written.push_back({{"number", obj.number}, {"name", obj.fileName()}, {"path", target.string()}});
        if (!g.quiet && !g.json) std::printf("%s\n", target.string().c_str());
    }
    if (g.json) std::cout << json{{"camera", number}, {"previews", written}}.dump(2) << "\n";
}

void runRemove(const Globals& g, const RemoveOptions& o) {
    std::uint32_t number = pickCamera(g.camera);
    StillCamera camera(number, g.waitSeconds, g.quiet || g.json);
    std::vector<StoredObject> objects = camera.list();
    std::vector<StoredObject> chosen = o.all ? objects : select(objects, o.items, number);
    if (chosen.empty()) {
        if (!g.quiet && !g.json) std::printf("Camera %u holds no files.\n", number);
        if (g.json) std::cout << json{{"camera", number}, {"deleted", json::array()}}.dump(2) << "\n";
        return;
    }
    if (!o.yes) {
        if (!::isatty(0))
            throw ToolError(kExitUsage, "Deleting asks first; give --yes when no one can answer on the terminal.");
        std::fprintf(stderr, "Delete %zu file%s from camera %u? [y/N] ", chosen.size(), chosen.size() == 1 ? "" : "s",
                     number);
        std::string answer;
        if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes"))
            throw ToolError(kExitFailure, "Nothing was deleted.");
    }
    json deleted = json::array();
    if (o.all) {
        camera.removeAll();
        for (const StoredObject& obj : chosen) deleted.push_back(obj.fileName());
    } else {
        for (const StoredObject& obj : chosen) {
            camera.remove(obj);
            deleted.push_back(obj.fileName());
        }
    }
    if (g.json) {
        std::cout << json{{"camera", number}, {"deleted", deleted}}.dump(2) << "\n";
    } else if (!g.quiet) {
        std::printf("%zu file%s deleted from camera %u.\n", deleted.size(), deleted.size() == 1 ? "" : "s", number);
    }
}

#endif

}  // namespace pav512
