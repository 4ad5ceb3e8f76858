#include "Kfs.h"

#include <cstring>
#include <new>

#include "Encode.h"

namespace {

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t Read32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

std::nullptr_t Reject(KfsRejection* why, KfsRejection reason) {
    if (why) *why = reason;
    return nullptr;
}

// Allocates without filling: FillSlots writes every byte. Null when the
// memory is not there.
std::unique_ptr<uint8_t[]> AllocateImage(uint32_t length) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[length == 0 ? 1 : length]);
}

// The container must hold every bank's stored bytes from dataStart on, and
// every bank must fit its slot; sums run in 64 bits so nothing wraps.
KfsRejection CheckBanks(const std::vector<uint32_t>& lengths, uint64_t dataStart, size_t size,
                        uint32_t slotSize) {
    uint64_t end = dataStart;
    for (uint32_t length : lengths) {
        if (length > slotSize) return KfsRejection::BankTooLong;
        end += length;
    }
    if (auto bad = CheckSizes(0, end); bad != KfsRejection::None) return bad;
    return end <= size ? KfsRejection::None : KfsRejection::Truncated;
}

// Writes every slot: the bank's plain bytes, which `copy(slot, stored, count)`
// puts there from the stored ones (descrambling them on the way when they are
// scrambled), then zeros to the slot's end.
template <typename CopyBank>
void FillSlots(uint8_t* image, const uint8_t* data, const std::vector<uint32_t>& lengths,
               uint32_t slotSize, CopyBank copy) {
    for (size_t i = 0; i < lengths.size(); ++i) {
        uint8_t* slot = image + i * static_cast<size_t>(slotSize);
        copy(slot, data, lengths[i]);
        std::memset(slot + lengths[i], 0, slotSize - lengths[i]);
        data += lengths[i];
    }
}

}  // namespace

const char* RejectionText(KfsRejection why) {
    switch (why) {
        case KfsRejection::None: return "accepted";
        case KfsRejection::BadMagic: return "no \"KOLA FILE SYSTEM\" magic at its start";
        case KfsRejection::BadVersion: return "unknown container version";
        case KfsRejection::Truncated: return "its header, tables or bank data run past the end of the file";
        case KfsRejection::BankTooLong: return "a bank is longer than its slot";
        case KfsRejection::ImageTooLarge:
            return "its image would be larger than 64 MiB (bank count times bank size), far more than a "
                   "drive's flash holds";
        case KfsRejection::ContainerTooLarge:
            return "its header, tables and bank data would take more than 65 MiB, the most a container of a "
                   "64 MiB image needs";
        case KfsRejection::TooManyBanks: return "an old-layout container holds at most 38 banks";
        case KfsRejection::OutOfMemory: return "not enough memory for the image";
    }
    return "rejected";
}

KfsRejection CheckSizes(uint64_t imageLength, uint64_t containerLength) {
    if (imageLength > kfs::kMaxImageLength) return KfsRejection::ImageTooLarge;
    if (containerLength > kfs::kMaxContainerSize) return KfsRejection::ContainerTooLarge;
    return KfsRejection::None;
}

uint8_t HeaderKey(const uint8_t* header) {
    const uint32_t p0 = header[28], p1 = header[29], p2 = header[30], p3 = header[31];
    return static_cast<uint8_t>((p1 - p2) * p0 + p3);
}

std::unique_ptr<uint8_t[]> LoadContainerV3(const uint8_t* container, size_t size,
                                           uint32_t& imageLength, SKFSParameter& parameter,
                                           KfsRejection* why) {
    if (container == nullptr || size < kfs::kV3HeaderSize) return Reject(why, KfsRejection::Truncated);

    const uint32_t bankCount = Read32(container + 36);
    const uint32_t bankSize = Read32(container + 40);
    const uint32_t reserveCount = Read32(container + 44);
    const uint64_t length = static_cast<uint64_t>(bankCount) * bankSize;
    const uint64_t dataStart = kfs::kV3HeaderSize + 4ull * bankCount + 8ull * reserveCount;
    if (auto bad = CheckSizes(length, dataStart); bad != KfsRejection::None) return Reject(why, bad);
    if (dataStart > size) return Reject(why, KfsRejection::Truncated);

    SKFSParameter p;
    p.checksum = Read16(container + kfs::kChecksumOffset);
    p.option1 = container[26];
    p.option2 = container[27];
    p.option3 = container[34];
    p.bankSize = bankSize;
    p.value1 = static_cast<int32_t>(Read32(container + 48));
    p.value2 = static_cast<int32_t>(Read32(container + 52));
    p.bankLengths.resize(bankCount);
    for (uint32_t i = 0; i < bankCount; ++i)
        p.bankLengths[i] = Read32(container + kfs::kV3HeaderSize + 4ull * i);
    p.reserveBlocks.resize(reserveCount);
    const uint8_t* reserve = container + kfs::kV3HeaderSize + 4ull * bankCount;
    for (uint32_t i = 0; i < reserveCount; ++i) {
        p.reserveBlocks[i].offset = Read32(reserve + 8ull * i);
        p.reserveBlocks[i].length = Read32(reserve + 8ull * i + 4);
    }
    if (auto bad = CheckBanks(p.bankLengths, dataStart, size, bankSize); bad != KfsRejection::None)
        return Reject(why, bad);

    auto image = AllocateImage(static_cast<uint32_t>(length));
    if (!image) return Reject(why, KfsRejection::OutOfMemory);
    const bool scrambled = container[kfs::kScrambleModeOffset] == kfs::kHeaderKeyedMode;
    const uint8_t key = HeaderKey(container);
    FillSlots(image.get(), container + dataStart, p.bankLengths, bankSize,
              [&](uint8_t* slot, const uint8_t* stored, uint32_t count) {
                  if (scrambled)
                      DescrambleCopy(slot, stored, count, key);
                  else
                      std::memcpy(slot, stored, count);
              });

    if (why) *why = KfsRejection::None;
    imageLength = static_cast<uint32_t>(length);
    parameter = std::move(p);
    return image;
}

KfsRejection CheckMagicAndVersion(const uint8_t* container, size_t size) {
    if (container == nullptr || size < kfs::kMagicSize ||
        std::memcmp(container, kfs::kMagic, kfs::kMagicSize) != 0)
        return KfsRejection::BadMagic;
    if (size <= kfs::kVersionOffset) return KfsRejection::Truncated;
    const char version = static_cast<char>(container[kfs::kVersionOffset]);
    if (version != '3' && version != ' ' && version != '1' && version != '2') return KfsRejection::BadVersion;
    return KfsRejection::None;
}

std::unique_ptr<uint8_t[]> LoadContainer(const uint8_t* container, size_t size,
                                         uint32_t& imageLength, SKFSParameter& parameter,
                                         KfsRejection* why) {
    if (auto bad = CheckMagicAndVersion(container, size); bad != KfsRejection::None) return Reject(why, bad);
    if (size <= kfs::kScrambleModeOffset) return Reject(why, KfsRejection::Truncated);
    if (container[kfs::kVersionOffset] == '3') return LoadContainerV3(container, size, imageLength, parameter, why);

    if (size < 36) return Reject(why, KfsRejection::Truncated);
    const uint32_t bankCount = Read16(container + 34);
    if (bankCount > kfs::kOldMaxBanks) return Reject(why, KfsRejection::TooManyBanks);
    const size_t dataStart = kfs::OldDataStart(bankCount);
    if (dataStart > size) return Reject(why, KfsRejection::Truncated);

    SKFSParameter p;
    p.checksum = Read16(container + kfs::kChecksumOffset);
    p.option1 = 1;
    p.option2 = 0;
    p.option3 = 1;
    p.reserveBlocks.assign(1, SKFSReserveBlock{0x1F000, 0x1000});
    p.value1 = -1;
    p.value2 = -1;
    p.bankSize = kfs::kOldSlotSize;
    p.bankLengths.resize(bankCount);
    for (uint32_t i = 0; i < bankCount; ++i) p.bankLengths[i] = Read16(container + 36 + 2 * i);
    if (auto bad = CheckBanks(p.bankLengths, dataStart, size, kfs::kOldSlotSize); bad != KfsRejection::None)
        return Reject(why, bad);

    const uint32_t length = bankCount << 16;
    auto image = AllocateImage(length);
    if (!image) return Reject(why, KfsRejection::OutOfMemory);
    const bool selfKeyed = container[kfs::kScrambleModeOffset] == kfs::kSelfKeyedMode;
    FillSlots(image.get(), container + dataStart, p.bankLengths, kfs::kOldSlotSize,
              [&](uint8_t* slot, const uint8_t* stored, uint32_t count) {
                  // The key is the stored first byte plus 2; an empty bank has none.
                  if (selfKeyed && count != 0)
                      DescrambleCopy(slot, stored, count, static_cast<uint8_t>(stored[0] + 2u));
                  else
                      std::memcpy(slot, stored, count);
              });

    if (why) *why = KfsRejection::None;
    imageLength = length;
    parameter = std::move(p);
    return image;
}

bool LoadContainer(const uint8_t* container, size_t size, FirmwareImage& image,
                   SKFSParameter& parameter, KfsRejection* why) {
    uint32_t length = image.length;
    auto data = LoadContainer(container, size, length, parameter, why);
    if (!data) return false;
    image.data = std::move(data);
    image.length = length;
    return true;
}
