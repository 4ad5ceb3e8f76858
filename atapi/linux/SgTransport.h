// Sends one command record to an open SCSI device node with the SG_IO ioctl
// and fills its result: a status byte (1 = completed, anything else a
// failure) and what the drive, the host adapter, the driver and the kernel
// said, each as itself.
#pragma once

#include <cstdint>
#include <string>

#include "SgSystem.h"
#include "ScsiChannel.h"

inline constexpr unsigned kSgSenseSize = 32;
inline constexpr uint8_t kSgCdbLength = 12;
// Host and driver codes the kernel reports in sg_io_hdr.
inline constexpr uint16_t kDidTimeOut = 0x03;
inline constexpr uint16_t kDriverSense = 0x08, kDriverTimeout = 0x06, kDriverCodeMask = 0x0F;

class SgTransport {
public:
    explicit SgTransport(SgSystem& system);
    SgTransport(const SgTransport&) = delete;
    SgTransport& operator=(const SgTransport&) = delete;

    // Direction 8 (kDirIn) reads `length` bytes into `buffer`, 16 (kDirOut) writes them; any
    // other value moves no data (and sends a length of 0). The kernel gives up on the command
    // after the record's time-out. Returns (and keeps in the record's status):
    //   1  completed: SCSI status GOOD, no host status, no driver status beyond "sense data
    //      present" (the drive said GOOD; its sense bytes are kept in the record);
    //   0  the ioctl failed (NotDelivered, osError = errno), or fd is not open (NotSent);
    //   4  the host adapter or the driver failed the command (Failed), or it timed out (TimedOut);
    //   s  the SCSI status byte the drive answered with (Failed: 2 = CHECK CONDITION with its
    //      sense bytes, 8 = BUSY, ...); a stray 1 is returned as 4 so that 1 keeps meaning done.
    // The out half of the record is filled from scratch.
    uint8_t Send(int fd, CommandRecord& record);
    SgSystem& System() { return system_; }

private:
    SgSystem& system_;
    sg_io_hdr_t header_{};  // reused, cleared before every command
    uint8_t sense_[kSgSenseSize] = {};
};

// The system's text for an errno value. For EACCES and EPERM it says what is missing, since
// opening a drive for SG_IO and sending it vendor commands need root or CAP_SYS_RAWIO:
// "Permission denied: vendor commands through SG_IO need root or CAP_SYS_RAWIO".
std::string ErrnoText(int error);
