// Text helpers of the registry store: the ASCII-only case folding that key and
// value names compare under, path splitting, and the UTF-8 / UTF-16LE
// conversions between the narrow names the store keeps and the wide strings
// the string value types hold.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace regstore {

// ASCII letters folded to lower case; every other byte kept, so names that
// differ only outside ASCII stay distinct (as the collation of the database).
std::string fold(std::string_view s);
bool equalFolded(std::string_view a, std::string_view b);

// Splits "A\B\C" at backslashes. Returns false for an empty component (a
// leading, trailing or doubled backslash). An empty path has no components.
bool splitPath(std::string_view path, std::vector<std::string>* components);

// UTF-8 to UTF-16 and back; malformed sequences become U+FFFD.
std::u16string utf8ToUtf16(std::string_view s);
std::string utf16ToUtf8(std::u16string_view s);

// The bytes a string value holds: UTF-16LE code units with one terminator.
std::vector<std::uint8_t> encodeString(std::string_view utf8);
// Reads the text of a string value up to its first terminator (or the end).
// An odd trailing byte is ignored.
std::string decodeString(std::span<const std::uint8_t> data);
std::u16string decodeWide(std::span<const std::uint8_t> data);

}  // namespace regstore
