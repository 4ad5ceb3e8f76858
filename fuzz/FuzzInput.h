// The fuzz input read a byte at a time; past its end it reads as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

struct Input {
    const uint8_t* at;
    size_t left;
    uint8_t Byte() {
        if (left == 0) return 0;
        --left;
        return *at++;
    }
    uint32_t Word() { return Byte() | (Byte() << 8) | (Byte() << 16) | (static_cast<uint32_t>(Byte()) << 24); }
};

// A property that does not hold ends the run as a crash, with the input that broke it.
inline void Check(bool holds) {
    if (!holds) std::abort();
}
