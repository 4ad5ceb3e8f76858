// Bank descrambler. The transform is its own inverse, so the same functions
// scramble when a container is written.
#pragma once

#include <cstdint>

void Descramble(uint8_t* bank, uint32_t count, uint8_t key);
void DescrambleSelfKeyed(uint8_t* bank, uint32_t count);
