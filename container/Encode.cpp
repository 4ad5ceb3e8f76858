#include "Encode.h"

#include <bit>
#include <cstring>

static_assert(std::endian::native == std::endian::little, "the eight-byte groups are handled little-endian");

namespace {

constexpr uint64_t kHigh = 0x8080808080808080ull;
// 57 * position for positions 0..7 of a group, one per byte (position 0 lowest).
constexpr uint64_t kSteps = 0x8F561DE4AB723900ull;

// Byte-wise a + b and a - b, without carries or borrows between bytes.
constexpr uint64_t AddBytes(uint64_t a, uint64_t b) { return ((a & ~kHigh) + (b & ~kHigh)) ^ ((a ^ b) & kHigh); }
constexpr uint64_t SubBytes(uint64_t a, uint64_t b) { return ((a | kHigh) - (b & ~kHigh)) ^ ((a ^ ~b) & kHigh); }

}  // namespace

void Descramble(uint8_t* bank, uint32_t count, uint8_t key) {
    uint32_t i = 0;
    // Whole groups of eight bytes share one key: do each group in one word.
    // The bound is the last whole group's end, so i never passes 2^32 - 1.
    for (const uint32_t wholeGroups = count - count % 8; i != wholeGroups; i += 8) {
        const uint64_t keys = AddBytes(key * 0x0101010101010101ull, kSteps);
        uint64_t group;
        std::memcpy(&group, bank + i, 8);
        group = SubBytes(keys, group);
        std::memcpy(bank + i, &group, 8);
        key = static_cast<uint8_t>(key * 35u);
    }
    for (; i < count; ++i) bank[i] = static_cast<uint8_t>(key + 57u * (i & 7u) - bank[i]);
}

void DescrambleSelfKeyed(uint8_t* bank, uint32_t count) {
    // The key comes from the stored (still scrambled) first byte.
    const uint8_t key = static_cast<uint8_t>(bank[0] + 2u);
    Descramble(bank, count, key);
}
