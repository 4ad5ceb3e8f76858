#include "Encode.h"

namespace {

// Group g of a bank uses the key k * 35^g, and 35^64 = 1 modulo 256: the key
// bytes of a bank repeat every 64 groups. One period of them, worked out once
// per call, turns the transform into a plain byte-wise subtraction that the
// compiler can do many bytes at a time.
constexpr uint32_t kPeriodGroups = 64;
constexpr uint32_t kPeriod = kPeriodGroups * 8;

constexpr uint32_t PowerModulo256(uint32_t base, uint32_t exponent) {
    uint32_t result = 1;
    while (exponent--) result = (result * base) & 0xFF;
    return result;
}
static_assert(PowerModulo256(35, kPeriodGroups) == 1, "the key sequence repeats after kPeriodGroups groups");

}  // namespace

void Descramble(uint8_t* bank, uint32_t count, uint8_t key) {
    // The key bytes of positions 0 .. min(count, kPeriod) - 1.
    uint8_t period[kPeriod];
    for (uint32_t i = 0; i < count && i < kPeriod; ++i) {
        if (i != 0 && i % 8 == 0) key = static_cast<uint8_t>(key * 35u);
        period[i] = static_cast<uint8_t>(key + 57u * (i % 8));
    }
    // A pointer, not a 32-bit index, walks the bank: nothing wraps, and the
    // inner loop's fixed length lets the compiler use vector operations.
    for (uint32_t left = count / kPeriod; left != 0; --left, bank += kPeriod)
        for (uint32_t j = 0; j < kPeriod; ++j) bank[j] = static_cast<uint8_t>(period[j] - bank[j]);
    for (uint32_t j = 0; j < count % kPeriod; ++j) bank[j] = static_cast<uint8_t>(period[j] - bank[j]);
}

void DescrambleSelfKeyed(uint8_t* bank, uint32_t count) {
    // The key comes from the stored (still scrambled) first byte.
    const uint8_t key = static_cast<uint8_t>(bank[0] + 2u);
    Descramble(bank, count, key);
}
