// One SCSI command as every way to a drive carries it, and the seam that
// carries it: each OS's channel translates the record into its own request
// exactly once and back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "OsApi.h"

inline constexpr uint8_t kDirIn = 8, kDirOut = 16;  // SRB_DIR_IN / SRB_DIR_OUT
inline constexpr uint32_t kCommandTimeoutSeconds = 60;  // what every command may take at most

enum class CommandOutcome : uint8_t {
    None,                // nothing sent yet
    NotSent,             // refused before anything was sent (no ASPI manager or entry point, no event, no drive)
    NotDelivered,        // the OS call failed (osError says why)
    Failed,              // delivered; the drive, the host adapter or the driver reported failure
    TimedOut,            // no completion within the wait; on ASPI an abort was sent
    WaitFailed,          // the ASPI wait itself failed (osError says why); an abort was sent
    CompletedTolerated,  // a transport failure that counts as completion (a drive reprogramming its flash)
    Completed,
};

// One command: what goes in, and what came back from the drive, the host
// adapter and the OS, each as itself.
struct CommandRecord {
    // In.
    uint8_t cdb[12] = {};
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    uint8_t direction = 0;  // kDirIn, kDirOut; anything else moves no data
    uint32_t timeoutSeconds = kCommandTimeoutSeconds;
    // Out.
    uint8_t status = 0;  // what SendCommand returned: 1 completed, anything else a failure
    CommandOutcome outcome = CommandOutcome::None;
    uint32_t osError = 0;      // GetLastError or errno of the failed call, 0 otherwise
    uint8_t scsiStatus = 0;    // the drive's status byte (pass-through ScsiStatus, ASPI SRB_TargStat)
    uint8_t srbStatus = 0;     // ASPI SRB_Status
    uint16_t hostStatus = 0;   // ASPI SRB_HaStat, SG_IO host_status
    uint16_t driverStatus = 0; // SG_IO driver_status
    uint8_t sense[32] = {};    // sense bytes the drive returned
    uint8_t senseLength = 0;
    uint32_t residual = 0;     // bytes of the transfer that did not move, as the driver reports it
    // Fixed-format sense fields; 0 when no sense came back.
    uint8_t SenseKey() const { return senseLength > 2 ? sense[2] & 0x0F : 0; }
    uint8_t Asc() const { return senseLength > 12 ? sense[12] : 0; }
    uint8_t Ascq() const { return senseLength > 13 ? sense[13] : 0; }
};

// A drive as the OS lists it.
struct ChannelDrive {
    std::string name;     // the OS's name for it: "/dev/sr0", "virtual drive 1"
    OsHandle handle = 0;  // what Send takes; only for a drive that opened
    bool opened = false;
    std::string reason;   // why it did not open, or why it is not listed
};

// What came of asking the OS to keep a drive to this program alone.
struct Reservation {
    enum class Outcome {
        Held,           // no other program's command reaches the drive until it is released
        HeldInPart,     // kept from some programs only: others that use the drive still reach it
        NotPossible,    // this OS or path has no way to keep a drive (the request is unknown)
        HeldElsewhere,  // another program keeps the drive
        DiscInUse,      // a disc in the drive is mounted, which keeps the drive from being reserved
        Failed,         // the request failed otherwise
    };
    Outcome outcome = Outcome::NotPossible;
    std::string holder;  // HeldElsewhere: the program's name, when the OS tells it
    std::string detail;  // Failed (and HeldElsewhere without a name): what the OS said
};

class ScsiChannel {
public:
    virtual ~ScsiChannel() = default;
    // Every drive the OS lists, in its order, those that did not open included.
    virtual const std::vector<ChannelDrive>& Drives() = 0;
    // Sends the record's command to the drive and fills the record's out half;
    // returns the status (1 completed, anything else a failure).
    virtual uint8_t Send(OsHandle drive, CommandRecord& record) = 0;
    // The result in this OS's own words: for a failure "Status N" and what
    // the OS and the drive said; for a tolerated completion why it counts.
    virtual std::string Describe(const CommandRecord& record) const = 0;
    // Keeps the drive to this program, on the way its commands take, until Release.
    // A channel that has no such way says so, and commands go on as before.
    virtual Reservation Reserve(OsHandle) { return {}; }
    // Gives back what Reserve took; nothing when it took nothing.
    virtual void Release(OsHandle) {}
};

// ", sense key 03h, ASC 0Ch, ASCQ 00h", or nothing when no sense came back.
std::string SenseText(const CommandRecord& record);
// ", 8192 of 16384 bytes did not move", or nothing when the whole transfer moved.
std::string ResidualText(const CommandRecord& record);
// Upper-case hexadecimal, two digits at least.
std::string Hex2(unsigned value);
// "FD 07 56 ..." for a 12-byte command block.
std::string CommandHex(const uint8_t* cdb);
