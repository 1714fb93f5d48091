#include "twain/source/source_strings.h"

namespace pavtw {

StringTable& sourceStrings() {
    static StringTable table;
    return table;
}

void loadSourceStrings(const std::string& moduleDirectory) {
    pavstills::selectLanguageAtStart(sourceStrings(), moduleDirectory, pavstills::kDataSourceTableFile, false);
}

}  // namespace pavtw
