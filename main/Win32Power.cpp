#include "Win32Power.h"

#include <string>

#include "PowerStatusWin32.h"

namespace {

// Declared here, as the system documents them: the headers of the oldest Windows served lack them.
using ExecutionState = DWORD;
constexpr ExecutionState kEsSystemRequired = 0x00000001;
constexpr ExecutionState kEsContinuous = 0x80000000;

template <typename Function>
Function Lookup(const char* module, const char* name) {
    const HMODULE handle = GetModuleHandleA(module);
    if (!handle) return nullptr;
    // Through void(*)() so that the compiler accepts the change of signature.
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(handle, name)));
}

}  // namespace

void KeepSystemAwake(bool on) {
    using SetState = ExecutionState(WINAPI*)(ExecutionState);
    static const SetState setState = Lookup<SetState>("kernel32.dll", "SetThreadExecutionState");
    if (setState) setState(on ? kEsContinuous | kEsSystemRequired : kEsContinuous);
}

void BlockShutdown(HWND window, bool on, const char* reason) {
    using Create = BOOL(WINAPI*)(HWND, LPCWSTR);
    using Destroy = BOOL(WINAPI*)(HWND);
    static const Create create = Lookup<Create>("user32.dll", "ShutdownBlockReasonCreate");
    static const Destroy destroy = Lookup<Destroy>("user32.dll", "ShutdownBlockReasonDestroy");
    if (on && create) {
        std::wstring wide(MultiByteToWideChar(CP_ACP, 0, reason, -1, nullptr, 0), L'\0');
        MultiByteToWideChar(CP_ACP, 0, reason, -1, wide.data(), static_cast<int>(wide.size()));
        create(window, wide.c_str());
    } else if (!on && destroy) {
        destroy(window);
    }
}

ui::PowerStatus SystemPower() {
    SYSTEM_POWER_STATUS status{};
    if (!GetSystemPowerStatus(&status)) return {};
    return PowerFromSystemStatus(status.ACLineStatus, status.BatteryFlag, status.BatteryLifePercent);
}
