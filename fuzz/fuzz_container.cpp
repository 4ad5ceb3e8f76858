// Feeds arbitrary bytes to the loader and the identity accessors.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "Firmware.h"
#include "Kfs.h"

namespace {

// The image length a header asks for (0 when it does not say).
uint64_t ClaimedImage(const uint8_t* data, size_t size) {
    if (size < 44 || std::memcmp(data, kfs::kMagic, kfs::kMagicSize) != 0) return 0;
    if (data[kfs::kVersionOffset] != '3') return (data[34] | (data[35] << 8)) * uint64_t{kfs::kOldSlotSize};
    uint32_t banks, bankSize;
    std::memcpy(&banks, data + 36, 4);
    std::memcpy(&bankSize, data + 40, 4);
    return static_cast<uint64_t>(banks) * bankSize;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Images the loader accepts but that take long to zero and scan are left
    // out: they slow the search down and add nothing the small ones miss
    // (the largest lengths have a test of their own). Whatever the old layout
    // allows (38 banks) and every claim over the limit still goes in.
    const uint64_t claimed = ClaimedImage(data, size);
    if (claimed <= (4u << 20) || claimed > kfs::kMaxImageLength) {
        SKFSParameter parameter;
        uint32_t length = 0;
        KfsRejection why = KfsRejection::Truncated;
        auto image = LoadContainer(data, size, length, parameter, &why);
        const char* text = RejectionText(why);
        if ((image != nullptr) != (why == KfsRejection::None) || text == nullptr || text[0] == '\0') std::abort();
        if (image && parameter.bankLengths.size() * uint64_t{parameter.bankSize} != length) std::abort();
        if (image && length <= (256u << 10)) {
            GetCheckSum(image.get(), length);
            GetHardwareID(image.get(), length);
            GetDriveName(image.get(), length);
            GetVersion(image.get(), length);
        }
    }
    // The accessors on the raw bytes as an image, too.
    const uint32_t length = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
    GetHardwareID(data, length);
    GetDriveName(data, length);
    GetVersion(data, length);
    return 0;
}
