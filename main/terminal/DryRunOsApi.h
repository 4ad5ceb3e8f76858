// Passes everything to the OS layer underneath except the commands that
// would change the drive: only INQUIRY and the identity query go through;
// every other command block is handed to `report` and answered as completed
// without reaching the drive. The flash procedure then runs every check and
// builds every page-write block exactly as it would for real.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "OsApi.h"

class DryRunOsApi : public OsApi {
public:
    // report(cdb, length): a command block that was held back, with its data length.
    DryRunOsApi(OsApi& os, std::function<void(const uint8_t* cdb, uint32_t length)> report)
        : os_(os), report_(std::move(report)) {}

    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override;

    uint32_t GetVersionPlatformId() override { return os_.GetVersionPlatformId(); }
    std::string GetSystemDirectory() override { return os_.GetSystemDirectory(); }
    OsHandle LoadLibrary(const std::string& path) override { return os_.LoadLibrary(path); }
    void* GetProcAddress(OsHandle module, const char* name) override {
        return os_.GetProcAddress(module, name);
    }
    void FreeLibrary(OsHandle module) override { os_.FreeLibrary(module); }
    uint32_t GetDriveType(const std::string& root) override { return os_.GetDriveType(root); }
    OsHandle CreateFile(const std::string& path) override { return os_.CreateFile(path); }
    void CloseHandle(OsHandle handle) override { os_.CloseHandle(handle); }
    uint32_t GetLastError() override { return os_.GetLastError(); }
    bool FormatMessage(uint32_t code, std::string& text) override { return os_.FormatMessage(code, text); }
    OsHandle CreateEvent() override { return os_.CreateEvent(); }
    uint32_t WaitForSingleObject(OsHandle event, uint32_t ms) override {
        return os_.WaitForSingleObject(event, ms);
    }
    bool PumpMessage() override { return os_.PumpMessage(); }
    uint32_t TickCount() override { return os_.TickCount(); }
    void MessageBox(const std::string& text) override { os_.MessageBox(text); }
    bool ListDrivePaths(std::vector<std::string>& paths) override { return os_.ListDrivePaths(paths); }
    // The ASPI path is never taken: this layer stands for an NT-family system.
    uint32_t CallGetASPI32SupportInfo(void*) override { return 0; }
    uint32_t CallSendASPI32Command(void*, void*) override { return 0; }

private:
    OsApi& os_;
    std::function<void(const uint8_t*, uint32_t)> report_;
};

// "FD 07 56 ..." for a 12-byte command block.
std::string CommandHex(const uint8_t* cdb);
