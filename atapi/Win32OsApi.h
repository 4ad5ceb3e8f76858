// The real Win32 calls behind the OS layer. Built only for Windows; a
// program that changes how a call reaches the user derives from it.
#pragma once

#include "OsApi.h"

class Win32OsApi : public OsApi {
public:
    uint32_t GetVersionPlatformId() override;
    std::string GetSystemDirectory() override;
    OsHandle LoadLibrary(const std::string& path) override;
    void* GetProcAddress(OsHandle module, const char* name) override;
    void FreeLibrary(OsHandle module) override;
    uint32_t GetDriveType(const std::string& root) override;
    OsHandle CreateFile(const std::string& path) override;
    void CloseHandle(OsHandle handle) override;
    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out, uint32_t outSize,
                         uint32_t* returned) override;
    uint32_t GetLastError() override;
    bool FormatMessage(uint32_t code, std::string& text) override;
    OsHandle CreateEvent() override;
    uint32_t WaitForSingleObject(OsHandle event, uint32_t milliseconds) override;
    bool PumpMessage() override;
    uint32_t TickCount() override;
    void MessageBox(const std::string& text) override;
    uint32_t CallGetASPI32SupportInfo(void* entry) override;
    uint32_t CallSendASPI32Command(void* entry, void* srb) override;
};
