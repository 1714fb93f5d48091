// Readers and a frame finder for the generated content, written from what the
// driver expects of the camera's bytes rather than from the generator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/object_store.h"

namespace simtest {

inline std::uint32_t be16(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
}
inline std::uint32_t be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}
inline std::uint32_t entry16(const sim::StoredObject& o, int at) {
    return be16(&o.directoryEntry[at]);
}
inline std::uint32_t entry32(const sim::StoredObject& o, int at) {
    return be32(&o.directoryEntry[at]);
}

struct FoundFrame {
    std::size_t begin;
    std::size_t end;  // one past the end marker
};

// Scans as the driver's frame finder does: 0xFF 0xD8 starts a frame, 0xFF
// 0xD9 ends it, both ignored from a 0xDB marker up to a 0xDD marker; a second
// start before an end aborts. Returns the frames found until the bytes end or
// the scan aborts.
inline std::vector<FoundFrame> findFrames(const std::vector<std::uint8_t>& v,
                                          bool* aborted = nullptr) {
    std::vector<FoundFrame> frames;
    if (aborted) *aborted = false;
    std::size_t pos = 0;
    while (pos < v.size()) {
        bool inTables = false;
        bool started = false;
        std::size_t start = 0;
        std::size_t next = v.size();
        for (std::size_t i = pos; i + 1 < v.size(); ++i) {
            if (v[i] != 0xFF) continue;
            const std::uint8_t m = v[i + 1];
            if (m == 0xDB) {
                inTables = true;
            } else if (m == 0xDD) {
                inTables = false;
            } else if (!inTables && m == 0xD8) {
                if (started) {
                    if (aborted) *aborted = true;
                    return frames;
                }
                started = true;
                start = i;
            } else if (!inTables && m == 0xD9 && started) {
                frames.push_back({start, i + 2});
                next = i + 2;
                break;
            }
        }
        pos = next;
    }
    return frames;
}

inline sim::ObjectSpec clipSpec(sim::ObjectKind kind, int w, int h, int frames, int quality = 75) {
    sim::ObjectSpec s;
    s.kind = kind;
    s.width = w;
    s.height = h;
    s.frames = frames;
    s.quality = quality;
    return s;
}

}  // namespace simtest
