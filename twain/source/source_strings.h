// The data source's captions: its own copy of the language string table
// ("pav512tw.cfg" beside the module), read by the same reader the user
// library uses, with the language the "LanguageName" value names.
#pragma once

#include <string>

#include "library/stills/string_table.h"

namespace pavtw {

using pavstills::StringTable;

StringTable& sourceStrings();
// Loads the table beside the module and chooses the user's language (the
// machine's when the user has none); the source only reads the registry.
void loadSourceStrings(const std::string& moduleDirectory);

}  // namespace pavtw
