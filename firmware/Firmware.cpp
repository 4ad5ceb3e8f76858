#include "Firmware.h"

#include <cstring>

namespace {

constexpr uint32_t kInquiryDriveName = 8;
constexpr uint32_t kInquiryVersion = 32;
constexpr uint32_t kInquiryHardwareId = 38;
constexpr uint32_t kIdentityTag = 16;
constexpr uint32_t kIdentityHardwareId = 18;

// Copies `count` bytes at image[at] into a new text, or null when any of them
// would lie outside the image.
std::unique_ptr<char[]> CopyField(const uint8_t* image, uint32_t length, uint64_t at,
                                  uint32_t count) {
    if (at + count > length) return nullptr;
    std::unique_ptr<char[]> text(new char[count + 1]);
    std::memcpy(text.get(), image + at, count);
    text[count] = '\0';
    return text;
}

// Position of the only INQUIRY block, or false when there is none or several.
bool SingleInquiryBlock(const uint8_t* image, uint32_t length, uint32_t& position) {
    const auto blocks = FindInquiryBlocks(image, length);
    if (blocks.size() != 1) return false;
    position = blocks[0];
    return true;
}

}  // namespace

uint16_t GetCheckSum(const uint8_t* image, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += image[i];
    return static_cast<uint16_t>(sum);
}

std::vector<uint32_t> FindInquiryBlocks(const uint8_t* image, uint32_t length) {
    std::vector<uint32_t> matches;
    for (uint32_t p = 0; length >= 3 && p <= length - 3; ++p) {
        if (image[p] == 0x05 && image[p + 1] == 0x80 && image[p + 2] == 0x00) matches.push_back(p);
    }
    return matches;
}

std::vector<uint32_t> FindIdentityBlocks(const uint8_t* image, uint32_t length) {
    std::vector<uint32_t> matches;
    for (uint32_t p = 0; length >= 18 && p <= length - 18; ++p) {
        if (std::memcmp(image + p, "KOLA", 4) == 0 && image[p + kIdentityTag] == 'H' &&
            image[p + kIdentityTag + 1] == 'W')
            matches.push_back(p);
    }
    return matches;
}

std::unique_ptr<char[]> GetHardwareID(const uint8_t* image, uint32_t length) {
    const auto identity = FindIdentityBlocks(image, length);
    if (identity.size() == 1)
        return CopyField(image, length, identity[0] + uint64_t{kIdentityHardwareId},
                         firmware::kHardwareIdLength);
    if (identity.size() > 1) return nullptr;

    uint32_t p = 0;
    if (!SingleInquiryBlock(image, length, p)) return nullptr;
    // A tag that would start before the image counts as absent.
    if (p >= 4 && image[p - 4] == 'H' && image[p - 3] == 'W')
        return CopyField(image, length, p - 2, firmware::kHardwareIdLength);
    return CopyField(image, length, p + uint64_t{kInquiryHardwareId}, firmware::kHardwareIdLength);
}

std::unique_ptr<char[]> GetDriveName(const uint8_t* image, uint32_t length) {
    uint32_t p = 0;
    if (!SingleInquiryBlock(image, length, p)) return nullptr;
    return CopyField(image, length, p + uint64_t{kInquiryDriveName}, firmware::kDriveNameLength);
}

std::unique_ptr<char[]> GetVersion(const uint8_t* image, uint32_t length) {
    uint32_t p = 0;
    if (!SingleInquiryBlock(image, length, p)) return nullptr;
    return CopyField(image, length, p + uint64_t{kInquiryVersion}, firmware::kVersionLength);
}
