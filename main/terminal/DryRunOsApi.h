// Passes everything to the OS layer underneath except the commands that
// would change the drive: only INQUIRY and the identity query go through;
// every other command block is handed to `report` and answered as completed
// without reaching the drive. The flash procedure then runs every check and
// builds every page-write block exactly as it would for real.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ForwardingOsApi.h"

class DryRunOsApi : public ForwardingOsApi {
public:
    // report(cdb, length): a command block that was held back, with its data length.
    DryRunOsApi(OsApi& os, std::function<void(const uint8_t* cdb, uint32_t length)> report)
        : ForwardingOsApi(os), report_(std::move(report)) {}

    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override;
    // The ASPI path is never taken: this layer stands for an NT-family system.
    uint32_t CallGetASPI32SupportInfo(void*) override { return 0; }
    uint32_t CallSendASPI32Command(void*, void*) override { return 0; }

private:
    std::function<void(const uint8_t*, uint32_t)> report_;
};

// "FD 07 56 ..." for a 12-byte command block.
std::string CommandHex(const uint8_t* cdb);
