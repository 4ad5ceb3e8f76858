// An NT-family OS layer over the Linux drive access: the drives that sysfs
// discovery found stand on the letters D:, E:, ... in their order, and each
// pass-through request goes to the drive's node through the SG_IO transport.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "OsApi.h"
#include "SgDiscovery.h"
#include "SgTransport.h"

// What the driver says when its time-out ran out; the drive-access code counts it as
// completion, since a drive that reprograms its flash may stop answering in time.
inline constexpr uint32_t kSgTimedOutError = kErrorSemTimeout;

class LinuxOsApi : public OsApi {
public:
    // The drives stay owned by the caller and must outlive this layer; at most 22 are served.
    LinuxOsApi(SgTransport& transport, const std::vector<SgDrive>& drives);

    // Where the drive-access code's plain message boxes (system error texts) go.
    std::function<void(const std::string&)> onMessageBox;
    // The discovered drive on "\\.\D:" and so on; nullptr for any other path.
    const SgDrive* DriveAt(const std::string& devicePath) const;

    uint32_t GetVersionPlatformId() override { return kPlatformWin32Nt; }
    std::string GetSystemDirectory() override { return {}; }
    OsHandle LoadLibrary(const std::string&) override { return 0; }
    void* GetProcAddress(OsHandle, const char*) override { return nullptr; }
    void FreeLibrary(OsHandle) override {}
    uint32_t GetDriveType(const std::string& root) override;
    OsHandle CreateFile(const std::string& path) override;
    void CloseHandle(OsHandle) override {}  // the drive list owns the descriptors
    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override;
    uint32_t GetLastError() override { return lastError_; }
    bool FormatMessage(uint32_t code, std::string& text) override;
    OsHandle CreateEvent() override { return 0; }
    uint32_t WaitForSingleObject(OsHandle, uint32_t) override { return kWaitFailed; }
    bool PumpMessage() override { return false; }
    uint32_t TickCount() override { return 0; }
    void MessageBox(const std::string& text) override;
    uint32_t CallGetASPI32SupportInfo(void*) override { return 0; }
    uint32_t CallSendASPI32Command(void*, void*) override { return 0; }

private:
    int DriveIndex(const std::string& root) const;

    SgTransport& transport_;
    const std::vector<SgDrive>& drives_;
    uint32_t lastError_ = 0;
};
