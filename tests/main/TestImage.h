// Small firmware images and their containers for the window tests, made with
// the container writer.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Firmware.h"
#include "KfsWriter.h"

namespace testimage {

inline constexpr uint32_t kPage = 0x4000;

struct Shape {
    uint32_t length = 4 * kPage;
    uint32_t bankSize = kPage;  // the length must be a whole number of banks
    bool inquiryBlock = true;
    bool identityBlock = true;
    std::string driveName = "VELD    DVD-RW KX4800   ";  // 24 characters
    std::string version = "1.02";
    std::string hardwareId = "K4";
    uint32_t seed = 0x9E3779B9u;
};

// Deterministic filler without accidental signatures, then the blocks the
// identity accessors look for, early in the first page.
inline std::vector<uint8_t> Image(const Shape& shape) {
    std::vector<uint8_t> image(shape.length);
    uint32_t state = shape.seed;
    for (auto& byte : image) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
        if (byte == 0x05 || byte == 'K') byte = 0x33;
    }
    if (shape.inquiryBlock && shape.length >= 0x200) {
        uint8_t* p = &image[0x100];
        std::memset(p, 0, 40);
        p[0] = 0x05;
        p[1] = 0x80;
        p[2] = 0x00;
        std::memcpy(p + 8, shape.driveName.data(), 24);
        std::memcpy(p + 32, shape.version.data(), 4);
    }
    if (shape.identityBlock && shape.length >= 0x400) {
        uint8_t* p = &image[0x300];
        std::memcpy(p, "KOLA", 4);
        p[16] = 'H';
        p[17] = 'W';
        std::memcpy(p + 18, shape.hardwareId.data(), 2);
    }
    return image;
}

inline std::vector<uint8_t> Container(const std::vector<uint8_t>& image, uint32_t bankSize = kPage) {
    KfsPackOptions options;
    options.layout = KfsLayout::V3;
    options.scramble = true;
    options.bankSize = bankSize;
    KfsPackResult packed = PackContainer(image.data(), static_cast<uint32_t>(image.size()), options);
    EXPECT_TRUE(packed.ok) << packed.error;
    return packed.bytes;
}

// The stored checksum sits at bytes 32 and 33, little-endian.
inline void SetStoredChecksum(std::vector<uint8_t>& container, uint16_t checksum) {
    container[32] = static_cast<uint8_t>(checksum);
    container[33] = static_cast<uint8_t>(checksum >> 8);
}

}  // namespace testimage
