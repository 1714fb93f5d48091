#include "library/stills/string_table.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "library/device/registry_key.h"

namespace pavstills {

namespace {

constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kLanguageNameBytes = 128;

std::uint32_t le32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

struct File {
    explicit File(const std::string& path) : f(std::fopen(path.c_str(), "rb")) {}
    ~File() {
        if (f) std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    std::FILE* f;
};

}  // namespace

bool StringTable::load(std::uint32_t currentIndex, const std::string& path) {
    unload();
    current_ = currentIndex;
    File file(path);
    if (!file.f) return false;
    unsigned char header[kHeaderBytes];
    if (std::fread(header, 1, kHeaderBytes, file.f) != kHeaderBytes) return false;
    const std::uint32_t languages = le32(header);
    const std::uint32_t texts = le32(header + 4);
    const std::uint32_t width = le32(header + 8);
    // A slot must hold at least its terminator. The header is checked
    // against what the file holds before anything is allocated, so a bad
    // header costs no memory.
    if (width == 0) return false;
    const unsigned __int128 wanted = static_cast<unsigned __int128>(texts + 1ull) *
                                     (languages + 1ull) * width;
    if (std::fseek(file.f, 0, SEEK_END) != 0) return false;
    const long end = std::ftell(file.f);
    if (end < 0 || wanted > static_cast<unsigned __int128>(end) - kHeaderBytes ||
        std::fseek(file.f, static_cast<long>(kHeaderBytes), SEEK_SET) != 0)
        return false;
    const auto bytes = static_cast<std::size_t>(wanted);
    std::unique_ptr<char[]> slots(new (std::nothrow) char[bytes]);
    if (!slots) return false;
    if (std::fread(slots.get(), 1, bytes, file.f) != bytes) return false;
    // Every lookup returns a slot as a C string; the last byte of each is
    // made a terminator so none runs into its neighbour.
    for (std::size_t at = width - 1; at < bytes; at += width) slots[at] = '\0';
    slots_ = std::move(slots);
    languages_ = languages;
    texts_ = texts;
    width_ = width;
    if (current_ >= languages_) current_ = 0;
    return true;
}

void StringTable::unload() {
    slots_.reset();
    languages_ = texts_ = width_ = 0;
}

const char* StringTable::slot(std::uint64_t row, std::uint64_t column) const {
    return slots_.get() + (row * (languages_ + 1ull) + column) * width_;
}

const char* StringTable::languageName(std::uint32_t i) const {
    if (!slots_ || i >= languages_) return "";
    return slot(0, i + 1ull);
}

bool StringTable::selectLanguage(std::uint32_t i) {
    if (i >= languages_ || !slots_) return false;
    const bool changed = i != current_;
    current_ = i;
    return changed;
}

const char* StringTable::text(const char* key) const {
    if (!slots_ || !key || current_ >= languages_) return "";
    for (std::uint64_t r = 1; r <= texts_; ++r)
        if (std::strcmp(slot(r, 0), key) == 0) return slot(r, current_ + 1ull);
    return "";
}

const char* StringTable::textByNumber(std::uint32_t n) const {
    if (!slots_ || n >= texts_ || current_ >= languages_) return "";
    return slot(n + 1ull, current_ + 1ull);
}

void selectLanguageAtStart(StringTable& table, const std::string& directory,
                           const char* fileName, bool writeBack) {
    pavu::RegistryKey user, machine;
    user.open(HKEY_CURRENT_USER, pavu::kProductKey, false, !writeBack);
    machine.open(HKEY_LOCAL_MACHINE, pavu::kProductKey, false, true);
    table.load(0, directory + fileName);
    char name[kLanguageNameBytes] = {};
    const bool read = user.readString("LanguageName", name, sizeof name) != 0 ||
                      machine.readString("LanguageName", name, sizeof name) != 0;
    if (read) {
        name[sizeof name - 1] = '\0';
        std::uint32_t chosen = 0;
        for (std::uint32_t i = 0; i < table.languageCount(); ++i)
            if (std::strcmp(table.languageName(i), name) == 0) chosen = i;  // the last one wins
        table.selectLanguage(chosen);
    }
    if (writeBack) user.writeString("LanguageName", table.languageName(table.currentLanguage()));
}

}  // namespace pavstills
