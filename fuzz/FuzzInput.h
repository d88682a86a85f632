#pragma once

// What the fuzz targets share: reading values off the fuzzer's bytes, and failing loudly.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace Metrics::Fuzz {

// Stops the run so that libFuzzer keeps the input as a finding.
inline void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// The fuzzer's bytes, taken from the front; zeros once they run out.
struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() {
        if (size == 0) {
            return 0;
        }
        --size;
        return *data++;
    }
    uint64_t Word() {
        uint64_t word = 0;
        for (int i = 0; i < 8; ++i) {
            word = (word << 8) | Byte();
        }
        return word;
    }
    std::string Bytes(size_t count) {
        count = count < size ? count : size;
        std::string text(reinterpret_cast<const char*>(data), count);
        data += count;
        size -= count;
        return text;
    }
};

}  // namespace Metrics::Fuzz
