// The drive's vendor commands in one place: the identity query and its reply,
// the page write and its block, built and read back here by the updater,
// the drive model, the dry run and the test tools alike.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

inline constexpr uint32_t kPageSize = 0x4000;  // one page write carries 16 KiB of the image
inline constexpr uint32_t kPageShift = 14;
static_assert(kPageSize == 1u << kPageShift);
// The only images the updater writes: some whole pages, nothing over.
inline constexpr bool IsWholePages(uint32_t length) { return length != 0 && length % kPageSize == 0; }

inline constexpr uint8_t kInquiryOpcode = 0x12;  // the standard INQUIRY, which the dry run lets through

// Identity query: sent as it stands, data in, kIdentityReplyLength bytes.
inline constexpr uint8_t kIdentityQueryOpcode = 0x5A;
inline constexpr uint8_t kIdentityQueryCommand[12] = {0x5A, 0x00, 0x38, 0x4B, 0x4F, 0x10,
                                                      0x00, 0x00, 0x00, 0x04, 0x00, 0x00};
inline constexpr uint32_t kIdentityReplyLength = 20;
// The reply: the maker signature at 0 to 3, 'H', 'W' at 16 and 17, the hardware ID at 18 and 19.
inline constexpr char kMakerSignature[4] = {'K', 'O', 'L', 'A'};
inline constexpr uint32_t kReplyHwMarkAt = 16, kReplyHardwareIdAt = 18;

// The reply a drive gives: with the signature and 'H', 'W' when `signed_`; the hardware ID always.
inline void BuildIdentityReply(uint8_t* reply, bool signed_, const uint8_t* hardwareId) {
    std::memset(reply, 0, kIdentityReplyLength);
    if (signed_) {
        std::memcpy(reply, kMakerSignature, 4);
        reply[kReplyHwMarkAt] = 'H';
        reply[kReplyHwMarkAt + 1] = 'W';
    }
    reply[kReplyHardwareIdAt] = hardwareId[0];
    reply[kReplyHardwareIdAt + 1] = hardwareId[1];
}

// The signature and 'H', 'W' are there, compared byte by byte in the order 0 to 3, 16, 17.
inline bool IdentityReplySigned(const uint8_t* reply) {
    return std::memcmp(reply, kMakerSignature, 4) == 0 && reply[kReplyHwMarkAt] == 'H' &&
           reply[kReplyHwMarkAt + 1] == 'W';
}

// Page write: data out, kPageSize bytes; bytes 6 to 10 are filled for every page.
inline constexpr uint8_t kPageWriteOpcode = 0xFD;
inline constexpr uint8_t kPageWriteTemplate[12] = {0xFD, 0x07, 0x56, 0x45, 0x4C, 0x44,
                                                   0x00, 0x00, 0x00, 0x00, 0x00, 0x08};
inline constexpr uint32_t kPageWriteFixedPrefix = 6;  // bytes 0 to 5: the operation code, 07 and "VELD"
inline constexpr uint32_t kPageWritePageAt = 10, kPageWriteLastAt = 11;

struct PageWriteFields {
    uint16_t pageCheckSum = 0, imageCheckSum = 0;
    uint8_t page = 0;  // the page number counted from 1, low 8 bits
};

inline void BuildPageWrite(uint8_t* cdb, const PageWriteFields& f) {
    std::memcpy(cdb, kPageWriteTemplate, 12);
    cdb[6] = static_cast<uint8_t>(f.pageCheckSum >> 8);
    cdb[7] = static_cast<uint8_t>(f.pageCheckSum);
    cdb[8] = static_cast<uint8_t>(f.imageCheckSum >> 8);
    cdb[9] = static_cast<uint8_t>(f.imageCheckSum);
    cdb[kPageWritePageAt] = f.page;
}

inline PageWriteFields ReadPageWrite(const uint8_t* cdb) {
    PageWriteFields f;
    f.pageCheckSum = static_cast<uint16_t>((cdb[6] << 8) | cdb[7]);
    f.imageCheckSum = static_cast<uint16_t>((cdb[8] << 8) | cdb[9]);
    f.page = cdb[kPageWritePageAt];
    return f;
}

// The fixed bytes of a page-write block are as they must be; of a block cut
// short on its way, only the first `arrived` bytes are looked at.
inline bool PageWriteFixedBytesFit(const uint8_t* cdb, uint32_t arrived = 12) {
    return std::memcmp(cdb, kPageWriteTemplate, kPageWriteFixedPrefix) == 0 &&
           (arrived <= kPageWriteLastAt || cdb[kPageWriteLastAt] == kPageWriteTemplate[kPageWriteLastAt]);
}

// A 16-bit checksum as the log shows it: four upper-case hexadecimal digits.
inline std::string Hex4(uint16_t value) {
    char digits[8];
    std::snprintf(digits, sizeof digits, "%04X", value);
    return digits;
}
