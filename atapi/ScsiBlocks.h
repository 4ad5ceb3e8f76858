// Request blocks that cross into the OS driver or the ASPI manager. Shared by
// the drive-access code and the stand-in ASPI manager used in tests.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr uint8_t kScsiIoctlDataOut = 0, kScsiIoctlDataIn = 1, kScsiIoctlDataUnspecified = 2;
inline constexpr uint32_t kPassThroughTimeoutSeconds = 60;  // the block's TimeOutValue
inline constexpr uint8_t kPassThroughSenseLength = 24;

// Where the fields of the pass-through block lie. The 32-bit layout is the
// release program's; the 64-bit one has an 8-byte buffer address, which moves
// everything after it.
struct PassThroughLayout {
    uint32_t headerSize;  // SCSI_PASS_THROUGH_DIRECT
    uint32_t dataTransferLength, timeOutValue, dataBuffer, dataBufferSize, senseInfoOffset, cdb;
    uint32_t senseOffset;  // of the sense buffer, after the header and a 4-byte filler
    uint32_t blockSize;    // header, filler and 32-byte sense buffer, padded to the header's alignment
};
inline constexpr PassThroughLayout kPassThrough32{44, 12, 16, 20, 4, 24, 28, 48, 80};
inline constexpr PassThroughLayout kPassThrough64{56, 12, 16, 24, 8, 32, 36, 60, 96};
inline constexpr const PassThroughLayout& kNativePassThrough =
    sizeof(void*) == 8 ? kPassThrough64 : kPassThrough32;

struct alignas(8) PassThroughBlock {
    uint8_t bytes[96];
};

// Clears the block and fills it for one command; `buffer` is the address of
// the caller's data buffer as the layout stores it.
void FillPassThrough(uint8_t* block, const PassThroughLayout& layout, const uint8_t* cdb, uint64_t buffer,
                     uint32_t length, uint8_t dataIn);

// IOCTL_CDROM_EXCLUSIVE_ACCESS: CTL_CODE(FILE_DEVICE_CD_ROM, 0x17, METHOD_BUFFERED,
// FILE_READ_ACCESS | FILE_WRITE_ACCESS). While a handle holds the lock, the CD-ROM class
// driver refuses every other handle's reads and pass-through requests.
inline constexpr uint32_t kIoctlCdromExclusiveAccess = 0x2C05C;
// EXCLUSIVE_ACCESS_REQUEST_TYPE
inline constexpr uint32_t kExclusiveAccessQueryState = 0, kExclusiveAccessLockDevice = 1,
                          kExclusiveAccessUnlockDevice = 2;
inline constexpr size_t kExclusiveCallerLength = 64;  // CDROM_EXCLUSIVE_CALLER_LENGTH, the zero included

// CDROM_EXCLUSIVE_ACCESS: the query and the unlock request.
struct CdromExclusiveAccess {
    uint32_t RequestType;
    uint32_t Flags;
};
// CDROM_EXCLUSIVE_LOCK: the lock request, with the name the driver tells other programs.
struct CdromExclusiveLock {
    CdromExclusiveAccess Access;
    uint8_t CallerName[kExclusiveCallerLength];
};
// CDROM_EXCLUSIVE_LOCK_STATE: the answer to the query.
struct CdromExclusiveLockState {
    uint8_t LockState;
    uint8_t CallerName[kExclusiveCallerLength];
};
static_assert(sizeof(CdromExclusiveAccess) == 8 && sizeof(CdromExclusiveLock) == 72);
static_assert(offsetof(CdromExclusiveLockState, CallerName) == 1 && sizeof(CdromExclusiveLockState) == 65);

// ASPI for Win32 request blocks, packed as published; address fields are
// pointer-sized, so the 64-bit test build gets wider blocks.
inline constexpr uint8_t kScGetDevType = 1, kScExecScsiCmd = 2, kScAbortSrb = 3;
inline constexpr uint8_t kSsPending = 0, kSsComp = 1, kSsAborted = 2, kSsErr = 4;
inline constexpr uint8_t kSrbEventNotify = 0x40;
inline constexpr uint8_t kAspiSenseLength = 14;

#pragma pack(push, 1)
struct SrbHeader {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
};

struct SrbGDevBlock {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint8_t SRB_DeviceType;
    uint8_t SRB_Rsvd1;
};

struct SrbExecScsiCmd {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    uint8_t SRB_Target;
    uint8_t SRB_Lun;
    uint16_t SRB_Rsvd1;
    uint32_t SRB_BufLen;
    uint8_t* SRB_BufPointer;
    uint8_t SRB_SenseLen;
    uint8_t SRB_CDBLen;
    uint8_t SRB_HaStat;
    uint8_t SRB_TargStat;
    void* SRB_PostProc;  // the event handle, with SRB_EVENT_NOTIFY
    void* SRB_Rsvd2;
    uint8_t SRB_Rsvd3[16];
    uint8_t CDBByte[16];
    uint8_t SenseArea[kAspiSenseLength + 2];
};

struct SrbAbort {
    uint8_t SRB_Cmd;
    uint8_t SRB_Status;
    uint8_t SRB_HaId;
    uint8_t SRB_Flags;
    uint32_t SRB_Hdr_Rsvd;
    void* SRB_ToAbort;
};
#pragma pack(pop)

static_assert(sizeof(SrbGDevBlock) == 12);
static_assert(offsetof(SrbExecScsiCmd, SRB_BufPointer) == 16);
static_assert(sizeof(SrbExecScsiCmd) == 80 + 3 * (sizeof(void*) - 4));
static_assert(offsetof(SrbExecScsiCmd, CDBByte) == 48 + 3 * (sizeof(void*) - 4));
static_assert(sizeof(SrbAbort) == 8 + sizeof(void*));
