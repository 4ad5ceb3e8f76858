// Makes the demo container for a drive that does not exist: a deterministic
// 1 MiB image holding one INQUIRY block and one identity block, packed as
// version 3 with the header key.
//   mkdemo OUT.kfs
//   mkdemo --fit NAME VERSION OUT.kfs
// --fit makes the same image for a drive that answers INQUIRY with NAME (24
// characters, vendor and product) and VERSION (4) and rejects the identity
// query, as QEMU's drives do: its INQUIRY block carries that name and version,
// and there is no identity block and no tag, so the image's hardware ID is two
// zero bytes - what such a drive yields when its INQUIRY data ends at byte 36.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Firmware.h"
#include "KfsWriter.h"

namespace {

constexpr uint32_t kBankSize = 0x10000;
constexpr uint32_t kBanks = 16;
constexpr uint32_t kFilled = 0xF000;  // each bank ends in zeros, as real banks do
constexpr uint32_t kInquiryAt = 0x2A100;
constexpr uint32_t kIdentityAt = 0x31800;
constexpr uint32_t kInquiryName = 8;
constexpr uint32_t kInquiryVersion = 32;
constexpr uint32_t kInquiryEnd = 36;

constexpr char kUsage[] =
    "usage: mkdemo OUT.kfs\n"
    "       mkdemo --fit NAME VERSION OUT.kfs   (NAME 24 characters, VERSION 4)\n";

// Breaks every accidental signature in the filler.
void ScrubSignatures(std::vector<uint8_t>& image) {
    for (size_t p = 0; p + 3 <= image.size(); ++p) {
        if (image[p] == 0x05 && image[p + 1] == 0x80 && image[p + 2] == 0x00) image[p + 2] = 0x01;
        if (p + 4 <= image.size() && std::memcmp(&image[p], "KOLA", 4) == 0) image[p + 3] = 'B';
    }
}

bool Printable(const std::string& text) {
    for (const char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool fit = argc == 5 && std::strcmp(argv[1], "--fit") == 0;
    if (argc != 2 && !fit) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const char* outPath = argv[argc - 1];
    const std::string fitName = fit ? argv[2] : "";
    const std::string fitVersion = fit ? argv[3] : "";
    if (fit && (fitName.size() != firmware::kDriveNameLength || fitVersion.size() != firmware::kVersionLength ||
                !Printable(fitName) || !Printable(fitVersion))) {
        std::fprintf(stderr, "mkdemo: NAME must be 24 and VERSION 4 printable characters\n%s", kUsage);
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
    if (fit) {
        std::memcpy(&image[kInquiryAt + kInquiryName], fitName.data(), fitName.size());
        std::memcpy(&image[kInquiryAt + kInquiryVersion], fitVersion.data(), fitVersion.size());
        std::memset(&image[kInquiryAt + kInquiryEnd], 0, sizeof inquiry - kInquiryEnd);
        // A tag in the filler just before the block would give the image a hardware ID.
        if (image[kInquiryAt - 4] == 'H' && image[kInquiryAt - 3] == 'W') image[kInquiryAt - 3] = 'w';
    } else {
        static const uint8_t identity[20] = {'K', 'O', 'L', 'A', 'V', 'E', 'L', 'D', 'F', 'W',
                                             '0', '1', 0x00, 0x00, 0x00, 0x00, 'H', 'W', 'K', '4'};
        std::memcpy(&image[kIdentityAt], identity, sizeof identity);
    }

    const auto inquiries = FindInquiryBlocks(image.data(), image.size());
    const auto identities = FindIdentityBlocks(image.data(), image.size());
    if (inquiries.size() != 1 || identities.size() != (fit ? 0u : 1u)) {
        std::fprintf(stderr, "mkdemo: the image does not hold exactly the blocks it should\n");
        return 1;
    }
    if (fit) {
        const auto name = GetDriveName(image.data(), image.size());
        const auto version = GetVersion(image.data(), image.size());
        const auto hardwareId = GetHardwareID(image.data(), image.size());
        if (!name || fitName != name.get() || !version || fitVersion != version.get() || !hardwareId ||
            hardwareId[0] != 0 || hardwareId[1] != 0) {
            std::fprintf(stderr, "mkdemo: the fitted image does not read back as the drive's\n");
            return 1;
        }
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
    std::FILE* out = std::fopen(outPath, "wb");
    if (!out || std::fwrite(packed.bytes.data(), 1, packed.bytes.size(), out) != packed.bytes.size() ||
        std::fclose(out) != 0) {
        std::fprintf(stderr, "mkdemo: cannot write %s\n", outPath);
        return 1;
    }
    return 0;
}
