#include "TAtapi.h"

#include <cstring>

TAtapi::TAtapi(OsApi& os) : os_(&os) {
    IsNtPlatform();
    if (!IsNt) {
        // Any length of system directory: the path is never cut short.
        AspiLibrary = os_->LoadLibrary(os_->GetSystemDirectory() + "\\WNASPI32.DLL");
        if (AspiLibrary == 0) {
            os_->MessageBox("WNASPI32.DLL not found");
            return;
        }
        getSupportInfo_ = os_->GetProcAddress(AspiLibrary, "GetASPI32SupportInfo");
        sendCommand_ = os_->GetProcAddress(AspiLibrary, "SendASPI32Command");
        ExecRequest = new SrbExecScsiCmd{};
    }
    ScanDevices();
    SelectDevice(0);
}

TAtapi::TAtapi(ScsiChannel& channel) : channel_(&channel) {
    ScanDevices();
    SelectDevice(0);
}

TAtapi::~TAtapi() {
    delete ExecRequest;
    if (AspiLibrary != 0) os_->FreeLibrary(AspiLibrary);
    abandoned_.clear();  // only now can no late answer arrive
    // Every drive that discovery opened, listed or not; a channel keeps its own.
    for (OsHandle handle : opened_) os_->CloseHandle(handle);
}

bool TAtapi::IsNtPlatform() {
    IsNt = os_ != nullptr && os_->GetVersionPlatformId() == kPlatformWin32Nt ? 1 : 0;
    return IsNt != 0;
}

int32_t TAtapi::ScanDevices() {
    if (channel_ != nullptr)
        ScanChannelDrives();
    else if (IsNt)
        ScanDriveLetters();
    else
        ScanAspiBus();
    return DeviceCount;
}

void TAtapi::SetCurrentDevice(uint8_t haId, uint8_t target, uint8_t lun) {
    CurrentHaId = haId;
    CurrentTarget = target;
    CurrentLun = lun;
}

void TAtapi::SelectDevice(int32_t index) {
    const DeviceRecord& d = Devices[index];
    CurrentHandle = d.Handle;
    CurrentHaId = d.HaId;
    CurrentTarget = d.Target;
    CurrentLun = d.Lun;
}

void TAtapi::PumpMessages() {
    if (os_ != nullptr) os_->PumpMessage();
}

const std::string& TAtapi::DeviceName(int32_t index) const {
    static const std::string none;
    return index >= 0 && index < DeviceCount ? names_[index] : none;
}
