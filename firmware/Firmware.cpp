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
    // Eight bytes at a time into the 16-bit lanes of two words, which the
    // compiler can add as one vector. In a block of 2048 bytes each lane takes
    // 128 words of at most 2 * 255, 65280 in all: no lane overflows. The
    // bounds are pointers into the image, so no index can wrap at 2^32.
    constexpr uint64_t kLowBytes = 0x00FF00FF00FF00FFull;
    constexpr size_t kWords = 2;
    constexpr size_t kBlockBytes = 128 * kWords * 8;
    uint64_t total = 0;
    const uint8_t* at = image;
    for (const uint8_t* const blocksEnd = image + (length - length % kBlockBytes); at != blocksEnd;
         at += kBlockBytes) {
        uint64_t lanes[kWords] = {};
        for (size_t i = 0; i < kBlockBytes / 8; i += kWords) {
            for (size_t w = 0; w < kWords; ++w) {
                uint64_t word;
                std::memcpy(&word, at + 8 * (i + w), 8);
                lanes[w] += (word & kLowBytes) + ((word >> 8) & kLowBytes);
            }
        }
        for (uint64_t word : lanes)
            for (int lane = 0; lane < 4; ++lane) total += (word >> (16 * lane)) & 0xFFFF;
    }
    for (const uint8_t* const end = image + length; at != end; ++at) total += *at;
    return static_cast<uint16_t>(total);
}

namespace {

// Every position p (ascending) at which the pattern's first byte occurs and
// `matches(p)` holds, for p from 0 to length - span.
template <typename Test>
std::vector<uint32_t> Scan(const uint8_t* image, uint32_t length, uint32_t span, uint8_t first, Test matches) {
    std::vector<uint32_t> found;
    if (length < span) return found;
    const uint8_t* end = image + (length - span + 1);
    for (const uint8_t* at = image; at < end; ++at) {
        at = static_cast<const uint8_t*>(std::memchr(at, first, static_cast<size_t>(end - at)));
        if (!at) break;
        if (matches(at)) found.push_back(static_cast<uint32_t>(at - image));
    }
    return found;
}

}  // namespace

std::vector<uint32_t> FindInquiryBlocks(const uint8_t* image, uint32_t length) {
    return Scan(image, length, 3, 0x05, [](const uint8_t* p) { return p[1] == 0x80 && p[2] == 0x00; });
}

std::vector<uint32_t> FindIdentityBlocks(const uint8_t* image, uint32_t length) {
    return Scan(image, length, 18, 'K', [](const uint8_t* p) {
        return p[1] == 'O' && p[2] == 'L' && p[3] == 'A' && p[kIdentityTag] == 'H' && p[kIdentityTag + 1] == 'W';
    });
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
