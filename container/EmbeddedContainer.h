// The KFS container compiled into the program.
#pragma once

#include <cstddef>
#include <cstdint>

const uint8_t* EmbeddedContainerData();
size_t EmbeddedContainerSize();
