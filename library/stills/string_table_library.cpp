// The user library's own table. Kept apart from the reader so that the data
// source, which links the reader too, carries nothing of the library's start.
#include "library/stills/module.h"
#include "library/stills/string_table.h"

namespace pavstills {

StringTable& libraryStrings() {
    static StringTable table;
    return table;
}

void libraryStringsStart() {
    selectLanguageAtStart(libraryStrings(), ownModuleDirectory(), kLibraryTableFile, true);
}

}  // namespace pavstills
