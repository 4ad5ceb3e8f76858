// KFS container: records filled from the header, and the loader that turns a
// container held in memory into a flat firmware image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

struct SKFSReserveBlock {
    uint32_t offset = 0;
    uint32_t length = 0;
};

struct SKFSParameter {
    uint16_t checksum = 0;
    uint8_t option1 = 0;
    uint8_t option2 = 0;
    uint8_t option3 = 0;
    std::vector<SKFSReserveBlock> reserveBlocks;
    uint32_t bankSize = 0;
    std::vector<uint32_t> bankLengths;
    int32_t value1 = 0;
    int32_t value2 = 0;
};

// The flat, descrambled image: one slot per bank, each bank's plain bytes at
// the start of its slot and zeros after them.
struct FirmwareImage {
    std::unique_ptr<uint8_t[]> data;
    uint32_t length = 0;
};

namespace kfs {
inline constexpr char kMagic[] = "KOLA FILE SYSTEM";
inline constexpr size_t kMagicSize = 17;  // the 16 characters and their zero
inline constexpr size_t kVersionOffset = 24;
inline constexpr size_t kScrambleModeOffset = 25;
inline constexpr size_t kChecksumOffset = 32;
inline constexpr uint32_t kOldSlotSize = 0x10000;
inline constexpr uint32_t kOldMaxBanks = 38;
inline constexpr uint8_t kSelfKeyedMode = 1;  // old layout
inline constexpr uint8_t kHeaderKeyedMode = 2;  // version 3
inline constexpr size_t kV3HeaderSize = 56;
// Far more than any drive's flash holds: a header that asks for more is
// refused before anything is allocated.
inline constexpr uint32_t kMaxImageLength = 64u << 20;
// The most a container can take: such an image's bank data, with room for
// its header and tables.
inline constexpr size_t kMaxContainerSize = kMaxImageLength + (1u << 20);

// Data start of an old-layout container with the given bank count.
constexpr size_t OldDataStart(uint32_t bankCount) { return bankCount <= 8 ? 64 : 112; }
}  // namespace kfs

// Why a container was rejected.
enum class KfsRejection {
    None,
    BadMagic,
    BadVersion,
    Truncated,        // header, table or bank data runs past the end
    BankTooLong,      // a bank's stored length exceeds its slot
    ImageTooLarge,    // bank count times slot size exceeds kMaxImageLength
    ContainerTooLarge,  // header, tables and bank data exceed kMaxContainerSize
    TooManyBanks,     // old layout: more than 38
    OutOfMemory,
};
const char* RejectionText(KfsRejection why);

// What the loader refuses for size alone, decided here for the loader and the writer alike:
// an image past kMaxImageLength, or header, tables and bank data past kMaxContainerSize.
KfsRejection CheckSizes(uint64_t imageLength, uint64_t containerLength);

// Checks what the first bytes of a container decide: the magic and the
// version. Truncated when fewer than kVersionOffset + 1 bytes are given.
KfsRejection CheckMagicAndVersion(const uint8_t* container, size_t size);

// Loads a container of `size` bytes. Returns the image buffer, or null when
// the container is rejected; imageLength and parameter are written only on
// success. Nothing is read outside [container, container + size).
std::unique_ptr<uint8_t[]> LoadContainer(const uint8_t* container, size_t size,
                                         uint32_t& imageLength, SKFSParameter& parameter,
                                         KfsRejection* why = nullptr);

// The same for a container already known to carry the magic and version "3".
std::unique_ptr<uint8_t[]> LoadContainerV3(const uint8_t* container, size_t size,
                                           uint32_t& imageLength, SKFSParameter& parameter,
                                           KfsRejection* why = nullptr);

// Key byte of a version-3 header, from its four key parameters at 28..31.
uint8_t HeaderKey(const uint8_t* header);

// Convenience: loads into a FirmwareImage; false when rejected.
bool LoadContainer(const uint8_t* container, size_t size, FirmwareImage& image,
                   SKFSParameter& parameter, KfsRejection* why = nullptr);
