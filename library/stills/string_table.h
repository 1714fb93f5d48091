// The string table: every user-visible text in every language, read from a
// binary file that ships beside the module ("pav512u.cfg" beside the library,
// "pav512tw.cfg" beside the data source).
//
// File (little-endian): u32 L languages, u32 N texts, u32 W slot width, then
// (N + 1) x (L + 1) slots of W bytes, row by row; slot (r, c) lies at
// 12 + (r x (L + 1) + c) x W and holds a NUL-terminated string. Row 0 holds
// the language names in columns 1 to L; rows 1 to N hold a key in column 0
// and its text per language in columns 1 to L.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace pavstills {

class StringTable {
  public:
    // Reads the header and the whole slot block; true only when every byte
    // the header announces was read. On success a current index that is not
    // below L becomes 0. On failure the table is empty (every text "").
    // A slot whose string is not terminated inside it is cut at its last
    // byte, so no lookup reads past its slot.
    bool load(std::uint32_t currentIndex, const std::string& path);
    void unload();
    bool loaded() const { return slots_ != nullptr; }

    std::uint32_t languageCount() const { return slots_ ? languages_ : 0; }
    std::uint32_t textCount() const { return slots_ ? texts_ : 0; }
    // Slot (0, i + 1); "" when there is no table or no such language.
    const char* languageName(std::uint32_t i) const;
    // Ignored unless i < L; true when the index changed.
    bool selectLanguage(std::uint32_t i);
    std::uint32_t currentLanguage() const { return current_; }
    // The first row whose key equals `key` byte for byte gives its text in
    // the current language; "" when none does or there is no table.
    const char* text(const char* key) const;
    // Slot (n + 1, current + 1); "" for n not below N.
    const char* textByNumber(std::uint32_t n) const;

  private:
    const char* slot(std::uint64_t row, std::uint64_t column) const;

    std::unique_ptr<char[]> slots_;
    std::uint32_t languages_ = 0;
    std::uint32_t texts_ = 0;
    std::uint32_t width_ = 0;
    std::uint32_t current_ = 0;
};

// The language chosen at a module's start: loads `directory` + `fileName`
// with index 0, reads "LanguageName" from Software\Veltra\USB Camera (PAV512)
// (the user's key, else the machine's; neither key is created), selects the
// last language of that name (language 0 when none matches) and, with
// `writeBack`, stores the selected name (or "" with no table) as the user's
// "LanguageName".
void selectLanguageAtStart(StringTable& table, const std::string& directory,
                           const char* fileName, bool writeBack);

// The user library's own table, loaded by libraryStringsStart() from
// "pav512u.cfg" beside the library when the library is loaded.
StringTable& libraryStrings();
void libraryStringsStart();

constexpr char kLibraryTableFile[] = "pav512u.cfg";
constexpr char kDataSourceTableFile[] = "pav512tw.cfg";

}  // namespace pavstills
