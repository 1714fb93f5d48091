// Which of the camera's numbered files a command means: "3", "1-4", "2,5,7-9",
// "6-" (6 to the last). Numbers are the 1-based positions of `pav512 ls`.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace pav512 {

struct RangeResult {
    std::vector<std::size_t> numbers;  // ascending, each once
    std::string error;                 // one sentence; empty when the range is good
    bool ok() const { return error.empty(); }
};

// Parses `text` against a camera holding `count` files. Spaces are ignored;
// a number of 0, a number past `count`, a span that runs backwards, an empty
// item and anything that is not a digit, '-' or ',' are refused.
RangeResult parseRange(const std::string& text, std::size_t count);

// True when `text` looks like a range rather than a file name (digits, '-',
// ',' and spaces only, at least one digit).
bool looksLikeRange(const std::string& text);

}  // namespace pav512
