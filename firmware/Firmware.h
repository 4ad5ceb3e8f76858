// Image checksum and the identity texts that the image carries, found by
// signature search. Free functions; they never modify the image.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace firmware {
inline constexpr uint32_t kDriveNameLength = 24;
inline constexpr uint32_t kVersionLength = 4;
inline constexpr uint32_t kHardwareIdLength = 2;
}  // namespace firmware

uint16_t GetCheckSum(const uint8_t* image, uint32_t length);

std::vector<uint32_t> FindInquiryBlocks(const uint8_t* image, uint32_t length);
std::vector<uint32_t> FindIdentityBlocks(const uint8_t* image, uint32_t length);

// Zero-terminated texts of 2, 24 and 4 characters, or null when absent.
std::unique_ptr<char[]> GetHardwareID(const uint8_t* image, uint32_t length);
std::unique_ptr<char[]> GetDriveName(const uint8_t* image, uint32_t length);
std::unique_ptr<char[]> GetVersion(const uint8_t* image, uint32_t length);
