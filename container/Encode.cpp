#include "Encode.h"

void Descramble(uint8_t* bank, uint32_t count, uint8_t key) {
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t step = static_cast<uint8_t>(57u * (i & 7u));
        bank[i] = static_cast<uint8_t>(key + step - bank[i]);
        if ((i & 7u) == 7u) key = static_cast<uint8_t>(key * 35u);
    }
}

void DescrambleSelfKeyed(uint8_t* bank, uint32_t count) {
    // The key comes from the stored (still scrambled) first byte.
    const uint8_t key = static_cast<uint8_t>(bank[0] + 2u);
    Descramble(bank, count, key);
}
