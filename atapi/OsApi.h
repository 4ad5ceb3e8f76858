// The thin layer over the operating-system calls that drive access makes, so
// that all of its logic builds and is tested without Windows.
#pragma once

#include <cstdint>
#include <string>

using OsHandle = uintptr_t;  // HANDLE / HMODULE value
inline constexpr OsHandle kInvalidHandle = ~OsHandle{0};  // INVALID_HANDLE_VALUE

inline constexpr uint32_t kPlatformWin32Nt = 2;  // VER_PLATFORM_WIN32_NT
inline constexpr uint32_t kDriveNoRootDir = 1;   // DRIVE_NO_ROOT_DIR
inline constexpr uint32_t kDriveCdrom = 5;       // DRIVE_CDROM
inline constexpr uint32_t kWaitObject0 = 0;      // WAIT_OBJECT_0
inline constexpr uint32_t kWaitTimeout = 0x102;  // WAIT_TIMEOUT
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;
inline constexpr uint32_t kErrorInvalidFunction = 1;  // ERROR_INVALID_FUNCTION
inline constexpr uint32_t kErrorAccessDenied = 5;     // ERROR_ACCESS_DENIED
inline constexpr uint32_t kErrorBadCommand = 22;      // ERROR_BAD_COMMAND
inline constexpr uint32_t kErrorNotSupported = 50;    // ERROR_NOT_SUPPORTED
inline constexpr uint32_t kErrorInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
inline constexpr uint32_t kErrorSemTimeout = 121;  // ERROR_SEM_TIMEOUT
inline constexpr uint32_t kErrorIoDevice = 1117;   // ERROR_IO_DEVICE

class OsApi {
public:
    virtual ~OsApi() = default;
    virtual uint32_t GetVersionPlatformId() = 0;  // GetVersionExA (size 148) -> dwPlatformId
    virtual std::string GetSystemDirectory() = 0;  // the whole path, any length
    virtual OsHandle LoadLibrary(const std::string& path) = 0;  // 0 on failure
    virtual void* GetProcAddress(OsHandle module, const char* name) = 0;
    virtual void FreeLibrary(OsHandle module) = 0;
    virtual uint32_t GetDriveType(const std::string& root) = 0;  // "D:\\"
    virtual OsHandle CreateFile(const std::string& path) = 0;    // R|W access, R|W share, OPEN_EXISTING
    virtual void CloseHandle(OsHandle handle) = 0;
    virtual bool DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                                 uint32_t outSize, uint32_t* returned) = 0;
    virtual uint32_t GetLastError() = 0;
    // FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, ...); false when it fails (GetLastError then says why).
    virtual bool FormatMessage(uint32_t code, std::string& text) = 0;
    virtual OsHandle CreateEvent() = 0;  // manual reset, not signalled, no name; 0 on failure
    virtual uint32_t WaitForSingleObject(OsHandle event, uint32_t milliseconds) = 0;  // WAIT_* values
    virtual bool PumpMessage() = 0;  // PeekMessageA PM_REMOVE, then Translate and Dispatch
    virtual uint32_t TickCount() = 0;  // GetTickCount: milliseconds, wrapping
    virtual void MessageBox(const std::string& text) = 0;  // plain modal box, no icon, OK
    // The ASPI entry points are called through the layer so that a fake can answer them.
    virtual uint32_t CallGetASPI32SupportInfo(void* entry) = 0;
    virtual uint32_t CallSendASPI32Command(void* entry, void* srb) = 0;
};

// The real Win32 layer; defined only in the Windows build.
OsApi& SystemOsApi();
