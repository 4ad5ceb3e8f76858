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

// The key bytes of positions 0 .. min(count, kPeriod) - 1.
void FillPeriod(uint8_t (&period)[kPeriod], uint32_t count, uint8_t key) {
    for (uint32_t i = 0; i < count && i < kPeriod; ++i) {
        if (i != 0 && i % 8 == 0) key = static_cast<uint8_t>(key * 35u);
        period[i] = static_cast<uint8_t>(key + 57u * (i % 8));
    }
}

}  // namespace

// Pointers, not 32-bit indices, walk the bytes: nothing wraps, and the inner
// loops' fixed length lets the compiler use vector operations.
void Descramble(uint8_t* bank, uint32_t count, uint8_t key) {
    uint8_t period[kPeriod];
    FillPeriod(period, count, key);
    for (uint32_t left = count / kPeriod; left != 0; --left, bank += kPeriod)
        for (uint32_t j = 0; j < kPeriod; ++j) bank[j] = static_cast<uint8_t>(period[j] - bank[j]);
    for (uint32_t j = 0; j < count % kPeriod; ++j) bank[j] = static_cast<uint8_t>(period[j] - bank[j]);
}

void DescrambleCopy(uint8_t* __restrict to, const uint8_t* __restrict from, uint32_t count, uint8_t key) {
    uint8_t period[kPeriod];
    FillPeriod(period, count, key);
    for (uint32_t left = count / kPeriod; left != 0; --left, to += kPeriod, from += kPeriod)
        for (uint32_t j = 0; j < kPeriod; ++j) to[j] = static_cast<uint8_t>(period[j] - from[j]);
    for (uint32_t j = 0; j < count % kPeriod; ++j) to[j] = static_cast<uint8_t>(period[j] - from[j]);
}

void DescrambleSelfKeyed(uint8_t* bank, uint32_t count) {
    // The key comes from the stored (still scrambled) first byte.
    const uint8_t key = static_cast<uint8_t>(bank[0] + 2u);
    Descramble(bank, count, key);
}
