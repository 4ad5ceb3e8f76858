// Builds containers byte by byte, straight from the format's tables, without
// the project's writer or descrambler: what any correct writer would produce.
#pragma once

#include <cstdint>
#include <vector>

namespace handmade {

inline void Put16(std::vector<uint8_t>& c, size_t at, uint32_t v) {
    c[at] = v & 0xFF;
    c[at + 1] = (v >> 8) & 0xFF;
}
inline void Put32(std::vector<uint8_t>& c, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) c[at + i] = (v >> (8 * i)) & 0xFF;
}

// The scrambling transform from its worked form: byte i of group g becomes
// k_g + 57*i - b, with k_0 = key and k_{g+1} = 35*k_g (all modulo 256).
inline std::vector<uint8_t> Scramble(const std::vector<uint8_t>& plain, uint8_t key) {
    std::vector<uint8_t> out(plain.size());
    unsigned k = key;
    for (size_t i = 0; i < plain.size(); ++i) {
        if (i > 0 && i % 8 == 0) k = (k * 35) % 256;
        out[i] = static_cast<uint8_t>((k + 57 * (i % 8) + 256 - plain[i]) % 256);
    }
    return out;
}

inline std::vector<uint8_t> Header(char version, uint8_t scrambleMode, size_t size) {
    std::vector<uint8_t> c(size, 0);
    const char magic[] = "KOLA FILE SYSTEM";
    for (int i = 0; i < 16; ++i) c[i] = magic[i];
    c[24] = static_cast<uint8_t>(version);
    c[25] = scrambleMode;
    return c;
}

// Old layout: banks given as their stored bytes.
inline std::vector<uint8_t> Old(char version, uint8_t scrambleMode, uint16_t checksum,
                                const std::vector<std::vector<uint8_t>>& stored) {
    const size_t start = stored.size() <= 8 ? 64 : 112;
    auto c = Header(version, scrambleMode, start);
    Put16(c, 32, checksum);
    Put16(c, 34, static_cast<uint32_t>(stored.size()));
    for (size_t i = 0; i < stored.size(); ++i) Put16(c, 36 + 2 * i, static_cast<uint32_t>(stored[i].size()));
    for (const auto& b : stored) c.insert(c.end(), b.begin(), b.end());
    return c;
}

struct V3Fields {
    uint8_t option1 = 7, option2 = 8, option3 = 9;
    uint8_t key[4] = {3, 200, 17, 99};
    uint32_t bankSize = 0x10000;
    int32_t value1 = 0x11223344, value2 = -2;
    std::vector<std::pair<uint32_t, uint32_t>> reserve;
};

inline std::vector<uint8_t> V3(uint8_t scrambleMode, uint16_t checksum, const V3Fields& f,
                               const std::vector<std::vector<uint8_t>>& stored) {
    const size_t n = stored.size();
    auto c = Header('3', scrambleMode, 56 + 4 * n + 8 * f.reserve.size());
    c[26] = f.option1;
    c[27] = f.option2;
    for (int i = 0; i < 4; ++i) c[28 + i] = f.key[i];
    Put16(c, 32, checksum);
    c[34] = f.option3;
    Put32(c, 36, static_cast<uint32_t>(n));
    Put32(c, 40, f.bankSize);
    Put32(c, 44, static_cast<uint32_t>(f.reserve.size()));
    Put32(c, 48, static_cast<uint32_t>(f.value1));
    Put32(c, 52, static_cast<uint32_t>(f.value2));
    for (size_t i = 0; i < n; ++i) Put32(c, 56 + 4 * i, static_cast<uint32_t>(stored[i].size()));
    for (size_t i = 0; i < f.reserve.size(); ++i) {
        Put32(c, 56 + 4 * n + 8 * i, f.reserve[i].first);
        Put32(c, 56 + 4 * n + 8 * i + 4, f.reserve[i].second);
    }
    for (const auto& b : stored) c.insert(c.end(), b.begin(), b.end());
    return c;
}

// Key of the four parameters, from the formula ((p1 - p2) * p0 + p3) mod 256.
inline uint8_t Key(const uint8_t p[4]) {
    return static_cast<uint8_t>(((int(p[1]) - int(p[2])) * int(p[0]) + int(p[3])) & 0xFF);
}

}  // namespace handmade
