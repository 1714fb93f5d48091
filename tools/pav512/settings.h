// The camera's settings by name, typed, over its video properties: what each
// one is called, what values it takes and how they sit in the property's bytes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "pav512u/pav512u.h"

namespace pav512 {

class VideoHandle;

enum class SettingType { Flag, Number, Choice, Text, Size, Info };

struct Setting {
    const char* name;
    const char* description;
    const PAV_GUID* set;
    std::uint32_t id;
    std::uint32_t size;  // the property's data bytes
    SettingType type;
    bool writable;
    int minimum = 0, maximum = 0;                      // Number
    std::vector<std::pair<int, const char*>> choices;  // Choice: byte value and name
    int kind = 0;  // how the bytes read (see settings.cpp)
};

const std::vector<Setting>& settingsTable();
// Null when there is no setting of that name.
const Setting* findSetting(const std::string& name);
// "on|off", "0..100", "50Hz|60Hz", "WIDTHxHEIGHT", text of up to 31 characters.
std::string describeValues(const Setting& s);

// The value as a user reads it ("on", "50Hz", "72", "auto", "640x480").
std::string readSetting(VideoHandle& camera, const Setting& s);
// Parses `value` (throwing ToolError(kExitUsage) with one sentence when it is
// not one the setting takes) and writes it.
void writeSetting(VideoHandle& camera, const Setting& s, const std::string& value);
// Puts back the setting's default value.
void defaultSetting(VideoHandle& camera, const Setting& s);
// Puts back every setting's default.
void defaultAllSettings(VideoHandle& camera);

// Parsing alone, for tests: the property bytes for `value`, starting from
// the current bytes `current` (kept where the value leaves them alone).
std::vector<std::uint8_t> encodeSetting(const Setting& s, const std::string& value,
                                        std::vector<std::uint8_t> current);
std::string decodeSetting(const Setting& s, const std::vector<std::uint8_t>& bytes);

}  // namespace pav512
