#include "ScsiBlocks.h"

#include <cstring>

namespace {

void Put(uint8_t* block, uint32_t at, uint64_t value, uint32_t width) {
    for (uint32_t i = 0; i < width; ++i) block[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

void FillPassThrough(uint8_t* block, const PassThroughLayout& layout, const uint8_t* cdb, uint64_t buffer,
                     uint32_t length, uint8_t dataIn) {
    std::memset(block, 0, layout.blockSize);
    Put(block, 0, layout.headerSize, 2);  // Length
    block[6] = 12;                        // CdbLength: always a 12-byte block
    block[7] = kPassThroughSenseLength;   // SenseInfoLength
    block[8] = dataIn;
    Put(block, layout.dataTransferLength, length, 4);
    Put(block, layout.timeOutValue, kPassThroughTimeoutSeconds, 4);
    Put(block, layout.dataBuffer, buffer, layout.dataBufferSize);
    Put(block, layout.senseInfoOffset, layout.senseOffset, 4);
    std::memcpy(block + layout.cdb, cdb, 12);
}
