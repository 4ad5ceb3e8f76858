#include "DryRunOsApi.h"

#include <cstdio>

#include "ScsiBlocks.h"
#include "VirtualOsApi.h"

namespace {

constexpr uint8_t kInquiry = 0x12, kIdentityQuery = 0x5A;

}  // namespace

std::string CommandHex(const uint8_t* cdb) {
    std::string hex;
    for (int i = 0; i < 12; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", cdb[i]);
        hex += byte;
    }
    return hex;
}

bool DryRunOsApi::DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                                  uint32_t outSize, uint32_t* returned) {
    PassThroughRequestView view;
    const bool decoded = code == kIoctlScsiPassThroughDirect && in == out &&
                         DecodePassThrough(static_cast<uint8_t*>(in), inSize, view);
    if (decoded && (view.cdb[0] == kInquiry || view.cdb[0] == kIdentityQuery))
        return os_.DeviceIoControl(device, code, in, inSize, out, outSize, returned);
    // Anything else, or a block that cannot be read, is held back.
    if (decoded) {
        report_(view.cdb, view.length);
        AnswerPassThrough(static_cast<uint8_t*>(in), 0, nullptr, 0);
    }
    if (returned) *returned = inSize;
    return decoded;
}
