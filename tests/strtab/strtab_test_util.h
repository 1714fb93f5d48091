// String-table files written byte by byte by the tests, from the layout the
// file has, not from the tool that builds them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace strtabtest {

using Bytes = std::vector<std::uint8_t>;

inline void put32(Bytes& b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// rows[r][c] for r in 0..N, c in 0..L; each text padded to the slot width.
inline Bytes tableFile(std::uint32_t width, const std::vector<std::vector<std::string>>& rows) {
    Bytes b;
    put32(b, static_cast<std::uint32_t>(rows.front().size() - 1));
    put32(b, static_cast<std::uint32_t>(rows.size() - 1));
    put32(b, width);
    for (const auto& row : rows)
        for (const std::string& text : row) {
            Bytes slot(width, 0);
            std::copy(text.begin(), text.end(), slot.begin());
            b.insert(b.end(), slot.begin(), slot.end());
        }
    return b;
}

inline std::string tempPath(const std::string& name) {
    return ::testing::TempDir() + "strtab_" + std::to_string(::getpid()) + "_" + name;
}

inline std::string written(const Bytes& b, const std::string& name) {
    const std::string path = tempPath(name);
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    return path;
}

// L = 2, N = 3, W = 32: 12 + 4 x 3 x 32 = 396 bytes.
inline Bytes exampleTable() {
    return tableFile(32, {{"", "English", "Deutsch"},
                          {"Language", "English", "Deutsch"},
                          {"Cancel", "Cancel", "Abbrechen"},
                          {"Version", "Version 1", "Fassung 1"}});
}

}  // namespace strtabtest
