#include "KfsWriter.h"

#include <cstring>

#include "Encode.h"
#include "Firmware.h"

namespace {

void Put16(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

KfsPackResult Fail(std::string why) {
    KfsPackResult r;
    r.error = std::move(why);
    return r;
}

// Stored length of a bank: up to its last non-zero byte (the loader refills
// the rest of the slot with zeros).
uint32_t StoredLength(const uint8_t* slot, uint32_t slotSize) {
    uint32_t n = slotSize;
    while (n > 0 && slot[n - 1] == 0) --n;
    return n;
}

}  // namespace

KfsPackResult PackContainer(const uint8_t* image, uint32_t length, const KfsPackOptions& o) {
    const bool old = o.layout == KfsLayout::Old;
    const uint32_t slot = old ? kfs::kOldSlotSize : o.bankSize;
    if (old && o.version != ' ' && o.version != '1' && o.version != '2')
        return Fail("the old layout has versions \" \", \"1\" and \"2\"");
    if (slot == 0) return Fail("the bank size must not be 0");
    if (length % slot != 0)
        return Fail("image length " + std::to_string(length) + " is not a multiple of the bank size " +
                    std::to_string(slot));
    const uint32_t banks = length / slot;
    if (old && banks > kfs::kOldMaxBanks)
        return Fail("the old layout holds at most 38 banks; this image needs " + std::to_string(banks));
    // What the loader would refuse is refused before anything is made: the header and tables
    // first, as a small bank size gives a table larger than the image.
    const uint64_t header = old ? kfs::OldDataStart(banks)
                                : kfs::kV3HeaderSize + 4ull * banks + 8ull * o.reserveBlocks.size();
    auto tooLarge = [&](uint64_t containerLength) {
        return Fail(std::string(RejectionText(CheckSizes(length, containerLength))) +
                    (CheckSizes(length, 0) == KfsRejection::None
                         ? ": with " + std::to_string(banks) + " banks of " + std::to_string(slot) +
                               " bytes it would be " + std::to_string(containerLength) +
                               " bytes; a larger bank size makes the table of banks smaller"
                         : ""));
    };
    if (CheckSizes(length, header) != KfsRejection::None) return tooLarge(header);

    std::vector<uint32_t> stored(banks);
    uint64_t containerLength = header;
    for (uint32_t i = 0; i < banks; ++i) {
        const uint8_t* bank = image + static_cast<size_t>(i) * slot;
        stored[i] = StoredLength(bank, slot);
        containerLength += stored[i];
        if (old && stored[i] > 0xFFFF)
            return Fail("bank " + std::to_string(i) +
                        ": the old layout stores at most 65535 bytes, so the last byte of each slot must be 0");
        if (old && o.scramble && stored[i] > 0 && bank[0] != 2)
            return Fail("bank " + std::to_string(i) +
                        ": a self-keyed bank must start with the byte 2, this one starts with " +
                        std::to_string(bank[0]));
    }

    if (CheckSizes(length, containerLength) != KfsRejection::None) return tooLarge(containerLength);

    KfsPackResult r;
    r.bytes.assign(static_cast<size_t>(header), 0);
    std::memcpy(r.bytes.data(), kfs::kMagic, kfs::kMagicSize);
    r.bytes[kfs::kVersionOffset] = static_cast<uint8_t>(old ? o.version : '3');
    Put16(r.bytes, kfs::kChecksumOffset, GetCheckSum(image, length));
    uint8_t key = 0;
    if (old) {
        r.bytes[kfs::kScrambleModeOffset] = o.scramble ? kfs::kSelfKeyedMode : 0;
        Put16(r.bytes, 34, banks);
        for (uint32_t i = 0; i < banks; ++i) Put16(r.bytes, 36 + 2 * i, stored[i]);
        key = o.selfKey;
    } else {
        r.bytes[kfs::kScrambleModeOffset] = o.scramble ? kfs::kHeaderKeyedMode : 0;
        r.bytes[26] = o.option1;
        r.bytes[27] = o.option2;
        std::memcpy(&r.bytes[28], o.key.data(), 4);
        r.bytes[34] = o.option3;
        Put32(r.bytes, 36, banks);
        Put32(r.bytes, 40, slot);
        Put32(r.bytes, 44, static_cast<uint32_t>(o.reserveBlocks.size()));
        Put32(r.bytes, 48, static_cast<uint32_t>(o.value1));
        Put32(r.bytes, 52, static_cast<uint32_t>(o.value2));
        for (uint32_t i = 0; i < banks; ++i) Put32(r.bytes, kfs::kV3HeaderSize + 4 * i, stored[i]);
        size_t at = kfs::kV3HeaderSize + 4 * size_t{banks};
        for (const auto& block : o.reserveBlocks) {
            Put32(r.bytes, at, block.offset);
            Put32(r.bytes, at + 4, block.length);
            at += 8;
        }
        key = HeaderKey(r.bytes.data());
    }

    for (uint32_t i = 0; i < banks; ++i) {
        const uint8_t* bank = image + static_cast<size_t>(i) * slot;
        const size_t at = r.bytes.size();
        r.bytes.insert(r.bytes.end(), bank, bank + stored[i]);
        // The transform is its own inverse: applying it scrambles.
        if (o.scramble) Descramble(r.bytes.data() + at, stored[i], key);
    }
    r.ok = true;
    return r;
}
