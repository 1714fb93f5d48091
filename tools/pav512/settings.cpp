#include "tools/pav512/settings.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "tools/pav512/camera.h"
#include "tools/pav512/errors.h"

namespace pav512 {
namespace {

// How the bytes of a property read.
enum Kind {
    kByte = 0,          // one byte
    kInvertedFlag,      // one byte, 0 = on
    kPictureWord,       // 16 bytes: first 32-bit word the value, second word flags
    kWhiteBalance,      // the picture word, flags bit 0 = automatic, bit 1 = fixed
    kSizePair,          // two 32-bit words
    kText32,            // zero-terminated text in 32 bytes
    kFirmware,          // two bytes, low then high
    kSensor,            // two bytes, hexadecimal
    kLightLevel,        // one byte, bit 7 chosen automatically
};

std::uint32_t word(const std::vector<std::uint8_t>& b, std::size_t at) {
    std::uint32_t v = 0;
    if (b.size() >= at + 4) std::memcpy(&v, b.data() + at, 4);
    return v;
}

void putWord(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    if (b.size() < at + 4) b.resize(at + 4);
    std::memcpy(b.data() + at, &v, 4);
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

[[noreturn]] void bad(const Setting& s, const std::string& value) {
    throw ToolError(kExitUsage, "\"" + value + "\" is not a value of " + s.name + " (it takes " +
                                    describeValues(s) + ").");
}

bool parseFlag(const std::string& v, bool* out) {
    std::string l = lower(v);
    if (l == "on" || l == "yes" || l == "true" || l == "1") return *out = true, true;
    if (l == "off" || l == "no" || l == "false" || l == "0") return *out = false, true;
    return false;
}

bool parseInt(const std::string& v, long* out) {
    if (v.empty() || v.size() > 9) return false;
    std::size_t i = v[0] == '-' ? 1 : 0;
    if (i == v.size()) return false;
    for (std::size_t k = i; k < v.size(); ++k)
        if (!std::isdigit(static_cast<unsigned char>(v[k]))) return false;
    *out = std::stol(v);
    return true;
}

}  // namespace

const std::vector<Setting>& settingsTable() {
    static const std::vector<Setting> table = [] {
        std::vector<Setting> t;
        auto add = [&](Setting s) { t.push_back(std::move(s)); };
        add({"banding", "mains frequency of the banding filter", &kDeviceSet, 6, 1, SettingType::Choice, true,
             0, 0, {{1, "50Hz"}, {0, "60Hz"}}, kByte});
        add({"never-flicker", "never-flicker mode", &kDeviceSet, 14, 1, SettingType::Flag, true, 0, 0, {}, kByte});
        add({"flip", "vertical flip", &kDeviceSet, 4, 1, SettingType::Flag, true, 0, 0, {}, kByte});
        add({"mirror", "horizontal mirror", &kDeviceSet, 5, 1, SettingType::Flag, true, 0, 0, {}, kByte});
        add({"brightness", "picture brightness", &kPictureSet, 0, 16, SettingType::Number, true, 0, 100, {},
             kPictureWord});
        add({"contrast", "picture contrast", &kPictureSet, 1, 16, SettingType::Number, true, 0, 100, {},
             kPictureWord});
        add({"saturation", "colour saturation", &kPictureSet, 3, 16, SettingType::Number, true, 0, 100, {},
             kPictureWord});
        add({"sharpness", "edge sharpness", &kPictureSet, 4, 16, SettingType::Number, true, 0, 100, {},
             kPictureWord});
        add({"gamma", "tone curve", &kPictureSet, 5, 16, SettingType::Number, true, 0, 100, {}, kPictureWord});
        add({"white-balance", "white balance: auto, or a fixed colour from 0 (warm) to 100 (cold)",
             &kPictureSet, 7, 16, SettingType::Number, true, 0, 100, {}, kWhiteBalance});
        add({"bandwidth", "largest share of the USB bus the video may reserve", &kBandwidthSet, 0, 1,
             SettingType::Choice, true, 0, 0,
             {{2, "10%Reserved"}, {3, "32%Reserved"}, {4, "53%Reserved"}, {5, "64%Reserved"},
              {6, "74%Reserved"}, {7, "85%Reserved"}},
             kByte});
        add({"bandwidth-in-use", "bus share the video uses now", &kBandwidthSet, 1, 1, SettingType::Choice,
             false, 0, 0,
             {{0, "None"}, {1, "UseAvailable"}, {2, "10%Reserved"}, {3, "32%Reserved"}, {4, "53%Reserved"},
              {5, "64%Reserved"}, {6, "74%Reserved"}, {7, "85%Reserved"}},
             kByte});
        add({"usb-error-checking", "refuse video packets with bad checksums", &kBandwidthSet, 2, 1,
             SettingType::Flag, true, 0, 0, {}, kInvertedFlag});
        add({"light-level", "sensor speed for the light (settable while video runs)", &kDeviceSet, 9, 1,
             SettingType::Choice, true, 0, 0, {{1, "high-speed"}, {2, "medium"}, {4, "low-light"}}, kLightLevel});
        add({"size", "video picture size", &kDeviceSet, 7, 8, SettingType::Size, true, 0, 0, {}, kSizePair});
        add({"name", "the camera's name", &kDeviceSet, 2, 32, SettingType::Text, true, 0, 0, {}, kText32});
        add({"firmware", "firmware version", &kDeviceSet, 0, 2, SettingType::Info, false, 0, 0, {}, kFirmware});
        add({"sensor", "sensor type", &kDeviceSet, 1, 2, SettingType::Info, false, 0, 0, {}, kSensor});
        add({"largest-size", "largest native picture size", &kDeviceSet, 16, 8, SettingType::Size, false, 0, 0,
             {}, kSizePair});
        add({"smallest-size", "smallest native picture size", &kDeviceSet, 17, 8, SettingType::Size, false, 0,
             0, {}, kSizePair});
        return t;
    }();
    return table;
}

const Setting* findSetting(const std::string& name) {
    std::string l = lower(name);
    for (const Setting& s : settingsTable())
        if (l == s.name) return &s;
    return nullptr;
}

std::string describeValues(const Setting& s) {
    switch (s.type) {
        case SettingType::Flag: return "on|off";
        case SettingType::Number: {
            std::string r = std::to_string(s.minimum) + ".." + std::to_string(s.maximum);
            return s.kind == kWhiteBalance ? "auto|" + r : r;
        }
        case SettingType::Choice: {
            std::string r;
            for (const auto& [v, n] : s.choices) r += (r.empty() ? "" : "|") + std::string(n);
            return r;
        }
        case SettingType::Text: return "text of up to 31 characters";
        case SettingType::Size: return "WIDTHxHEIGHT";
        case SettingType::Info: return "read-only";
    }
    return "";
}

std::string decodeSetting(const Setting& s, const std::vector<std::uint8_t>& b) {
    std::uint8_t b0 = b.empty() ? 0 : b[0];
    switch (s.kind) {
        case kByte:
            if (s.type == SettingType::Flag) return b0 ? "on" : "off";
            for (const auto& [v, n] : s.choices)
                if (v == b0) return n;
            return std::to_string(b0);
        case kInvertedFlag: return b0 ? "off" : "on";
        case kPictureWord: return std::to_string(word(b, 0));
        case kWhiteBalance: return (word(b, 4) & 1) ? "auto" : std::to_string(word(b, 0));
        case kSizePair: return std::to_string(word(b, 0)) + "x" + std::to_string(word(b, 4));
        case kText32: {
            std::size_t n = 0;
            while (n < b.size() && b[n]) ++n;
            return std::string(b.begin(), b.begin() + static_cast<long>(n));
        }
        case kFirmware: {
            char text[16];
            std::snprintf(text, sizeof text, "%01d-%02d", b0, b.size() > 1 ? b[1] : 0);
            return text;
        }
        case kSensor: {
            char text[16];
            std::snprintf(text, sizeof text, "%02X%02X", b0, b.size() > 1 ? b[1] : 0);
            return text;
        }
        case kLightLevel: {
            std::string name = std::to_string(b0 & 0x7F);
            for (const auto& [v, n] : s.choices)
                if (v == (b0 & 0x7F)) name = n;
            return (b0 & 0x80) ? name + " (automatic)" : name;
        }
    }
    return "";
}

std::vector<std::uint8_t> encodeSetting(const Setting& s, const std::string& value,
                                        std::vector<std::uint8_t> current) {
    if (!s.writable) throw ToolError(kExitUsage, std::string(s.name) + " is read-only.");
    current.resize(s.size, 0);
    switch (s.kind) {
        case kByte:
            if (s.type == SettingType::Flag) {
                bool on = false;
                if (!parseFlag(value, &on)) bad(s, value);
                current[0] = on ? 1 : 0;
                return current;
            }
            [[fallthrough]];
        case kLightLevel: {
            std::string l = lower(value);
            // "50" for "50Hz", "10%" or "10" for "10%Reserved".
            for (const auto& [v, n] : s.choices) {
                std::string name = lower(n);
                if (l == name || l + "hz" == name || l + "reserved" == name || l + "%reserved" == name) {
                    current[0] = static_cast<std::uint8_t>(v);
                    return current;
                }
            }
            bad(s, value);
        }
        case kInvertedFlag: {
            bool on = false;
            if (!parseFlag(value, &on)) bad(s, value);
            current[0] = on ? 0 : 1;
            return current;
        }
        case kPictureWord:
        case kWhiteBalance: {
            if (s.kind == kWhiteBalance && lower(value) == "auto") {
                putWord(current, 4, 1);
                return current;
            }
            long v = 0;
            if (!parseInt(value, &v) || v < s.minimum || v > s.maximum) bad(s, value);
            putWord(current, 0, static_cast<std::uint32_t>(v));
            if (s.kind == kWhiteBalance) putWord(current, 4, 2);
            return current;
        }
        case kSizePair: {
            std::string l = lower(value);
            std::size_t x = l.find('x');
            long w = 0, h = 0;
            if (x == std::string::npos || !parseInt(l.substr(0, x), &w) || !parseInt(l.substr(x + 1), &h) ||
                w <= 0 || h <= 0 || w > 4096 || h > 4096)
                bad(s, value);
            putWord(current, 0, static_cast<std::uint32_t>(w));
            putWord(current, 4, static_cast<std::uint32_t>(h));
            return current;
        }
        case kText32: {
            if (value.size() > 31)
                throw ToolError(kExitUsage, "The name \"" + value + "\" is longer than 31 characters.");
            std::fill(current.begin(), current.end(), 0);
            std::memcpy(current.data(), value.data(), value.size());
            return current;
        }
        default: throw ToolError(kExitUsage, std::string(s.name) + " is read-only.");
    }
}

std::string readSetting(VideoHandle& camera, const Setting& s) {
    std::vector<std::uint8_t> bytes(s.size, 0);
    camera.read(*s.set, s.id, bytes.data(), s.size, s.name);
    return decodeSetting(s, bytes);
}

void writeSetting(VideoHandle& camera, const Setting& s, const std::string& value) {
    std::vector<std::uint8_t> current(s.size, 0);
    // Parts of the value the user does not name (the picture controls' flags)
    // stay as the camera has them.
    if (s.kind == kPictureWord || s.kind == kWhiteBalance) camera.read(*s.set, s.id, current.data(), s.size, s.name);
    std::vector<std::uint8_t> bytes = encodeSetting(s, value, current);
    camera.write(*s.set, s.id, bytes.data(), s.size, s.name);
}

void defaultSetting(VideoHandle& camera, const Setting& s) {
    if (!s.writable) throw ToolError(kExitUsage, std::string(s.name) + " is read-only.");
    PAVPI_STATUS st = PAVPI_PropertyDefault(camera.get(), s.set, s.id);
    if (st != PAVPI_STATUS_SUCCESS) failPavpi(st, std::string("restoring ") + s.name, camera.number());
}

void defaultAllSettings(VideoHandle& camera) {
    // The control set's first property reloads every default at once.
    std::uint8_t any = 0;
    camera.write(kControlSet, 0, &any, 1, "every setting to its default");
}

}  // namespace pav512
