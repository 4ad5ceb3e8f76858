// The drive-access object: finds the optical drives, holds the device table
// and sends 12-byte command blocks to the current device by SCSI
// pass-through (NT family) or through the ASPI manager (9x family), or, where
// the OS offers a channel of its own, through that channel.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OsApi.h"
#include "ScsiBlocks.h"
#include "ScsiChannel.h"

struct DeviceRecord {
    OsHandle Handle;
    uint8_t HaId, Target, Lun;
    char Product[50];
    char Revision[8];
};

inline constexpr int kMaxDevices = 20;
inline constexpr uint32_t kAspiWaitMilliseconds = 30000;  // how long an ASPI command is waited for

class TAtapi {
public:
    explicit TAtapi(OsApi& os);  // detects the platform, loads ASPI where needed, finds the drives
    // The drives of the channel's list that opened, up to the table's 20 entries,
    // each asked its INQUIRY through the channel. IsNt stays 0 and no ASPI
    // manager is loaded: neither Windows path is taken.
    explicit TAtapi(ScsiChannel& channel);
    ~TAtapi();
    TAtapi(const TAtapi&) = delete;
    TAtapi& operator=(const TAtapi&) = delete;

    uint8_t SendCommand(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t direction);
    uint8_t SendPassThrough(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t dataIn);
    uint32_t AbortAspiRequest(void* request);
    void ShowSystemError(uint32_t code);
    bool IsNtPlatform();
    int32_t ScanDevices();
    int32_t ScanDriveLetters();
    int32_t ScanChannelDrives();
    int32_t ScanAspiBus();
    uint8_t Inquiry(uint8_t* buffer);  // 50 bytes, data in
    void SetCurrentDevice(uint8_t haId, uint8_t target, uint8_t lun);
    void SelectDevice(int32_t index);
    void PumpMessages();

    const CommandRecord& LastCommand() const { return last_; }
    // The result of a command in the words of the path it took.
    std::string Describe(const CommandRecord& record) const;
    // "\\.\D:" on the pass-through path, "ASPI 0:1:3" on the ASPI path, the channel's name on a channel.
    const std::string& DeviceName(int32_t index) const;

    // The object's own way to the current device (pass-through or ASPI, or the
    // channel it was made with), for a channel decorator to wrap.
    ScsiChannel& OwnPath();
    // Commands go through `channel` from now on (it must stay until routed back); nullptr: by the own path again.
    void Route(ScsiChannel* channel) { route_ = channel; }

    // Keeps the current device to this program, on the way the commands take, until Release:
    // on the pass-through path the CD-ROM class driver's exclusive access; the ASPI path has
    // no such way. Release gives back what Reserve took, on the way and handle it took it on.
    Reservation Reserve();
    void Release();

    OsHandle CurrentHandle = 0;
    uint8_t CurrentHaId = 0, CurrentTarget = 0, CurrentLun = 0;
    OsHandle AspiLibrary = 0;
    int32_t DeviceCount = 0;
    uint8_t IsNt = 0;
    OsHandle LastOpenedHandle = 0;
    DeviceRecord Devices[kMaxDevices] = {};
    SrbExecScsiCmd* ExecRequest = nullptr;
    PassThroughBlock PassThroughRequest = {};

private:
    // Pass-through and ASPI as a channel: sends to the current device whatever handle it is given.
    class OsPath final : public ScsiChannel {
    public:
        explicit OsPath(TAtapi& atapi) : atapi_(atapi) {}
        const std::vector<ChannelDrive>& Drives() override;
        uint8_t Send(OsHandle drive, CommandRecord& record) override;
        std::string Describe(const CommandRecord& record) const override;
        Reservation Reserve(OsHandle drive) override;
        void Release(OsHandle drive) override;

    private:
        TAtapi& atapi_;
        std::vector<ChannelDrive> drives_;
    };

    ScsiChannel& Path() const;
    bool WaitForDeviceType(SrbGDevBlock* block);
    void OpenAndAsk(const std::string& path, bool list);
    uint8_t SendByOs(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t direction);
    Reservation LockExclusive(OsHandle drive);
    std::string SystemText(uint32_t code);
    uint8_t SendAspi(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t direction);
    void ListDevice(OsHandle handle, uint8_t haId, uint8_t target, uint8_t lun, const uint8_t* inquiry,
                    bool productStopsAtZero, std::string name);

    OsApi* os_ = nullptr;          // null on a channel
    ScsiChannel* channel_ = nullptr;  // the channel the object was made with
    ScsiChannel* route_ = nullptr;
    OsPath ownPath_{*this};
    void* getSupportInfo_ = nullptr;
    void* sendCommand_ = nullptr;
    std::vector<std::unique_ptr<SrbGDevBlock>> abandoned_;  // requests that never answered
    std::vector<OsHandle> opened_;  // every drive handle discovery opened
    std::string names_[kMaxDevices];
    CommandRecord last_;
    ScsiChannel* reservedPath_ = nullptr;  // where Reserve took the drive, until Release
    OsHandle reservedDrive_ = 0;
};
