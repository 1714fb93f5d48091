// The pieces of the property stream that are worth reaching on their own:
// where a stream's values come from and how a PTP string becomes a value.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pav512u/paci.h"

namespace paci {

// The dataset a stream read fetches for its identifier.
enum class Source { Device, Storage, Object };

// A PTP string of this camera at `at` (its first byte the length in bytes,
// two per character, terminator included) as 8-bit text: the low byte of each
// character, written to the 32-byte `value` only when they all fit it and the
// dataset holds them; otherwise `value` is left as it is.
void ptpText(const std::uint8_t* data, std::size_t length, std::size_t at, std::uint8_t* value);
// Where a StorageInfo dataset's volume label starts: after the description
// whose length byte is at 26 (the caller makes sure byte 26 is there).
std::size_t volumeLabelOffset(const std::uint8_t* storageInfo);
// The stream was handed out by this process and not freed yet.
bool ownStream(PACI_PROPERTY_STREAM* stream);

}  // namespace paci
