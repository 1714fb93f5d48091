// What the diagnostic interface offers the rest of the library: the error-bit
// recorder ("DebugUserModeErr"), and its status family.
#pragma once

#include <cstdint>

#include "pav512u/pavdebug.h"

namespace pavu {

// Error bits the library records in "DebugUserModeErr" (HKEY_LOCAL_MACHINE,
// under the product key). They accumulate: a bit once set stays set.
constexpr std::uint32_t kErrorImagingLibraryNotLoaded = 0x01;
constexpr std::uint32_t kErrorDecodeIntoBufferA = 0x10;
constexpr std::uint32_t kErrorDecodeIntoBufferB = 0x20;
constexpr std::uint32_t kErrorScalerNotStarted = 0x40;
constexpr char kUserModeErrorValue[] = "DebugUserModeErr";

// ORs `bits` into the value held since load and writes the result (the key
// is created if missing). Safe from any thread; never throws.
void recordUserModeError(std::uint32_t bits);
// The bits held now.
std::uint32_t userModeErrors();
// Library load: the value as stored.
void loadUserModeErrors();

// The result byte of a diagnostic request in this family, and its names.
PAVDEBUG_STATUS mapDebugResult(std::uint8_t result);
const char* debugStatusName(PAVDEBUG_STATUS status);

}  // namespace pavu
