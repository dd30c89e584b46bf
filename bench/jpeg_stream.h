// Shared by the benchmark's helper programs: the generated Motion-JPEG inputs are concatenated
// JPEG pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Splits a stream of JPEG pictures at each end-of-image marker (0xFF 0xD9 never occurs inside
// the entropy-coded data, where 0xFF is always followed by a stuffed 0x00 or a restart marker).
inline std::vector<std::vector<uint8_t>> split_jpegs(const std::vector<uint8_t>& data) {
    std::vector<std::vector<uint8_t>> pictures;
    size_t begin = 0;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0xFF && data[i + 1] == 0xD9) {
            pictures.emplace_back(data.begin() + begin, data.begin() + i + 2);
            begin = i + 2;
            ++i;
        }
    }
    return pictures;
}
