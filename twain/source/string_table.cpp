#include "twain/source/string_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/user/registry_api.h"

namespace pavtw {

namespace {
constexpr std::uint64_t kMaxTableBytes = 16u << 20;
}

bool StringTable::load(std::uint32_t currentIndex, const std::string& path) {
    unload();
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    std::uint32_t header[3];
    bool ok = std::fread(header, sizeof(std::uint32_t), 3, f) == 3;
    std::uint64_t bytes = 0;
    if (ok) {
        bytes = (static_cast<std::uint64_t>(header[1]) + 1) * (static_cast<std::uint64_t>(header[0]) + 1) * header[2];
        ok = header[2] > 0 && bytes <= kMaxTableBytes;
    }
    if (ok) {
        slots_.assign(static_cast<std::size_t>(bytes), '\0');
        ok = std::fread(slots_.data(), 1, slots_.size(), f) == slots_.size();
    }
    std::fclose(f);
    if (!ok) {
        slots_.clear();
        return false;
    }
    languages_ = header[0];
    texts_ = header[1];
    width_ = header[2];
    loaded_ = true;
    current_ = currentIndex < languages_ ? currentIndex : 0;
    return true;
}

void StringTable::unload() {
    slots_.clear();
    loaded_ = false;
    languages_ = texts_ = width_ = 0;
}

std::string StringTable::slot(std::uint32_t row, std::uint32_t column) const {
    if (!loaded_ || row > texts_ || column > languages_) return {};
    const char* p = slots_.data() + (static_cast<std::size_t>(row) * (languages_ + 1) + column) * width_;
    return std::string(p, strnlen(p, width_));
}

std::string StringTable::languageName(std::uint32_t i) const { return slot(0, i + 1); }

bool StringTable::selectLanguage(std::uint32_t i) {
    if (i >= languageCount() || i == current_) return false;
    current_ = i;
    return true;
}

std::string StringTable::text(const std::string& key) const {
    for (std::uint32_t r = 1; loaded_ && r <= texts_; ++r)
        if (slot(r, 0) == key) return slot(r, current_ + 1);
    return {};
}

void StringTable::selectByName(const std::string& name) {
    std::uint32_t chosen = 0;
    for (std::uint32_t i = 0; i < languageCount(); ++i)
        if (languageName(i) == name) chosen = i;
    current_ = chosen;
}

StringTable& sourceStrings() {
    static StringTable table;
    return table;
}

void loadSourceStrings(const std::string& moduleDirectory) {
    StringTable& t = sourceStrings();
    t.load(0, moduleDirectory + "pav512tw.cfg");
    const char* key = "Software\\Veltra\\USB Camera (PAV512)";
    char name[128] = {};
    bool found = false;
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        HKEY k = nullptr;
        if (RegOpenKeyExA(root, key, 0, KEY_READ, &k) != ERROR_SUCCESS) continue;
        DWORD type = 0, size = sizeof name - 1;
        LSTATUS st = RegQueryValueExA(k, "LanguageName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
        RegCloseKey(k);
        if (st == ERROR_SUCCESS && type == REG_SZ) {
            name[std::min<DWORD>(size, sizeof name - 1)] = '\0';
            found = true;
            break;
        }
    }
    if (found) t.selectByName(name);
}

}  // namespace pavtw
