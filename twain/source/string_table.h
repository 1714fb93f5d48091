// The data source's own copy of the language string table ("pav512tw.cfg"
// beside the module): L languages, N keyed texts, fixed slot width W.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pavtw {

class StringTable {
  public:
    // Reads the whole table; false (and no table) on any short read or a
    // header whose slot block would be unreasonably large.
    bool load(std::uint32_t currentIndex, const std::string& path);
    void unload();
    std::uint32_t languageCount() const { return loaded_ ? languages_ : 0; }
    std::string languageName(std::uint32_t i) const;
    // Ignored unless i is below L; true when the index changed.
    bool selectLanguage(std::uint32_t i);
    std::uint32_t currentLanguage() const { return current_; }
    std::string text(const std::string& key) const;
    // Selects the last language whose name equals `name` (0 when none does).
    void selectByName(const std::string& name);

  private:
    std::string slot(std::uint32_t row, std::uint32_t column) const;
    bool loaded_ = false;
    std::uint32_t languages_ = 0, texts_ = 0, width_ = 0, current_ = 0;
    std::vector<char> slots_;
};

// The table beside the data source, with the language named by the
// "LanguageName" value (the user's, else the machine's).
StringTable& sourceStrings();
void loadSourceStrings(const std::string& moduleDirectory);

}  // namespace pavtw
