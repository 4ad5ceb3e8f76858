// Makes the demo container for a drive that does not exist: a deterministic
// 1 MiB image holding one INQUIRY block and one identity block, packed as
// version 3 with the header key. Usage: mkdemo OUT.kfs
#include <cstdio>
#include <cstring>
#include <vector>

#include "Firmware.h"
#include "KfsWriter.h"

namespace {

constexpr uint32_t kBankSize = 0x10000;
constexpr uint32_t kBanks = 16;
constexpr uint32_t kFilled = 0xF000;  // each bank ends in zeros, as real banks do
constexpr uint32_t kInquiryAt = 0x2A100;
constexpr uint32_t kIdentityAt = 0x31800;

// Breaks every accidental signature in the filler.
void ScrubSignatures(std::vector<uint8_t>& image) {
    for (size_t p = 0; p + 3 <= image.size(); ++p) {
        if (image[p] == 0x05 && image[p + 1] == 0x80 && image[p + 2] == 0x00) image[p + 2] = 0x01;
        if (p + 4 <= image.size() && std::memcmp(&image[p], "KOLA", 4) == 0) image[p + 3] = 'B';
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: mkdemo OUT.kfs\n");
        return 2;
    }
    std::vector<uint8_t> image(kBankSize * kBanks, 0);
    uint32_t state = 0x2545F491u;
    for (uint32_t bank = 0; bank < kBanks; ++bank) {
        for (uint32_t i = 0; i < kFilled; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            image[bank * kBankSize + i] = static_cast<uint8_t>(state >> 24);
        }
    }
    ScrubSignatures(image);

    static const uint8_t inquiry[40] = {0x05, 0x80, 0x00, 0x02, 0x1F, 0x00, 0x00, 0x00,
                                        'V',  'E',  'L',  'D',  ' ',  ' ',  ' ',  ' ',
                                        'D',  'V',  'D',  '-',  'R',  'W',  ' ',  'K',
                                        'X',  '4',  '8',  '0',  '0',  ' ',  ' ',  ' ',
                                        '1',  '.',  '0',  '2',  0x00, 0x00, 'K',  '4'};
    std::memcpy(&image[kInquiryAt], inquiry, sizeof inquiry);
    static const uint8_t identity[20] = {'K', 'O', 'L', 'A', 'V', 'E', 'L', 'D', 'F', 'W',
                                         '0', '1', 0x00, 0x00, 0x00, 0x00, 'H', 'W', 'K', '4'};
    std::memcpy(&image[kIdentityAt], identity, sizeof identity);

    if (FindInquiryBlocks(image.data(), image.size()).size() != 1 ||
        FindIdentityBlocks(image.data(), image.size()).size() != 1) {
        std::fprintf(stderr, "mkdemo: the demo image does not hold exactly one of each block\n");
        return 1;
    }

    KfsPackOptions options;
    options.layout = KfsLayout::V3;
    options.scramble = true;
    options.bankSize = kBankSize;
    const KfsPackResult packed = PackContainer(image.data(), image.size(), options);
    if (!packed.ok) {
        std::fprintf(stderr, "mkdemo: %s\n", packed.error.c_str());
        return 1;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(packed.bytes.data(), 1, packed.bytes.size(), out) != packed.bytes.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "mkdemo: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
