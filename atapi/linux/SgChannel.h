// The Linux channel: the drives sysfs discovery found, by their device nodes,
// and each command sent to its node with SG_IO. What the kernel says stays in
// Linux's words: errno, host adapter and driver status, the time-out.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ScsiChannel.h"
#include "SgDiscovery.h"
#include "SgTransport.h"

class SgChannel final : public ScsiChannel {
public:
    // The drives' descriptors stay owned by their list. A command whose ioctl
    // fails (or that has no open drive to go to) is told to showSystemError
    // with the errno text, as the pass-through path shows the system's text.
    SgChannel(SgTransport& transport, const std::vector<SgDrive>& drives,
              std::function<void(const std::string&)> showSystemError = nullptr,
              const std::string& sysfsRoot = "/sys");
    ~SgChannel() override;
    SgChannel(const SgChannel&) = delete;
    SgChannel& operator=(const SgChannel&) = delete;

    // The discovered drive this channel's handle stands for; nullptr for any other.
    const SgDrive* DriveOf(OsHandle handle) const;

    const std::vector<ChannelDrive>& Drives() override { return list_; }
    // A command that the kernel gave up on after its time-out counts as
    // completed: a drive that reprograms its flash may stop answering in time.
    uint8_t Send(OsHandle drive, CommandRecord& record) override;
    std::string Describe(const CommandRecord& record) const override;
    // Opens the drive's node again with O_EXCL, for reading and writing, and its generic node
    // the same way. While they are held no other program opens the drive so (nor mounts it),
    // nobody opens the generic node, and the sr driver stops polling the drive for media
    // events. EBUSY on either: another program holds the drive. But the sr driver still lets any
    // program open the block node plainly and send it commands (its open and close send some
    // of their own), so the drive is then taken from the sr driver until Release: the block
    // node goes away, and the commands go through the held generic node. A program that has the
    // block node open, and still has after a short wait, keeps the drive: nothing is taken, and
    // the program is named. A drive reached by its generic node alone is held by that node,
    // opened exclusively. Whatever of this cannot be done refuses the drive (Failed, with why):
    // on Linux a drive is held wholly or not at all.
    Reservation Reserve(OsHandle drive) override;
    void Release(OsHandle drive) override;

private:
    struct Hold {
        int node = -1, generic = -1;
        std::string unbound;  // the SCSI device ("H:C:T:L") taken from the sr driver, or empty
        bool held = false;
    };
    void Close(Hold& hold);

    SgTransport& transport_;
    std::vector<SgDrive> drives_;
    std::vector<ChannelDrive> list_;
    std::vector<Hold> holds_;  // one for each drive, by index
    std::function<void(const std::string&)> showSystemError_;
    std::string srDriver_;  // <sysfs>/bus/scsi/drivers/sr
};
