// The drive-access object: finds the optical drives, holds the device table
// and sends 12-byte command blocks to the current device by SCSI
// pass-through (NT family) or through the ASPI manager (9x family).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "OsApi.h"
#include "ScsiBlocks.h"

struct DeviceRecord {
    OsHandle Handle;
    uint8_t HaId, Target, Lun;
    char Product[50];
    char Revision[8];
};

inline constexpr int kMaxDevices = 20;
inline constexpr uint8_t kDirIn = 8, kDirOut = 16;  // SRB_DIR_IN / SRB_DIR_OUT
inline constexpr uint32_t kAspiWaitMilliseconds = 30000;  // how long an ASPI command is waited for

enum class CommandOutcome : uint8_t {
    None,                // nothing sent yet
    NotSent,             // refused before anything was sent (no ASPI manager or entry point, no event)
    NotDelivered,        // the OS call failed (osError says why)
    Failed,              // delivered; the drive or manager reported failure (status bytes, sense)
    TimedOut,            // no completion within the wait (kAspiWaitMilliseconds on ASPI); an abort was sent
    WaitFailed,          // the ASPI wait itself failed (osError says why); an abort was sent
    CompletedTolerated,  // pass-through error 121/1117 counted as completion
    Completed,
};
const char* OutcomeName(CommandOutcome outcome);

// What happened to the last command.
struct CommandRecord {
    uint8_t cdb[12] = {};
    uint32_t length = 0;
    uint8_t direction = 0;
    uint8_t status = 0;  // what SendCommand returned
    CommandOutcome outcome = CommandOutcome::None;
    uint32_t osError = 0;     // GetLastError (or errno) of the failed call, 0 otherwise
    uint8_t scsiStatus = 0;   // pass-through ScsiStatus, ASPI SRB_TargStat
    uint8_t srbStatus = 0;    // ASPI SRB_Status
    uint8_t hostStatus = 0;   // ASPI SRB_HaStat
    uint8_t sense[32] = {};   // sense bytes the drive returned
    uint8_t senseLength = 0;  // at most 24 on the pass-through path, 14 on the ASPI path
    // Fixed-format sense fields; 0 when no sense came back.
    uint8_t SenseKey() const { return senseLength > 2 ? sense[2] & 0x0F : 0; }
    uint8_t Asc() const { return senseLength > 12 ? sense[12] : 0; }
    uint8_t Ascq() const { return senseLength > 13 ? sense[13] : 0; }
};

class TAtapi {
public:
    explicit TAtapi(OsApi& os);  // detects the platform, loads ASPI where needed, finds the drives
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
    int32_t ScanDrivePaths(const std::vector<std::string>& paths);
    int32_t ScanAspiBus();
    uint8_t Inquiry(uint8_t* buffer);  // 50 bytes, data in
    void SetCurrentDevice(uint8_t haId, uint8_t target, uint8_t lun);
    void SelectDevice(int32_t index);
    void PumpMessages();

    const CommandRecord& LastCommand() const { return last_; }
    // "\\.\D:" on the pass-through path ("/dev/sr0" where the OS lists the drives), "ASPI 0:1:3" on the ASPI path.
    const std::string& DeviceName(int32_t index) const;

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
    bool WaitForDeviceType(SrbGDevBlock* block);
    void OpenAndAsk(const std::string& path, bool list);
    uint8_t SendAspi(const uint8_t* cdb, uint8_t* buffer, uint32_t length, uint8_t direction);
    void ListDevice(OsHandle handle, uint8_t haId, uint8_t target, uint8_t lun, const uint8_t* inquiry,
                    bool productStopsAtZero, std::string name);

    OsApi& os_;
    void* getSupportInfo_ = nullptr;
    void* sendCommand_ = nullptr;
    std::vector<std::unique_ptr<SrbGDevBlock>> abandoned_;  // requests that never answered
    std::vector<OsHandle> opened_;  // every drive handle discovery opened
    std::string names_[kMaxDevices];
    CommandRecord last_;
};
