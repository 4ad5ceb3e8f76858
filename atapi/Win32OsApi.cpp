// The real Win32 calls behind the OS layer. Built only for Windows.
#include <windows.h>
#include <ntddcdrm.h>
#include <ntddscsi.h>

// The layer's members are named after the calls; each calls the A function itself, and
// every other file sees the plain names.
#undef GetSystemDirectory
#undef LoadLibrary
#undef GetDriveType
#undef CreateFile
#undef FormatMessage
#undef CreateEvent
#undef MessageBox

#include <cstddef>
#include <vector>

#include "Win32OsApi.h"
#include "ScsiBlocks.h"

// The blocks filled by portable code must be the platform's own.
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == kNativePassThrough.headerSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataTransferLength) == kNativePassThrough.dataTransferLength);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, TimeOutValue) == kNativePassThrough.timeOutValue);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == kNativePassThrough.dataBuffer);
static_assert(sizeof(((SCSI_PASS_THROUGH_DIRECT*)nullptr)->DataBuffer) == kNativePassThrough.dataBufferSize);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == kNativePassThrough.senseInfoOffset);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == kNativePassThrough.cdb);
struct WithSense {
    SCSI_PASS_THROUGH_DIRECT header;
    ULONG filler;
    UCHAR sense[32];
};
static_assert(offsetof(WithSense, sense) == kNativePassThrough.senseOffset);
static_assert(sizeof(WithSense) == kNativePassThrough.blockSize);
static_assert(sizeof(void*) == 8 || (sizeof(WithSense) == 80 && sizeof(SrbExecScsiCmd) == 80 &&
                                     sizeof(SrbAbort) == 12 && sizeof(SrbGDevBlock) == 12),
              "the release program's request blocks");
static_assert(sizeof(OSVERSIONINFOA) == 148);
// The exclusive-access request: its code from the header's own parts, and its blocks laid out
// as the reference declares them with the platform's types (this header set lacks them).
static_assert(kIoctlCdromExclusiveAccess ==
              CTL_CODE(IOCTL_CDROM_BASE, 0x0017, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS));
enum ExclusiveAccessRequestType { QueryState, LockDevice, UnlockDevice };
struct ReferenceAccess {
    ExclusiveAccessRequestType RequestType;
    ULONG Flags;
};
struct ReferenceLock {
    ReferenceAccess Access;
    UCHAR CallerName[kExclusiveCallerLength];
};
struct ReferenceLockState {
    BOOLEAN LockState;
    UCHAR CallerName[kExclusiveCallerLength];
};
static_assert(LockDevice == kExclusiveAccessLockDevice && UnlockDevice == kExclusiveAccessUnlockDevice &&
              QueryState == kExclusiveAccessQueryState);
static_assert(sizeof(ReferenceAccess) == sizeof(CdromExclusiveAccess) &&
              offsetof(ReferenceAccess, Flags) == offsetof(CdromExclusiveAccess, Flags));
static_assert(sizeof(ReferenceLock) == sizeof(CdromExclusiveLock) &&
              offsetof(ReferenceLock, CallerName) == offsetof(CdromExclusiveLock, CallerName));
static_assert(sizeof(ReferenceLockState) == sizeof(CdromExclusiveLockState) &&
              offsetof(ReferenceLockState, CallerName) == offsetof(CdromExclusiveLockState, CallerName));
static_assert(sizeof(void*) == 8 || (sizeof(ReferenceLock) == 72 && sizeof(ReferenceLockState) == 65),
              "the release program's exclusive-access blocks");

uint32_t Win32OsApi::GetVersionPlatformId() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    ::GetVersionExA(&info);
#pragma GCC diagnostic pop
    return info.dwPlatformId;
}

std::string Win32OsApi::GetSystemDirectory() {
    const UINT needed = ::GetSystemDirectoryA(nullptr, 0);
    std::vector<char> buffer(needed + 1);
    const UINT n = ::GetSystemDirectoryA(buffer.data(), static_cast<UINT>(buffer.size()));
    return n < buffer.size() ? std::string(buffer.data(), n) : std::string();
}

OsHandle Win32OsApi::LoadLibrary(const std::string& path) {
    return reinterpret_cast<OsHandle>(::LoadLibraryA(path.c_str()));
}

void* Win32OsApi::GetProcAddress(OsHandle module, const char* name) {
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(module), name));
}

void Win32OsApi::FreeLibrary(OsHandle module) { ::FreeLibrary(reinterpret_cast<HMODULE>(module)); }

uint32_t Win32OsApi::GetDriveType(const std::string& root) { return ::GetDriveTypeA(root.c_str()); }

OsHandle Win32OsApi::CreateFile(const std::string& path) {
    return reinterpret_cast<OsHandle>(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                                    0, nullptr));
}

void Win32OsApi::CloseHandle(OsHandle handle) { ::CloseHandle(reinterpret_cast<HANDLE>(handle)); }

bool Win32OsApi::DeviceIoControl(OsHandle device, uint32_t code, void* in, uint32_t inSize, void* out,
                                 uint32_t outSize, uint32_t* returned) {
    DWORD bytes = 0;
    const BOOL ok =
        ::DeviceIoControl(reinterpret_cast<HANDLE>(device), code, in, inSize, out, outSize, &bytes, nullptr);
    if (returned) *returned = bytes;
    return ok != FALSE;
}

uint32_t Win32OsApi::GetLastError() { return ::GetLastError(); }

bool Win32OsApi::FormatMessage(uint32_t code, std::string& text) {
    // The system allocates a buffer that fits, so no text is cut short.
    char* buffer = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr, code,
                                     0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    if (n == 0) return false;
    text.assign(buffer, n);
    ::LocalFree(buffer);
    return true;
}

OsHandle Win32OsApi::CreateEvent() {
    return reinterpret_cast<OsHandle>(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
}

uint32_t Win32OsApi::WaitForSingleObject(OsHandle event, uint32_t milliseconds) {
    return ::WaitForSingleObject(reinterpret_cast<HANDLE>(event), milliseconds);
}

bool Win32OsApi::PumpMessage() {
    MSG msg;
    if (!::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
    return true;
}

uint32_t Win32OsApi::TickCount() { return ::GetTickCount(); }

void Win32OsApi::MessageBox(const std::string& text) { ::MessageBoxA(nullptr, text.c_str(), "", MB_OK); }

uint32_t Win32OsApi::CallGetASPI32SupportInfo(void* entry) {
    return reinterpret_cast<DWORD(__cdecl*)()>(entry)();
}

uint32_t Win32OsApi::CallSendASPI32Command(void* entry, void* srb) {
    return reinterpret_cast<DWORD(__cdecl*)(void*)>(entry)(srb);
}

OsApi& SystemOsApi() {
    static Win32OsApi os;
    return os;
}
