// Finds the optical drives the kernel lists in sysfs and opens each; the
// drive-access object then asks them for their INQUIRY data, as it does the
// drives on letters on Windows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SgTransport.h"

struct SgDrive {
    std::string node;                       // "/dev/sr0", or "/dev/sg1" when there is no block node
    std::string genericNode;                // "/dev/sg1": the same drive through the sg driver, or empty
    unsigned host = 0, channel = 0, target = 0, lun = 0;
    int fd = -1;                            // open O_RDWR | O_NONBLOCK, or -1 ...
    std::string reason;                     // ... and then why (ErrnoText, or no device node)
    int openError = 0;                      // the errno of the failed open, 0 otherwise
    bool tableFull = false;                 // past the table: neither opened nor asked (fd -1)
};

inline constexpr int kSgMaxDrives = 20;     // the size of the device table

// "H:C:T:L", the form sysfs names a SCSI device by and the sr driver's bind and unbind take.
inline std::string SgScsiAddress(unsigned host, unsigned channel, unsigned target, unsigned lun) {
    return std::to_string(host) + ":" + std::to_string(channel) + ":" + std::to_string(target) + ":" +
           std::to_string(lun);
}

// Lists every SCSI device of peripheral type 5 under <sysfsRoot>/class/scsi_device/H:C:T:L,
// ordered by H, C, T, L as numbers. Each is opened, and nothing is sent to it; one that
// cannot be opened, or has no device node, is listed with fd -1 and the reason. Once
// kSgMaxDrives have opened, the rest are listed as tableFull and not opened. The list
// owns the descriptors and closes them when it goes.
class SgDriveList {
public:
    explicit SgDriveList(SgTransport& transport, const std::string& sysfsRoot = "/sys",
                         const std::string& devRoot = "/dev");
    ~SgDriveList();
    SgDriveList(const SgDriveList&) = delete;
    SgDriveList& operator=(const SgDriveList&) = delete;

    const std::vector<SgDrive>& Drives() const { return drives_; }

private:
    SgTransport& transport_;
    std::vector<SgDrive> drives_;
};

// The device node sysfs names for one SCSI device folder (<...>/device): the block node
// from block/<name> (or the older block:<name> link), else the generic node from
// scsi_generic/<name>; empty when there is neither.
std::string SgDeviceNode(const std::string& deviceFolder, const std::string& devRoot);
// The generic node (scsi_generic/<name>) alone; empty when the sg driver has not claimed it.
std::string SgGenericNode(const std::string& deviceFolder, const std::string& devRoot);

// An optical drive that no driver holds while the sr driver is there was taken from it by an
// updater that was ended without a chance to give it back (SIGKILL); every other way out gives
// it back. Each such drive whose generic node no other program has open is given back to the
// sr driver, which makes its block node again. A line for each drive found so, saying what
// became of it.
std::vector<std::string> SgGiveBackLeftDrives(SgSystem& system, const std::string& sysfsRoot = "/sys",
                                              const std::string& devRoot = "/dev");
