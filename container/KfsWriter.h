// Writes a flat image into a KFS container (old layout or version 3).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Kfs.h"

enum class KfsLayout { Old, V3 };

struct KfsPackOptions {
    KfsLayout layout = KfsLayout::V3;
    char version = '3';          // old layout: ' ', '1' or '2'
    bool scramble = false;       // old: self-keyed; v3: header-keyed
    std::array<uint8_t, 4> key{0x25, 0xC3, 0x5A, 0x11};  // v3 key parameters p0..p3
    uint8_t selfKey = 0x5A;      // old layout: the key each self-keyed bank is stored with
    uint32_t bankSize = kfs::kOldSlotSize;  // v3 only; the old layout's slot is fixed
    uint8_t option1 = 1, option2 = 0, option3 = 1;  // v3 only
    int32_t value1 = -1, value2 = -1;               // v3 only
    std::vector<SKFSReserveBlock> reserveBlocks;    // v3 only
    KfsPackOptions() { reserveBlocks.push_back({0x1F000, 0x1000}); }
};

struct KfsPackResult {
    bool ok = false;
    std::string error;           // why the image could not be packed
    std::vector<uint8_t> bytes;  // the container, when ok
};

// The image must be a whole number of slots; each bank is stored up to its
// last non-zero byte, and the stored checksum is that of the whole image.
KfsPackResult PackContainer(const uint8_t* image, uint32_t length, const KfsPackOptions& options);
