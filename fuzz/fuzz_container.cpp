// Feeds arbitrary bytes to the loader and the identity accessors.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "Firmware.h"
#include "Kfs.h"

namespace {

// A version-3 header may ask for up to 4 GiB of zeros; allocating that is
// correct but would only slow the search down.
bool ClaimsHugeImage(const uint8_t* data, size_t size) {
    if (size < 44 || data[24] != '3') return false;
    uint32_t banks, bankSize;
    std::memcpy(&banks, data + 36, 4);
    std::memcpy(&bankSize, data + 40, 4);
    return static_cast<uint64_t>(banks) * bankSize > (64u << 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!ClaimsHugeImage(data, size)) {
        SKFSParameter parameter;
        uint32_t length = 0;
        auto image = LoadContainer(data, size, length, parameter);
        if (image) {
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
