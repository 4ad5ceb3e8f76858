// An NT-family OS layer whose optical drives are virtual drives in this
// process, on the letters D:, E:, ... in the order they were added. The
// pass-through block is decoded as the OS driver would read it, so the
// drive-access code runs unchanged against the model.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "OsApi.h"
#include "VirtualDrive.h"

// One pass-through request as the driver sees it.
struct PassThroughRequestView {
    const uint8_t* cdb = nullptr;
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint8_t direction = 0;  // 8 in, 16 out, 0 none (the drive-access directions)
};

// Reads the fields of a pass-through block in the native layout; false when the
// block is too small or not a 12-byte command.
bool DecodePassThrough(uint8_t* block, uint32_t size, PassThroughRequestView& view);
// Writes the SCSI status and the sense bytes (at most the block's sense length) back.
void AnswerPassThrough(uint8_t* block, uint8_t scsiStatus, const uint8_t* sense, uint8_t senseLength);

// An NT-family layer with drives and nothing else: no ASPI manager, no events,
// no message loop. Its subclasses say where the drives are, how one is opened
// and how a pass-through request reaches it.
class PlainNtOsApi : public OsApi {
public:
    // Where the drive-access code's plain message boxes (system error texts) go.
    std::function<void(const std::string&)> onMessageBox;

    uint32_t GetVersionPlatformId() override { return kPlatformWin32Nt; }
    std::string GetSystemDirectory() override { return {}; }
    OsHandle LoadLibrary(const std::string&) override { return 0; }
    void* GetProcAddress(OsHandle, const char*) override { return nullptr; }
    void FreeLibrary(OsHandle) override {}
    uint32_t GetLastError() override { return lastError_; }
    OsHandle CreateEvent() override { return 0; }
    uint32_t WaitForSingleObject(OsHandle, uint32_t) override { return kWaitFailed; }
    bool PumpMessage() override { return false; }
    uint32_t TickCount() override { return 0; }
    void MessageBox(const std::string& text) override {
        if (onMessageBox) onMessageBox(text);
    }
    uint32_t CallGetASPI32SupportInfo(void*) override { return 0; }
    uint32_t CallSendASPI32Command(void*, void*) override { return 0; }

protected:
    uint32_t lastError_ = 0;
};

class VirtualOsApi : public PlainNtOsApi {
public:
    // The drive stays owned by the caller; at most 22 letters (D: to Y:).
    void AddDrive(VirtualDrive& drive);

    uint32_t GetDriveType(const std::string& root) override;
    OsHandle CreateFile(const std::string& path) override;
    void CloseHandle(OsHandle) override {}
    bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                         uint32_t outSize, uint32_t* returned) override;
    bool FormatMessage(uint32_t code, std::string& text) override;

private:
    int DriveIndex(const std::string& root) const;  // of "D:..." -> 0; -1 when no drive is there

    std::vector<VirtualDrive*> drives_;
};
