#include "sim/scenario.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace sim {
namespace {

using Json = nlohmann::json;

// Walks a JSON document and keeps the first complaint with the path of the
// field it concerns. Every reader returns false once a complaint is recorded.
class Reader {
  public:
    explicit Reader(std::string* error) : error_(error) {}

    bool failed() const { return failed_; }

    bool fail(const std::string& path, const std::string& message) {
        if (!failed_ && error_) *error_ = path + ": " + message;
        failed_ = true;
        return false;
    }

    // Accepts a JSON integer or a string with a decimal or 0x-prefixed number
    // (register values read better in hex).
    bool integer(const Json& v, const std::string& path, long long lo, long long hi,
                 long long* out) {
        long long value = 0;
        if (v.is_number_integer() || v.is_number_unsigned()) {
            if (v.is_number_unsigned() &&
                v.get<unsigned long long>() >
                    static_cast<unsigned long long>(std::numeric_limits<long long>::max()))
                return fail(path, range(lo, hi));
            value = v.get<long long>();
        } else if (v.is_string()) {
            const std::string& s = v.get_ref<const std::string&>();
            char* end = nullptr;
            errno = 0;
            value = std::strtoll(s.c_str(), &end, 0);
            if (s.empty() || end == s.c_str() || *end != '\0' || errno != 0)
                return fail(path, range(lo, hi));
        } else {
            return fail(path, range(lo, hi));
        }
        if (value < lo || value > hi) return fail(path, range(lo, hi));
        *out = value;
        return true;
    }

    template <typename T>
    bool field(const Json& obj, const char* key, const std::string& base, long long lo,
               long long hi, T* out) {
        auto it = obj.find(key);
        if (it == obj.end()) return true;
        long long v = 0;
        if (!integer(*it, join(base, key), lo, hi, &v)) return false;
        *out = static_cast<T>(v);
        return true;
    }

    bool flag(const Json& obj, const char* key, const std::string& base, bool* out) {
        auto it = obj.find(key);
        if (it == obj.end()) return true;
        if (!it->is_boolean()) return fail(join(base, key), "must be true or false");
        *out = it->get<bool>();
        return true;
    }

    bool text(const Json& obj, const char* key, const std::string& base, std::size_t maxLength,
              std::string* out) {
        auto it = obj.find(key);
        if (it == obj.end()) return true;
        if (!it->is_string()) return fail(join(base, key), "must be a string");
        const std::string& s = it->get_ref<const std::string&>();
        if (s.size() > maxLength)
            return fail(join(base, key),
                        "must be at most " + std::to_string(maxLength) + " characters");
        if (s.find('\0') != std::string::npos)
            return fail(join(base, key), "must not contain a null character");
        *out = s;
        return true;
    }

    // Refuses members that the reader does not know, so a misspelt field is
    // reported instead of silently ignored.
    bool onlyKnown(const Json& obj, const std::string& base,
                   std::initializer_list<const char*> known) {
        for (auto it = obj.begin(); it != obj.end(); ++it) {
            bool ok = std::any_of(known.begin(), known.end(),
                                  [&](const char* k) { return it.key() == k; });
            if (!ok) return fail(join(base, it.key()), "unknown field");
        }
        return true;
    }

    bool object(const Json& v, const std::string& path) {
        if (!v.is_object()) return fail(path, "must be an object");
        return true;
    }

    static std::string join(const std::string& base, const std::string& key) {
        return base.empty() ? key : base + "." + key;
    }

  private:
    static std::string range(long long lo, long long hi) {
        return "must be an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
    }

    std::string* error_;
    bool failed_ = false;
};

bool readObject(Reader& r, const Json& v, const std::string& path, PlacedObject* out) {
    if (!r.object(v, path)) return false;
    if (!r.onlyKnown(v, path,
                     {"memory", "kind", "width", "height", "thumbnailWidth", "thumbnailHeight",
                      "frames", "frameRateHalfFps", "soundBytes", "sampleRate", "channels",
                      "bitsPerSample", "quality", "progressive", "greyscale", "seed", "number"}))
        return false;
    ObjectSpec& s = out->recipe;
    auto kindIt = v.find("kind");
    if (kindIt == v.end()) return r.fail(path + ".kind", "missing; must be one of 1, 2, 3, 8, 12");
    long long kind = 0;
    static const std::set<long long> kKinds = {1, 2, 3, 8, 12};
    if (!(kindIt->is_number_integer() || kindIt->is_number_unsigned()) ||
        !kKinds.count(kind = kindIt->get<long long>()))
        return r.fail(path + ".kind", "must be one of 1, 2, 3, 8, 12");
    s.kind = static_cast<ObjectKind>(kind);
    if (!r.field(v, "memory", path, 0, kMemoryCount - 1, &out->memory)) return false;
    if (!r.field(v, "width", path, 16, 2048, &s.width)) return false;
    if (!r.field(v, "height", path, 16, 2048, &s.height)) return false;
    if (!r.field(v, "thumbnailWidth", path, 4, 640, &s.thumbnailWidth)) return false;
    if (s.thumbnailWidth % 4 != 0)
        return r.fail(path + ".thumbnailWidth", "must be a multiple of 4");
    if (!r.field(v, "thumbnailHeight", path, 4, 480, &s.thumbnailHeight)) return false;
    if (s.kind == ObjectKind::PictureWithThumbnail && s.thumbnailWidth > s.width)
        return r.fail(path + ".thumbnailWidth", "must not exceed the width");
    if (s.kind == ObjectKind::PictureWithThumbnail && s.thumbnailHeight > s.height)
        return r.fail(path + ".thumbnailHeight", "must not exceed the height");
    if (!r.field(v, "frames", path, 1, 3000, &s.frames)) return false;
    if (!r.field(v, "frameRateHalfFps", path, 0, 120, &s.frameRateHalfFps)) return false;
    if (!r.field(v, "soundBytes", path, 0, 16 << 20, &s.soundBytes)) return false;
    if (!r.field(v, "sampleRate", path, 1000, 48000, &s.sampleRate)) return false;
    if (!r.field(v, "channels", path, 1, 2, &s.channels)) return false;
    if (!r.field(v, "bitsPerSample", path, 8, 16, &s.bitsPerSample)) return false;
    if (s.bitsPerSample != 8 && s.bitsPerSample != 16)
        return r.fail(path + ".bitsPerSample", "must be 8 or 16");
    if (!r.field(v, "quality", path, 1, 100, &s.quality)) return false;
    if (!r.flag(v, "progressive", path, &s.progressive)) return false;
    if (!r.flag(v, "greyscale", path, &s.greyscale)) return false;
    if (!r.field(v, "seed", path, 0, 0xFFFFFFFFLL, &s.seed)) return false;
    if (!r.field(v, "number", path, 0, kMaxObjectNumber, &s.number)) return false;
    return true;
}

bool readTiming(Reader& r, const Json& v, const std::string& path, Timing* t) {
    if (!r.object(v, path)) return false;
    if (!r.onlyKnown(v, path,
                     {"bootDelayMs", "sensorReadyDelayMs", "deleteMs", "eraseMs", "patchBootMs",
                      "reportDelayMs", "frameIntervalMs", "controlLatencyFrames", "throttled",
                      "videoPauseAfterFrames", "videoPauseMs"}))
        return false;
    constexpr int kHour = 3600 * 1000;
    return r.field(v, "bootDelayMs", path, 0, kHour, &t->bootDelayMs) &&
           r.field(v, "sensorReadyDelayMs", path, 0, kHour, &t->sensorReadyDelayMs) &&
           r.field(v, "deleteMs", path, 0, kHour, &t->deleteMs) &&
           r.field(v, "eraseMs", path, 0, kHour, &t->eraseMs) &&
           r.field(v, "patchBootMs", path, 0, kHour, &t->patchBootMs) &&
           r.field(v, "reportDelayMs", path, 0, kHour, &t->reportDelayMs) &&
           r.field(v, "frameIntervalMs", path, 1, 10000, &t->frameIntervalMs) &&
           r.field(v, "controlLatencyFrames", path, 0, 1000, &t->controlLatencyFrames) &&
           r.flag(v, "throttled", path, &t->throttled) &&
           r.field(v, "videoPauseAfterFrames", path, 0, 1000000, &t->videoPauseAfterFrames) &&
           r.field(v, "videoPauseMs", path, 0, kHour, &t->videoPauseMs);
}

// "videoScript": [{"shape": "leadingD9", "base": 1, "packetPayload": 1,
//                  "fullBadPacket": 3, "pauseBeforeMs": 0}, ...]
bool readVideoScript(Reader& r, const Json& v, const std::string& path,
                     std::vector<ScriptedFrame>* out) {
    if (!v.is_array()) return r.fail(path, "must be an array");
    static const std::pair<const char*, FrameShape> kShapes[] = {
        {"whole", FrameShape::Whole},
        {"leadingD9", FrameShape::LeadingD9},
        {"preamble", FrameShape::Preamble},
        {"noEndMarker", FrameShape::NoEndMarker},
        {"oversized", FrameShape::Oversized},
    };
    out->clear();
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::string p = path + "[" + std::to_string(i) + "]";
        const Json& e = v[i];
        ScriptedFrame f;
        if (!r.object(e, p) ||
            !r.onlyKnown(e, p, {"shape", "base", "packetPayload", "fullBadPacket", "pauseBeforeMs"}))
            return false;
        std::string shape = "whole";
        if (!r.text(e, "shape", p, 32, &shape)) return false;
        bool known = false;
        for (const auto& [name, value] : kShapes) {
            if (shape == name) {
                f.shape = value;
                known = true;
            }
        }
        if (!known)
            return r.fail(p + ".shape",
                          "must be one of whole, leadingD9, preamble, noEndMarker, oversized");
        if (!r.field(e, "base", p, 0, 1000, &f.base) ||
            !r.field(e, "packetPayload", p, 0, 1023, &f.packetPayload) ||
            !r.field(e, "fullBadPacket", p, -1, 1000000, &f.fullBadPacket) ||
            !r.field(e, "pauseBeforeMs", p, 0, 3600 * 1000, &f.pauseBeforeMs))
            return false;
        out->push_back(f);
    }
    return true;
}

bool readIntList(Reader& r, const Json& obj, const char* key, const std::string& base, long long lo,
                 long long hi, std::vector<long long>* out) {
    auto it = obj.find(key);
    if (it == obj.end()) return true;
    std::string path = Reader::join(base, key);
    if (!it->is_array()) return r.fail(path, "must be an array");
    out->clear();
    for (std::size_t i = 0; i < it->size(); ++i) {
        long long v = 0;
        if (!r.integer((*it)[i], path + "[" + std::to_string(i) + "]", lo, hi, &v)) return false;
        out->push_back(v);
    }
    return true;
}

bool readFaults(Reader& r, const Json& v, const std::string& path, Faults* f) {
    if (!r.object(v, path)) return false;
    if (!r.onlyKnown(v, path,
                     {"stalledEndpoints", "isoEmptyEvery", "isoDropEvery", "isoBadChecksumEvery",
                      "isoFailedPackets", "failedTransfers", "failedTransfersEndpoint",
                      "bulkInNeverArrives", "longerAnswers", "edMarker", "slowErase", "neverBoot",
                      "sensorNeverReady", "refusedAlternates", "removeDuringTransfer",
                      "noReturnAfterCycle", "shortControlReads", "failedRequests", "descriptor",
                      "strictReads"}))
        return false;
    std::vector<long long> list;
    if (v.contains("stalledEndpoints")) {
        if (!readIntList(r, v, "stalledEndpoints", path, 0, 255, &list)) return false;
        static const std::set<long long> kEndpoints = {0x81, 0x82, 0x83, 0x05};
        f->stalledEndpoints.clear();
        for (std::size_t i = 0; i < list.size(); ++i) {
            if (!kEndpoints.count(list[i]))
                return r.fail(path + ".stalledEndpoints[" + std::to_string(i) + "]",
                              "must be one of 129, 130, 131, 5 (0x81, 0x82, 0x83, 0x05)");
            f->stalledEndpoints.push_back(static_cast<std::uint8_t>(list[i]));
        }
    }
    constexpr int kMany = 1000000;
    if (!r.field(v, "isoEmptyEvery", path, 0, kMany, &f->isoEmptyEvery) ||
        !r.field(v, "isoDropEvery", path, 0, kMany, &f->isoDropEvery) ||
        !r.field(v, "isoBadChecksumEvery", path, 0, kMany, &f->isoBadChecksumEvery) ||
        !r.field(v, "isoFailedPackets", path, 0, kMany, &f->isoFailedPackets) ||
        !r.field(v, "failedTransfers", path, 0, kMany, &f->failedTransfers) ||
        !r.field(v, "failedTransfersEndpoint", path, 0, 255, &f->failedTransfersEndpoint) ||
        !r.flag(v, "bulkInNeverArrives", path, &f->bulkInNeverArrives) ||
        !r.flag(v, "longerAnswers", path, &f->longerAnswers) ||
        !r.flag(v, "edMarker", path, &f->edMarker) ||
        !r.flag(v, "slowErase", path, &f->slowErase) ||
        !r.flag(v, "neverBoot", path, &f->neverBoot) ||
        !r.flag(v, "sensorNeverReady", path, &f->sensorNeverReady) ||
        !r.field(v, "removeDuringTransfer", path, 0, kMany, &f->removeDuringTransfer) ||
        !r.flag(v, "noReturnAfterCycle", path, &f->noReturnAfterCycle) ||
        !r.flag(v, "strictReads", path, &f->strictReads))
        return false;
    if (v.contains("refusedAlternates")) {
        if (!readIntList(r, v, "refusedAlternates", path, 1, 7, &list)) return false;
        f->refusedAlternates.assign(list.begin(), list.end());
    }
    if (auto it = v.find("shortControlReads"); it != v.end()) {
        std::string listPath = path + ".shortControlReads";
        if (!it->is_array()) return r.fail(listPath, "must be an array");
        f->shortControlReads.clear();
        for (std::size_t i = 0; i < it->size(); ++i) {
            std::string p = listPath + "[" + std::to_string(i) + "]";
            const Json& e = (*it)[i];
            ShortRead s;
            if (!r.object(e, p) || !r.onlyKnown(e, p, {"request", "length"}) ||
                !r.field(e, "request", p, -1, 255, &s.request) ||
                !r.field(e, "length", p, 0, 65535, &s.length))
                return false;
            f->shortControlReads.push_back(s);
        }
    }
    if (auto it = v.find("failedRequests"); it != v.end()) {
        std::string listPath = path + ".failedRequests";
        if (!it->is_array()) return r.fail(listPath, "must be an array");
        f->failedRequests.clear();
        for (std::size_t i = 0; i < it->size(); ++i) {
            std::string p = listPath + "[" + std::to_string(i) + "]";
            const Json& e = (*it)[i];
            FailedRequest fr;
            if (!r.object(e, p) || !r.onlyKnown(e, p, {"request", "value", "index", "count"}))
                return false;
            if (!e.contains("request")) return r.fail(p + ".request", "missing");
            if (!r.field(e, "request", p, 0, 255, &fr.request) ||
                !r.field(e, "value", p, -1, 65535, &fr.value) ||
                !r.field(e, "index", p, -1, 65535, &fr.index) ||
                !r.field(e, "count", p, 1, kMany, &fr.count))
                return false;
            f->failedRequests.push_back(fr);
        }
    }
    if (auto it = v.find("descriptor"); it != v.end()) {
        std::string p = path + ".descriptor";
        DescriptorFaults& d = f->descriptor;
        if (!r.object(*it, p) ||
            !r.onlyKnown(*it, p,
                         {"noIsoEndpoint", "zeroPacketSize", "oversizedPacketSize",
                          "missingAlternate", "totalLengthDelta"}) ||
            !r.flag(*it, "noIsoEndpoint", p, &d.noIsoEndpoint) ||
            !r.flag(*it, "zeroPacketSize", p, &d.zeroPacketSize) ||
            !r.flag(*it, "oversizedPacketSize", p, &d.oversizedPacketSize) ||
            !r.field(*it, "missingAlternate", p, -1, 7, &d.missingAlternate) ||
            !r.field(*it, "totalLengthDelta", p, -1000, 1000, &d.totalLengthDelta))
            return false;
    }
    return true;
}

bool readScenario(Reader& r, const Json& doc, Scenario* s) {
    if (!r.object(doc, "(top level)")) return false;
    if (!r.onlyKnown(doc, "",
                     {"name", "sensorType", "sensorRevision", "chipRelease", "firmwareLevel",
                      "interfaceNumber", "precedingInterfaces", "eraseTime", "infoWords",
                      "firmwareText", "versionText", "defaultContent", "objects",
                      "memoryCapacities", "currentMemory", "maxAlternate", "timing", "faults",
                      "powerOnRegisters", "sensorMaxWidth", "sensorMaxHeight",
                      "honoursTransferMode", "videoScript"}))
        return false;
    if (!r.text(doc, "name", "", 64, &s->name)) return false;
    if (auto it = doc.find("name"); it != doc.end()) {
        bool clean = !s->name.empty() && std::all_of(s->name.begin(), s->name.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_';
        });
        if (!clean) return r.fail("name", "must be letters, digits, '-' or '_'");
    }
    if (!r.field(doc, "sensorType", "", 0, 255, &s->sensorType) ||
        !r.field(doc, "sensorRevision", "", 0, 15, &s->sensorRevision))
        return false;
    std::vector<long long> list;
    if (doc.contains("chipRelease")) {
        if (!readIntList(r, doc, "chipRelease", "", 0, 255, &list)) return false;
        if (list.size() != 2) return r.fail("chipRelease", "must hold two bytes");
        s->chipRelease[0] = static_cast<std::uint8_t>(list[0]);
        s->chipRelease[1] = static_cast<std::uint8_t>(list[1]);
    }
    if (!r.field(doc, "firmwareLevel", "", 0, 0xFFFF, &s->firmwareLevel) ||
        !r.field(doc, "interfaceNumber", "", 0, 3, &s->interfaceNumber) ||
        !r.field(doc, "precedingInterfaces", "", 0, 3, &s->precedingInterfaces) ||
        !r.field(doc, "eraseTime", "", 0, 0xFFFF, &s->eraseTime))
        return false;
    if (doc.contains("infoWords")) {
        if (!readIntList(r, doc, "infoWords", "", 0, 0xFFFF, &list)) return false;
        if (list.size() != 2) return r.fail("infoWords", "must hold two words");
        s->infoWords[0] = static_cast<std::uint16_t>(list[0]);
        s->infoWords[1] = static_cast<std::uint16_t>(list[1]);
    }
    if (!r.text(doc, "firmwareText", "", 31, &s->firmwareText) ||
        !r.text(doc, "versionText", "", 7, &s->versionText))
        return false;
    if (auto it = doc.find("objects"); it != doc.end()) {
        if (!it->is_array()) return r.fail("objects", "must be an array");
        // A file that lists its objects means exactly those, unless it asks
        // for the default content as well.
        s->defaultContent = false;
        for (std::size_t i = 0; i < it->size(); ++i) {
            PlacedObject o;
            std::string path = "objects[" + std::to_string(i) + "]";
            if (!readObject(r, (*it)[i], path, &o)) return false;
            for (std::size_t j = 0; j < s->objects.size(); ++j) {
                const PlacedObject& other = s->objects[j];
                if (o.recipe.number != 0 && other.memory == o.memory &&
                    other.recipe.number == o.recipe.number)
                    return r.fail(path + ".number", std::to_string(o.recipe.number) +
                                                        " is already used by objects[" +
                                                        std::to_string(j) + "] in memory " +
                                                        std::to_string(o.memory));
            }
            s->objects.push_back(o);
        }
    }
    if (!r.flag(doc, "defaultContent", "", &s->defaultContent)) return false;
    if (auto it = doc.find("memoryCapacities"); it != doc.end()) {
        if (!it->is_object())
            return r.fail("memoryCapacities", "must be an object of memory number to bytes");
        for (auto m = it->begin(); m != it->end(); ++m) {
            std::string p = "memoryCapacities." + m.key();
            long long memory = 0, bytes = 0;
            if (!r.integer(Json(m.key()), p, 0, kMemoryCount - 1, &memory)) return false;
            if (!r.integer(m.value(), p, 0, 0xFFFFFFFFLL, &bytes)) return false;
            s->memoryCapacities.emplace_back(static_cast<int>(memory),
                                             static_cast<std::uint64_t>(bytes));
        }
    }
    if (!r.field(doc, "currentMemory", "", 0, kMemoryCount - 1, &s->currentMemory) ||
        !r.field(doc, "maxAlternate", "", 0, 7, &s->maxAlternate) ||
        !r.field(doc, "sensorMaxWidth", "", 0, 1020, &s->sensorMaxWidth) ||
        !r.field(doc, "sensorMaxHeight", "", 0, 1020, &s->sensorMaxHeight) ||
        !r.flag(doc, "honoursTransferMode", "", &s->honoursTransferMode))
        return false;
    if (auto it = doc.find("videoScript"); it != doc.end() &&
                                           !readVideoScript(r, *it, "videoScript", &s->videoScript))
        return false;
    if (auto it = doc.find("powerOnRegisters"); it != doc.end()) {
        if (!it->is_array()) return r.fail("powerOnRegisters", "must be an array");
        s->powerOnRegisters.clear();
        for (std::size_t i = 0; i < it->size(); ++i) {
            std::string p = "powerOnRegisters[" + std::to_string(i) + "]";
            const Json& e = (*it)[i];
            PowerOnRegister reg;
            int value = 0;
            if (!r.object(e, p) || !r.onlyKnown(e, p, {"space", "register", "value"}) ||
                !r.field(e, "space", p, 0, 4, &reg.space) ||
                !r.field(e, "register", p, 0, 255, &reg.reg) ||
                !r.field(e, "value", p, 0, 255, &value))
                return false;
            reg.value = static_cast<std::uint8_t>(value);
            s->powerOnRegisters.push_back(reg);
        }
    }
    if (auto it = doc.find("timing"); it != doc.end() && !readTiming(r, *it, "timing", &s->timing))
        return false;
    if (auto it = doc.find("faults"); it != doc.end() && !readFaults(r, *it, "faults", &s->faults))
        return false;
    return !r.failed();
}

}  // namespace

Scenario defaultScenario() {
    return Scenario{};
}

Scenario parseScenario(const std::string& text, std::string* error, const std::string& origin) {
    // The parser's own message says where the text went wrong. A number too
    // large for a double comes as an out-of-range error, not a parse error,
    // and the parser throws it even when asked not to throw: every error of
    // the parser's is caught here.
    Json doc;
    try {
        doc = Json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/true);
    } catch (const Json::exception& e) {
        if (error) *error = origin + ": not valid JSON (" + e.what() + ")";
        return defaultScenario();
    }
    Scenario s = defaultScenario();
    Reader reader(error);
    if (!readScenario(reader, doc, &s)) return defaultScenario();
    if (error) error->clear();
    return s;
}

Scenario loadScenario(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = path + ": cannot be read";
        return defaultScenario();
    }
    std::ostringstream text;
    text << in.rdbuf();
    // A scenario file is small; anything huge is not one.
    if (text.str().size() > (4u << 20)) {
        if (error) *error = path + ": larger than 4 MiB";
        return defaultScenario();
    }
    return parseScenario(text.str(), error, path);
}

std::string instancePathFor(const Scenario& scenario) {
    return "USB\\VID_F1A5&PID_0B2D\\sim-" + scenario.name;
}

}  // namespace sim
