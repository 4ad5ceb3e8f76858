// Finding the optical drives and listing them in the device table.
#include <cstdio>
#include <cstring>
#include <memory>

#include "TAtapi.h"

namespace {

constexpr int kMaxLetterDrives = 4;

// Up to `count` characters, stopping at a zero byte; the rest stays zero.
void CopyText(char* to, const uint8_t* from, size_t count) {
    for (size_t i = 0; i < count && from[i] != 0; ++i) to[i] = static_cast<char>(from[i]);
}

}  // namespace

void TAtapi::ListDevice(OsHandle handle, uint8_t haId, uint8_t target, uint8_t lun, const uint8_t* inquiry,
                        bool productStopsAtZero, std::string name) {
    DeviceRecord& d = Devices[DeviceCount];
    d = DeviceRecord{};
    d.Handle = handle;
    d.HaId = haId;
    d.Target = target;
    d.Lun = lun;
    if (productStopsAtZero)
        CopyText(d.Product, inquiry + 8, 24);
    else
        std::memcpy(d.Product, inquiry + 8, 24);
    CopyText(d.Revision, inquiry + 32, 4);
    names_[DeviceCount] = std::move(name);
}

// Opens the drive at `path` and asks its INQUIRY; lists it in the next entry when
// `list`. Nothing happens to a drive that does not open.
void TAtapi::OpenAndAsk(const std::string& path, bool list) {
    LastOpenedHandle = os_->CreateFile(path);
    if (LastOpenedHandle == kInvalidHandle) return;
    opened_.push_back(LastOpenedHandle);
    CurrentHandle = LastOpenedHandle;
    uint8_t inquiry[256] = {};  // cleared, so a failed INQUIRY lists empty texts
    Inquiry(inquiry);
    if (!list) return;
    ListDevice(LastOpenedHandle, 0, 0, 0, inquiry, true, path);
    ++DeviceCount;
}

int32_t TAtapi::ScanDriveLetters() {
    DeviceCount = 0;
    for (char letter = 'A'; letter <= 'Y'; ++letter) {  // Z is never probed
        const std::string root = std::string(1, letter) + ":\\";
        if (os_->GetDriveType(root) != kDriveCdrom) continue;
        // A fifth drive and beyond still gets its INQUIRY but is not listed.
        OpenAndAsk("\\\\.\\" + root.substr(0, 2), DeviceCount < kMaxLetterDrives);
    }
    return DeviceCount;
}

// The drives that the channel listed, up to the table's 20 entries; one that
// did not open is left out (the list says why), one past the table gets nothing sent.
int32_t TAtapi::ScanChannelDrives() {
    DeviceCount = 0;
    for (const ChannelDrive& drive : channel_->Drives()) {
        if (DeviceCount >= kMaxDevices) break;
        if (!drive.opened) continue;
        CurrentHandle = drive.handle;
        uint8_t inquiry[256] = {};  // cleared, so a failed INQUIRY lists empty texts
        Inquiry(inquiry);
        ListDevice(drive.handle, 0, 0, 0, inquiry, true, drive.name);
        ++DeviceCount;
    }
    return DeviceCount;
}

// Handles window messages while the manager works on the request, for at
// most as long as an execute request may take: an address that never answers
// is skipped, so start-up cannot hang.
bool TAtapi::WaitForDeviceType(SrbGDevBlock* block) {
    const uint32_t start = os_->TickCount();
    while (block->SRB_Status == kSsPending) {
        if (os_->TickCount() - start >= kAspiWaitMilliseconds) return false;
        PumpMessages();
    }
    return true;
}

int32_t TAtapi::ScanAspiBus() {
    DeviceCount = 0;
    if (getSupportInfo_ == nullptr || sendCommand_ == nullptr) return 0;
    const uint8_t adapters = static_cast<uint8_t>(os_->CallGetASPI32SupportInfo(getSupportInfo_) & 0xFF);
    auto block = std::make_unique<SrbGDevBlock>();
    for (unsigned ha = 0; ha < adapters; ++ha) {
        for (uint8_t target = 0; target < 8; ++target) {
            for (uint8_t lun = 0; lun < 8; ++lun) {
                *block = SrbGDevBlock{};
                block->SRB_Cmd = kScGetDevType;
                block->SRB_HaId = static_cast<uint8_t>(ha);
                block->SRB_Target = target;
                block->SRB_Lun = lun;
                os_->CallSendASPI32Command(sendCommand_, block.get());
                if (!WaitForDeviceType(block.get())) {
                    // The manager may still answer into that block: it is set
                    // aside until the manager is unloaded.
                    abandoned_.push_back(std::move(block));
                    block = std::make_unique<SrbGDevBlock>();
                    continue;
                }
                if (block->SRB_Status != kSsComp || block->SRB_DeviceType != 5) continue;
                if (DeviceCount >= kMaxDevices) continue;  // the table is full
                SetCurrentDevice(static_cast<uint8_t>(ha), target, lun);
                uint8_t inquiry[256] = {};
                Inquiry(inquiry);
                char name[32];
                std::snprintf(name, sizeof name, "ASPI %u:%u:%u", ha, target, lun);
                ListDevice(0, static_cast<uint8_t>(ha), target, lun, inquiry, false, name);
                ++DeviceCount;
            }
        }
    }
    return DeviceCount;
}
