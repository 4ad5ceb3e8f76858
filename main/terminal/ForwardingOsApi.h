// An OS layer that passes every call to the layer underneath; its subclasses
// change only the calls they are about.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OsApi.h"

class ForwardingOsApi : public OsApi {
public:
    explicit ForwardingOsApi(OsApi& os) : os_(os) {}

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
    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override {
        return os_.DeviceIoControl(device, code, in, inSize, out, outSize, returned);
    }
    uint32_t GetLastError() override { return os_.GetLastError(); }
    bool FormatMessage(uint32_t code, std::string& text) override { return os_.FormatMessage(code, text); }
    OsHandle CreateEvent() override { return os_.CreateEvent(); }
    uint32_t WaitForSingleObject(OsHandle event, uint32_t ms) override {
        return os_.WaitForSingleObject(event, ms);
    }
    bool PumpMessage() override { return os_.PumpMessage(); }
    uint32_t TickCount() override { return os_.TickCount(); }
    void MessageBox(const std::string& text) override { os_.MessageBox(text); }
    uint32_t CallGetASPI32SupportInfo(void* entry) override { return os_.CallGetASPI32SupportInfo(entry); }
    uint32_t CallSendASPI32Command(void* entry, void* srb) override {
        return os_.CallSendASPI32Command(entry, srb);
    }
    bool ListDrivePaths(std::vector<std::string>& paths) override { return os_.ListDrivePaths(paths); }

protected:
    OsApi& os_;
};
