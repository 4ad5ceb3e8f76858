// Bank descrambler. The transform is its own inverse, so the same functions
// scramble when a container is written.
#pragma once

#include <cstdint>

void Descramble(uint8_t* bank, uint32_t count, uint8_t key);
void DescrambleSelfKeyed(uint8_t* bank, uint32_t count);

// The same as copying `count` stored bytes from `from` to `to` and then
// Descramble there, in one pass. The two ranges must not overlap.
void DescrambleCopy(uint8_t* to, const uint8_t* from, uint32_t count, uint8_t key);
